#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>

#include "geometry/GPSPoint.h"
#include "support/test_support.h"
#include "traces/NMEALoader.h"

namespace {

using karvel_test::TempDir;
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

// Loads `content` from a file in `dir`; `report` is what was printed after the "loading" line.
struct Loaded {
    std::string report;
    NMEALoader loader;
    Loaded(const TempDir& dir, const std::string& content, const std::string& file = "trace.txt")
        : loader(load(dir / file, content, report)) {}
    static NMEALoader load(const std::string& path, const std::string& content, std::string& report) {
        karvel_test::writeFile(path, content);
        testing::internal::CaptureStdout();
        NMEALoader l(path);
        report = testing::internal::GetCapturedStdout();
        EXPECT_EQ(report.substr(0, report.find('\n') + 1), "loading nmea file: " + path + "\n");
        report.erase(0, report.find('\n') + 1);
        return l;
    }
    const std::vector<_node>& nodes() const { return loader.route.nodes; }
};

void expectSane(const Route& r) {
    for (const _node& n : r.nodes) {
        ASSERT_TRUE(std::fabs(n.position.lat) <= 90.0 && std::fabs(n.position.lon) <= 180.0);
        ASSERT_TRUE(std::isfinite(n.easting) && std::isfinite(n.northing));
    }
}

}  // namespace

TEST(NmeaLoader, ConversionsAndFields) {
    EXPECT_NEAR(NMEALoader::convertDegrees(-1131.0), -11.516666666666667, 1e-12);
    using F = std::vector<std::string>;
    EXPECT_EQ(NMEALoader::splitFields(""), F{});
    EXPECT_EQ(NMEALoader::splitFields(","), F{""});
    EXPECT_EQ(NMEALoader::splitFields("a,,b,"), (F{"a", "", "b"}));
}

TEST(NmeaLoader, FullEpochBecomesOnePoint) {
    setenv("TZ", "UTC", 1);
    tzset();
    TempDir dir;
    Loaded l(dir,
             "$GPGSV,2,1,05,05,40,083,40,07,20,100,30,09,10,200,,07,50,50,99*75\n"  // first PRN 7 wins
             "$GPGSV,2,2,05,11,40,083,20*75\n"
             "$GPGGA,222437.000,2734.33926,S,15305.44310,E,1,07,1.3,50.6,M,39.2,M,,*72\n"
             "$GPGSA,A,3,05,07,09,,,,,,,,,,2.3,1.3,1.9*3D\n"
             "$GPRMC,222437.000,A,2734.33926,S,15305.44310,W,33.9,157.8,030308,11.2,W,A*0F\n"
             "$PGRMC,222438.000,A,2734.33926,S,15305.44310,W,33.9,157.8,030308,11.2,W,A*0F\n",
             "nested.dir/trip01.txt");
    EXPECT_EQ(l.report, "");
    EXPECT_EQ(l.loader.getRoute().name, "trip01");
    ASSERT_EQ(l.nodes().size(), 1u);
    const _node& n = l.nodes()[0];
    EXPECT_EQ(n.arrivalTime, 1204583077u);  // 2008-03-03 22:24:37
    EXPECT_NEAR(n.position.lat, -27.572321, 1e-6);
    EXPECT_NEAR(n.position.lon, -153.090718, 1e-6);
    EXPECT_EQ(n.easting, GPSPoint::convertWGS84ToUTM(n.position.lat, n.position.lon).easting);
    EXPECT_EQ(n.hdop, 1.3);
    EXPECT_DOUBLE_EQ(n.averageSnr, 70.0 / 3.0);  // PRN 9 has no SNR but counts
    EXPECT_TRUE(n.valid);
    EXPECT_EQ(l.loader.satelliteSnr, (std::map<int, int>{{5, 40}, {7, 30}, {11, 20}}));
    EXPECT_NEAR(l.loader.tagSets.at(0).speed, 33.9 * 0.5144444444444444, 1e-9);
}

TEST(NmeaLoader, RmcOnlyFiles) {
    TempDir dir;
    Loaded l(dir, "$GPRMC,123519,A,4807.038,N,01131.000,W,022.4,084.4,230394,003.1,W*6A\n" +
                      rmc("123520", "01131.100") + rmc("123520", "01131.200") +  // same epoch: the last wins
                      rmc("123521", "01131.000", "V") +
                      "$GPRMC,123522,A,,,,,,,030308,,,N*53\n" +  // no position: not accepted
                      rmc("123520", "01131.400"));               // an older time opens a new epoch
    ASSERT_EQ(l.nodes().size(), 4u);
    EXPECT_NEAR(l.nodes()[0].position.lat, 48.1173, 1e-12);
    EXPECT_NEAR(l.nodes()[0].position.lon, -11.516666666666667, 1e-12);
    EXPECT_NEAR(l.nodes()[1].position.lon, 11.52, 1e-12);
    EXPECT_FALSE(l.nodes()[2].valid);
    EXPECT_NEAR(l.nodes()[3].position.lon, 11.523333333333333, 1e-12);
    for (const _node& n : l.nodes()) EXPECT_TRUE(n.hdop == -1000.0 && std::isnan(n.averageSnr));
    EXPECT_EQ(l.report, "");
}

