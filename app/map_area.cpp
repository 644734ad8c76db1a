#include "app/map_area.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "geometry/plane_frame.h"

namespace matchApp {

MapArea MapArea::of(const mapRepresentation::CompactMap& map) {
    // Kept in the form's header: a country's nodes are not read for it.
    const std::optional<mapRepresentation::CompactArea> area = map.area();
    if (!area) return MapArea{};
    return MapArea{area->south, area->west, area->north, area->east, false};
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
