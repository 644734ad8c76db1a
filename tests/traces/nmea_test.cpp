// Both NMEA readers on hand-written logs. The hybrid's loader: epochs, talkers of every
// constellation, satellite bookkeeping, and long, broken and hostile input. The everyday reader: every
// fix with a valid position and time, whatever sentences the receiver sends; on clean RMC + GGA logs
// the very points of the hybrid's loader. Real receiver captures of the shared data folder, read by
// both readers against gpsd's decoding; skipped when absent.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "nmea_writer.h"
#include "support/test_support.h"
#include "traces/NMEALoader.h"
#include "traces/nmea_fix_reader.h"
#include "traces/trace_loader.h"
#include "traces/trace_time.h"

namespace {

using namespace std::string_literals;

std::string rmc(const std::string& time, const std::string& lon = "01131.000",
                const std::string& status = "A") {
    return "$GPRMC," + time + "," + status + ",4807.038,N," + lon + ",E,022.4,084.4,030308,003.1,W*6A\n";
}
std::string gga(const std::string& time) {
    return "$GPGGA," + time + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n";
}
const std::string kGsa = "$GPGSA,A,3,05,07,,,,,,,,,,,2.3,1.3,1.9*3D\n";
const std::string kGsv = "$GPGSV,1,1,02,05,40,083,40,07,20,100,30*75\n";

// What the loader made of `content`, written to `file` in a scratch folder, and what it reported
// after its "loading" line.
struct Loaded {
    karvel_test::TempDir dir;
    std::string report;
    NMEALoader loader;
    explicit Loaded(const std::string& content, const std::string& file = "trace.txt")
        : loader(read(dir / file, content, report)) {}
    static NMEALoader read(const std::string& path, const std::string& content, std::string& report) {
        karvel_test::writeFile(path, content);
        std::ostringstream log;
        NMEALoader l(path, log);
        report = log.str();
        EXPECT_EQ(report.substr(0, report.find('\n') + 1), "loading nmea file: " + path + "\n");
        report.erase(0, report.find('\n') + 1);
        return l;
    }
    const std::vector<_node>& nodes() const { return loader.route.nodes; }
};

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

}  // namespace

TEST(NmeaLoader, FullEpochBecomesOnePoint) {
    setenv("TZ", "UTC", 1);
    tzset();
    Loaded l(
        "$GPGSV,2,1,05,05,40,083,40,07,20,100,30,09,10,200,,07,50,50,99*75\n"  // first PRN 7 wins
        "$GPGSV,2,2,05,11,40,083,20*75\n"
        "$GPGGA,222437.000,2734.33926,S,15305.44310,E,1,07,1.3,50.6,M,39.2,M,,*72\n"
        "$GPGSA,A,3,05,07,09,,,,,,,,,,2.3,1.3,1.9*3D\n"
        "$GPRMC,222437.000,A,2734.33926,S,15305.44310,W,33.9,157.8,030308,11.2,W,A*0F\n"
        "$PGRMC,222438.000,A,2734.33926,S,15305.44310,W,33.9,157.8,030308,11.2,W,A*0F\n",
        "nested.dir/trip01.txt");
    ASSERT_EQ(l.nodes().size(), 1u);
    const _node& n = l.nodes()[0];
    // 2008-03-03 22:24:37; PRN 9 has no SNR but counts.
    EXPECT_EQ(std::tuple(l.report, l.loader.getRoute().name, n.arrivalTime, std::round(n.position.lat * 1e6),
                         std::round(n.position.lon * 1e6), n.hdop, n.averageSnr, n.valid),
              std::tuple("", "trip01", 1204583077u, -27572321.0, -153090718.0, 1.3, 70.0 / 3.0, true));
    EXPECT_EQ(n.easting, GPSPoint::convertWGS84ToUTM(n.position.lat, n.position.lon).easting);
    EXPECT_EQ(l.loader.satelliteSnr, (std::map<int, int>{{5, 40}, {7, 30}, {11, 20}}));
    EXPECT_NEAR(l.loader.tagSets.at(0).speed, 33.9 * 0.5144444444444444, 1e-9);
}

