// The simulator's logs read back through the project's own NMEA loader, its noise statistics,
// its driving and its reproducibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "test_support.h"
#include "tools/sim/ground_truth.h"
#include "tools/sim/nmea_sentences.h"
#include "tools/sim/simulator.h"
#include "traces/NMEALoader.h"

namespace {

using karvel_test::TempDir;
using traceSim::SimOptions;
using traceSim::SimTrace;
using traceSim::Simulator;

const std::string kSampleMap = std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt";

const mapRepresentation::Map& sampleMap() {
    static const mapRepresentation::Map map(kSampleMap);
    return map;
}

// A seeded drive on the sample map.
SimTrace randomTrace(const SimOptions& options, int index) {
    SimTrace trace;
    std::string error;
    EXPECT_TRUE(Simulator(sampleMap(), options).randomTrace(index, trace, error)) << error;
    return trace;
}

// The noise of a fix in metres, east and north.
std::pair<double, double> offset(const traceSim::SimFix& f) {
    double perLat = 0, perLon = 0;
    traceSim::metresPerDegree(f.trueLat, perLat, perLon);
    return {(f.lon - f.trueLon) * perLon, (f.lat - f.trueLat) * perLat};
}

// Distance in metres from (lat, lon) to the straight link, measured in the UTM plane.
double distanceToLink(const mapRepresentation::Map& map, int link, double lat, double lon) {
    const auto& l = map.links.at(link);
    const GPSPoint p = GPSPoint::convertWGS84ToUTM(lat, lon);
    return getNearestPointFromLink(map.getNodePoint(l.origin), map.getNodePoint(l.destination),
                                   Point{p.easting, p.northing})
        .second;
}

}  // namespace

TEST(SimNmea, SentenceFields) {
    // A sentence of the bundled sample, checksummed independently.
    EXPECT_EQ(traceSim::nmeaChecksum("GPRMC,100000.00,A,4109.0021,N,00836.5969,W,19.4,124.9,120326,,"),
              "*17");
    EXPECT_EQ(traceSim::nmeaLatitude(41.15), "4109.00000,N");
    EXPECT_EQ(traceSim::nmeaLongitude(-8.6100), "00836.60000,W");
    // Rounding to 1e-5 minutes carries into the degrees instead of printing 60 minutes.
    EXPECT_EQ(traceSim::nmeaLatitude(-33.99999999), "3400.00000,S");
    EXPECT_EQ(traceSim::nmeaTimeField(36000.0), "100000.00");
    EXPECT_EQ(traceSim::nmeaTimeField(86399.996), "000000.00");  // rounds into the next day
    EXPECT_EQ(traceSim::nmeaDateField({2020, 2, 28}, 86399.996), "290220");
    EXPECT_EQ(traceSim::nmeaDateField({2019, 12, 31}, 86400.0 + 5.0), "010120");
}

TEST(SimNmea, LoadsBackIntoTheSamePositionsAndTimes) {
    for (int period : {1, 5}) {
        SimOptions options;
        options.seed = 7;
        options.duration = 240;
        options.period = period;
        options.satellites = true;
        const SimTrace trace = randomTrace(options, 0);
        ASSERT_EQ(trace.fixes.size(), static_cast<size_t>(240 / period + 1));
        TempDir dir;
        std::string error;
        ASSERT_TRUE(traceSim::writeTrace(trace, options, dir / "nmea", dir / "truth", error)) << error;
        Route route;
        karvel_test::printed([&] { route = NMEALoader(dir / ("nmea/" + trace.name + ".txt")).route; });
        ASSERT_EQ(route.nodes.size(), trace.fixes.size()) << "every epoch must be complete";
        for (size_t i = 0; i < trace.fixes.size(); ++i) {
            const _node& n = route.nodes[i];
            const traceSim::SimFix& f = trace.fixes[i];
            // Five decimals of a minute: half a unit is 8.4e-8 degrees.
            EXPECT_NEAR(n.position.lat, f.lat, 9e-8);
            EXPECT_NEAR(n.position.lon, f.lon, 9e-8);
            EXPECT_NEAR(n.hdop, f.hdop, 0.051);
            EXPECT_TRUE(n.valid);
            EXPECT_TRUE(std::isfinite(n.averageSnr) && n.averageSnr >= 12 && n.averageSnr <= 52) << i;
            if (i > 0) {
                EXPECT_EQ(n.arrivalTime - route.nodes[i - 1].arrivalTime, static_cast<uint32_t>(period));
            }
        }
    }
}

