// A drive of Kubicka et al. 2015 from the shared data: its road network as a map (node and link ids
// are line numbers + 1), its fixes as a route, and its hand-checked route as link ids.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <set>
#include <string>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "traces/route.h"

namespace karvel_test {

struct KubickaDrive {
    mapRepresentation::Map map;
    Route route;
    std::set<int> truth;
};

// Reads track `id` of the sample folder `dir`, at most `maxFixes` fixes; false when a file is missing.
inline bool loadKubickaDrive(const std::string& dir, const std::string& id, KubickaDrive& d,
                             size_t maxFixes = std::numeric_limits<size_t>::max()) {
    const std::string base = dir + "/" + id;
    std::ifstream nodes(base + ".nodes"), arcs(base + ".arcs"), track(base + ".track"),
        truth(base + ".route");
    if (!nodes || !arcs || !track || !truth) return false;
    double lon = 0, lat = 0, t = 0;
    for (uint32_t node = 1; nodes >> lon >> lat; ++node) d.map.addNode(node, lat, lon, 0, 0);
    for (uint32_t from = 0, to = 0; arcs >> from >> to;) d.map.addLinkToNode(from + 1, to + 1, 0, 0);
    while (d.route.nodes.size() < maxFixes && track >> lon >> lat >> t) {
        _node n;
        n.position = {lat, lon};
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
        n.easting = g.easting;
        n.northing = g.northing;
        n.arrivalTime = n.leaveTime = static_cast<uint32_t>(std::lround(t));
        d.route.addNode(n, true);
    }
    for (int arc = 0; truth >> arc;) d.truth.insert(arc + 1);
    return true;
}

}  // namespace karvel_test
