// Small planar worlds for the genetic-only matcher tests: map nodes and trace points at UTM
// offsets (metres) from one origin.
#pragma once

#include <array>
#include <numbers>
#include <vector>

#include "geometry/GPSPoint.h"
#include "matching/GenMapMatching.h"

namespace genonly_test {

inline constexpr double kEast = std::numbers::pi / 2;
inline constexpr double kNorth = 0.0;

inline _node point(double x, double y, double heading = kEast) {
    _node p;
    const GPSPoint g = GPSPoint::convertUTMToWGS84(500500.0 + x, 4555000.0 + y, 29, 'T');
    p.position = {g.latitude, g.longitude};
    p.easting = 500500.0 + x;
    p.northing = 4555000.0 + y;
    p.heading = heading;
    return p;
}

struct World {
    mapRepresentation::Map map;
    uint32_t nextNode = 1;
    uint32_t node(double x, double y) {
        const _node p = point(x, y);
        const uint32_t id = map.addNode(nextNode++, p.position.lat, p.position.lon, 0, 0);
        map.nodes[id].easting = p.easting;  // exact, so that ties stay ties
        map.nodes[id].northing = p.northing;
        return id;
    }
    int link(uint32_t a, uint32_t b) { return map.addLinkToNode(a, b, 0, 0); }
};

inline std::vector<std::array<int, 6>> records(const MapMatching::GenMapMatching& g) {
    std::vector<std::array<int, 6>> out;
    for (const auto& u : g.getUnmatchedInfo())
        out.push_back({u->startNode, u->endNode, u->lastMatch, u->nextMatch, u->lastPath, u->nextPath});
    return out;
}

}  // namespace genonly_test
