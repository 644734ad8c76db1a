// Real receiver captures from the shared data folder; skipped when it is absent.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "support/test_support.h"
#include "traces/NMEALoader.h"

namespace {

Route loadQuietly(const std::string& path) {
    testing::internal::CaptureStdout();
    NMEALoader l(path);
    testing::internal::GetCapturedStdout();
    return l.getRoute();
}

// Positions of gpsd's own decoding of the same log ("lat":..,"lon":.. of its TPV reports).
std::vector<_position> gpsdPositions(const std::string& path) {
    std::vector<_position> result;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        const size_t lat = line.find("\"lat\":"), lon = line.find("\"lon\":");
        if (line.find("\"TPV\"") != std::string::npos && lat != std::string::npos && lon != std::string::npos)
            result.push_back({std::strtod(&line[lat + 6], nullptr), std::strtod(&line[lon + 6], nullptr)});
    }
    return result;
}

}  // namespace

TEST(NmeaRealData, BrisbaneDrive) {
    KARVEL_REQUIRE_SHARED(path, "qt-nmealog-brisbane/nmealog.txt");
    setenv("TZ", "UTC", 1);
    tzset();
    const Route r = loadQuietly(path);
    EXPECT_EQ(r.name, "nmealog");
    ASSERT_EQ(r.nodes.size(), 156u);
    EXPECT_EQ(r.nodes.front().arrivalTime, 1204583077u);  // 2008-03-03 22:24:37
    EXPECT_TRUE(std::isnan(r.nodes.front().averageSnr));  // its GSA comes before any GSV
    for (size_t i = 1; i < r.nodes.size(); ++i) {
        const _node& n = r.nodes[i];
        EXPECT_TRUE(n.valid);
        EXPECT_NEAR(n.position.lat, -27.577, 0.005);
        EXPECT_NEAR(n.position.lon, 153.0956, 0.005);
        EXPECT_LT(n.speed, 25.0);
        EXPECT_EQ(n.arrivalTime, r.nodes[i - 1].arrivalTime + 1);
        EXPECT_TRUE(n.averageSnr > 15.0 && n.averageSnr < 50.0);
    }
    // The receiver's own speeds average 11.4 m/s over the 155 s.
    EXPECT_NEAR(r.getTotalLength(), 11.4 * 155, 150);
}

TEST(NmeaRealData, GpsdCapturesAgreeWithGpsd) {
    KARVEL_REQUIRE_SHARED(dir, "gpsd-nmea-regress/logs");
    size_t withPoints = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string stem = entry.path().stem().string();
        SCOPED_TRACE(stem);
        const Route r = loadQuietly(entry.path().string());
        EXPECT_EQ(r.name, stem);
        withPoints += r.nodes.empty() ? 0 : 1;
        // Valid fixes are ones gpsd decoded from the same log (it may report an epoch cut by the
        // end of a fragment differently, so one miss per file is allowed).
        const auto reference = gpsdPositions(dir + "/../gpsd_expected_json/" + stem + ".log.chk");
        int missing = 0;
        for (const _node& n : r.nodes) {
            ASSERT_TRUE(std::fabs(n.position.lat) <= 90.0 && std::fabs(n.position.lon) <= 180.0);
            ASSERT_TRUE(std::isfinite(n.easting) && std::isfinite(n.northing));
            bool found = !n.valid || reference.empty();
            for (const _position& p : reference)
                found = found || (std::fabs(p.lat - n.position.lat) < 1e-6 &&
                                  std::fabs(p.lon - n.position.lon) < 1e-6);
            missing += found ? 0 : 1;
        }
        EXPECT_LE(missing, 1);
    }
    EXPECT_GE(withPoints, 25u);

    // GGA only: no position fix, so no points.
    EXPECT_TRUE(loadQuietly(dir + "/hemi.log").nodes.empty());
    // A car in Lithuania: the no-fix epochs at the start are skipped.
    for (const _node& n : loadQuietly(dir + "/bt451.log").nodes) EXPECT_LT(n.speed, 40.0);
}
