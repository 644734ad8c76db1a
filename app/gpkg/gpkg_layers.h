// The two layers of a results GeoPackage: "fixes" (points) and "links" (line strings), with the
// columns of the two CSVs less those the geometry carries. The build makes the empty GeoPackage
// from this with GDAL (make_gpkg_template.cpp); the writer fills its rows (gpkg_module.cpp).
#pragma once

#include <array>
#include <cstddef>

namespace matchApp::gpkg {

enum class Kind { Text, Integer, Integer64, Real, DateTime, Boolean };

struct Field {
    const char* name;
    Kind kind;
};

// In the order of the enums below, which the writer binds by.
inline constexpr std::array<Field, 21> kFixFields = {{
    {"trace", Kind::Text},
    {"point", Kind::Integer},
    {"time", Kind::DateTime},
    {"latitude", Kind::Real},
    {"longitude", Kind::Real},
    {"matched", Kind::Boolean},
    {"link", Kind::Integer},
    {"way_id", Kind::Integer64},
    {"from_osm_node", Kind::Integer64},
    {"to_osm_node", Kind::Integer64},
    {"name", Kind::Text},
    {"ref", Kind::Text},
    {"highway", Kind::Text},
    {"maxspeed_kmh", Kind::Real},
    {"snapped_latitude", Kind::Real},
    {"snapped_longitude", Kind::Real},
    {"distance_m", Kind::Real},
    {"offset_m", Kind::Real},
    {"route_distance_m", Kind::Real},
    {"speed_kmh", Kind::Real},
    {"piece", Kind::Integer},
}};
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

inline constexpr std::array<Field, 15> kLinkFields = {{
    {"trace", Kind::Text},
    {"piece", Kind::Integer},
    {"link", Kind::Integer},
    {"way_id", Kind::Integer64},
    {"from_osm_node", Kind::Integer64},
    {"to_osm_node", Kind::Integer64},
    {"name", Kind::Text},
    {"ref", Kind::Text},
    {"highway", Kind::Text},
    {"maxspeed_kmh", Kind::Real},
    {"oneway", Kind::Boolean},
    {"entered", Kind::DateTime},
    {"left", Kind::DateTime},
    {"driven_m", Kind::Real},
    {"speed_kmh", Kind::Real},
}};
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

inline constexpr int kWgs84 = 4326;

// The page size of the made file: bigger pages than SQLite's usual 4 KiB mean fewer page splits
// and writes when a hundred thousand rows go in, for little more room when there are none.
inline constexpr int kPageSize = 16384;

// The empty GeoPackage the build made, compiled in (gpkg_template.cpp, generated).
extern const unsigned char kTemplate[];
extern const size_t kTemplateSize;

}  // namespace matchApp::gpkg
