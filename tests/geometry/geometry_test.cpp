// Planar geometry and headings; WGS84/UTM conversion (zones, band letters, an exact transverse Mercator
// as oracle); one plane per computation: inside a zone it is each point's own UTM, bit for bit, and
// across zone lines distances agree with the ellipsoid (GeographicLib's geodesics as the oracle).
#include "geometry/geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "geometry/GPSPoint.h"
#include "geometry/plane_frame.h"

#ifdef KARVEL_HAVE_GEOGRAPHICLIB
#include <GeographicLib/Geodesic.hpp>
#include <GeographicLib/TransverseMercator.hpp>
#endif

using geo::PlaneFrame;
static const double kPi = std::acos(-1.0);

TEST(Utm, ZonesBandsHemispheresAndNonsense) {
    // A longitude far out gets the largest zone, not an undefined cast.
    const std::pair<double, int> zones[] = {
        {0, 31}, {-0.0001, 30}, {6, 32}, {-180, 1}, {1e300, std::numeric_limits<int32_t>::max()}};
    for (const auto& [lon, zone] : zones) EXPECT_EQ(GPSPoint::getZone(lon), zone) << lon;
    // (-1, 0) is southern and gets the false northing.
    const std::pair<double, char> bands[] = {{41.15, 'T'}, {84, 'Z'}, {90, 'Z'}, {-90, 'A'}, {-8.5, 'M'},
                                             {-80, 'C'},   {0, 'N'},  {8, 'P'},  {-0.5, 'M'}};
    for (const auto& [lat, letter] : bands) EXPECT_EQ(GPSPoint::getLatZone(lat), letter) << lat;
    for (char l : std::string("ACDEFGHJKLMNPQRSTUVWXZ"))
        EXPECT_EQ(GPSPoint::getHemisphere(l), l < 'N' ? 'S' : 'N') << l;
    const LatZones z;
    EXPECT_EQ(z.getLatZoneDegree("T") * 1000 + z.getLatZoneDegree("I") + z.getLatZoneDegree(""), 40000 - 200);
    // Nonsense input is not validated, but must not be undefined behaviour.
    for (double v : {std::nan(""), 1e300, -std::numeric_limits<double>::infinity()}) {
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(v, v);
        (void)GPSPoint::convertUTMToWGS84(g.easting, v, std::numeric_limits<int>::max(), '?');
    }
}

