#include "geometry/plane_frame.h"

#include <algorithm>
#include <cmath>

#include "geometry/GPSPoint.h"
#include "geometry/ellipsoid.h"

namespace geo {

PlaneFrame PlaneFrame::ofZone(int32_t zone, bool south) {
    PlaneFrame f;
    f.zone_ = zone;
    f.south_ = south;
    return f;
}

PlaneFrame PlaneFrame::around(const _position& p) {
    return ofZone(GPSPoint::getZone(p.lon), p.lat < 0);
}

PlaneFrame PlaneFrame::spanning(double south, double west, double north, double east) {
    return around(_position{(south + north) / 2, (west + east) / 2});
}

Point PlaneFrame::toPlane(const _position& p) const {
    GPSPoint g;
    g.setVariablesWGS(p.lat, p.lon);
    if (!isSet()) return Point{g.getEasting(), g.getNorthing(p.lat)};
    // The point's offset from this frame's central meridian instead of its own zone's; written as
    // the conversion writes it, so that a point of the frame's own zone gets the very same bits.
    const double z = zone_;
    g.p = (p.lon - (6 * z - 183)) * 3600 / 10000;
    return Point{g.getEasting(), g.getNorthing(south_ ? -1.0 : 1.0)};
}

_position PlaneFrame::toGeographic(const Point& p, const _position& reference) const {
    const int32_t zone = isSet() ? zone_ : GPSPoint::getZone(reference.lon);
    const char band = isSet() ? (south_ ? 'A' : 'N') : GPSPoint::getLatZone(reference.lat);
    const GPSPoint g = GPSPoint::convertUTMToWGS84(p.x, p.y, zone, band);
    return _position{g.latitude, g.longitude};
}

void GeoBox::add(const _position& p) {
    if (empty) {
        south = north = p.lat;
        west = east = p.lon;
        empty = false;
        return;
    }
    south = std::min(south, p.lat);
    north = std::max(north, p.lat);
    west = std::min(west, p.lon);
    east = std::max(east, p.lon);
}

double groundDistance(const _position& a, const _position& b) {
    GeoBox box;
    box.add(a);
    box.add(b);
    const PlaneFrame frame = box.frame();
    return distance2Points(frame.toPlane(a), frame.toPlane(b));
}

double greatCircleDistance(const _position& a, const _position& b) {
    const double dLat = deg2rad(b.lat - a.lat), dLon = deg2rad(b.lon - a.lon);
    const double h = std::sin(dLat / 2) * std::sin(dLat / 2) + std::cos(deg2rad(a.lat)) *
                                                                   std::cos(deg2rad(b.lat)) *
                                                                   std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2.0 * wgs84::kMeanRadius * std::asin(std::sqrt(std::min(1.0, h)));
}

}  // namespace geo
