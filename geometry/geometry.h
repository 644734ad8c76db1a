#pragma once

// Planar geometry in UTM metres (x = easting, y = northing) and heading arithmetic.
// Headings are radians clockwise from north, in [0, 2*pi).
// The small functions are inline: the matchers call them in their inner loops.

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace karvel_geometry_detail {
inline constexpr double kProjectionEpsilon = 1e-12;
}  // namespace karvel_geometry_detail

struct Point {
    double x = 0, y = 0;

    // Accumulate into this point; the left operand changes and nothing is returned.
    void operator+(const Point& other) {
        x += other.x;
        y += other.y;
    }
    void operator-(const Point& other) {
        x -= other.x;
        y -= other.y;
    }

    bool operator==(const Point& other) const = default;
};

struct Vector {
    double x = 0, y = 0;

    Vector() = default;
    Vector(double x_, double y_) : x(x_), y(y_) {}
    // The vector from (x1, y1) to (x2, y2).
    Vector(double x1, double y1, double x2, double y2) : x(x2 - x1), y(y2 - y1) {}

    double dotProduct(const Vector& other) const { return x * other.x + y * other.y; }
    double norm() const { return std::sqrt(x * x + y * y); }

    // Angle between the two vectors in [0, pi]. A zero vector gives NaN. The cosine is clamped
    // to [-1, 1] so that parallel vectors cannot give NaN through rounding (NaN passes through).
    double getAngle(const Vector& other) const {
        double c = dotProduct(other) / (other.norm() * norm());
        if (c > 1.0)
            c = 1.0;
        else if (c < -1.0)
            c = -1.0;
        return std::acos(c);
    }
    double getDegreeAngle(const Vector& other) const;
};

struct _position {
    double lat = 0, lon = 0;

    bool operator==(const _position& other) const = default;
};

inline double rad2deg(double r) {
    return 180.0 / std::numbers::pi * r;
}
inline double deg2rad(double d) {
    return std::numbers::pi / 180.0 * d;
}

inline double Vector::getDegreeAngle(const Vector& other) const {
    return rad2deg(getAngle(other));
}

inline double distance2Points(double x1, double y1, double x2, double y2) {
    return Vector(x1, y1, x2, y2).norm();
}
inline double distance2Points(const Point& a, const Point& b) {
    return distance2Points(a.x, a.y, b.x, b.y);
}

// Compass heading of the move from -> to. Identical points give NaN (0 / 0); callers must expect it.
inline double calcHeading(const Point& from, const Point& to) {
    const Vector d(from.x, from.y, to.x, to.y);
    double angle = Vector(0, 1).getAngle(d);
    if (d.dotProduct(Vector(-1, 0)) > 0) angle = 2 * std::numbers::pi - angle;
    return angle;
}

// Smallest angle between two headings, in [0, pi] for headings in [0, 2*pi).
inline double diffRadHeading(double h1, double h2) {
    const double d = std::fabs(h1 - h2);
    return d >= std::numbers::pi ? 2 * std::numbers::pi - d : d;
}

// h moved by one full turn towards reference when they lie more than half a turn apart,
// so that reference - h has no wrap-around jump.
inline double ajustHeadingToInterval(double h, double reference) {
    if (std::fabs(reference - h) <= std::numbers::pi) return h;
    return reference <= h ? h - 2 * std::numbers::pi : h + 2 * std::numbers::pi;
}

// Planar (easting, northing) of a geographic position, in the position's own UTM zone.
Point positionToPoint(const _position& p);

// Projection of c onto the line through a and b. first: the foot lies inside the bounding box
// of a-b (bounds inclusive); second: the foot, returned in both cases.
inline std::pair<bool, Point> getPointProjection(const Point& a, const Point& b, const Point& c) {
    using karvel_geometry_detail::kProjectionEpsilon;
    Point proj;
    if (std::fabs(b.x - a.x) < kProjectionEpsilon) {
        proj = Point{a.x, c.y};
    } else if (std::fabs(b.y - a.y) < kProjectionEpsilon) {
        proj = Point{c.x, a.y};
    } else {
        // Slope-intercept form, evaluated relative to a: with absolute UTM coordinates the
        // intercept of a steep segment cancels catastrophically (metres of error).
        const double m = (b.y - a.y) / (b.x - a.x);
        const double mPerp = -1.0 / m;
        const double cx = c.x - a.x;
        const double cy = c.y - a.y;
        const double x = (cy - cx * mPerp) / (m - mPerp);
        proj = Point{a.x + x, a.y + m * x};
    }
    const bool within = std::min(a.y, b.y) <= proj.y && proj.y <= std::max(a.y, b.y) &&
                        std::min(a.x, b.x) <= proj.x && proj.x <= std::max(a.x, b.x);
    return {within, proj};
}

// Nearest point of segment a-b to c and its distance. On a tie (zero-length segment) b wins.
inline std::pair<Point, double> getNearestPointFromLink(const Point& a, const Point& b, const Point& c) {
    const auto [within, proj] = getPointProjection(a, b, c);
    if (within) return {proj, distance2Points(c, proj)};
    const double da = distance2Points(c, a);
    const double db = distance2Points(c, b);
    if (db <= da) return {b, db};
    return {a, da};
}
