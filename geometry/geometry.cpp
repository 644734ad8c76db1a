#include "geometry/geometry.h"

#include "geometry/GPSPoint.h"

Point positionToPoint(const _position& p) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(p.lat, p.lon);
    return Point{g.easting, g.northing};
}
