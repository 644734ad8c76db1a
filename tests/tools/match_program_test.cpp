// karvel-match as a program: options, exit codes, the same report on any number of threads, files
// it must leave alone, and a seeded accuracy floor on a real street map.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

namespace {

namespace fs = std::filesystem;

// A working folder with the bundled West Oakland street map and seeded simulated drives of it.
void prepareSample(const TempDir& dir, int traces, int period, int sigma) {
    fs::create_directories(dir / "data/nmea");
    fs::copy_file(std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt", dir / "data/map.txt");
    const std::string sim = binaryPath("karvel-sim") +
                            " --map data/map.txt --out data/nmea --truth truth --traces " +
                            std::to_string(traces) + " --seed 5 --duration 300 --period " +
                            std::to_string(period) + " --sigma " + std::to_string(sigma) + " -q";
    ASSERT_EQ(runCommand(sim, dir.str()).exitCode, 0);
}

std::string withoutTiming(const std::string& report) {
    return std::regex_replace(report, std::regex("Overall processing time: [^\n]*\n"), "");
}

TEST(MatchProgram, AnyNumberOfThreadsPrintsTheSameReport) {
    TempDir dir;
    prepareSample(dir, 4, 1, 5);
    const auto one = runCommand(binaryPath("karvel-match") + " --jobs 1", dir.str());
    const auto two = runCommand(binaryPath("karvel-match") + " --jobs=2", dir.str());
    const auto three = runCommand(binaryPath("karvel-match") + " --jobs 3 -M", dir.str());
    ASSERT_EQ(one.exitCode, 0);
    EXPECT_EQ(withoutTiming(one.out), withoutTiming(two.out));
    EXPECT_EQ(withoutTiming(one.out), withoutTiming(three.out));
    EXPECT_NE(one.out.find("\tRoute #3: sim_003\n"), std::string::npos) << one.out;
    // -M writes one document per trace; the map is never written.
    EXPECT_TRUE(fs::exists(dir / "data/match_hmm_sim_000.kml"));
    EXPECT_EQ(readFile(dir / "data/map.txt"),
              readFile(std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt"));
    const std::string kml = readFile(dir / "data/match_hmm_sim_000.kml");
    EXPECT_NE(kml.find("<name>Piece 0: points 0 to"), std::string::npos);
    EXPECT_NE(kml.find("</kml>"), std::string::npos);
}

TEST(MatchProgram, SeededDrivesOnARealMapMatchAboveAFloor) {
    TempDir dir;
    prepareSample(dir, 3, 5, 10);
    ASSERT_EQ(runCommand(binaryPath("karvel-match") + " -q > report.txt", dir.str()).exitCode, 0);
    const auto scored = runCommand(
        binaryPath("karvel-eval") + " --report report.txt --map data/map.txt --truth truth -q", dir.str());
    ASSERT_EQ(scored.exitCode, 0) << scored.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(scored.out, m, std::regex("matched ([0-9.]+) %; on true link ([0-9.]+) %")))
        << scored.out;
    EXPECT_GE(std::stod(m[1]), 98.0) << scored.out;
    EXPECT_GE(std::stod(m[2]), 75.0) << scored.out;
    ASSERT_TRUE(std::regex_search(scored.out, m, std::regex("as link sets mean ([0-9.]+)"))) << scored.out;
    EXPECT_LE(std::stod(m[1]), 0.10) << scored.out;
}

struct ExitCase {
    const char* args;
    bool withMap;
    int status;
    const char* expect;  // in standard output (status 0/1) or in the command's merged output (2)
};

class MatchExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(MatchExit, StatusAndMessage) {
    const ExitCase& c = GetParam();
    TempDir dir;
    fs::create_directories(dir / "data/nmea");
    if (c.withMap)
        karvel_test::writeFile(dir / "data/map.txt", "2\n1 -8.6 41.1 0 0\n2 -8.5 41.1 0 0\n1\n1 2 0 0\n");
    const auto r = runCommand(binaryPath("karvel-match") + " " + c.args + " 2>&1", dir.str());
    EXPECT_EQ(r.exitCode, c.status) << r.out;
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchExit,
    ::testing::Values(ExitCase{"", false, 1, "ERROR: cannot read map file data/map.txt"},
                      ExitCase{"-t nowhere", true, 1, "ERROR: cannot open the trace folder nowhere"},
                      ExitCase{"--map missing.txt", true, 1, "ERROR: cannot read map file missing.txt"},
                      ExitCase{"--bogus", true, 2, "unknown option --bogus"},
                      ExitCase{"--radius", true, 2, "needs a value"},
                      ExitCase{"--radius=-3", true, 2, "bad --radius"},
                      ExitCase{"--jobs 0", true, 2, "bad --jobs"},
                      ExitCase{"extra", true, 2, "Usage: karvel-match"},
                      ExitCase{"--help", true, 0, "--candidates K"},
                      ExitCase{"--version", true, 0, "karvel-match (KARVEL) 0."},
                      ExitCase{"-- ", true, 0, "Finished running Ostrand."}));

}  // namespace