TEST(NmeaLoader, CrLfLinesReadLikeLf) {
    TempDir dir;
    const std::string lf = gga("100000") + rmc("100000") + gga("100001") + rmc("100001", "01131.500");
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? "\r\n"s : std::string(1, c);
    Loaded a(dir, lf, "a.txt"), b(dir, crlf, "b.txt");
    ASSERT_EQ(b.nodes().size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(a.nodes()[i].position == b.nodes()[i].position && a.nodes()[i].hdop == b.nodes()[i].hdop);
}

TEST(NmeaLoader, IncompleteEpochsAreReportedAndDropped) {
    TempDir dir;
    Loaded l(dir,
             rmc("120000") + gga("120000") + rmc("120001") + rmc("120002") + gga("120002") + gga("120003"));
    EXPECT_EQ(l.nodes().size(), 2u);
    EXPECT_EQ(
        l.report,
        "TagSet incomplete[1]: time 120001000\n\trmc[120001000]: 1[3]\n\tgga[4294967295]: 0[0]\n\tgsa: 0[0]\n"
        "TagSet incomplete[3]: time 120003000\n\trmc[4294967295]: 0[0]\n\tgga[120003000]: 1[6]\n\tgsa: "
        "0[0]\n");

    // Without any RMC there is no position: no points at a made-up place.
    Loaded ggaOnly(dir, gga("100000"), "gga.txt");
    EXPECT_TRUE(ggaOnly.nodes().empty());
    EXPECT_EQ(ggaOnly.report,
              "TagSet incomplete[0]: time 100000000\n\trmc[4294967295]: 0[0]\n\tgga[100000000]: 1[1]\n\tgsa: "
              "0[0]\n");
}

TEST(NmeaLoader, SatelliteBookkeepingAndGsaCompleteness) {
    TempDir dir;
    // A GSA before any GSV counts nothing; a later GSV replaces a satellite's SNR.
    Loaded early(dir, rmc("100000") + kGsa + kGsv + "$GPGSV,1,1,01,07,20,100,10*75\n" + rmc("100001") + kGsa);
    ASSERT_EQ(early.nodes().size(), 2u);
    EXPECT_TRUE(std::isnan(early.nodes()[0].averageSnr));
    EXPECT_DOUBLE_EQ(early.nodes()[1].averageSnr, 25.0);

    // An epoch without GSA is demanded to have one only when the file has both GSA and GSV.
    EXPECT_EQ(Loaded(dir, rmc("100000") + kGsa + rmc("100001"), "a.txt").nodes().size(), 2u);
    EXPECT_EQ(Loaded(dir, kGsv + rmc("100000") + rmc("100001"), "b.txt").nodes().size(), 2u);
    Loaded both(dir, kGsv + rmc("100000") + kGsa + rmc("100001") + rmc("100002") + kGsa, "c.txt");
    EXPECT_EQ(both.nodes().size(), 2u);
    EXPECT_EQ(both.report,
              "TagSet incomplete[1]: time 100001000\n\trmc[100001000]: 1[4]\n\tgga[4294967295]: 0[0]\n\tgsa: "
              "0[0]\n");
}

TEST(NmeaLoader, LongLinesDoNotEndTheFile) {
    TempDir dir;
    const std::string junk(100000, '\x7f');
    Loaded l(dir, rmc("100000") + junk + "\n" + rmc("100001") + "$PSRF" + junk + "\n" + rmc("100002"));
    ASSERT_EQ(l.nodes().size(), 3u);
    EXPECT_EQ(l.loader.tagSets[2].rmcLine, 5u);

    // Exactly 511 characters are read: a date ending at character 511 is whole, at 512 it is cut.
    const std::string head = "$GPRMC,100000,A,4807.038,N,01131.000,E,", tail = "1,0,030308";
    const std::string fits = head + std::string(511 - head.size() - tail.size(), '0') + tail;
    EXPECT_EQ(Loaded(dir, fits + "\n", "a.txt").loader.tagSets.at(0).date, 30308u);
    Loaded over(dir, head + "0" + fits.substr(head.size()) + "\n" + rmc("100001"), "b.txt");
    EXPECT_EQ(over.loader.tagSets.at(0).date, 3030u);
    EXPECT_EQ(over.nodes().size(), 2u);
}

TEST(NmeaLoader, HostileInputIsSafe) {
    TempDir dir;
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
    Loaded l(dir, hostile + fix);
    EXPECT_EQ(l.loader.tagSets.size(), 1u);
    EXPECT_EQ(l.nodes().size(), 1u);
    // SNR sums saturate instead of overflowing.
    EXPECT_EQ(
        Loaded(dir, hostile + fix + "\n$GPGSA,A,3,1,2,,,,,,,,,,,1,1,1", "a.txt").loader.tagSets[0].snrSum,
        INT_MAX);
    EXPECT_EQ(
        Loaded(dir, hostile + fix + "\n$GPGSA,A,3,3,4,,,,,,,,,,,1,1,1", "b.txt").loader.tagSets[0].snrSum,
        INT_MIN);

    // Randomly damaged logs: whatever survives is a position on the globe.
    std::string base;
    for (char s = '0'; s < '6'; ++s) base += kGsv + gga("10000"s + s) + kGsa + rmc("10000"s + s);
    const char alphabet[] = ",*.-+$\r\n\0 0123456789eEAVNSWG";
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        std::string text = base;
        for (int e = 1 + static_cast<int>(rng() % 20); e > 0; --e) {
            const size_t pos = rng() % text.size();
            if (rng() % 2)
                text[pos] = alphabet[rng() % (sizeof(alphabet) - 1)];
            else
                text[pos] = static_cast<char>(rng() % 256);
        }
        expectSane(Loaded(dir, text, "fuzz.txt").loader.route);
    }
}

TEST(NmeaLoader, MissingFileGivesEmptyRoute) {
    TempDir dir;
    testing::internal::CaptureStdout();
    NMEALoader l(dir / "nope/absent.txt");
    NMEALoader d(dir.str());  // a directory reads as nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "loading nmea file: " + (dir / "nope/absent.txt") + "\nloading nmea file: " + dir.str() + "\n");
    EXPECT_TRUE(l.route.nodes.empty() && d.route.nodes.empty());
    EXPECT_EQ(l.route.name, "absent");
}
