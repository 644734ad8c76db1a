// WGS84/UTM conversion: zones, band letters, and an exact transverse Mercator as oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "geometry/GPSPoint.h"

#ifdef KARVEL_HAVE_GEOGRAPHICLIB
#include <GeographicLib/TransverseMercator.hpp>
#endif

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
// (the rounded arc coefficients and the six-digit sine of one second dominate); inverse 0.0004;
// forward-then-inverse 0.084 near the centre and 0.225 at the edges. A missing series term
// costs metres (adding the D^4 footpoint term instead of subtracting it cost 7 m near a zone
// edge), so the bounds leave only a little headroom. Southern points carry the false northing.
TEST(UtmOracle, SeriesAgreeWithExactTransverseMercator) {
#ifndef KARVEL_HAVE_GEOGRAPHICLIB
    GTEST_SKIP() << "needs GeographicLib (libgeographiclib-dev)";
#else
    const auto& tm = GeographicLib::TransverseMercator::UTM();
    const double degToRad = std::acos(-1.0) / 180;
    auto ground = [&](double lat1, double lon1, const GPSPoint& g) {
        return std::hypot((g.latitude - lat1) * 111320,
                          (g.longitude - lon1) * 111320 * std::cos(lat1 * degToRad));
    };
    double fwdCentre = 0, fwd = 0, inv = 0, rtCentre = 0, rt = 0;
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
                const double r =
                    ground(lat, lon, GPSPoint::convertUTMToWGS84(g.easting, g.northing, g.zone, g.latZone));
                fwd = std::max(fwd, f);
                rt = std::max(rt, r);
                inv = std::max(inv, ground(lat, lon, GPSPoint::convertUTMToWGS84(x, y, zone, g.latZone)));
                if (std::fabs(off) <= 0.5) {
                    fwdCentre = std::max(fwdCentre, f);
                    rtCentre = std::max(rtCentre, r);
                }
            }
        }
    }
    // Each maximum as a share of its bound.
    EXPECT_LT(std::max({fwdCentre / 0.09, fwd / 0.24, inv / 0.001, rtCentre / 0.1, rt / 0.24}), 1.0)
        << fwdCentre << " " << fwd << " " << inv << " " << rtCentre << " " << rt;
#endif
}
