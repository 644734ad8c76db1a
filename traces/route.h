// A GPS trace: the ordered trace points of one NMEA file, with the file it came from and a short name.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/plane_frame.h"

// Base of the icon server used by KML placemarks; the KML writers share it.
inline constexpr const char* kKmlIconServer = "http://maps.google.com";

// One trace point. Times are whole seconds of calendar time; heading is radians clockwise from north.
struct _node {
    uint32_t arrivalTime = 0;
    uint32_t leaveTime = 0;
    _position position{};
    double northing = 0.0;
    double easting = 0.0;
    double heading = 0.0;
    double speed = 0.0;
    double hdop = 0.0;
    double averageSnr = 0.0;
    bool valid = false;
    // What the receiver itself reported (speed in m/s, course in radians clockwise from north), NaN
    // where it reported nothing. speed and heading above are derived from the positions and say
    // nothing of a vehicle standing still among scattered fixes.
    double reportedSpeed = std::numeric_limits<double>::quiet_NaN();
    double reportedCourse = std::numeric_limits<double>::quiet_NaN();
};

class Route {
public:
    std::vector<_node> nodes;
    std::string sourceFile;
    std::string name;

    Route() = default;
    // Note the order: the short name comes before the source file.
    Route(const std::vector<_node>& points, const std::string& routeName, const std::string& source);

    // Appends a point; with computeDerived its speed and heading come from the previous point.
    void addNode(_node n, bool computeDerived);
    // Appends all points of other; with computeDerived the first appended point is recomputed.
    void merge(const Route& other, bool computeDerived);
    // Points first..last inclusive; empty route when the range is invalid.
    Route subRoute(int first, int last) const;
    Route reversedRoute() const;
    // Length in metres of the polyline through the points.
    double getTotalLength() const;
    void setOriginalFilename(const std::string& path, bool setName);
    // Writes the positions to standard output (leaves std::cout in fixed notation, 9 decimals).
    void printRoute() const;
    // KML placemark describing point i ("" when i is out of range).
    std::string pointToKml(int i) const;
};

namespace traces {

// Brings the route's planar points into `frame` (the map's it is matched on), with speed and heading
// derived again as the loaders derive them. A route already in that frame is left exactly as it was.
void useFrame(Route& route, const geo::PlaneFrame& frame);

// A speed needs a time at both ends of the move: where either is missing it is unknown (0), not the
// distance over a guessed interval. The first point takes the speed of the move after it.
void forgetUntimedSpeeds(Route& route);

}  // namespace traces
