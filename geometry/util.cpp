#include "geometry/util.h"

#include <iomanip>
#include <sstream>

std::string toStringKey(double a, double b) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(9) << a << ',' << b;
    return out.str();
}

std::string positionToStringKey(const _position& p) {
    return toStringKey(p.lat, p.lon);
}

_position stringKeyToPosition(const std::string& key) {
    _position p;
    std::istringstream in(key);
    in >> p.lat;
    in.ignore(1);
    in >> p.lon;
    return p;
}
