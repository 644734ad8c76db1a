// The GeoPackage writer behind openGpkgWriter, built as the module karvel-gpkg.so with GDAL/OGR.
#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "app/gpkg_writer.h"
#include "traces/trace_time.h"

namespace fs = std::filesystem;
using mapRepresentation::LinkAttributes;

namespace {

struct FieldSpec {
    const char* name;
    OGRFieldType type;
    OGRFieldSubType subType = OFSTNone;
};

// The columns of the two CSVs, less those the geometry carries.
const std::vector<FieldSpec> kFixFields = {
    {"trace", OFTString},           {"point", OFTInteger},     {"time", OFTDateTime},
    {"latitude", OFTReal},          {"longitude", OFTReal},    {"matched", OFTInteger, OFSTBoolean},
    {"link", OFTInteger},           {"way_id", OFTInteger64},  {"from_osm_node", OFTInteger64},
    {"to_osm_node", OFTInteger64},  {"name", OFTString},       {"ref", OFTString},
    {"highway", OFTString},         {"maxspeed_kmh", OFTReal}, {"snapped_latitude", OFTReal},
    {"snapped_longitude", OFTReal}, {"distance_m", OFTReal},   {"offset_m", OFTReal},
    {"route_distance_m", OFTReal},  {"speed_kmh", OFTReal},    {"piece", OFTInteger},
};
const std::vector<FieldSpec> kLinkFields = {
    {"trace", OFTString},
    {"piece", OFTInteger},
    {"link", OFTInteger},
    {"way_id", OFTInteger64},
    {"from_osm_node", OFTInteger64},
    {"to_osm_node", OFTInteger64},
    {"name", OFTString},
    {"ref", OFTString},
    {"highway", OFTString},
    {"maxspeed_kmh", OFTReal},
    {"oneway", OFTInteger, OFSTBoolean},
    {"entered", OFTDateTime},
    {"left", OFTDateTime},
    {"driven_m", OFTReal},
    {"speed_kmh", OFTReal},
};

std::once_flag registered;

OGRLayer* createLayer(GDALDataset& data, const char* name, OGRwkbGeometryType type, OGRSpatialReference& srs,
                      const std::vector<FieldSpec>& fields) {
    OGRLayer* layer = data.CreateLayer(name, &srs, type, nullptr);
    if (layer == nullptr) return nullptr;
    for (const FieldSpec& f : fields) {
        OGRFieldDefn field(f.name, f.type);
        field.SetSubType(f.subType);
        if (layer->CreateField(&field) != OGRERR_NONE) return nullptr;
    }
    return layer;
}

// A trace time with fractions as a UTC date-time field.
void setTime(OGRFeature& f, const char* field, std::optional<double> time) {
    if (!time) return;
    const double whole = std::floor(*time);
    const std::tm utc = utcFromTraceTime(static_cast<uint32_t>(whole));
    f.SetField(f.GetFieldIndex(field), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
               utc.tm_min, static_cast<float>(utc.tm_sec + (*time - whole)), 100);
}

void setOptional(OGRFeature& f, const char* field, const std::optional<double>& value) {
    if (value) f.SetField(field, *value);
}

void setAttributes(OGRFeature& f, const LinkAttributes* a) {
    if (a == nullptr) return;
    if (a->wayId != 0) f.SetField("way_id", static_cast<GIntBig>(a->wayId));
    if (a->fromNode != 0) f.SetField("from_osm_node", static_cast<GIntBig>(a->fromNode));
    if (a->toNode != 0) f.SetField("to_osm_node", static_cast<GIntBig>(a->toNode));
    if (!a->name.empty()) f.SetField("name", a->name.c_str());
    if (!a->ref.empty()) f.SetField("ref", a->ref.c_str());
    if (!a->highway.empty()) f.SetField("highway", a->highway.c_str());
    setOptional(f, "maxspeed_kmh", a->maxspeed);
}

struct Impl {
    fs::path folder;
    fs::path file;
    GDALDatasetUniquePtr data;
    OGRLayer* fixes = nullptr;
    OGRLayer* links = nullptr;
    std::string error;
    bool closed = false;

