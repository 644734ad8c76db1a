// The real karvel binary against trace logs nobody controls: every case finishes with exit status
// 0, in bounded time and memory, without a sanitizer report, with the stated report. (Folders that
// cannot be listed and entries that are not regular files: badinput_files_test.cpp.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "badinput_support.h"
#include "nmea_writer.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::Fix;
using karvel_test::fixesAlong;
using karvel_test::nmeaLog;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

// A straight two-way road of `count` nodes from (lat0, lon0) to (lat1, lon1).
std::string roadMap(double lat0, double lon0, double lat1, double lon1, int count) {
    std::ostringstream s;
    s.precision(10);
    s << count << "\n";
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / (count - 1);
        s << i + 1 << " " << lon0 + (lon1 - lon0) * t << " " << lat0 + (lat1 - lat0) * t << " 0 0\n";
    }
    s << 2 * (count - 1) << "\n";
    for (int i = 1; i < count; ++i) s << i << " " << i + 1 << " 10 1\n" << i + 1 << " " << i << " 10 1\n";
    return s.str();
}

// Road along which the traces run: Porto, 41.10..41.11 N.
const std::string kRoad = roadMap(41.10, -8.60, 41.11, -8.60, 12);

// Runs karvel in `dir` and checks what every case shares: clean exit, no sanitizer output, bounded
// memory, the start-up block, the normal end, and a map that was written back unchanged.
KarvelRun runChecked(const TempDir& dir, const std::vector<std::string>& args, const std::string& folder,
                     double seconds = 60, long maxRssMb = 1024) {
    KarvelRun r = runKarvel(dir.str(), args, {seconds, -1});
    EXPECT_FALSE(r.timedOut) << "still running after " << seconds << " s";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.maxRssKb, maxRssMb * 1024);
    EXPECT_EQ(r.out.substr(0, startUp(folder).size()), startUp(folder));
    EXPECT_TRUE(endsNormally(r.out)) << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out.substr(0, 3000);
    return r;
}

void addRoad(const TempDir& dir) {
    writeFile(dir / "data/map.txt", kRoad);
}

TEST(BadTraces, UnreadableAndEmptyLogsGiveEmptyRoutes) {
    TempDir dir;
    addRoad(dir);
    // An unreadable log (no permission; root reads it all the same, as an empty trace).
    writeFile(dir / "logs/x.txt", "");
    fs::permissions(dir / "logs/x.txt", fs::perms::none);
    writeFile(dir / "logs/y.txt", "");
    // Binary noise: every byte value, line ends among them, but no sentence.
    std::string noise(256 * 1024, '\0');
    std::mt19937 gen(13);
    for (char& c : noise) c = static_cast<char>(gen() % 256);
    for (size_t at; (at = noise.find("$GP")) != std::string::npos;) noise[at] = '#';
    writeFile(dir / "logs/z.txt", noise);

    const KarvelRun r = runChecked(dir, {"-t", "logs"}, "logs");
    for (const auto& [file, name] :
         {std::pair{"logs/x.txt", "x"}, {"logs/y.txt", "y"}, {"logs/z.txt", "z"}}) {
        // The listing order is the directory's; each trace reports the empty-trace result.
        const std::string report = "loading nmea file: " + std::string(file) + "\n";
        const size_t at = r.out.find(report);
        ASSERT_NE(at, std::string::npos) << file;
        const size_t routeAt = r.out.find("\tRoute #", at);
        const int index = std::stoi(r.out.substr(routeAt + 8));
        EXPECT_EQ(r.out.substr(at, emptyRouteReport(file, index, name).size()),
                  emptyRouteReport(file, index, name));
    }
}

// Points whose times run backwards, stand still, or jump: the derived speeds are whatever the
// clock says, but the run completes and every point is accounted for in a path or a stretch.
TEST(BadTraces, TimesRunningBackwards) {
    TempDir dir;
    addRoad(dir);
    std::string log = nmeaLog(fixesAlong(41.10, -8.60, 41.11, -8.60, 20), -1);  // 12:00:00, 11:59:59, ...
    writeFile(dir / "data/nmea/back.txt", log);
    const KarvelRun r = runChecked(dir, {"-M"}, "data/nmea/");
    EXPECT_NE(r.out.find("\tRoute #0: back\nPaths: \n"), std::string::npos);
    EXPECT_NE(r.out.find("Score: "), std::string::npos) << "the trace lies on the road and must match";
    EXPECT_TRUE(fs::exists(dir / "data/match_ostrand_back.kml"));
}

