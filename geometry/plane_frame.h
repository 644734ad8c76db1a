// The one place that decides how positions become planar metres. A UTM zone's transverse Mercator is
// exact enough only near its own central meridian, and the coordinates of two zones share no origin:
// a 250 m link across a zone line would measure hundreds of kilometres. So every computation that
// compares positions (a map and the traces matched on it, two points of an evaluation) projects them
// all through one frame: the series of one zone, carried on past that zone's edges, with the false
// northing of one hemisphere. For points inside one zone and hemisphere the frame is exactly what
// each point's own UTM conversion gives, bit for bit.
#pragma once

#include <cstdint>

#include "geometry/geometry.h"

namespace geo {

class PlaneFrame {
public:
    // Unset: each point in its own zone, until a frame is chosen.
    PlaneFrame() = default;
    // The frame of one UTM zone and hemisphere.
    static PlaneFrame ofZone(int32_t zone, bool south);
    // The frame of a point's own zone and hemisphere.
    static PlaneFrame around(const _position& p);
    // A frame for everything within the box: the zone of its middle longitude (so a box inside one
    // zone gets that zone) and the hemisphere of its middle latitude.
    static PlaneFrame spanning(double south, double west, double north, double east);

    bool isSet() const { return zone_ != 0; }
    int32_t zone() const { return zone_; }
    bool south() const { return south_; }

    // Easting and northing of p in this frame (in p's own zone while unset).
    Point toPlane(const _position& p) const;
    // The position of a planar point of this frame (of the zone of `reference` while unset).
    _position toGeographic(const Point& p, const _position& reference) const;

    bool operator==(const PlaneFrame& other) const = default;

private:
    int32_t zone_ = 0;
    bool south_ = false;
};

// Growing longitude and latitude box of a set of positions; it spans nothing while empty.
struct GeoBox {
    double south = 0, west = 0, north = 0, east = 0;
    bool empty = true;

    void add(const _position& p);
    PlaneFrame frame() const { return empty ? PlaneFrame() : PlaneFrame::spanning(south, west, north, east); }
};

// Metres between two positions, whatever zones they lie in: planar in the frame spanning both.
double groundDistance(const _position& a, const _position& b);
// Metres along the sphere of the Earth's mean radius (haversine): for distances too long for one
// plane, such as how far a trace lies from a map, where a fraction of a percent does not matter.
double greatCircleDistance(const _position& a, const _position& b);

}  // namespace geo
