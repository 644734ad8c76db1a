// The everyday NMEA reader: every fix with a valid position and time, whatever sentences the
// receiver sends; on clean RMC + GGA logs the very points of the hybrid's loader.
#include "traces/nmea_fix_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

#include "nmea_writer.h"
#include "test_support.h"
#include "traces/NMEALoader.h"
#include "traces/trace_loader.h"
#include "traces/trace_time.h"

namespace {

std::string sentence(const std::string& body, bool goodChecksum = true) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", goodChecksum ? sum : sum ^ 1u);
    return "$" + body + tail + "\r\n";
}

traces::FixReading read(const std::string& text) {
    karvel_test::TempDir dir;
    dir.write("t.log", text);
    std::ostringstream log;
    return traces::readNmeaFixes(dir / "t.log", log);
}

std::string utc(uint32_t t) {
    return traces::isoUtcText(t);
}

}  // namespace

TEST(NmeaFixReader, CleanLogsGiveTheHybridLoadersPoints) {
    karvel_test::TempDir dir;
    const std::string path = dir / "drive.txt";
    karvel_test::writeFile(path, karvel_test::nmeaAlong(41.15, -8.61, 41.16, -8.60, 30));
    std::ostringstream a, b;
    const Route hybrid = NMEALoader(path, a).route;
    const traces::FixReading mine = traces::readNmeaFixes(path, b);
    EXPECT_EQ(a.str(), b.str());  // "loading nmea file: ..."
    ASSERT_EQ(mine.route.nodes.size(), 30u);
    ASSERT_EQ(hybrid.nodes.size(), 30u);
    EXPECT_EQ(mine.route.name, hybrid.name);
    for (size_t i = 0; i < 30; ++i) {
        const _node &m = mine.route.nodes[i], &h = hybrid.nodes[i];
        EXPECT_EQ(m.position, h.position);
        EXPECT_EQ(m.arrivalTime, h.arrivalTime);
        EXPECT_EQ(m.easting, h.easting);
        EXPECT_EQ(m.northing, h.northing);
        EXPECT_EQ(m.speed, h.speed);
        EXPECT_EQ(m.heading, h.heading);
        EXPECT_EQ(m.hdop, h.hdop);
    }
}

// RMC only, GGA only, both; what is no fix (status V, mode N, quality 0, a bad checksum) is left out.
TEST(NmeaFixReader, WhateverTheReceiverSends) {
    const std::string rmcOnly =
        "# a comment line\n" + sentence("GPRMC,235958.00,A,4807.038,N,01131.000,E,10.0,90.0,311219,,") +
        sentence("GPRMC,235959.00,V,4807.038,N,01131.000,E,10.0,90.0,311219,,") +
        sentence("GNRMC,000000.00,A,4807.040,N,01131.010,E,10.0,90.0,010120,,,N") +
        sentence("GNRMC,000001.00,A,4807.042,N,01131.020,E,10.0,90.0,010120,,,A") +
        sentence("GPRMC,000002.00,A,4807.044,N,01131.030,E,10.0,90.0,010120,,", false);
    const traces::FixReading r = read(rmcOnly);
    ASSERT_EQ(r.route.nodes.size(), 2u);
    EXPECT_EQ(utc(r.route.nodes[0].arrivalTime), "2019-12-31T23:59:58Z");
    EXPECT_EQ(utc(r.route.nodes[1].arrivalTime), "2020-01-01T00:00:01Z");
    EXPECT_NEAR(r.route.nodes[0].position.lat, 48.1173, 1e-9);
    EXPECT_NEAR(r.route.nodes[1].position.lon, 11.517, 1e-9);
    EXPECT_EQ(r.badChecksums, 1u);
    // The receiver's own speed (knots) and course stay beside the derived ones.
    EXPECT_NEAR(r.route.nodes[0].reportedSpeed, 10 * 1852.0 / 3600, 1e-9);
    EXPECT_NEAR(r.route.nodes[1].reportedCourse, std::numbers::pi / 2, 1e-12);
    EXPECT_NE(r.route.nodes[1].heading, r.route.nodes[1].reportedCourse);

    // One epoch: the RMC's position over the GGA's; an hour of 24 is no time.
    const traces::FixReading both =
        read(sentence("GPGGA,120000,4807.100,N,01131.000,E,1,07,2.31,115.4,M,33.3,M,,") +
             sentence("GPRMC,120000,A,4807.038,N,01131.000,E,0,0,010120,,") +
             sentence("GPRMC,240000,A,4807.038,N,01131.000,E,0,0,010120,,"));
    ASSERT_EQ(both.route.nodes.size(), 1u);
    EXPECT_NEAR(both.route.nodes[0].position.lat, 48.1173, 1e-9);

    // GGA without any date: days count from 1 January 2000 and turn at midnight.
    const std::string ggaOnly = sentence("GPGGA,235959,3349.0337,S,01843.9282,E,1,07,2.31,115.4,M,33.3,M,,") +
                                sentence("GPGGA,000000,3349.0338,S,01843.9283,E,0,07,2.31,115.4,M,33.3,M,,") +
                                sentence("GPGGA,000001,3349.0339,S,01843.9284,E,2,07,1.5,115.4,M,33.3,M,,");
    const traces::FixReading g = read(ggaOnly);
    ASSERT_EQ(g.route.nodes.size(), 2u);
    EXPECT_EQ(utc(g.route.nodes[0].arrivalTime), "2000-01-01T23:59:59Z");
    EXPECT_EQ(utc(g.route.nodes[1].arrivalTime), "2000-01-02T00:00:01Z");
    EXPECT_NEAR(g.route.nodes[0].position.lat, -(33 + 49.0337 / 60), 1e-9);
    EXPECT_EQ(g.route.nodes[1].hdop, 1.5);
    EXPECT_TRUE(std::isnan(g.route.nodes[1].reportedSpeed) && std::isnan(g.route.nodes[1].reportedCourse));
    // Empty fields are nothing reported, not a stand facing north.
    const _node blank = read(sentence("GPRMC,120000,A,4807.038,N,01131.000,E,,,010120,,")).route.nodes.at(0);
    EXPECT_TRUE(std::isnan(blank.reportedSpeed) && std::isnan(blank.reportedCourse));
    // ... and from the ZDA where there is one, also for the fixes before it.
    const traces::FixReading z = read(ggaOnly + sentence("GPZDA,000002,25,10,2010,+00,00"));
    ASSERT_EQ(z.route.nodes.size(), 2u);
    EXPECT_EQ(utc(z.route.nodes[0].arrivalTime), "2010-10-25T23:59:59Z");
    // A date before 1970 is no date.
    const traces::FixReading old = read(ggaOnly + sentence("GPZDA,000002,25,10,1969,+00,00"));
    ASSERT_EQ(old.route.nodes.size(), 2u);
    EXPECT_EQ(utc(old.route.nodes[0].arrivalTime), "2000-01-01T23:59:59Z");

    // Nothing usable: said why.
    const traces::FixReading none = read(sentence("GPGGA,,,,,,0,,,,M,,M,,") + "garbage\n");
    EXPECT_TRUE(none.route.nodes.empty());
    EXPECT_EQ(traces::whyNoFix(none),
              "none of its 1 RMC and GGA sentences gives a valid position with a time");
    EXPECT_EQ(traces::whyNoFix(read("")), "it holds no RMC or GGA sentence");
    std::ostringstream log;
    EXPECT_EQ(traces::whyNoFix(traces::readNmeaFixes("/nonexistent/x.nmea", log)), "it cannot be read");
    EXPECT_EQ(traces::whyNoFix(r), "");
}

