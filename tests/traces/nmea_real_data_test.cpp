// Real receiver captures from the shared data folder, read by both NMEA readers; skipped when absent.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "support/test_support.h"
#include "traces/NMEALoader.h"
#include "traces/trace_loader.h"
#include "traces/trace_time.h"

namespace {

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

// Points of a route that lie at no position gpsd decoded (all count when gpsd decoded none).
int unseen(const Route& r, const std::vector<_position>& gpsd, double tolerance, bool validOnly) {
    int missing = 0;
    for (const _node& n : r.nodes) {
        bool found = (validOnly && !n.valid) || gpsd.empty();
        for (const _position& p : gpsd)
            found = found || (std::fabs(p.lat - n.position.lat) < tolerance &&
                              std::fabs(p.lon - n.position.lon) < tolerance);
        missing += found ? 0 : 1;
    }
    return missing;
}

// Valid fixes of a log as hhmmss, found without the loader: RMC sentences of any talker with
// status A, a position and a date.
std::set<long> validFixTimes(const std::string& path) {
    std::set<long> times;
    std::ifstream in(path, std::ios::binary);
    const std::regex rmc(R"(^\$[A-OQ-Z][A-Z]RMC,(\d{6})[^,]*,A,[^,]+,[NS],[^,]+,[EW],[^,]*,[^,]*,\d{6},.*)");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::regex_match(line, m, rmc)) times.insert(std::stol(m[1]));
    }
    return times;
}

long hhmmss(uint32_t time) {
    const uint32_t s = time % 86400;
    return s / 3600 * 10000 + s / 60 % 60 * 100 + s % 60;
}

Route loadQuietly(const std::string& path, std::string* messages = nullptr) {
    std::ostringstream log;
    const NMEALoader l(path, log);
    if (messages != nullptr) *messages = log.str();
    return l.getRoute();
}

}  // namespace

// Every gpsd capture and the Brisbane drive against two oracles: gpsd's own decoding of the positions
// (where there is one), and the valid RMC fixes read straight from the log. The hybrid's loader
// makes each of them a point or reports it with its epoch; the everyday reader keeps every fix
// gpsd decoded, also GGA-only ones.
TEST(NmeaRealData, CapturesAgreeWithGpsdAndKeepTheirFixes) {
    KARVEL_REQUIRE_SHARED(dir, "gpsd-nmea-regress/logs");
    setenv("TZ", "UTC", 1);
    tzset();
    std::vector<std::filesystem::path> logs(std::filesystem::directory_iterator(dir), {});
    logs.push_back(karvel_test::sharedData("qt-nmealog-brisbane/nmealog.txt"));
    size_t withPoints = 0, withFixes = 0;
    std::ostringstream ignored;
    for (const auto& path : logs) {
        const std::string stem = path.stem().string();
        SCOPED_TRACE(stem);
        std::string messages;
        const Route r = loadQuietly(path.string(), &messages);
        EXPECT_EQ(r.name, stem);
        withPoints += r.nodes.empty() ? 0 : 1;
        // gpsd reports a fix when its cycle ends, so the last epoch of a log may have none.
        const auto reference = gpsdPositions(dir + "/../gpsd_expected_json/" + stem + ".log.chk");
        EXPECT_LE(unseen(r, reference, 1e-6, true), 1);
        if (!reference.empty()) {
            EXPECT_LE(unseen(traces::loadRoute(path.string(), ignored), reference, 2e-6, false), 1);
        }
        const std::set<long> fixes = validFixTimes(path.string());
        std::set<long> accounted;
        for (const _node& n : r.nodes) {
            ASSERT_TRUE(std::fabs(n.position.lat) <= 90.0 && std::fabs(n.position.lon) <= 180.0 &&
                        std::isfinite(n.easting) && std::isfinite(n.northing));
            if (!n.valid) continue;
            accounted.insert(hhmmss(n.arrivalTime));
            EXPECT_TRUE(fixes.count(hhmmss(n.arrivalTime))) << n.arrivalTime;
        }
        EXPECT_EQ(accounted.empty(), fixes.empty());
        const std::regex reported(R"(\trmc\[(\d+)\]: 1\[)");
        for (std::sregex_iterator it(messages.begin(), messages.end(), reported), end; it != end; ++it)
            accounted.insert(std::stol((*it)[1]) / 1000);
        for (long t : fixes) EXPECT_TRUE(accounted.count(t)) << "fix at " << t;
        withFixes += fixes.empty() ? 0 : 1;
    }
    EXPECT_GE(withPoints, 25u);
    EXPECT_GE(withFixes, 30u);

    // A car in Lithuania: the no-fix epochs at the start are skipped.
    for (const _node& n : loadQuietly(dir + "/bt451.log").nodes) EXPECT_LT(n.speed, 40.0);
    // The everyday reader: 68 valid RMC fixes (the hybrid's loader keeps 24 of them), GGA without
    // RMC, GGA fixes from no satellite (21 fixes, 15 of them).
    const auto count = [&](const std::string& name) { return traces::loadRoute(dir + name, ignored).nodes; };
    EXPECT_GE(count("/haicom-305N.log").size(), 68u);
    ASSERT_EQ(count("/hp58534a.log").size(), 2u);
    EXPECT_EQ(traces::isoUtcText(count("/hp58534a.log")[0].arrivalTime), "2010-10-25T22:24:49Z");
    EXPECT_EQ(count("/hemi.log").size(), 6u);
    EXPECT_GE(count("/rst39.log").size(), 40u);
}
