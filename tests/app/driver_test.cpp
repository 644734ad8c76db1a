// End-to-end checks of the karvel driver: options, help, start-up and timing lines; and what counts as
// a seed in KARVEL_SEED.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "app/Main.h"
#include "app/random_seed.h"
#include "test_support.h"

using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

// Unknown words, case variants and a trailing -t are ignored; the last trace folder wins. An empty
// batch prints the start-up and the timing block, and the map is written back in its own layout. Help
// anywhere stops everything: nothing is loaded or written.
TEST(Driver, OptionWordsHelpStartUpAndTiming) {
    TempDir dir;
    for (const char* args : {"-h", "-help", "-M -t x -h", "-h -t"}) {
        const auto r = runCommand(karvel_test::binaryPath() + " " + args, dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        EXPECT_EQ(
            r.out,
            "\t*****  KARVEL  *****\n\n -t [folder]  -> traces to load (the default folder is data/nmea)\n"
            "-> select trace points from a restricted area\n -M -> generate Map Matching .kml files\n"
            " -h -> help\n -help -> help\n\n")
            << args;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    for (const char* folder : {"data/nmea", "second"}) std::filesystem::create_directories(dir / folder);
    const std::regex timing(
        "\nReady to run Ostrand\\.\n\nFinished running Ostrand\\.\n\n\n\nOverall processing time: "
        "([0-9]+) sec\\.  \\(~= ([0-9.e-]+) min\\.\\)\n\n\n");
    for (const auto& [args, folder] : {std::pair{"", "data/nmea/"},
                                       {"-H --help -m -t", "data/nmea/"},
                                       {"-t first -t second", "second"},
                                       {"-t ''", ""}}) {
        dir.write("data/map.txt", " 0\n 0\n");
        const auto r = runCommand(karvel_test::binaryPath() + " " + args, dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        const std::string header =
            std::string(
                "Looking for Trace Files...\nLooking for NMEA files (with .txt extension) inside folder: ") +
            folder + "\nLoading Map...\nTrying to load map: data/map.txt\n";
        ASSERT_EQ(r.out.substr(0, header.size()), header) << args;
        const std::string rest = r.out.substr(header.size());
        EXPECT_TRUE(std::regex_match(rest, timing)) << rest;
        EXPECT_EQ(dir.read("data/map.txt"), "0\n0\n");
    }
}

TEST(Driver, TimingLinesUseTheDefaultNumberFormat) {
    for (const auto& [seconds, text] :
         {std::pair{125, "125 sec.  (~= 2.08333 min.)"}, {0, "0 sec.  (~= 0 min.)"}}) {
        std::ostringstream out;
        matchApp::printOverallTime(out, seconds);
        EXPECT_EQ(out.str(), std::string("\n\nOverall processing time: ") + text + "\n\n\n");
    }
}

TEST(RandomSeed, OnlyPlainDecimalIntegersInRange) {
    const struct {
        const char* text;
        std::optional<unsigned> seed;
    } cases[] = {{"0", 0u},          {"4294967295", 4294967295u},
                 {"4294967296", {}}, {"-1", {}},
                 {"+3", {}},         {" 7", {}},
                 {"7x", {}},         {"", {}},
                 {nullptr, {}}};
    for (const auto& c : cases)
        EXPECT_EQ(matchApp::parseRandomSeed(c.text), c.seed) << (c.text ? c.text : "null");
}
