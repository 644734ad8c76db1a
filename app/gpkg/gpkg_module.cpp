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

// The columns of the two CSVs, less those the geometry carries, in the order of the enums below
// (fields are set by index: by name each costs a search of the layer's fields).
const std::vector<FieldSpec> kFixFields = {
    {"trace", OFTString},           {"point", OFTInteger},     {"time", OFTDateTime},
    {"latitude", OFTReal},          {"longitude", OFTReal},    {"matched", OFTInteger, OFSTBoolean},
    {"link", OFTInteger},           {"way_id", OFTInteger64},  {"from_osm_node", OFTInteger64},
    {"to_osm_node", OFTInteger64},  {"name", OFTString},       {"ref", OFTString},
    {"highway", OFTString},         {"maxspeed_kmh", OFTReal}, {"snapped_latitude", OFTReal},
    {"snapped_longitude", OFTReal}, {"distance_m", OFTReal},   {"offset_m", OFTReal},
    {"route_distance_m", OFTReal},  {"speed_kmh", OFTReal},    {"piece", OFTInteger},
};
enum FixField {
    kFixTrace,
    kFixPoint,
    kFixTime,
    kFixLatitude,
    kFixLongitude,
    kFixMatched,
    kFixLink,
    kFixAttributes,  // way_id through maxspeed_kmh
    kFixSnappedLatitude = kFixAttributes + 7,
    kFixSnappedLongitude,
    kFixDistance,
    kFixOffset,
    kFixRouteDistance,
    kFixSpeed,
    kFixPiece,
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
enum LinkField {
    kLinkTrace,
    kLinkPiece,
    kLinkLink,
    kLinkAttributes,
    kLinkOneway = kLinkAttributes + 7,
    kLinkEntered,
    kLinkLeft,
    kLinkDriven,
    kLinkSpeed,
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
    // The writers set fields by their place in `fields`.
    for (size_t i = 0; i < fields.size(); ++i)
        if (layer->GetLayerDefn()->GetFieldIndex(fields[i].name) != static_cast<int>(i)) return nullptr;
    return layer;
}

// The UTC clock fields of a trace time. Undoing the trace time's zone asks the C library for the
// zone's offset, which reads the zone file on every call; within a minute the offset cannot
// change, so a minute's fields are kept and their seconds moved.
std::tm utcFields(uint32_t time) {
    thread_local uint32_t minute = traces::kTraceNoTime;
    thread_local std::tm start{};
    const uint32_t into = time % 60;
    if (time / 60 != minute) {
        minute = time / 60;
        start = traces::utcFromTraceTime(time - into);
    }
    std::tm fields = start;
    fields.tm_sec += static_cast<int>(into);
    return fields.tm_sec < 60 ? fields : traces::utcFromTraceTime(time);
}

// A trace time with fractions as a UTC date-time field; null without one.
void setTime(OGRFeature& f, int field, std::optional<double> time) {
    if (!time) return f.SetFieldNull(field);
    const double whole = std::floor(*time);
    const std::tm utc = utcFields(static_cast<uint32_t>(whole));
    f.SetField(field, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
               static_cast<float>(utc.tm_sec + (*time - whole)), 100);
}

// Every field is set, to null where there is no value: the driver builds its insert statement
// again whenever the set of fields changes from one feature to the next.
void setOptional(OGRFeature& f, int field, const std::optional<double>& value) {
    if (value)
        f.SetField(field, *value);
    else
        f.SetFieldNull(field);
}

void setId(OGRFeature& f, int field, int64_t id) {
    if (id != 0)
        f.SetField(field, static_cast<GIntBig>(id));
    else
        f.SetFieldNull(field);
}

void setText(OGRFeature& f, int field, const std::string& text) {
    if (!text.empty())
        f.SetField(field, text.c_str());
    else
        f.SetFieldNull(field);
}

// way_id, from_osm_node, to_osm_node, name, ref, highway and maxspeed_kmh from field `first` on.
void setAttributes(OGRFeature& f, int first, const LinkAttributes* a) {
    static const LinkAttributes none;
    const LinkAttributes& known = a != nullptr ? *a : none;
    setId(f, first, known.wayId);
    setId(f, first + 1, known.fromNode);
    setId(f, first + 2, known.toNode);
    setText(f, first + 3, known.name);
    setText(f, first + 4, known.ref);
    setText(f, first + 5, known.highway);
    setOptional(f, first + 6, known.maxspeed);
}

struct Impl {
    fs::path folder;
    fs::path file;
    GDALDatasetUniquePtr data;
    OGRLayer* fixes = nullptr;
    OGRLayer* links = nullptr;
    OGRFeatureUniquePtr fixFeature, linkFeature;  // one feature per layer, filled again for every row
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
    {
        // A scratch file, copied into place only once complete: SQLite need not sync it to disk or
        // keep a journal to roll it back, and a cache of its size saves reading pages back.
        const CPLConfigOptionSetter sync("OGR_SQLITE_SYNCHRONOUS", "OFF", false);
        const CPLConfigOptionSetter journal("OGR_SQLITE_JOURNAL", "OFF", false);
        const CPLConfigOptionSetter cache("OGR_SQLITE_CACHE", "256", true);
        data.reset(driver->Create(file.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    }
    if (!data) return fail("cannot create the GeoPackage");
    OGRSpatialReference wgs84;
    if (wgs84.importFromEPSG(4326) != OGRERR_NONE) wgs84.SetWellKnownGeogCS("WGS84");
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);  // x is the longitude
    fixes = createLayer(*data, "fixes", wkbPoint, wgs84, kFixFields);
    links = createLayer(*data, "links", wkbLineString, wgs84, kLinkFields);
    if (fixes == nullptr || links == nullptr) return fail("cannot create the GeoPackage's layers");
    fixFeature.reset(OGRFeature::CreateFeature(fixes->GetLayerDefn()));
    linkFeature.reset(OGRFeature::CreateFeature(links->GetLayerDefn()));
    // One transaction for the whole batch: SQLite's per-insert commits would dominate the time.
    if (data->StartTransaction() != OGRERR_NONE) fail("cannot write the GeoPackage");
}

void Impl::addFix(const std::string& trace, const _node& n, const FixRow& row) {
    const FixOnMap& fix = row.fix;
    const bool matched = fix.link >= 0;
    OGRFeature& f = *fixFeature;
    f.SetFID(OGRNullFID);
    f.SetField(kFixTrace, trace.c_str());
    f.SetField(kFixPoint, fix.point);
    setTime(f, kFixTime,
            n.arrivalTime != traces::kTraceNoTime ? std::optional<double>(n.arrivalTime) : std::nullopt);
    f.SetField(kFixLatitude, n.position.lat);
    f.SetField(kFixLongitude, n.position.lon);
    f.SetField(kFixMatched, matched ? 1 : 0);
    const _position& at = matched ? fix.snapped : n.position;
    OGRPoint point(at.lon, at.lat);
    f.SetGeometry(&point);
    const auto orNull = [&](auto value) { return matched ? std::optional<double>(value) : std::nullopt; };
    if (matched)
        f.SetField(kFixLink, fix.link);
    else
        f.SetFieldNull(kFixLink);
    setAttributes(f, kFixAttributes, matched ? row.attributes : nullptr);
    setOptional(f, kFixSnappedLatitude, orNull(fix.snapped.lat));
    setOptional(f, kFixSnappedLongitude, orNull(fix.snapped.lon));
    setOptional(f, kFixDistance, orNull(fix.distance));
    setOptional(f, kFixOffset, orNull(row.offset));
    setOptional(f, kFixRouteDistance, matched ? row.routeDistance : std::nullopt);
    setOptional(f, kFixSpeed, matched ? row.speed : std::nullopt);
    if (matched)
        f.SetField(kFixPiece, fix.piece);
    else
        f.SetFieldNull(kFixPiece);
    if (fixes->CreateFeature(&f) != OGRERR_NONE) fail("cannot write a fix to the GeoPackage");
}

void Impl::addLink(const std::string& trace, const LinkRow& row) {
    linkFeature->SetFID(OGRNullFID);
    OGRFeature& f = *linkFeature;
    f.SetField(kLinkTrace, trace.c_str());
    f.SetField(kLinkPiece, row.piece);
    f.SetField(kLinkLink, row.link);
    setAttributes(f, kLinkAttributes, row.attributes);
    if (row.attributes != nullptr && row.attributes->oneway)
        f.SetField(kLinkOneway, *row.attributes->oneway ? 1 : 0);
    else
        f.SetFieldNull(kLinkOneway);
    setTime(f, kLinkEntered, row.entered);
    setTime(f, kLinkLeft, row.left);
    f.SetField(kLinkDriven, row.metres);
    setOptional(f, kLinkSpeed, row.speed);
    OGRLineString line;
    for (const _position& p : row.line) line.addPoint(p.lon, p.lat);
    f.SetGeometry(&line);
    if (links->CreateFeature(&f) != OGRERR_NONE) fail("cannot write a link to the GeoPackage");
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
