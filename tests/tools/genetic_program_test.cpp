// karvel-genetic as a program: its options, its report (karvel's format) and its files.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "map/maps.h"
#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

namespace fs = std::filesystem;

constexpr double kLat = 41.15;
constexpr double kLon0 = -8.61;
constexpr double kLinkDegrees = 0.0017;  // about 140 m of longitude

// A folder with data/map.txt (one road east in three links, ids 1, 2, 3) and data/nmea/ holding
// a drive along the road, 2 m north of it, 13 fixes per link, and an empty log.
void prepare(const TempDir& dir) {
    fs::create_directories(dir / "data/nmea");
    mapRepresentation::Map map;
    for (uint32_t k = 0; k < 4; ++k) map.addNode(k + 1, kLat, kLon0 + k * kLinkDegrees, 0, 0);
    for (uint32_t k = 1; k < 4; ++k) map.addLinkToNode(k, k + 1, 0, 0);
    ASSERT_TRUE(map.saveMap(dir / "data/map.txt"));
    std::vector<karvel_test::Fix> fixes;
    for (int link = 0; link < 3; ++link)
        for (int m = 0; m < 13; ++m)
            fixes.push_back({kLat + 0.00002, kLon0 + (link + (m + 0.5) / 13.0) * kLinkDegrees, 10.0, 90.0});
    writeFile(dir / "data/nmea/road.txt", karvel_test::nmeaLog(fixes));
    writeFile(dir / "data/nmea/empty.txt", "");
}

std::string genetic(const std::string& args) {
    return binaryPath("karvel-genetic") + " " + args;
}

// The report block of one trace: from its header line to the next header or the closing lines.
std::string block(const std::string& out, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\tRoute #[0-9]+: " + name + "\n"))) return "";
    const size_t from = static_cast<size_t>(m.position(0));
    size_t to = out.find("\tRoute #", from + 1);
    if (to == std::string::npos) to = out.find("Finished running Ostrand.");
    return out.substr(from, to - from);
}

}  // namespace

TEST(GeneticProgram, HelpStopsEverything) {
    TempDir dir;
    for (const char* args : {"-h", "-M -help -t x"}) {
        const auto r = runCommand(genetic(args), dir.str());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("\t*****  KARVEL genetic matcher  *****\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(" -M -> "), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir / "data"));
}

TEST(GeneticProgram, MatchesEveryTraceAndReportsLikeKarvel) {
    TempDir dir;
    prepare(dir);
    const std::string map = readFile(dir / "data/map.txt");
    const auto r = runCommand(genetic("-M"), dir.str());
    ASSERT_EQ(r.exitCode, 0) << r.out;

    // karvel's start-up and closing lines (their exact text is the driver's test).
    EXPECT_EQ(r.out.rfind("Looking for Trace Files...\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nReady to run Ostrand.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nFinished running Ostrand.\n"), std::string::npos) << r.out;

    // One path over the whole drive, one pair per fix, each on the link it lies beside.
    std::string expected = "Paths: \nScore: 0  Avg: 0 Start: 0 Last: 38 Links: ";
    for (int i = 0; i < 39; ++i)
        expected += "(" + std::to_string(i) + ", " + std::to_string(1 + i / 13) + ")  ";
    expected += "\n\n\n\nUnmatched Info: \n";
    const std::string road = block(r.out, "road");
    EXPECT_NE(road.find(expected), std::string::npos) << road;
    EXPECT_EQ(road.find("Start node:"), std::string::npos) << road;
    // An empty log has nothing to report.
    EXPECT_NE(block(r.out, "empty").find("Paths: \n\n\nUnmatched Info: \n"), std::string::npos) << r.out;

    EXPECT_TRUE(fs::exists(dir / "data/match_genetic_road.kml"));
    EXPECT_EQ(readFile(dir / "data/map.txt"), map) << "the map is only read";
}
