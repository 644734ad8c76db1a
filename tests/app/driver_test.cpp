// End-to-end checks of the karvel driver: options, start-up and timing lines.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "app/Main.h"
#include "test_support.h"

using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

namespace {

std::string karvel(const std::string& args) {
    return karvel_test::binaryPath("karvel") + " " + args;
}

}  // namespace

TEST(Driver, HelpAnywhereStopsEverything) {
    TempDir dir;
    for (const char* args : {"-h", "-help", "-M -t x -h", "-h -t"}) {
        const auto r = runCommand(karvel(args), dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        EXPECT_EQ(
            r.out,
            "\t*****  KARVEL  *****\n\n -t [folder]  -> traces to load (the default folder is data/nmea)\n"
            "-> select trace points from a restricted area\n -M -> generate Map Matching .kml files\n"
            " -h -> help\n -help -> help\n\n")
            << args;
    }
    // Nothing was loaded or written.
    EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

// Unknown words, case variants and a trailing -t are ignored; the last trace folder wins. An empty
// batch prints the start-up and the timing block, and the map is written back in its own layout.
TEST(Driver, OptionWordsStartUpAndTiming) {
    TempDir dir;
    for (const char* folder : {"data/nmea", "second"}) std::filesystem::create_directories(dir / folder);
    const std::regex timing(
        "\nReady to run Ostrand\\.\n\nFinished running Ostrand\\.\n\n\n\nOverall processing time: "
        "([0-9]+) sec\\.  \\(~= ([0-9.e-]+) min\\.\\)\n\n\n");
    for (const auto& [args, folder] : {std::pair{"", "data/nmea/"},
                                       {"-H --help -m -t", "data/nmea/"},
                                       {"-t first -t second", "second"},
                                       {"-t ''", ""}}) {
        karvel_test::writeFile(dir / "data/map.txt", " 0\n 0\n");
        const auto r = runCommand(karvel(args), dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        const std::string header =
            std::string(
                "Looking for Trace Files...\nLooking for NMEA files (with .txt extension) inside folder: ") +
            folder + "\nLoading Map...\nTrying to load map: data/map.txt\n";
        ASSERT_EQ(r.out.substr(0, header.size()), header) << args;
        std::smatch m;
        const std::string rest = r.out.substr(header.size());
        ASSERT_TRUE(std::regex_match(rest, m, timing)) << rest;
        EXPECT_EQ(std::to_string(std::stoi(m[1])), m[1].str());
        EXPECT_EQ(readFile(dir / "data/map.txt"), "0\n0\n");
    }
}

TEST(Driver, TimingLinesUseTheDefaultNumberFormat) {
    for (const auto& [seconds, text] :
         {std::pair{125, "125 sec.  (~= 2.08333 min.)"}, {0, "0 sec.  (~= 0 min.)"}}) {
        std::ostringstream out;
        printOverallTime(out, seconds);
        EXPECT_EQ(out.str(), std::string("\n\nOverall processing time: ") + text + "\n\n\n");
    }
}