TEST(NmeaLoader, RmcOnlyFiles) {
    Loaded l("$GPRMC,123519,A,4807.038,N,01131.000,W,022.4,084.4,230394,003.1,W*6A\n" +
             rmc("123520", "01131.100") + rmc("123520", "01131.200") +  // same epoch: the last wins
             rmc("123521", "01131.000", "V") +
             "$GPRMC,123522,A,,,,,,,030308,,,N*53\n" +  // no position: not accepted
             rmc("123520", "01131.400"));               // an older time opens a new epoch
    std::vector<double> lons;
    for (const _node& n : l.nodes()) {
        lons.push_back(std::round(n.position.lon * 1e9) / 1e9);
        EXPECT_TRUE(n.hdop == -1000.0 && std::isnan(n.averageSnr) && n.valid == (lons.size() != 3));
    }
    EXPECT_EQ(lons, (std::vector<double>{-11.516666667, 11.52, 11.516666667, 11.523333333}));
    EXPECT_EQ(l.report, "");
}

// Epochs lacking a part are dropped and reported ("@" stands for "TagSet incomplete"); a GSA part is
// demanded only when the file has both GSA and GSV sentences.
TEST(NmeaLoader, IncompleteEpochsAreReportedAndDropped) {
    const std::string noGga = "\tgga[4294967295]: 0[0]\n\tgsa: 0[0]\n";
    const std::string fix = ",A,4807.038,N,01131.000,E,5.2,77.3,160906,15.8,W*60\n";
    const struct {
        std::string text;
        size_t points;
        std::string report;
    } cases[] = {
        {rmc("120000") + gga("120000") + rmc("120001") + rmc("120002") + gga("120002") + gga("120003"), 2,
         "@[1]: time 120001000\n\trmc[120001000]: 1[3]\n" + noGga +
             "@[3]: time 120003000\n\trmc[4294967295]: 0[0]\n\tgga[120003000]: 1[6]\n\tgsa: 0[0]\n"},
        // Without any RMC there is no position: no points at a made-up place.
        {gga("100000"), 0,
         "@[0]: time 100000000\n\trmc[4294967295]: 0[0]\n\tgga[100000000]: 1[1]\n\tgsa: 0[0]\n"},
        // RMC and GGA on alternate seconds: the fixes stay, the GGA epoch goes.
        {"$INRMC,194101" + fix +
             "$INGGA,194102,4807.038,N,01131.000,E,2,10,0.9,267.9,M,,,,*13\n$INRMC,194103" + fix,
         2, "@[1]: time 194102000\n\trmc[4294967295]: 0[0]\n\tgga[194102000]: 1[2]\n\tgsa: 0[0]\n"},
        {rmc("100000") + kGsa + rmc("100001"), 2, ""},
        {kGsv + rmc("100000") + rmc("100001"), 2, ""},
        {kGsv + rmc("100000") + kGsa + rmc("100001") + rmc("100002") + kGsa, 2,
         "@[1]: time 100001000\n\trmc[100001000]: 1[4]\n" + noGga},
    };
    for (const auto& c : cases) {
        const Loaded l(c.text);
        EXPECT_EQ(l.nodes().size(), c.points) << c.text;
        EXPECT_EQ(std::regex_replace(l.report, std::regex("TagSet incomplete"), "@"), c.report) << c.text;
    }
}

