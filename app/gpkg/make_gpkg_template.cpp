// Run by the build: makes the empty results GeoPackage with GDAL/OGR (its metadata tables, the two
// layers, their spatial indexes and the triggers that keep those) and writes it to the file named
// by its argument. The GeoPackage writer starts every file from a copy of it, so that no program
// loads GDAL's hundred shared libraries to write results, and the container is still GDAL's own.
//   make_gpkg_template OUT.gpkg
#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/gpkg/gpkg_layers.h"

namespace {

using matchApp::gpkg::Kind;

template <size_t N>
bool createLayer(GDALDataset& data, const char* name, OGRwkbGeometryType type, OGRSpatialReference& srs,
                 const std::array<matchApp::gpkg::Field, N>& fields) {
    OGRLayer* layer = data.CreateLayer(name, &srs, type, nullptr);
    if (layer == nullptr) return false;
    for (const matchApp::gpkg::Field& f : fields) {
        OGRFieldType ogrType = OFTString;
        OGRFieldSubType subType = OFSTNone;
        switch (f.kind) {
            case Kind::Text:
                ogrType = OFTString;
                break;
            case Kind::Integer:
                ogrType = OFTInteger;
                break;
            case Kind::Integer64:
                ogrType = OFTInteger64;
                break;
            case Kind::Real:
                ogrType = OFTReal;
                break;
            case Kind::DateTime:
                ogrType = OFTDateTime;
                break;
            case Kind::Boolean:
                ogrType = OFTInteger;
                subType = OFSTBoolean;
                break;
        }
        OGRFieldDefn field(f.name, ogrType);
        field.SetSubType(subType);
        if (layer->CreateField(&field) != OGRERR_NONE) return false;
    }
    return true;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "ERROR: %s%s%s\n", what.c_str(), CPLGetLastErrorMsg()[0] != '\0' ? ": " : "",
                 CPLGetLastErrorMsg());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_gpkg_template OUT.gpkg\n");
        return 2;
    }
    const std::string out = argv[1];
    std::error_code ec;
    std::filesystem::remove(out, ec);
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GPKG");
    if (driver == nullptr) return fail("GDAL has no GeoPackage driver");
    {
        GDALDatasetUniquePtr data(driver->Create(out.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        if (!data) return fail("cannot create " + out);
        OGRSpatialReference wgs84;
        if (wgs84.importFromEPSG(matchApp::gpkg::kWgs84) != OGRERR_NONE) wgs84.SetWellKnownGeogCS("WGS84");
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);  // x is the longitude
        if (!createLayer(*data, "fixes", wkbPoint, wgs84, matchApp::gpkg::kFixFields) ||
            !createLayer(*data, "links", wkbLineString, wgs84, matchApp::gpkg::kLinkFields))
            return fail("cannot create the layers of " + out);
    }
    if (CPLGetLastErrorType() >= CE_Failure) return fail("cannot write " + out);
    sqlite3* db = nullptr;
    const std::string pages = "PRAGMA page_size = " + std::to_string(matchApp::gpkg::kPageSize) + "; VACUUM";
    const bool packed = sqlite3_open_v2(out.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                        sqlite3_exec(db, pages.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!packed) std::fprintf(stderr, "ERROR: cannot repage %s: %s\n", out.c_str(), sqlite3_errmsg(db));
    sqlite3_close(db);
    return packed ? 0 : 1;
}
