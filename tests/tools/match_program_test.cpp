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

// A working folder with the bundled West Oakland street map (and a pristine copy beside it) and
// seeded simulated drives of it.
void prepareSample(const TempDir& dir, const std::string& simArgs) {
    fs::create_directories(dir / "data/nmea");
    fs::copy_file(std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt", dir / "data/map.txt");
    fs::copy_file(dir / "data/map.txt", dir / "map.txt");
    ASSERT_EQ(
        runCommand(binaryPath("karvel-sim") + " --map map.txt --out data/nmea --truth truth -q " + simArgs,
                   dir.str())
            .exitCode,
        0);
}

std::string withoutTiming(const std::string& report) {
    return std::regex_replace(report, std::regex("Overall processing time: [^\n]*\n"), "");
}

TEST(MatchProgram, AnyNumberOfThreadsPrintsTheSameReport) {
    TempDir dir;
    prepareSample(dir, "--traces 4 --seed 5 --duration 300 --period 1 --sigma 5");
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

// karvel-match and karvel on seeded drives of the street map. karvel, measured over six runs (its
// genetic stage draws differently each run): matched 98.1 %, on the true link 75.5-75.8 %, route
// mismatch 3.03-3.23 (it hops between the links of a junction for a point or two, and each hop
// implies a detour). The bounds leave a margin for the random draws.
TEST(MatchPrograms, SeededDrivesOnARealMapMatchAboveAFloor) {
    const struct {
        const char* program;
        const char* simArgs;
        double matched, onTrue;
        const char* mismatch;  // a route mismatch figure of the evaluation
        double mismatchCeiling;
    } cases[] = {
        {"karvel-match -q", "--traces 3 --seed 5 --duration 300 --period 5 --sigma 10", 98, 75,
         "as link sets mean", 0.10},
        {"karvel", "--traces 2 --seed 4 --duration 180", 95, 70, "route mismatch mean", 4.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        TempDir dir;
        prepareSample(dir, c.simArgs);
        ASSERT_EQ(runCommand(binaryPath(c.program) + " > report.txt", dir.str()).exitCode, 0);
        const auto scored = runCommand(
            binaryPath("karvel-eval") + " --report report.txt --map map.txt --truth truth -q", dir.str());
        ASSERT_EQ(scored.exitCode, 0) << scored.out;
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(scored.out, m, std::regex("matched ([0-9.]+) %; on true link ([0-9.]+) %")))
            << scored.out;
        EXPECT_GE(std::stod(m[1]), c.matched) << scored.out;
        EXPECT_GE(std::stod(m[2]), c.onTrue) << scored.out;
        ASSERT_TRUE(std::regex_search(scored.out, m, std::regex(std::string(c.mismatch) + " ([0-9.]+)")));
        EXPECT_LE(std::stod(m[1]), c.mismatchCeiling) << scored.out;
    }
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