TEST(NmeaLoader, SatelliteBookkeepingAndConstellations) {
    // A GSA before any GSV counts nothing; a later GSV replaces a satellite's SNR.
    Loaded early(rmc("100000") + kGsa + kGsv + "$GPGSV,1,1,01,07,20,100,10*75\n" + rmc("100001") + kGsa);
    ASSERT_EQ(early.nodes().size(), 2u);
    EXPECT_TRUE(std::isnan(early.nodes()[0].averageSnr));
    EXPECT_EQ(early.nodes()[1].averageSnr, 25.0);
    // A checksum in place of the SNR is no signal; an empty SNR keeps the earlier value.
    EXPECT_EQ(Loaded(kGsv + "$GPGSV,1,1,02,05,40,083,,07,20,100,*4A\n").loader.satelliteSnr,
              (std::map<int, int>{{5, 40}, {7, 0}}));

    // Galileo reuses PRN 5 of GPS with another SNR; NMEA 4.10 names the system at the end of GSA.
    const std::string sky =
        "$GPGSV,1,1,02,05,40,083,40,07,20,100,30,1*75\n$GLGSV,1,1,01,65,53,144,20,1*7A\n"
        "$GAGSV,1,1,01,05,10,100,10,7*75\n";
    const std::string fix = "RMC,120000.00,A,4807.038,N,01131.000,E,0.0,,030308,,,A*07\n";
    const Loaded l(
        sky + "$GN" + fix + "$GNGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n" +
        "$GNGSA,A,3,05,07,,,,,,,,,,,1.0,0.6,0.8,1*03\n$GNGSA,A,3,65,,,,,,,,,,,,1.0,0.6,0.8,2*0C\n" +
        "$GNGSA,A,3,05,,,,,,,,,,,,1.0,0.6,0.8,3*0C\n");
    ASSERT_EQ(l.nodes().size(), 1u);
    // GPS 5 and 7, not Galileo's 5, and the first GSA of each system stands.
    EXPECT_EQ(std::tuple(l.nodes()[0].averageSnr, l.loader.satelliteSnr.size(), l.loader.satelliteSnr.at(65),
                         l.loader.tagSets[0].gsaLine),
              std::tuple(35.0, 4u, 20, 6u));
    // The Galileo GSA alone finds Galileo's satellite 5.
    EXPECT_EQ(
        Loaded(sky + "$GA" + fix + "$GAGSA,A,3,05,,,,,,,,,,,,1.0,0.6,0.8*0C\n").nodes().at(0).averageSnr,
        10.0);
    // Plain GPS logs keep their rule: the latest GSA of an epoch replaces the one before.
    const Loaded gp(sky + "$GP" + fix +
                    "$GPGSA,A,3,05,07,,,,,,,,,,,1.0,0.6,0.8*03\n$GPGSA,A,3,05,,,,,,,,,,,,1.0,0.6,0.8*03\n");
    EXPECT_EQ(gp.nodes().at(0).averageSnr, 40.0);
}

TEST(NmeaLoader, LongLinesDoNotEndTheFile) {
    const std::string junk(100000, '\x7f');
    Loaded l(rmc("100000") + junk + "\n" + rmc("100001") + "$PSRF" + junk + "\n" + rmc("100002"));
    ASSERT_EQ(l.nodes().size(), 3u);
    EXPECT_EQ(l.loader.tagSets[2].rmcLine, 5u);

    // Exactly 511 characters are read: a date ending at character 511 is whole, at 512 it is cut.
    const std::string head = "$GPRMC,100000,A,4807.038,N,01131.000,E,", tail = "1,0,030308";
    const std::string fits = head + std::string(511 - head.size() - tail.size(), '0') + tail;
    EXPECT_EQ(Loaded(fits + "\n").loader.tagSets.at(0).date, 30308u);
    Loaded over(head + "0" + fits.substr(head.size()) + "\n" + rmc("100001"));
    EXPECT_EQ(over.loader.tagSets.at(0).date, 3030u);
    EXPECT_EQ(over.nodes().size(), 2u);
}

