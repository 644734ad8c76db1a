// Where a matched trace lies on the map: per fix the snapped position on its link and the distance
// to it, per piece the driven line through every link (also those crossed between fixes), cut at the
// first and last snapped positions. The writers of CSV and GeoJSON results read it.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "geometry/geometry.h"
#include "map/compact_map.h"
#include "map/link_graph.h"
#include "traces/path.h"
#include "traces/route.h"

namespace matchApp {

struct FixOnMap {
    int point = 0;
    int link = -1;   // -1: the fix is in no piece
    int piece = -1;  // index of its piece in the trace's path list
    _position snapped{};
    double distance = 0.0;  // metres from the fix to its link
};

struct DrivenPiece {
    int piece = 0;
    int firstPoint = -1;
    int lastPoint = -1;
    std::vector<int> links;  // every link driven, in order, crossed ones included
    // One run of positions per stretch the links connect; more than one only where two consecutive
    // links could not be joined on the map.
    std::vector<std::vector<_position>> lines;
};

struct TraceOnMap {
    std::vector<FixOnMap> fixes;  // one per trace point, in point order
    std::vector<DrivenPiece> pieces;
};

// The nearest point of `link` to `at` and the distance to it; nothing when the map lacks the link.
std::optional<std::pair<_position, double>> snapToLink(const mapRepresentation::CompactMap& map, int link,
                                                       const _node& at);

// Lays the paths of one trace on the map. A piece drives the links its matcher decided (`routes`, one
// per path); without them, consecutive links of a piece that do not meet are joined by the fewest
// links between them. A pair that names a point the route lacks, or a link the map lacks, places no fix.
TraceOnMap layOnMap(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                    const mapRepresentation::CompactMap& map, const mapRepresentation::LinkGraph& graph,
                    const traces::DrivenRoutes& routes = {});

}  // namespace matchApp
