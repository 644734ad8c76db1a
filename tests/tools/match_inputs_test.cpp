// What the matching programs do with the traces a user brings: any NMEA extension, files named on the
// command line, receivers that send only RMC or only GGA, a trace that gives nothing, and a street
// across a UTM zone line.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::occurrences;
using karvel_test::runCommand;
using karvel_test::TempDir;

TEST(MatchInputs, KarvelMatchReadsEveryReceiverAndNamesTracesWithoutAFix) {
    TempDir dir;
    karvel_test::makeWorkFolder(dir, karvel_test::roadMap(41.15, -8.62, 41.15, -8.60, 20, true));
    std::filesystem::create_directories(dir / "more");
    dir.write("data/nmea/a.nmea", karvel_test::nmeaAlong(41.15001, -8.619, 41.15001, -8.601, 30));
    // GGA only, as from a receiver that never sends a date.
    const std::string drive = karvel_test::nmeaAlong(41.15001, -8.619, 41.15001, -8.601, 20);
    dir.write("data/nmea/b.log", std::regex_replace(drive, std::regex(R"(\$GPRMC[^\n]*\n)"), ""));
    dir.write("more/empty.txt", "$GPGGA,,,,,,0,,,,M,,M,,*66\n");

    const auto r = dir.run("$M -t data/nmea more/empty.txt");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(occurrences(r.out, "ERROR: "), 1u) << r.out;
    EXPECT_NE(
        r.out.find("ERROR: trace more/empty.txt gives no fix: none of its 1 RMC and GGA sentences gives a "
                   "valid position with a time.\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(occurrences(r.out, "Route #"), 3u) << r.out;
    // Every fix of a and b on a path: unmatched stretches only in the block of the empty trace.
    EXPECT_EQ(occurrences(r.out.substr(0, r.out.find("Route #2")), "Start node:"), 0u) << r.out;

    // Only the files named: the folder is not listed.
    const auto one = dir.run("$M data/nmea/b.log");
    EXPECT_EQ(one.exitCode, 0) << one.out;
    EXPECT_EQ(occurrences(one.out, "Route #"), 1u) << one.out;
}

TEST(MatchInputs, KarvelSaysWhichSentencesATraceLacked) {
    TempDir dir;
    karvel_test::makeWorkFolder(dir, karvel_test::roadMap(41.15, -8.62, 41.15, -8.60, 20, true));
    const std::string drive = karvel_test::nmeaAlong(41.15001, -8.619, 41.15001, -8.601, 20);
    dir.write("data/nmea/a.txt", drive);
    dir.write("data/nmea/b.txt", std::regex_replace(drive, std::regex(R"(\$GPRMC[^\n]*\n)"), ""));
    const auto r = dir.run("$K");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: no point loaded from data/nmea/b.txt: it has no RMC sentence with a time, a "
                         "date and a position (GGA sentences carry no date).\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(occurrences(r.out, "ERROR: "), 1u) << r.out;
}

// A street across 12 deg E, driven end to end: every fix on it. Each point in its own zone put the
// street's middle link hundreds of kilometres long and the fixes beside it off the map.
TEST(MatchInputs, AStreetAcrossAZoneLine) {
    for (const char* program : {"karvel-match", "karvel"}) {
        SCOPED_TRACE(program);
        TempDir dir;
        karvel_test::makeWorkFolder(dir, karvel_test::roadMap(48.137, 11.994, 48.137, 12.006, 13, true));
        dir.write("data/nmea/a.txt", karvel_test::nmeaAlong(48.13703, 11.9945, 48.13703, 12.0055, 60));
        const auto r = runCommand(binaryPath(program), dir.str());
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("(0, "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("(59, "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Start node:"), std::string::npos) << r.out;
    }
}
