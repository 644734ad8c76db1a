// How far a trace lies from the area a map covers, for the messages that tell a user that the trace
// and the map do not meet.
#pragma once

#include <vector>

#include "geometry/geometry.h"
#include "map/compact_map.h"
#include "traces/route.h"

namespace matchApp {

// The latitude/longitude box of the map's nodes.
struct MapArea {
    double south = 0.0, west = 0.0, north = 0.0, east = 0.0;
    bool empty = true;

    static MapArea of(const mapRepresentation::CompactMap& map);
    // Kilometres along the Earth's surface from `p` to the nearest point of the box (0 inside it,
    // NaN when the map has no node). The box is taken as it is: this is for messages, not matching.
    double kilometresTo(const _position& p) const;
    // The least of that over the fixes of `route` (NaN without fixes or nodes).
    double kilometresTo(const Route& route) const;
};

}  // namespace matchApp
