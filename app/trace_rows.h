// The rows every result format writes for one matched trace: a row per fix (where it was, where it
// lies on its road, the road's OSM identity and attributes, how far and how fast the vehicle had
// driven along the route) and a row per driven link (when it was entered and left, how much of it
// was driven, how fast). CSV, GeoJSON and GeoPackage all read these, so they agree by construction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/match_geometry.h"
#include "map/compact_map.h"
#include "map/link_table.h"
#include "traces/route.h"

namespace matchApp {

struct FixRow {
    FixOnMap fix;                                                   // link -1: not matched
    const mapRepresentation::LinkAttributes* attributes = nullptr;  // null: none known
    double offset = 0.0;                  // metres from the link's origin to the snapped position
    std::optional<double> routeDistance;  // metres driven since the trace's first matched fix
    std::optional<double> speed;          // km/h along the route since the piece's previous fix
};

struct LinkRow {
    int piece = 0;
    int link = 0;
    const mapRepresentation::LinkAttributes* attributes = nullptr;
    std::optional<double> entered;  // trace time in seconds (fractions interpolated); none untimed
    std::optional<double> left;
    double metres = 0.0;          // driven on this link
    std::optional<double> speed;  // km/h
    std::vector<_position> line;  // the part driven, in driving order
};

struct TraceRows {
    TraceOnMap laid;
    std::vector<FixRow> fixes;   // one per trace point, in point order
    std::vector<LinkRow> links;  // in driving order, piece by piece
};

// Lays the trace on the map along the decided routes (see layOnMap) and measures it. Distances along the
// route count only the driven pieces: the gap between two pieces is not known to have been driven. `table`
// may be null.
TraceRows traceRows(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                    const mapRepresentation::CompactMap& map, const mapRepresentation::LinkGraph& graph,
                    const mapRepresentation::LinkTable* table, const traces::DrivenRoutes& routes = {});

// isoUtcText of a trace time, fast for times that come a second apart.
std::string isoUtcSeconds(uint32_t time);
// "YYYY-MM-DDThh:mm:ss.sZ" for a trace time with fractions (tenths), "" for none.
std::string isoUtcTenths(std::optional<double> time);

}  // namespace matchApp
