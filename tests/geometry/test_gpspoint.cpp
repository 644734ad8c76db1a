// WGS84/UTM conversion: worked values, band letters, and an exact transverse Mercator as oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "geometry/GPSPoint.h"

#ifdef KARVEL_HAVE_GEOGRAPHICLIB
#include <GeographicLib/TransverseMercator.hpp>
#endif

TEST(Utm, ZonesBandsAndHemispheres) {
    EXPECT_EQ(GPSPoint::getZone(0), 31);
    EXPECT_EQ(GPSPoint::getZone(-0.0001), 30);
    EXPECT_EQ(GPSPoint::getZone(6), 32);
    EXPECT_EQ(GPSPoint::getZone(-180), 1);
    EXPECT_EQ(GPSPoint::getZone(1e300), std::numeric_limits<int32_t>::max());  // no undefined cast

    const std::pair<double, char> bands[] = {{41.15, 'T'},
                                             {84, 'Z'},
                                             {90, 'Z'},
                                             {-90, 'A'},
                                             {-8.5, 'M'},
                                             {-80, 'C'},
                                             {0, 'N'},
                                             {8, 'P'},
                                             // (-1, 0) is southern and gets the false northing.
                                             {-0.5, 'M'}};
    for (const auto& [lat, letter] : bands) EXPECT_EQ(GPSPoint::getLatZone(lat), letter) << lat;
    for (char l : std::string("ACDEFGHJKLM")) EXPECT_EQ(GPSPoint::getHemisphere(l), 'S') << l;
    for (char l : std::string("NPQRSTUVWXZ")) EXPECT_EQ(GPSPoint::getHemisphere(l), 'N') << l;

    const LatZones z;
    EXPECT_EQ(z.getLatZoneDegree("T"), 40);
    EXPECT_EQ(z.getLatZoneDegree("I"), -100);
    EXPECT_EQ(z.getLatZoneDegree(""), -100);
}

TEST(Utm, WorkedValues) {
    GPSPoint g = GPSPoint::convertWGS84ToUTM(41.15, -8.61);
    EXPECT_EQ(g.zone, 29);
    EXPECT_EQ(g.latZone, 'T');
    EXPECT_NEAR(g.easting, 532725.18, 0.005);
    EXPECT_NEAR(g.northing, 4555482.07, 0.005);
    g = GPSPoint::convertWGS84ToUTM(0, 3);
    EXPECT_NEAR(g.easting, 500000, 1e-9);
    EXPECT_NEAR(g.northing, 0, 1e-9);
}

TEST(Utm, RoundTrips) {
    // Southern points carry the false northing and come back negative; (41.15, -6.1) lies near a
    // zone edge, where adding the D^4 footpoint term instead of subtracting it cost 7 m.
    for (const auto& [lat, lon] : {std::pair{-33.92, 18.42}, {-0.25, 18.42}, {-79.5, 18.42}, {41.15, -6.1}}) {
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
        if (lat < 0) {
            EXPECT_GT(g.northing, 1000000) << lat;
        }
        const GPSPoint back = GPSPoint::convertUTMToWGS84(g.easting, g.northing, g.zone, g.latZone);
        EXPECT_NEAR(back.latitude, lat, 3e-6) << lat;  // ~0.3 m
        EXPECT_NEAR(back.longitude, lon, 3e-6) << lat;
    }
    // Nonsense input is not validated, but must not be undefined behaviour.
    const double nan = std::nan("");
    for (double v : {nan, 1e300, -std::numeric_limits<double>::infinity()}) {
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(v, v);
        (void)GPSPoint::convertUTMToWGS84(g.easting, v, std::numeric_limits<int>::max(), '?');
    }
}

#ifdef KARVEL_HAVE_GEOGRAPHICLIB

// Grid over latitudes -80..84, every seventh zone, offsets up to the zone edges. Measured maxima
// (metres): forward 0.084 within half a degree of the central meridian and 0.225 up to the edge
// (the rounded arc coefficients and the six-digit sine of one second dominate); inverse 0.0004;
// forward-then-inverse 0.084 near the centre and 0.225 at the edges. A missing series term
// costs metres, so the bounds leave only a little headroom.
TEST(UtmOracle, SeriesAgreeWithExactTransverseMercator) {
    const auto& tm = GeographicLib::TransverseMercator::UTM();
    const double degToRad = std::acos(-1.0) / 180;
    auto ground = [&](double lat1, double lon1, double lat2, double lon2) {
        return std::hypot((lat2 - lat1) * 111320, (lon2 - lon1) * 111320 * std::cos(lat1 * degToRad));
    };
    double fwdCentre = 0, fwd = 0, inv = 0, rtCentre = 0, rt = 0;
    for (double lat = -80; lat <= 84; lat += 0.5) {
        for (int zone = 1; zone <= 60; zone += 7) {
            const double lon0 = 6.0 * zone - 183;
            for (double off = -2.9999; off < 3; off += 0.25) {
                const double lon = lon0 + off;
                const bool centre = std::fabs(off) <= 0.5;
                double x, y;
                tm.Forward(lon0, lat, lon, x, y);
                x += 500000;
                if (lat < 0) y += 10000000;

                const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
                ASSERT_EQ(g.zone, zone) << lat << " " << lon;
                const double f = std::hypot(g.easting - x, g.northing - y);
                const GPSPoint i = GPSPoint::convertUTMToWGS84(x, y, zone, g.latZone);
                const GPSPoint b = GPSPoint::convertUTMToWGS84(g.easting, g.northing, g.zone, g.latZone);
                const double r = ground(lat, lon, b.latitude, b.longitude);
                fwd = std::max(fwd, f);
                rt = std::max(rt, r);
                inv = std::max(inv, ground(lat, lon, i.latitude, i.longitude));
                if (centre) {
                    fwdCentre = std::max(fwdCentre, f);
                    rtCentre = std::max(rtCentre, r);
                }
            }
        }
    }
    EXPECT_LT(fwdCentre, 0.09);
    EXPECT_LT(fwd, 0.24);
    EXPECT_LT(inv, 0.001);
    EXPECT_LT(rtCentre, 0.1);
    EXPECT_LT(rt, 0.24);
}

#else

TEST(UtmOracle, SeriesAgreeWithExactTransverseMercator) {
    GTEST_SKIP() << "GeographicLib not available";
}

#endif
