// karvel-genetic as a program: its options, its report (karvel's format) and its files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

namespace {

std::string genetic(const std::string& args) {
    return karvel_test::binaryPath("karvel-genetic") + " " + args;
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
    EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

// One road east in three links of about 140 m; a drive 2 m north of it, 13 fixes per link, and an
// empty log. karvel's start-up and closing lines are the driver's test.
TEST(GeneticProgram, MatchesEveryTraceAndReportsLikeKarvel) {
    TempDir dir;
    const std::string map = karvel_test::roadMap(41.15, -8.61, 41.15, -8.61 + 3 * 0.0017, 4);
    karvel_test::writeFile(dir / "data/map.txt", map);
    std::vector<karvel_test::Fix> fixes;
    for (int i = 0; i < 39; ++i) fixes.push_back({41.15002, -8.61 + (i + 0.5) / 13.0 * 0.0017, 10.0, 90.0});
    karvel_test::writeFile(dir / "data/nmea/road.txt", karvel_test::nmeaLog(fixes));
    karvel_test::writeFile(dir / "data/nmea/empty.txt", "");
    const auto r = runCommand(genetic("-M"), dir.str());
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out.rfind("Looking for Trace Files...\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nFinished running Ostrand.\n"), std::string::npos) << r.out;

    // One path over the whole drive, one pair per fix, each on the link it lies beside, no stretch.
    std::string expected = ": road\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 38 Links: ";
    for (int i = 0; i < 39; ++i)
        expected += "(" + std::to_string(i) + ", " + std::to_string(1 + i / 13) + ")  ";
    const size_t at = r.out.find(expected + "\n\n\n\nUnmatched Info: \n");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(at + expected.size() + 20, 10), "Start node") << r.out;
    // An empty log has nothing to report.
    EXPECT_NE(r.out.find(": empty\nPaths: \n\n\nUnmatched Info: \n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(dir / "data/match_genetic_road.kml"));
    EXPECT_EQ(readFile(dir / "data/map.txt"), map) << "the map is only read";
}