// Noise on each axis: mean 0, the asked sigma, and with a correlation time the lag-one
// autocorrelation exp(-1 / correlation seconds).
TEST(SimNoise, HasTheAskedSigmaAndCorrelation) {
    const struct {
        double sigma, correlationSeconds, duration;
    } cases[] = {{5, 0, 2500}, {10, 0, 2500}, {5, 10, 8000}};
    for (const auto& c : cases) {
        SimOptions options;
        options.seed = 3;
        options.duration = c.duration;
        options.sigma = c.sigma;
        options.correlationSeconds = c.correlationSeconds;
        options.stopProbability = 0;
        const SimTrace trace = randomTrace(options, 1);
        const double n = static_cast<double>(trace.fixes.size());
        for (int axis = 0; axis < 2; ++axis) {
            double sum = 0, squares = 0, lagged = 0, previous = 0;
            for (const auto& f : trace.fixes) {
                const double d = axis == 0 ? offset(f).first : offset(f).second;
                sum += d;
                squares += d * d;
                lagged += d * previous;
                previous = d;
            }
            const double mean = sum / n, sigma = std::sqrt(squares / n - mean * mean);
            SCOPED_TRACE(testing::Message() << "sigma " << c.sigma << " axis " << axis);
            if (c.correlationSeconds == 0) {
                EXPECT_NEAR(mean, 0.0, 4.0 * c.sigma / std::sqrt(n));
            }
            EXPECT_NEAR(sigma, c.sigma, (c.correlationSeconds == 0 ? 0.04 : 0.08) * c.sigma);
            const double expected = c.correlationSeconds == 0 ? 0.0 : std::exp(-1 / c.correlationSeconds);
            EXPECT_NEAR(lagged / squares, expected, 0.05);
        }
    }
}

TEST(SimDrive, FollowsItsRouteAndSlowsForTurns) {
    // Sample grid: nodes 1..16 row by row from the south-west, 4 per row; links by file order.
    const auto& map = sampleMap();
    auto linkFromTo = [&](uint32_t o, uint32_t d) {
        for (const auto& [id, l] : map.links)
            if (l.origin == o && l.destination == d) return id;
        return -1;
    };
    // East along the bottom row, then north: one right-angle turn at node 4.
    const std::vector<int> links = {linkFromTo(1, 2), linkFromTo(2, 3),  linkFromTo(3, 4),
                                    linkFromTo(4, 8), linkFromTo(8, 12), linkFromTo(12, 16)};
    ASSERT_TRUE(std::find(links.begin(), links.end(), -1) == links.end());
    SimOptions options;
    options.sigma = 0;
    options.stopProbability = 0;
    options.duration = 1e5;
    SimTrace trace;
    std::string error;
    ASSERT_TRUE(Simulator(map, options).drive({links.front(), links.back()}, 0, trace, error)) << error;
    // The gap between the two given links is closed with the fewest links; the grid offers several
    // equally short ways, so check the shape rather than the exact links.
    ASSERT_GE(trace.route.size(), 6u);
    for (size_t i = 1; i < trace.route.size(); ++i)
        EXPECT_EQ(map.links.at(trace.route[i - 1]).destination, map.links.at(trace.route[i]).origin);

    ASSERT_TRUE(Simulator(map, options).drive(links, 0, trace, error)) << error;
    EXPECT_EQ(trace.route, links);
    size_t onRoute = 0;
    double fastest = 0, slowestNearCorner = 1e9;
    const _position corner = map.getNodePosition(4);
    for (size_t i = 0; i < trace.fixes.size(); ++i) {
        const auto& f = trace.fixes[i];
        EXPECT_LT(distanceToLink(map, f.link, f.trueLat, f.trueLon), 1e-3)
            << "fix " << i << " is off its link";
        // Fix links follow the route order.
        while (onRoute < links.size() && links[onRoute] != f.link) ++onRoute;
        ASSERT_LT(onRoute, links.size()) << "fix " << i << " on a link out of order";
        if (i == 0) continue;
        const GPSPoint a =
            GPSPoint::convertWGS84ToUTM(trace.fixes[i - 1].trueLat, trace.fixes[i - 1].trueLon);
        const GPSPoint b = GPSPoint::convertWGS84ToUTM(f.trueLat, f.trueLon);
        const GPSPoint c = GPSPoint::convertWGS84ToUTM(corner.lat, corner.lon);
        const double speed = std::hypot(b.easting - a.easting, b.northing - a.northing);
        fastest = std::max(fastest, speed);
        if (std::hypot(b.easting - c.easting, b.northing - c.northing) < 8.0)
            slowestNearCorner = std::min(slowestNearCorner, speed);
    }
    EXPECT_GT(fastest, 0.85 * options.cruiseSpeed);
    EXPECT_LE(fastest, 1.1 * options.cruiseSpeed + 1e-6);
    EXPECT_LT(slowestNearCorner, 6.0) << "a right-angle turn is taken at walking-to-cycling pace";
    // The drive ends at rest at the end of the last link.
    const auto end = map.getNodePosition(16);
    EXPECT_NEAR(trace.fixes.back().trueLat, end.lat, 1e-6);
}