// Grid over latitudes -80..84, every seventh zone, offsets up to the zone edges. Measured maxima
// (metres): forward 0.084 within half a degree of the central meridian and 0.225 up to the edge
// (the rounded arc coefficients and the six-digit sine of one second dominate); inverse 0.0004, so
// forward-then-inverse is bounded by the two (0.084 near the centre, 0.225 at the edges). A missing series
// term costs metres (adding the D^4 footpoint term instead of subtracting it cost 7 m near a zone edge), so
// the bounds leave only a little headroom. Southern points carry the false northing.
TEST(UtmOracle, SeriesAgreeWithExactTransverseMercator) {
#ifndef KARVEL_HAVE_GEOGRAPHICLIB
    GTEST_SKIP() << "needs GeographicLib (libgeographiclib-dev)";
#else
    const auto& tm = GeographicLib::TransverseMercator::UTM();
    const double degToRad = kPi / 180;
    auto ground = [&](double lat1, double lon1, const GPSPoint& g) {
        return std::hypot((g.latitude - lat1) * 111320,
                          (g.longitude - lon1) * 111320 * std::cos(lat1 * degToRad));
    };
    double fwdCentre = 0, fwd = 0, inv = 0;
    for (double lat = -80; lat <= 84; lat += 0.5) {
        for (int zone = 1; zone <= 60; zone += 7) {
            const double lon0 = 6.0 * zone - 183;
            for (double off = -2.9999; off < 3; off += 0.25) {
                const double lon = lon0 + off;
                double x, y;
                tm.Forward(lon0, lat, lon, x, y);
                x += 500000;
                if (lat < 0) y += 10000000;
                const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
                ASSERT_EQ(g.zone, zone) << lat << " " << lon;
                const double f = std::hypot(g.easting - x, g.northing - y);
                fwd = std::max(fwd, f);
                inv = std::max(inv, ground(lat, lon, GPSPoint::convertUTMToWGS84(x, y, zone, g.latZone)));
                if (std::fabs(off) <= 0.5) fwdCentre = std::max(fwdCentre, f);
            }
        }
    }
    // Each maximum as a share of its bound.
    EXPECT_LT(std::max({fwdCentre / 0.09, fwd / 0.24, inv / 0.001}), 1.0)
        << fwdCentre << " " << fwd << " " << inv;
#endif
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

TEST(PlaneFrame, InsideOneZoneItIsEachPointsOwnUtm) {
    const _position places[] = {{41.15, -8.61}, {-33.9, 18.4}, {48.1, 11.99}, {0.0, 3.0}, {-0.5, 12.01}};
    for (const _position& p : places) {
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(p.lat, p.lon);
        for (const PlaneFrame& f : {PlaneFrame(), PlaneFrame::around(p),
                                    PlaneFrame::spanning(p.lat, p.lon, p.lat + 0.01, p.lon + 0.001)}) {
            const Point q = f.toPlane(p);
            EXPECT_EQ(q, (Point{g.easting, g.northing})) << p.lat << "," << p.lon;
            // And back, as the KML writers read a planar point.
            const GPSPoint back = GPSPoint::convertUTMToWGS84(q.x, q.y, g.zone, g.latZone);
            EXPECT_EQ(f.toGeographic(q, p), (_position{back.latitude, back.longitude}));
        }
    }
    EXPECT_EQ(PlaneFrame::spanning(47, 6.5, 49, 11.9), PlaneFrame::ofZone(32, false));
    EXPECT_EQ(PlaneFrame::spanning(-2, 6.5, 1, 11.9), PlaneFrame::ofZone(32, true));
    EXPECT_EQ(PlaneFrame::spanning(47, 11.5, 49, 12.7), PlaneFrame::ofZone(33, false));  // the middle's zone
    EXPECT_FALSE(PlaneFrame().isSet());
}

// A 250 m street across 12 deg E: in each point's own zone it measured hundreds of kilometres.
TEST(PlaneFrame, DistancesAcrossZoneLinesAreGroundDistances) {
    const _position west{48.137, 11.9983}, east{48.137, 12.0017};
    EXPECT_GT(distance2Points(positionToPoint(west), positionToPoint(east)), 100000.0);
    EXPECT_NEAR(geo::groundDistance(west, east), 253.1, 0.3);
    EXPECT_EQ(geo::groundDistance(west, east), geo::groundDistance(east, west));
    // Both sides of the line in one frame, and back to where they were, as near as the two truncated
    // series agree (0.2 m at 3 deg from the central meridian, 0.6 m at 4.5 deg).
    const PlaneFrame f = PlaneFrame::ofZone(32, false);
    for (const _position& p : {west, east, _position{48.2, 13.5}}) {
        const _position back = f.toGeographic(f.toPlane(p), p);
        EXPECT_NEAR(back.lat, p.lat, 1e-5);
        EXPECT_NEAR(back.lon, p.lon, 1e-5);
    }
    // Across the equator: one false northing for both.
    EXPECT_NEAR(geo::groundDistance({-0.001, 10.0}, {0.001, 10.0}), 221.1, 0.3);
}

TEST(PlaneFrame, GroundDistanceAgreesWithGeodesics) {
#ifndef KARVEL_HAVE_GEOGRAPHICLIB
    GTEST_SKIP() << "GeographicLib not available";
#else
    const auto& wgs = GeographicLib::Geodesic::WGS84();
    std::mt19937 rng(29);
    std::uniform_real_distribution<double> lat(-70, 70), zone(1, 60), edge(-0.05, 0.05), step(-0.05, 0.05);
    double worst = 0;
    for (int i = 0; i < 2000; ++i) {
        // Near a zone line, up to about 5 km apart.
        const double line = 6.0 * std::floor(zone(rng)) - 180.0;
        const _position a{lat(rng), line + edge(rng)};
        const _position b{a.lat + step(rng), a.lon + step(rng)};
        double s = 0;
        wgs.Inverse(a.lat, a.lon, b.lat, b.lon, s);
        if (s < 1.0) continue;
        worst = std::max(worst, std::fabs(geo::groundDistance(a, b) - s) / s);
    }
    // The frame's scale near its central meridian (0.9996 to 1.0004), plus the series.
    EXPECT_LT(worst, 1e-3);
#endif
}
