// Small hand-built maps in local metres, for the matcher tests: node points are exactly
// (kE0 + x, kN0 + y) in UTM zone 29, so every distance to a link is exact. Header-only, so that
// only the rooms that have maps and matchers include it.
#pragma once

#include <array>
#include <memory>
#include <numbers>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "traces/path.h"
#include "traces/route.h"

namespace local_world {

// A round UTM origin near the central meridian of zone 29 (northern Portugal).
constexpr double kE0 = 500500.0;
constexpr double kN0 = 4555000.0;
constexpr double kNorth = 0.0;
constexpr double kEast = std::numbers::pi / 2;
constexpr double kWest = 3 * std::numbers::pi / 2;

inline _position localToPosition(double x, double y) {
    const GPSPoint g = GPSPoint::convertUTMToWGS84(kE0 + x, kN0 + y, 29, 'T');
    return {g.latitude, g.longitude};
}

struct World {
    mapRepresentation::Map map;
    uint32_t nextNode = 1;

    uint32_t node(double x, double y) {
        const _position p = localToPosition(x, y);
        const uint32_t id = map.addNode(nextNode++, p.lat, p.lon, 0, 0);
        map.nodes[id].easting = kE0 + x;
        map.nodes[id].northing = kN0 + y;
        return id;
    }
    int link(uint32_t a, uint32_t b) { return map.addLinkToNode(a, b, 0, 0); }
    // One-way links through the given nodes, in driving order.
    std::vector<int> road(const std::vector<uint32_t>& through) {
        std::vector<int> ids;
        for (size_t k = 1; k < through.size(); ++k) ids.push_back(link(through[k - 1], through[k]));
        return ids;
    }
    // One-way links along y from x0 to x1 in steps; returns the link ids in travel order.
    std::vector<int> chain(double x0, double x1, double stepLength, double y) {
        std::vector<uint32_t> through;
        for (double x = x0; x <= x1 + 1e-9; x += stepLength) through.push_back(node(x, y));
        return road(through);
    }
};

// A trace point at local (x, y) with the given heading.
inline _node point(double x, double y, double heading = kEast) {
    _node n;
    n.position = localToPosition(x, y);
    n.easting = kE0 + x;
    n.northing = kN0 + y;
    n.heading = heading;
    return n;
}

// A matched piece of the given (point, link) pairs.
inline std::unique_ptr<Path> pathOf(std::vector<std::pair<int, int>> pairs) {
    auto p = std::make_unique<Path>();
    p->links = std::move(pairs);
    p->startIndex = p->links.front().first;
    p->lastIndex = p->links.back().first;
    return p;
}

// The unmatched records of any matcher, as plain arrays that compare and print.
using Records = std::vector<std::array<int, 6>>;
template <typename Matcher>
Records records(Matcher&& m) {
    Records out;
    for (const auto& u : m.getUnmatchedInfo())
        out.push_back({u->startNode, u->endNode, u->lastMatch, u->nextMatch, u->lastPath, u->nextPath});
    return out;
}

}  // namespace local_world
