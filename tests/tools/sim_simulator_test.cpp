// The simulator's logs read back through the project's own NMEA loader, its noise statistics,
// its driving and its reproducibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "geometry/plane_frame.h"
#include "map/maps.h"
#include "test_support.h"
#include "tools/sim/ground_truth.h"
#include "tools/sim/nmea_sentences.h"
#include "tools/sim/simulator.h"

namespace {

using traceSim::SimOptions;
using traceSim::SimTrace;
using traceSim::Simulator;

const mapRepresentation::Map& sampleMap() {
    static const mapRepresentation::Map map(karvel_test::sampleMap());
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

}  // namespace

// Plain positions reach karvel through the seeded runs of match_program_test.cpp; here the checksum
// (which karvel does not check) and the edges.
TEST(SimNmea, SentenceFields) {
    // A sentence of the bundled sample, checksummed independently.
    EXPECT_EQ(traceSim::nmeaChecksum("GPRMC,100000.00,A,4109.0021,N,00836.5969,W,19.4,124.9,120326,,"),
              "*17");
    // Rounding to 1e-5 minutes carries into the degrees instead of printing 60 minutes.
    EXPECT_EQ(traceSim::nmeaLatitude(-33.99999999), "3400.00000,S");
    EXPECT_EQ(traceSim::nmeaTimeField(86399.996), "000000.00");  // rounds into the next day
    EXPECT_EQ(traceSim::nmeaDateField({2020, 2, 28}, 86399.996), "290220");
    EXPECT_EQ(traceSim::nmeaDateField({2019, 12, 31}, 86400.0 + 5.0), "010120");
}

// Noise on each axis: mean 0, the asked sigma (5 m), and with a correlation time the lag-one
// autocorrelation exp(-1 / correlation seconds).
TEST(SimNoise, HasTheAskedSigmaAndCorrelation) {
    for (const double correlation : {0.0, 10.0}) {
        const SimOptions options{.seed = 3,
                                 .duration = correlation == 0 ? 2500.0 : 8000.0,
                                 .correlationSeconds = correlation,
                                 .stopProbability = 0,
                                 .date = {}};
        const SimTrace trace = randomTrace(options, 1);
        const double n = static_cast<double>(trace.fixes.size());
        for (const auto axis : {&std::pair<double, double>::first, &std::pair<double, double>::second}) {
            double sum = 0, squares = 0, lagged = 0, previous = 0;
            for (const auto& f : trace.fixes) {
                const double d = offset(f).*axis;
                sum += d;
                squares += d * d;
                lagged += d * previous;
                previous = d;
            }
            const double mean = sum / n, sigma = std::sqrt(squares / n - mean * mean);
            SCOPED_TRACE(correlation);
            EXPECT_NEAR(mean, 0.0, (correlation == 0 ? 20.0 : 100.0) / std::sqrt(n));
            EXPECT_NEAR(sigma, 5.0, correlation == 0 ? 0.2 : 0.4);
            EXPECT_NEAR(lagged / squares, correlation == 0 ? 0.0 : std::exp(-1 / correlation), 0.05);
        }
    }
}

TEST(SimDrive, FollowsItsRouteAndSlowsForTurns) {
    // Sample grid: nodes 1..16 row by row from the south-west, 4 per row. East along the bottom row,
    // then north: one right-angle turn at node 4.
    const auto& map = sampleMap();
    std::vector<int> links;
    for (const auto& [o, d] : {std::pair{1u, 2u}, {2u, 3u}, {3u, 4u}, {4u, 8u}, {8u, 12u}, {12u, 16u}})
        for (const auto& [id, l] : map.links)
            if (l.origin == o && l.destination == d) links.push_back(id);
    ASSERT_EQ(links.size(), 6u);
    const SimOptions options{.duration = 1e5, .sigma = 0, .stopProbability = 0, .date = {}};
    SimTrace trace;
    std::string error;
    // The gap between two given links is closed by a shortest way (the grid offers several).
    ASSERT_TRUE(Simulator(map, options).drive({links.front(), links.back()}, 0, trace, error)) << error;
    ASSERT_GE(trace.route.size(), 6u);
    for (size_t i = 1; i < trace.route.size(); ++i)
        EXPECT_EQ(map.links.at(trace.route[i - 1]).destination, map.links.at(trace.route[i]).origin);

    ASSERT_TRUE(Simulator(map, options).drive(links, 0, trace, error)) << error;
    EXPECT_EQ(trace.route, links);
    auto onRoute = links.begin();
    double fastest = 0, slowestNearCorner = 1e9;
    const _position corner = map.getNodePosition(4), end = map.getNodePosition(16);
    for (size_t i = 0; i < trace.fixes.size(); ++i) {
        const auto& f = trace.fixes[i];
        const auto& l = map.links.at(f.link);  // the sample map lies in one UTM zone
        EXPECT_LT(getNearestPointFromLink(map.getNodePoint(l.origin), map.getNodePoint(l.destination),
                                          positionToPoint({f.trueLat, f.trueLon}))
                      .second,
                  1e-3)
            << "fix " << i << " is off its link";
        onRoute = std::find(onRoute, links.end(), f.link);
        ASSERT_NE(onRoute, links.end()) << "fix " << i << " on a link out of order";
        if (i == 0) continue;
        const _position at{f.trueLat, f.trueLon};
        const double speed =
            geo::groundDistance({trace.fixes[i - 1].trueLat, trace.fixes[i - 1].trueLon}, at);
        fastest = std::max(fastest, speed);
        if (geo::groundDistance(corner, at) < 8.0) slowestNearCorner = std::min(slowestNearCorner, speed);
    }
    EXPECT_GT(fastest, 0.85 * options.cruiseSpeed);
    EXPECT_LE(fastest, 1.1 * options.cruiseSpeed + 1e-6);
    EXPECT_LT(slowestNearCorner, 6.0) << "a right-angle turn is taken at walking-to-cycling pace";
    EXPECT_NEAR(trace.fixes.back().trueLat, end.lat, 1e-6) << "the drive ends at the end of the last link";
}

TEST(SimDrive, OutliersDropoutsAndErrors) {
    const SimOptions options{.seed = 11,
                             .duration = 1200,
                             .outlierRate = 0.1,
                             .outlierDistance = 60,
                             .dropoutRate = 0.02,
                             .dropoutSeconds = 15,
                             .date = {}};
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

    EXPECT_EQ(traceSim::nmeaLog(trace, options), traceSim::nmeaLog(randomTrace(options, 0), options))
        << "seeded";
    // The route is drawn apart from the sampling: a longer period samples the same drive.
    SimOptions sparse = options;
    sparse.period = 5;
    const SimTrace other = randomTrace(sparse, 0);
    const size_t common = std::min(other.route.size(), trace.route.size());
    EXPECT_TRUE(common > 3 &&
                std::equal(other.route.begin(), other.route.begin() + common, trace.route.begin()));

    // Bad requests are refused with a reason rather than producing a broken trace.
    sparse.period = 0;
    EXPECT_FALSE(Simulator(sampleMap(), sparse).randomTrace(0, trace, error));
    EXPECT_FALSE(Simulator(sampleMap(), options).drive({1, 999}, 0, trace, error));
    EXPECT_NE(error.find("999"), std::string::npos);
    const mapRepresentation::Map empty;
    EXPECT_FALSE(Simulator(empty, options).randomTrace(0, trace, error));
}

// Multipath bursts: runs of fixes thrown one way by 30-80 m, the rest of the drive untouched.
TEST(SimDrive, BurstsThrowRunsOfFixesToOneSide) {
    SimOptions options{.seed = 5, .duration = 1200, .sigma = 0.0, .date = {}};
    const SimTrace clean = randomTrace(options, 0);
    options.burstRate = 0.02;
    const SimTrace trace = randomTrace(options, 0);
    ASSERT_EQ(trace.fixes.size(), clean.fixes.size());
    int inBursts = 0, runs = 0, shortest = 1000;
    for (size_t i = 0, run = 0; i < trace.fixes.size(); ++i) {
        const auto& f = trace.fixes[i];
        const auto [east, north] = offset(f);
        if (!f.outlier) {
            EXPECT_EQ(std::pair(f.lat, f.lon), std::pair(clean.fixes[i].lat, clean.fixes[i].lon)) << i;
            if (run > 0) shortest = std::min(shortest, static_cast<int>(run));
            run = 0;
            continue;
        }
        ++inBursts;
        runs += run++ == 0;
        EXPECT_TRUE(std::hypot(east, north) >= 30.0 - 1e-6 && std::hypot(east, north) <= 80.0 + 1e-6) << i;
    }
    EXPECT_GE(runs, 5);
    EXPECT_GE(shortest, 5) << "a burst lasts at least 5 s";
    EXPECT_NEAR(inBursts / static_cast<double>(trace.fixes.size()), 0.02 * 12.5 / (1 + 0.02 * 12.5), 0.1);
    options.burstRate = 1.5;
    EXPECT_FALSE(options.validate().empty());
}

TEST(SimTruth, DamagedFilesAreRefused) {
    for (const std::string damaged :
         {"trace x\npoints 3\nroute 3\n1 2\n",                               // route cut short
          "trace x\npoints 2\nroute 1\n1\nfixes 1\n0 1 0 0 0\n",             // fixes != points
          "trace x\npoints 2\nroute 1\n1\nfixes 2\n0 1 0 0 0\n0 1 0 0 0\n",  // a fix numbered twice
          "trace x\npoints -1\nroute 0\n", "trace x\npoints 1\nroute 1\nseven\n", "points 1\n",
          "trace x\npoints 99999999999\nroute 0\n"}) {
        std::istringstream d(damaged);
        traceSim::GroundTruth back;
        std::string error;
        EXPECT_FALSE(traceSim::readGroundTruth(d, back, error)) << damaged;
    }
}
