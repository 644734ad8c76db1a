// karvel end to end on a hand-built map whose right answer is obvious.
#include <gtest/gtest.h>

#include <filesystem>

#include "nmea_writer.h"
#include "test_support.h"

// A -> B east, then at B north to C rather than on east to D: one path, 30 points on link 1 and 25 on
// link 2, and a well-formed match document.
TEST(Pipeline, HandBuiltMapGivesTheObviousMatchAndAValidDocument) {
    karvel_test::TempDir dir;
    karvel_test::writeFile(
        dir / "data/map.txt",
        karvel_test::mapText({{41.15, -8.61}, {41.15, -8.6064}, {41.1527, -8.6064}, {41.15, -8.6028}},
                             {{1, 2}, {2, 3}, {2, 4}}));
    std::vector<karvel_test::Fix> fixes = karvel_test::fixesAlong(41.15, -8.6099, 41.15, -8.6065, 30);
    for (const auto& f : karvel_test::fixesAlong(41.15005, -8.6064, 41.1526, -8.6064, 25)) fixes.push_back(f);
    dir.write("data/nmea/turn.txt", karvel_test::nmeaLog(fixes));
    const auto r = dir.run("$K -M");
    EXPECT_EQ(r.exitCode, 0);
    std::string report =
        "loading nmea file: data/nmea/turn.txt\n\tRoute #0: turn\nPaths: \nScore: 0  Avg: 0 Start: 0 "
        "Last: 54 Links: ";
    for (int i = 0; i < 55; ++i) report += "(" + std::to_string(i) + ", " + (i < 30 ? "1" : "2") + ")  ";
    const size_t from = r.out.find("Ready to run Ostrand.\n\n") + 23, to = r.out.find("Finished running");
    EXPECT_EQ(r.out.substr(from, to - from), report + "\n\n\n\nUnmatched Info: \n");
    const std::string kml = dir / "data/match_ostrand_turn.kml";
    ASSERT_TRUE(std::filesystem::exists(kml));
    EXPECT_EQ(karvel_test::runCommand("xmllint --noout '" + kml + "' 2>&1").out, "");
}
