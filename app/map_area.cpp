#include "app/map_area.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "geometry/plane_frame.h"

namespace matchApp {

MapArea MapArea::of(const mapRepresentation::CompactMap& map) {
    MapArea a;
    for (uint32_t i = 0; i < map.nodeCount(); ++i) {
        const mapRepresentation::CompactNode& n = map.node(i);
        if (a.empty) {
            a = MapArea{n.latitude, n.longitude, n.latitude, n.longitude, false};
            continue;
        }
        a.south = std::min(a.south, n.latitude);
        a.north = std::max(a.north, n.latitude);
        a.west = std::min(a.west, n.longitude);
        a.east = std::max(a.east, n.longitude);
    }
    return a;
}

double MapArea::kilometresTo(const _position& p) const {
    if (empty) return std::numeric_limits<double>::quiet_NaN();
    const double lat = std::clamp(p.lat, south, north);
    const double lon = std::clamp(p.lon, west, east);
    return geo::greatCircleDistance(p, _position{lat, lon}) / 1000.0;
}

double MapArea::kilometresTo(const Route& route) const {
    double best = std::numeric_limits<double>::quiet_NaN();
    for (const _node& n : route.nodes) {
        const double d = kilometresTo(n.position);
        if (!(d >= best)) best = d;
    }
    return best;
}

}  // namespace matchApp
