// One plane per computation: inside a zone it is each point's own UTM, bit for bit; across zone lines
// distances agree with the ellipsoid (GeographicLib's geodesics as the oracle).
#include "geometry/plane_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "geometry/GPSPoint.h"

#ifdef KARVEL_HAVE_GEOGRAPHICLIB
#include <GeographicLib/Geodesic.hpp>
#endif

using geo::PlaneFrame;

TEST(PlaneFrame, InsideOneZoneItIsEachPointsOwnUtm) {
    const _position places[] = {{41.15, -8.61}, {-33.9, 18.4}, {48.1, 11.99}, {0.0, 3.0}, {-0.5, 12.01}};
    for (const _position& p : places) {
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(p.lat, p.lon);
        for (const PlaneFrame& f : {PlaneFrame(), PlaneFrame::around(p),
                                    PlaneFrame::spanning(p.lat, p.lon, p.lat + 0.01, p.lon + 0.001)}) {
            const Point q = f.toPlane(p);
            EXPECT_EQ(q.x, g.easting) << p.lat << "," << p.lon;
            EXPECT_EQ(q.y, g.northing) << p.lat << "," << p.lon;
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