TEST(BadTraces, OnePoint) {
    TempDir dir;
    addRoad(dir);
    writeFile(dir / "data/nmea/one.txt", nmeaLog({Fix{41.105, -8.60}}));
    const KarvelRun r = runChecked(dir, {"-M"}, "data/nmea/");
    const size_t at = r.out.find("\tRoute #0: one\nPaths: \n");
    ASSERT_NE(at, std::string::npos);
    // One point on the road: one path or one unmatched stretch, never anything past point 0.
    const std::string rest = r.out.substr(at);
    EXPECT_TRUE(rest.find("Links: (0, ") != std::string::npos ||
                rest.find("Start node: 0 End node: 0 ") != std::string::npos)
        << rest;
    EXPECT_EQ(rest.find("(1, "), std::string::npos);
}

// A road and a trace across the equator and the border of UTM zones 31 and 32 (6 degrees east):
// planar coordinates jump there, but the run must complete and match the points on each side.
TEST(BadTraces, CrossingTheEquatorAndAZoneBorder) {
    TempDir dir;
    writeFile(dir / "data/map.txt", roadMap(-0.002, 5.998, 0.002, 6.002, 40));
    writeFile(dir / "data/nmea/cross.txt", nmeaLog(fixesAlong(-0.0018, 5.9982, 0.0018, 6.0018, 40)));
    const KarvelRun r = runChecked(dir, {"-M"}, "data/nmea/");
    const size_t at = r.out.find("\tRoute #0: cross\nPaths: \n");
    ASSERT_NE(at, std::string::npos);
    // Points on both sides of the border are matched (link ids exist in the 78-link map).
    const std::regex pair("\\((\\d+), (-?\\d+)\\)");
    int matchedSouthWest = 0, matchedNorthEast = 0;
    const std::string rest = r.out.substr(at);
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), pair); it != std::sregex_iterator(); ++it) {
        const int point = std::stoi((*it)[1]);
        const int link = std::stoi((*it)[2]);
        EXPECT_TRUE(link == -1 || (link >= 1 && link <= 78)) << link;
        if (link < 1) continue;
        (point < 20 ? matchedSouthWest : matchedNorthEast)++;
    }
    EXPECT_GT(matchedSouthWest, 0);
    EXPECT_GT(matchedNorthEast, 0);
    const std::string kml = karvel_test::readFile(dir / "data/match_ostrand_cross.kml");
    EXPECT_EQ(kml.substr(kml.size() - 19), "</Document>\n</kml>\n");
}

// At least 100 MB of log, made at test time: a real trace repeated with receiver chatter between
// the fixes. Long: run with KARVEL_LONG_TESTS=1.
TEST(BadTraces, HundredMegabyteLog) {
    if (std::getenv("KARVEL_LONG_TESTS") == nullptr) GTEST_SKIP() << "long check: set KARVEL_LONG_TESTS=1";
    TempDir dir;
    addRoad(dir);
    {
        fs::create_directories(dir / "data/nmea");
        std::ofstream out(dir / "data/nmea/big.txt", std::ios::binary);
        const std::string chatter =
            "$GPGSV,3,1,12,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45*75\r\n"
            "$GPGSV,3,2,12,15,40,083,46,16,17,308,41,17,07,344,39,18,22,228,45*75\r\n"
            "$GPGSV,3,3,12,19,40,083,46,20,17,308,41,21,07,344,39,22,22,228,45*75\r\n"
            "$GPGSA,A,3,01,02,12,14,15,16,17,18,,,,,2.5,1.3,2.1*39\r\n"
            "$PGRME,15.0,M,45.0,M,25.0,M*00\r\n";
        std::string block;
        // 86 400 distinct epochs (a whole day, one per second) along the road and back, then chatter.
        const std::vector<Fix> along = fixesAlong(41.10, -8.60, 41.11, -8.60, 200);
        size_t written = 0;
        for (int second = 0; second < 86400 && written < (100u << 20); ++second) {
            const Fix& f = along[static_cast<size_t>(second % 400 < 200 ? second % 200 : 399 - second % 400)];
            std::string fix = nmeaLog({f});
            // Stamp the epoch's time of day into both sentences.
            char hhmmss[8];
            std::snprintf(hhmmss, sizeof hhmmss, "%02d%02d%02d", second / 3600, second / 60 % 60,
                          second % 60);
            for (size_t at = 0; (at = fix.find("120000", at)) != std::string::npos; at += 6)
                fix.replace(at, 6, hhmmss);
            for (int k = 0; k < 9; ++k) block += chatter;
            block += fix;
            out << block;
            written += block.size();
            block.clear();
        }
        // Top up to 100 MB with chatter after the last fix.
        while (written < (100u << 20)) {
            out << chatter;
            written += chatter.size();
        }
    }
    ASSERT_GE(fs::file_size(dir / "data/nmea/big.txt"), 100u << 20);
    const KarvelRun r = runChecked(dir, {}, "data/nmea/", 1800, 4096);
    std::printf("100 MB log: %.1f s, peak memory %ld MB\n", r.seconds, r.maxRssKb / 1024);
    EXPECT_NE(r.out.find("\tRoute #0: big\nPaths: \n"), std::string::npos);
    EXPECT_NE(r.out.find("Score: "), std::string::npos);
}

}  // namespace
