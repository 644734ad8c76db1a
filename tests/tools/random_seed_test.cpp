// KARVEL_SEED: what counts as a seed, and that a fixed seed makes whole runs repeat byte for byte.
#include "app/random_seed.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "matching/matching_genetic.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::runCommand;
using karvel_test::TempDir;

TEST(RandomSeed, OnlyPlainDecimalIntegersInRange) {
    const struct {
        const char* text;
        std::optional<unsigned> seed;
    } cases[] = {
        {"0", 0u},          {"42", 42u},  {"4294967295", 4294967295u},
        {"4294967296", {}}, {"-1", {}},   {"+3", {}},
        {" 7", {}},         {"7 ", {}},   {"7x", {}},
        {"", {}},           {"0x10", {}}, {nullptr, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseRandomSeed(c.text), c.seed) << (c.text ? c.text : "null");
}

TEST(RandomSeed, EnvironmentFixesTheSeedAndABadValueIsReported) {
    ::setenv("KARVEL_SEED", "1234", 1);
    std::ostringstream out;
    seedFromEnvironment(out);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(MapMatching::fixedRandomSeed(), 1234u);

    MapMatching::setFixedRandomSeed(std::nullopt);
    ::setenv("KARVEL_SEED", "12a", 1);
    seedFromEnvironment(out);
    EXPECT_EQ(out.str(),
              "ERROR: KARVEL_SEED is not an integer from 0 to 4294967295 (\"12a\"); the clock seeds the "
              "genetic stage.\n");
    EXPECT_EQ(MapMatching::fixedRandomSeed(), std::nullopt);
    ::unsetenv("KARVEL_SEED");
}

// Both programs that run the genetic stage print the same report twice under one seed (the timing
// line aside), on the bundled sample whose genetic segments do draw random numbers.
TEST(RandomSeed, FixedSeedRepeatsWholeRuns) {
    const std::string sample = std::string(KARVEL_SOURCE_DIR) + "/sample/data";
    const std::regex timing("Overall processing time: [^\n]*");
    for (const char* program : {"karvel", "karvel-genetic"}) {
        std::string first;
        for (int run = 0; run < 2; ++run) {
            TempDir dir;
            std::filesystem::copy(sample, dir / "data", std::filesystem::copy_options::recursive);
            const auto r = runCommand("KARVEL_SEED=99 " + binaryPath(program), dir.str());
            ASSERT_EQ(r.exitCode, 0) << program;
            const std::string report = std::regex_replace(r.out, timing, "");
            if (run == 0)
                first = report;
            else
                EXPECT_EQ(report, first) << program;
        }
    }
}