TEST(SimDrive, OutliersDropoutsAndErrors) {
    SimOptions options;
    options.seed = 11;
    options.duration = 1200;
    options.outlierRate = 0.1;
    options.outlierDistance = 60;
    options.dropoutRate = 0.02;
    options.dropoutSeconds = 15;
    SimTrace trace = randomTrace(options, 0);
    std::string error;
    int outliers = 0, gaps = 0;
    for (size_t i = 0; i < trace.fixes.size(); ++i) {
        const auto& f = trace.fixes[i];
        const double off = std::hypot(offset(f).first, offset(f).second);
        if (f.outlier) {
            ++outliers;
            EXPECT_GT(off, 60.0 - 5 * options.sigma);
        }
        if (i > 0 && f.seconds - trace.fixes[i - 1].seconds > 1.5) ++gaps;
    }
    const double n = static_cast<double>(trace.fixes.size());
    EXPECT_NEAR(outliers / n, 0.1, 0.03);
    EXPECT_GE(gaps, 5);
    EXPECT_LT(n, 1000.0) << "signal losses remove fixes";
    const traceSim::GroundTruth truth = traceSim::groundTruth(trace);
    EXPECT_EQ(truth.points, static_cast<int>(trace.fixes.size()));

    // Bad requests are refused with a reason rather than producing a broken trace.
    SimOptions bad = options;
    bad.period = 0;
    EXPECT_FALSE(bad.validate().empty());
    EXPECT_FALSE(Simulator(sampleMap(), bad).randomTrace(0, trace, error));
    EXPECT_FALSE(Simulator(sampleMap(), options).drive({1, 999}, 0, trace, error));
    EXPECT_NE(error.find("999"), std::string::npos);
    const mapRepresentation::Map empty;
    EXPECT_FALSE(Simulator(empty, options).randomTrace(0, trace, error));
}

TEST(SimDrive, SeededRunsAreReproducibleAndSettingsKeepTheRoute) {
    SimOptions options;
    options.seed = 5;
    options.duration = 300;
    const SimTrace a = randomTrace(options, 2);
    EXPECT_EQ(traceSim::nmeaLog(a, options), traceSim::nmeaLog(randomTrace(options, 2), options));
    EXPECT_NE(a.route, randomTrace(options, 3).route);

    // More noise and a longer period: the same drive, sampled differently.
    SimOptions noisier = options;
    noisier.sigma = 20;
    noisier.period = 10;
    const SimTrace d = randomTrace(noisier, 2);
    ASSERT_FALSE(d.route.empty());
    EXPECT_TRUE(std::equal(d.route.begin(), d.route.end(), a.route.begin()));
    EXPECT_EQ(d.fixes[3].trueLat, a.fixes[30].trueLat);
}

TEST(SimTruth, FileRoundTripAndDamagedFiles) {
    traceSim::GroundTruth t;
    t.name = "drive";
    t.points = 2;
    t.route = {4, 8, 15};
    t.fixes = {{4, 41.1, -8.6, false}, {8, 41.2, -8.5, true}};
    std::ostringstream out;
    traceSim::writeGroundTruth(out, t);
    traceSim::GroundTruth back;
    std::string error;
    std::istringstream in(out.str());
    ASSERT_TRUE(traceSim::readGroundTruth(in, back, error)) << error;
    EXPECT_EQ(back.route, t.route);
    ASSERT_EQ(back.fixes.size(), 2u);
    EXPECT_TRUE(back.fixes[1].outlier && back.fixes[1].lon == -8.5);

    for (const std::string damaged :
         {"trace x\npoints 3\nroute 3\n1 2\n",                    // route cut short
          "trace x\npoints 2\nroute 1\n1\nfixes 1\n0 1 0 0 0\n",  // fixes != points
          "trace x\npoints 1\nroute 1\nseven\n", "points 1\n", "trace x\npoints 99999999999\nroute 0\n"}) {
        std::istringstream d(damaged);
        EXPECT_FALSE(traceSim::readGroundTruth(d, back, error)) << damaged;
    }
}