    void open();
    void fail(const std::string& what) {
        if (error.empty())
            error = what + (CPLGetLastErrorMsg()[0] != '\0' ? std::string(": ") + CPLGetLastErrorMsg() : "");
    }
    void addFix(const std::string& trace, const _node& n, const FixRow& row);
    void addLink(const std::string& trace, const LinkRow& row);
};

void Impl::open() {
    std::call_once(registered, [] { GDALAllRegister(); });
    std::error_code ec;
    std::string pattern = (fs::temp_directory_path(ec) / "karvel-gpkg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = "cannot make a temporary folder for the GeoPackage";
        return;
    }
    folder = pattern;
    file = folder / "results.gpkg";
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GPKG");
    if (driver == nullptr) {
        error = "GDAL has no GeoPackage driver";
        return;
    }
    data.reset(driver->Create(file.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    if (!data) return fail("cannot create the GeoPackage");
    OGRSpatialReference wgs84;
    if (wgs84.importFromEPSG(4326) != OGRERR_NONE) wgs84.SetWellKnownGeogCS("WGS84");
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);  // x is the longitude
    fixes = createLayer(*data, "fixes", wkbPoint, wgs84, kFixFields);
    links = createLayer(*data, "links", wkbLineString, wgs84, kLinkFields);
    if (fixes == nullptr || links == nullptr) return fail("cannot create the GeoPackage's layers");
    // One transaction for the whole batch: SQLite's per-insert commits would dominate the time.
    if (data->StartTransaction() != OGRERR_NONE) fail("cannot write the GeoPackage");
}

void Impl::addFix(const std::string& trace, const _node& n, const FixRow& row) {
    const FixOnMap& fix = row.fix;
    const bool matched = fix.link >= 0;
    OGRFeatureUniquePtr f(OGRFeature::CreateFeature(fixes->GetLayerDefn()));
    f->SetField("trace", trace.c_str());
    f->SetField("point", fix.point);
    if (n.arrivalTime != kTraceNoTime) setTime(*f, "time", static_cast<double>(n.arrivalTime));
    f->SetField("latitude", n.position.lat);
    f->SetField("longitude", n.position.lon);
    f->SetField("matched", matched ? 1 : 0);
    const _position& at = matched ? fix.snapped : n.position;
    OGRPoint point(at.lon, at.lat);
    f->SetGeometry(&point);
    if (matched) {
        f->SetField("link", fix.link);
        setAttributes(*f, row.attributes);
        f->SetField("snapped_latitude", fix.snapped.lat);
        f->SetField("snapped_longitude", fix.snapped.lon);
        f->SetField("distance_m", fix.distance);
        f->SetField("offset_m", row.offset);
        setOptional(*f, "route_distance_m", row.routeDistance);
        setOptional(*f, "speed_kmh", row.speed);
        f->SetField("piece", fix.piece);
    }
    if (fixes->CreateFeature(f.get()) != OGRERR_NONE) fail("cannot write a fix to the GeoPackage");
}

void Impl::addLink(const std::string& trace, const LinkRow& row) {
    OGRFeatureUniquePtr f(OGRFeature::CreateFeature(links->GetLayerDefn()));
    f->SetField("trace", trace.c_str());
    f->SetField("piece", row.piece);
    f->SetField("link", row.link);
    setAttributes(*f, row.attributes);
    if (row.attributes != nullptr && row.attributes->oneway)
        f->SetField("oneway", *row.attributes->oneway ? 1 : 0);
    setTime(*f, "entered", row.entered);
    setTime(*f, "left", row.left);
    f->SetField("driven_m", row.metres);
    setOptional(*f, "speed_kmh", row.speed);
    OGRLineString line;
    for (const _position& p : row.line) line.addPoint(p.lon, p.lat);
    f->SetGeometry(&line);
    if (links->CreateFeature(f.get()) != OGRERR_NONE) fail("cannot write a link to the GeoPackage");
}

class GdalGpkgWriter : public GpkgWriter {
public:
    GdalGpkgWriter() : impl(std::make_unique<Impl>()) { impl->open(); }
    ~GdalGpkgWriter() override {
        impl->data.reset();
        std::error_code ec;
        if (!impl->folder.empty()) fs::remove_all(impl->folder, ec);
    }
    void add(const Route& route, const TraceRows& rows) override;
    bool finishInto(std::ostream& out, std::string& error) override;

private:
    std::unique_ptr<Impl> impl;
};

void GdalGpkgWriter::add(const Route& route, const TraceRows& rows) {
    if (!impl->error.empty() || impl->closed) return;
    for (const FixRow& row : rows.fixes) impl->addFix(route.name, route.nodes[row.fix.point], row);
    for (const LinkRow& row : rows.links) impl->addLink(route.name, row);
}

bool GdalGpkgWriter::finishInto(std::ostream& out, std::string& error) {
    if (!impl->closed && impl->error.empty()) {
        if (impl->data->CommitTransaction() != OGRERR_NONE) impl->fail("cannot write the GeoPackage");
        impl->data.reset();  // closing writes what SQLite still holds
        impl->closed = true;
    }
    if (!impl->error.empty()) {
        error = impl->error;
        return false;
    }
    std::ifstream in(impl->file, std::ios::binary);
    if (!(in && out << in.rdbuf()) || !out.flush()) {
        error = "cannot copy the GeoPackage";
        return false;
    }
    return true;
}

}  // namespace

extern "C" void karvelOpenGpkgWriter(std::unique_ptr<GpkgWriter>& writer) {
    writer = std::make_unique<GdalGpkgWriter>();
}
