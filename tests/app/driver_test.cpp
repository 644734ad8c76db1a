// End-to-end checks of the karvel driver: options, listing, start-up and timing lines.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "app/Main.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using karvel_test::testFile;
using karvel_test::writeFile;

namespace {

const char* kHelp =
    "\t*****  KARVEL  *****\n"
    "\n"
    " -t [folder]  -> traces to load (the default folder is data/nmea)\n"
    "-> select trace points from a restricted area\n"
    " -M -> generate Map Matching .kml files\n"
    " -h -> help\n"
    " -help -> help\n"
    "\n";

std::string header(const std::string& folder) {
    return "Looking for Trace Files...\n"
           "Looking for NMEA files (with .txt extension) inside folder: " +
           folder +
           "\n"
           "Loading Map...\n"
           "Trying to load map: data/map.txt\n"
           "\n"
           "Ready to run Ostrand.\n"
           "\n";
}

// The timing block at the end; seconds vary, so they are matched by pattern.
const std::regex kTiming(
    "Finished running Ostrand\\.\n\n\n\nOverall processing time: ([0-9]+) sec\\.  \\(~= ([0-9.e-]+) "
    "min\\.\\)\n\n\n$");

std::string karvel(const std::string& args) {
    return binaryPath("karvel") + " " + args;
}

}  // namespace

TEST(Driver, HelpAnywhereStopsEverything) {
    TempDir dir;
    for (const char* args : {"-h", "-help", "-M -t x -h", "-h -t"}) {
        auto r = runCommand(karvel(args), dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        EXPECT_EQ(r.out, kHelp) << args;
    }
    // Nothing was loaded or written.
    EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

TEST(Driver, OptionWordsAreExactAndLastTraceFolderWins) {
    TempDir dir;
    writeFile(dir / "data/map.txt", "0\n0\n");
    for (const char* folder : {"data/nmea", "second"}) std::filesystem::create_directories(dir / folder);
    // Unknown words, case variants and a trailing -t are ignored; the default folder stays.
    auto r = runCommand(karvel("-H --help -m -t"), dir.str());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.substr(0, header("data/nmea/").size()), header("data/nmea/"));

    r = runCommand(karvel("-t first -t second"), dir.str());
    EXPECT_EQ(r.out.substr(0, header("second").size()), header("second"));

    r = runCommand(karvel("-t ''"), dir.str());
    EXPECT_EQ(r.out.substr(0, header("").size()), header(""));
}

TEST(Driver, EmptyFolderPrintsStartUpAndTimingAndRewritesTheMap) {
    TempDir dir;
    std::filesystem::create_directories(dir / "data/nmea");
    writeFile(dir / "data/map.txt", " 0\n 0\n");
    auto r = runCommand(karvel(""), dir.str());
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.out.substr(0, header("data/nmea/").size()), header("data/nmea/"));
    const std::string rest = r.out.substr(header("data/nmea/").size());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(rest, m, kTiming)) << rest;
    EXPECT_EQ(std::to_string(std::stoi(m[1])), m[1].str());
    // The map is written back in the file's own layout.
    EXPECT_EQ(readFile(dir / "data/map.txt"), "0\n0\n");
}

// A folder that cannot be listed is a failure, not an empty batch: nothing is loaded or written.
TEST(Driver, MissingTraceFolderFails) {
    TempDir dir;
    writeFile(dir / "data/map.txt", " 0\n 0\n");
    auto r = runCommand(karvel("-t nowhere"), dir.str());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "Looking for Trace Files...\n"
              "Looking for NMEA files (with .txt extension) inside folder: nowhere\n"
              "ERROR: cannot open the trace folder nowhere: No such file or directory\n");
    EXPECT_EQ(readFile(dir / "data/map.txt"), " 0\n 0\n");
}

TEST(Driver, TimingLinesUseTheDefaultNumberFormat) {
    std::ostringstream out;
    printOverallTime(out, 125);
    EXPECT_EQ(out.str(), "\n\nOverall processing time: 125 sec.  (~= 2.08333 min.)\n\n\n");
    out.str("");
    printOverallTime(out, 0);
    EXPECT_EQ(out.str(), "\n\nOverall processing time: 0 sec.  (~= 0 min.)\n\n\n");
}