TEST(NmeaLoader, HostileInputIsSafe) {
    const std::string hostile =
        "$GPRMC,1e300,A,4807.038,N,01131.000,E,1e300,1e300,1e300*00\n"
        "$GPRMC,4294967.296,A,4807.038,N,01131.000,E,,,030308\n"
        "$GPRMC,100000,A,9e300,N,01131.000,E,,,030308\n"
        "$GPRMC,100000,A,4807.038,N,99999.0,E,,,030308\n"
        "$GPRMC,abc,A,x,N,y,E,z,w,99999999999999999999\n"
        "$GPGGA,1e300,,,,,,99999999999999,1e999\n"
        "$GPGSV,1e30,99999999999,3,1,2,3,4\n$GPGSV,,\n$GPGSA\n,,,\n\n"
        "$GPRMC\0,100000,A,4807.038,N,01131.000,E,,,030308\n\0\0\xff\xfe\n"s
        "$GPGSV,1,1,02,1,0,0,2147483647,2,0,0,2147483647\n$GPGSV,1,1,02,3,0,0,-2147483647,4,0,0,-"
        "2147483647\n";
    const std::string fix = "$GPRMC,100000,A,4807.038,N,01131.000,E,,,030308*00";  // no final line end
    Loaded l(hostile + fix);
    EXPECT_EQ(l.loader.tagSets.size(), 1u);
    EXPECT_EQ(l.nodes().size(), 1u);
    // SNR sums saturate instead of overflowing.
    EXPECT_EQ(Loaded(hostile + fix + "\n$GPGSA,A,3,1,2,,,,,,,,,,,1,1,1").loader.tagSets[0].snrSum, INT_MAX);
    EXPECT_EQ(Loaded(hostile + fix + "\n$GPGSA,A,3,3,4,,,,,,,,,,,1,1,1").loader.tagSets[0].snrSum, INT_MIN);

    // Randomly damaged logs: whatever survives is a position on the globe.
    std::string base;
    for (char s = '0'; s < '6'; ++s) base += kGsv + gga("10000"s + s) + kGsa + rmc("10000"s + s);
    const char alphabet[] = ",*.-+$\r\n\0 0123456789eEAVNSWG";
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        std::string text = base;
        for (int e = 1 + static_cast<int>(rng() % 20); e > 0; --e) {
            const size_t pos = rng() % text.size();
            text[pos] = rng() % 2 ? alphabet[rng() % (sizeof(alphabet) - 1)] : static_cast<char>(rng() % 256);
        }
        const Loaded damaged(text);
        for (const _node& n : damaged.nodes())
            ASSERT_TRUE(std::fabs(n.position.lat) <= 90.0 && std::fabs(n.position.lon) <= 180.0 &&
                        std::isfinite(n.easting) && std::isfinite(n.northing));
    }
}

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
        EXPECT_EQ(std::tuple(m.position, m.arrivalTime, m.easting, m.northing, m.speed, m.heading, m.hdop),
                  std::tuple(h.position, h.arrivalTime, h.easting, h.northing, h.speed, h.heading, h.hdop))
            << i;
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
        std::ostringstream log;
        const Route r = NMEALoader(path.string(), log).getRoute();
        const std::string messages = log.str();
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
    const Route lithuania = NMEALoader(dir + "/bt451.log", ignored).getRoute();
    for (const _node& n : lithuania.nodes) EXPECT_LT(n.speed, 40.0);
    // The everyday reader: 68 valid RMC fixes (the hybrid's loader keeps 24 of them), GGA without
    // RMC, GGA fixes from no satellite (21 fixes, 15 of them).
    const auto count = [&](const std::string& name) { return traces::loadRoute(dir + name, ignored).nodes; };
    EXPECT_GE(count("/haicom-305N.log").size(), 68u);
    ASSERT_EQ(count("/hp58534a.log").size(), 2u);
    EXPECT_EQ(traces::isoUtcText(count("/hp58534a.log")[0].arrivalTime), "2010-10-25T22:24:49Z");
    EXPECT_EQ(count("/hemi.log").size(), 6u);
    EXPECT_GE(count("/rst39.log").size(), 40u);
}
