// Planar geometry and headings.
#include <gtest/gtest.h>

#include <cmath>

#include "geometry/geometry.h"

namespace {
const double kPi = std::acos(-1.0);
}

TEST(Planar, PointsAnglesAndHeadings) {
    Point p{1, 2};
    p + Point{10, 20};
    p - Point{1, 1};
    EXPECT_EQ(p, (Point{10, 21}));
    EXPECT_EQ(distance2Points(Point{1, 1}, Point{4, 5}), 5.0);
    EXPECT_DOUBLE_EQ(Vector(1, 0).getDegreeAngle(Vector(0, 1)), 90.0);
    // The cosine of these parallel vectors rounds to 1 + 2^-52; the angle must still be 0.
    EXPECT_EQ(Vector(0.1, 0.6).getAngle(Vector(0.2, 1.2)), 0.0);
    EXPECT_TRUE(std::isnan(Vector(0, 0).getAngle(Vector(1, 0))) &&
                std::isnan(calcHeading(Point{3, 4}, Point{3, 4})));

    const std::pair<Point, double> headings[] = {
        {{0, 1}, 0}, {{1, 0}, kPi / 2}, {{0, -1}, kPi}, {{-1, 0}, 3 * kPi / 2}, {{-1, 1}, 7 * kPi / 4}};
    for (const auto& [p, h] : headings) EXPECT_DOUBLE_EQ(calcHeading(Point{}, p), h) << p.x << "," << p.y;
    EXPECT_NEAR(diffRadHeading(0.1, 2 * kPi - 0.1), 0.2, 1e-12);
    EXPECT_DOUBLE_EQ(diffRadHeading(0, kPi), kPi);
    EXPECT_EQ(std::tuple(ajustHeadingToInterval(6.0, 0.2), ajustHeadingToInterval(0.2, 6.0),
                         ajustHeadingToInterval(0.0, kPi)),  // exactly half a turn stays
              std::tuple(6.0 - 2 * kPi, 0.2 + 2 * kPi, 0.0));
}

TEST(Planar, ProjectionAndNearestPointOfLink) {
    EXPECT_EQ(getPointProjection(Point{0, 0}, Point{10, 0}, Point{5, 5}), std::pair(true, Point{5, 0}));
    EXPECT_EQ(getPointProjection(Point{0, 0}, Point{10, 0}, Point{15, 5}), std::pair(false, Point{15, 0}));
    // Oblique, onto an end point: bounds are inclusive.
    EXPECT_TRUE(getPointProjection(Point{0, 0}, Point{10, 10}, Point{-5, 5}).first);
    // Ends closer than 1e-12 in x: exactly vertical through a.x.
    EXPECT_EQ(getPointProjection(Point{2, 0}, Point{2 + 5e-13, 10}, Point{7, 3}).second, (Point{2, 3}));
    // Slope 1e11 at UTM scale: an intercept taken at the origin would lose metres to cancellation.
    const auto r =
        getPointProjection(Point{500000, 4500000}, Point{500000 + 1e-9, 4500100}, Point{500010, 4500050});
    EXPECT_TRUE(r.first && std::fabs(r.second.x - 500000) < 1e-6 && std::fabs(r.second.y - 4500050) < 1e-6);

    const Point a{0, 0}, b{10, 0};
    EXPECT_EQ(getNearestPointFromLink(a, b, Point{5, 1}), std::pair(Point{5, 0}, 1.0));
    EXPECT_EQ(getNearestPointFromLink(a, b, Point{-3, 4}), std::pair(a, 5.0));
    EXPECT_EQ(getNearestPointFromLink(Point{3, 3}, Point{3, 3}, Point{6, 7}), std::pair(Point{3, 3}, 5.0));
}
