#include "traces/route.h"

#include <ctime>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>

#include "traces/trace_time.h"

namespace {

Point planar(const _node& n) {
    return Point{n.easting, n.northing};
}

// Seconds from a to b in unsigned 32-bit arithmetic: a later point that is earlier than its
// predecessor wraps to nearly 2^32 seconds.
double elapsedSeconds(const _node& from, const _node& to) {
    return static_cast<double>(static_cast<uint32_t>(to.arrivalTime - from.leaveTime));
}

std::string ctimeText(uint32_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    const char* text = std::ctime(&t);
    return text != nullptr ? text : "\n";
}

}  // namespace

Route::Route(const std::vector<_node>& points, const std::string& routeName, const std::string& source)
    : nodes(points), sourceFile(source), name(routeName) {}

void Route::addNode(_node n, bool computeDerived) {
    if (computeDerived) {
        if (nodes.empty()) {
            n.heading = 0.0;
            n.speed = 0.0;
        } else {
            const _node& p = nodes.back();
            double dt = elapsedSeconds(p, n);
            // Receivers that report several fixes within one second would otherwise divide by zero.
            if (dt == 0.0) dt = 0.5;
            n.speed = distance2Points(p.easting, p.northing, n.easting, n.northing) / dt;
            n.heading = calcHeading(planar(p), planar(n));
            // The first point has no predecessor of its own; it borrows the first move's values.
            if (nodes.size() == 1) {
                nodes.front().heading = n.heading;
                nodes.front().speed = n.speed;
            }
        }
    }
    nodes.push_back(n);
}

void Route::merge(const Route& other, bool computeDerived) {
    if (other.nodes.empty()) return;
    const size_t before = nodes.size();
    if (&other == this) {
        const std::vector<_node> copy = other.nodes;
        nodes.insert(nodes.end(), copy.begin(), copy.end());
    } else {
        nodes.insert(nodes.end(), other.nodes.begin(), other.nodes.end());
    }
    if (!computeDerived || before == 0) return;

    const _node& p = nodes[before - 1];
    _node& q = nodes[before];
    const double dist = distance2Points(p.easting, p.northing, q.easting, q.northing);
    const double dt = elapsedSeconds(p, q);
    // No half-second substitute here: equal times give an infinite speed (or NaN at zero distance).
    if (dt != 0.0)
        q.speed = dist / dt;
    else
        q.speed =
            dist > 0.0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    q.heading = calcHeading(planar(p), planar(q));
}

Route Route::subRoute(int first, int last) const {
    if (first < 0 || last < first || static_cast<size_t>(last) >= nodes.size()) return Route();
    return Route(std::vector<_node>(nodes.begin() + first, nodes.begin() + last + 1), name, sourceFile);
}

Route Route::reversedRoute() const {
    Route result(std::vector<_node>(nodes.rbegin(), nodes.rend()), "reversed_" + name, sourceFile);
    std::vector<_node>& r = result.nodes;
    for (size_t i = 1; i < r.size(); ++i) {
        r[i].heading = calcHeading(planar(r[i - 1]), planar(r[i]));
        if (i == 1) r[0].heading = r[1].heading;
    }
    return result;
}

double Route::getTotalLength() const {
    double total = 0.0;
    for (size_t i = 1; i < nodes.size(); ++i)
        total +=
            distance2Points(nodes[i - 1].easting, nodes[i - 1].northing, nodes[i].easting, nodes[i].northing);
    return total;
}

void Route::setOriginalFilename(const std::string& path, bool setName) {
    sourceFile = path;
    if (!setName) return;
    if (path.empty()) {
        name = path;
        return;
    }
    const size_t slash = path.find_last_of("/\\");
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    size_t end = path.find_last_of('.');
    // A dot that belongs to a directory name does not cut the file name.
    if (end == std::string::npos || end < start) end = path.size();
    name = path.substr(start, end - start);
}

void Route::printRoute() const {
    std::cout << std::fixed << std::setprecision(9);
    std::cout << "\n### ROUTE with ### " << nodes.size() << " points.\n";
    for (const _node& n : nodes) std::cout << n.position.lat << "   " << n.position.lon << "\n";
    std::cout << "\n";
}

std::string Route::pointToKml(int i) const {
    if (i < 0 || static_cast<size_t>(i) >= nodes.size()) return "";
    const _node& n = nodes[static_cast<size_t>(i)];
    const double headingDeg = rad2deg(n.heading);
    std::ostringstream s;
    s << std::fixed << std::setprecision(9);
    s << "<Placemark>\n";
    s << "<description>" << i << "<br/>"
      << "lon,lat: " << n.position.lon << "," << n.position.lat << "<br/>"
      << "xy: " << n.easting << "," << n.northing << "<br/>"
      << "Heading: " << headingDeg << "<br/>"
      << "Speed: " << n.speed << "m/s<br/>"
      << "HDOP: " << n.hdop << "<br/>Arrival Time: " << ctimeText(n.arrivalTime) << "<br/>"
      << "Leave Time: " << ctimeText(n.leaveTime) << "<br/>Validity: " << (n.valid ? 1 : 0)
      << "<br/>AverageSNR: " << n.averageSnr << "<br/>"
      << "</description><br/>\n";
    s << "<Style><IconStyle><Icon><href>" << kKmlIconServer << "/mapfiles/kml/shapes/arrow.png</href></Icon>"
      << "<scale>" << 0.5 << "</scale>"
      << "<heading>" << headingDeg + 180 << "</heading></IconStyle></Style>\n";
    s << "<LookAt>\n";
    s << "<longitude>" << n.position.lon << "</longitude>\n";
    s << "<latitude>" << n.position.lat << "</latitude>\n";
    s << "<heading>" << headingDeg << "</heading>\n";
    s << "<range>50.0</range>\n";
    s << "<tilt>0.0</tilt>\n";
    s << "</LookAt>\n";
    s << "<Point>\n";
    s << "<coordinates>" << n.position.lon << "," << n.position.lat << ",0</coordinates>\n";
    s << "</Point>\n";
    s << "</Placemark>\n";
    return s.str();
}

namespace traces {

void forgetUntimedSpeeds(Route& route) {
    std::vector<_node>& nodes = route.nodes;
    for (size_t i = 1; i < nodes.size(); ++i)
        if (nodes[i].arrivalTime == kTraceNoTime || nodes[i - 1].leaveTime == kTraceNoTime)
            nodes[i].speed = 0.0;
    if (nodes.size() >= 2) nodes[0].speed = nodes[1].speed;
}

void useFrame(Route& route, const geo::PlaneFrame& frame) {
    bool moved = false;
    for (_node& n : route.nodes) {
        const Point q = frame.toPlane(n.position);
        if (q == planar(n)) continue;
        n.easting = q.x;
        n.northing = q.y;
        moved = true;
    }
    if (!moved) return;
    std::vector<_node> points;
    points.swap(route.nodes);
    for (const _node& n : points) route.addNode(n, true);
}

}  // namespace traces