// gpsd's regression captures: as many points as the log has valid fixes, where gpsd put them.
TEST(NmeaFixReader, GpsdCaptures) {
    const std::string logs = karvel_test::sharedData("gpsd-nmea-regress/logs");
    if (!std::filesystem::is_directory(logs)) GTEST_SKIP() << "needs ../shared/data/gpsd-nmea-regress";
    std::ostringstream log;
    std::string why;
    // 68 valid RMC fixes (the hybrid's loader keeps 24 of them), GGA without RMC, GGA fixes from no
    // satellite.
    EXPECT_GE(traces::loadRoute(logs + "/haicom-305N.log", log, nullptr, &why).nodes.size(), 68u);
    const Route hp = traces::loadRoute(logs + "/hp58534a.log", log, nullptr, &why);
    ASSERT_EQ(hp.nodes.size(), 2u);
    EXPECT_EQ(utc(hp.nodes[0].arrivalTime), "2010-10-25T22:24:49Z");
    EXPECT_EQ(traces::loadRoute(logs + "/hemi.log", log, nullptr, &why).nodes.size(),
              6u);  // 21 fixes, 15 from no satellite
    EXPECT_GE(traces::loadRoute(logs + "/rst39.log", log, nullptr, &why).nodes.size(), 40u);

    // Every point lies where gpsd decoded a fix of the same log.
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        const std::string name = entry.path().filename().string();
        std::ifstream chk(karvel_test::sharedData("gpsd-nmea-regress/gpsd_expected_json/" + name + ".chk"));
        std::vector<_position> gpsd;
        for (std::string line; std::getline(chk, line);) {
            const size_t lat = line.find("\"lat\":"), lon = line.find("\"lon\":");
            if (line.find("\"TPV\"") != std::string::npos && lat != std::string::npos &&
                lon != std::string::npos)
                gpsd.push_back({std::strtod(&line[lat + 6], nullptr), std::strtod(&line[lon + 6], nullptr)});
        }
        if (gpsd.empty()) continue;
        // gpsd reports a fix when its cycle ends, so the last epoch of a log may have none.
        int unseen = 0;
        for (const _node& n : traces::loadRoute(entry.path().string(), log).nodes) {
            bool seen = false;
            for (const _position& p : gpsd)
                seen = seen ||
                       (std::fabs(p.lat - n.position.lat) < 2e-6 && std::fabs(p.lon - n.position.lon) < 2e-6);
            unseen += seen ? 0 : 1;
        }
        EXPECT_LE(unseen, 1) << name;
    }
}
