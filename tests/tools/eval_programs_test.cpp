// karvel-sim and karvel-eval as programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "map/maps.h"
#include "test_support.h"
#include "tools/eval/evaluator.h"
#include "tools/sim/ground_truth.h"

namespace {

namespace fs = std::filesystem;
using karvel_test::binaryPath;
using karvel_test::runCommand;
using karvel_test::TempDir;

const std::string kSampleMap = std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt";

// A working folder with the sample map in data/ and a pristine copy beside it (karvel rewrites data/map.txt).
void prepare(const TempDir& dir) {
    fs::create_directories(dir / "data");
    fs::copy_file(kSampleMap, dir / "data/map.txt");
    fs::copy_file(kSampleMap, dir / "map.txt");
}

// What karvel would print if it matched every fix to its true link.
std::string perfectReport(const std::vector<traceSim::GroundTruth>& truths) {
    std::ostringstream o;
    for (size_t t = 0; t < truths.size(); ++t) {
        o << "\tRoute #" << t << ": " << truths[t].name << "\nPaths: \n";
        o << "Score: 0  Avg: 0 Start: 0 Last: " << truths[t].points - 1 << " Links: ";
        for (size_t i = 0; i < truths[t].fixes.size(); ++i)
            o << "(" << i << ", " << truths[t].fixes[i].link << ")  ";
        o << "\n\n\n\nUnmatched Info: \n";
    }
    return o.str();
}

}  // namespace

TEST(EvalPrograms, SimulateScoreAndSummarize) {
    TempDir dir;
    prepare(dir);
    const std::string sim =
        binaryPath("karvel-sim") + " --map data/map.txt --out data/nmea --traces 3 --seed 1 --duration 300";
    const auto first = runCommand(sim, dir.str());
    ASSERT_EQ(first.exitCode, 0) << first.out;
    const std::string log = karvel_test::readFile(dir / "data/nmea/sim_001.txt");
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(runCommand(sim + " -q", dir.str()).exitCode, 0);
    EXPECT_EQ(karvel_test::readFile(dir / "data/nmea/sim_001.txt"), log)
        << "the same seed gives the same drives";

    std::vector<traceSim::GroundTruth> truths(3);
    for (int k = 0; k < 3; ++k) {
        std::string error;
        ASSERT_TRUE(traceSim::loadGroundTruth(dir / ("data/nmea/sim_00" + std::to_string(k) + ".truth"),
                                              truths[k], error))
            << error;
    }
    karvel_test::writeFile(dir / "report.txt", perfectReport(truths));
    const auto scored = runCommand(
        binaryPath("karvel-eval") +
            " --report report.txt --map map.txt --truth data/nmea --seconds 2 --label perfect --tsv r.tsv",
        dir.str());
    ASSERT_EQ(scored.exitCode, 0) << scored.out;
    EXPECT_NE(scored.out.find("Overall: 3 traces, 903 points; matched 100.0 %; on true link 100.0 %"),
              std::string::npos)
        << scored.out;
    EXPECT_NE(scored.out.find("route mismatch mean 0.0000, pooled 0.0000; 451.5 points/s"), std::string::npos)
        << scored.out;

    const auto table = runCommand(binaryPath("karvel-eval") + " --summarize r.tsv", dir.str());
    ASSERT_EQ(table.exitCode, 0);
    EXPECT_NE(table.out.find("| perfect | 3 | 903 | 100.0 % |"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("| sim_002 | 301 |"), std::string::npos) << table.out;
}

TEST(EvalPrograms, KubickaTrackThroughThePrograms) {
    KARVEL_REQUIRE_SHARED(track, "kubicka2015-mapmatching/sample/00000039");
    TempDir dir;
    const auto prepared =
        runCommand(binaryPath("karvel-eval") + " --prepare-kubicka " + track + " --out work", dir.str());
    ASSERT_EQ(prepared.exitCode, 0) << prepared.out;
    EXPECT_TRUE(fs::exists(dir / "work/data/map.txt"));
    EXPECT_TRUE(fs::exists(dir / "work/data/nmea/00000039.txt"));
    // An empty report: nothing matched, the whole route missed.
    karvel_test::writeFile(dir / "empty.txt", "\tRoute #0: 00000039\nPaths: \n\n\nUnmatched Info: \n");
    const auto scored =
        runCommand(binaryPath("karvel-eval") + " --report empty.txt --kubicka " + track, dir.str());
    ASSERT_EQ(scored.exitCode, 0) << scored.out;
    EXPECT_NE(scored.out.find("Overall: 1 traces, 363 points; matched 0.0 %; on true link n/a"),
              std::string::npos)
        << scored.out;
    EXPECT_NE(scored.out.find("route mismatch mean 1.0000"), std::string::npos) << scored.out;
}
