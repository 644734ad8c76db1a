// The rules of the hidden-Markov matcher's parameters: one function judges karvel-match's options and
// the library's callers, so its ranges and texts are what both show.
#include "matching/hmm_params.h"

#include <gtest/gtest.h>

#include <limits>

using MapMatching::HmmParams;
using MapMatching::kHmmDefaults;

TEST(HmmParamsRules, TheDefaultsAndTheEdgesOfEachOptionRangeAreSound) {
    EXPECT_EQ(kHmmDefaults.problem(), "");
    for (const double r : {1.0, 50.0, 10000.0}) EXPECT_EQ(kHmmDefaults.withRadius(r).problem(), "") << r;
    for (const double s : {0.0, 0.5, 1000.0}) {
        HmmParams p = kHmmDefaults;
        p.sigma = s;
        EXPECT_EQ(p.problem(), "") << s;
    }
    for (const int k : {1, 64}) {
        HmmParams p = kHmmDefaults;
        p.candidates = k;
        EXPECT_EQ(p.problem(), "") << k;
    }
}

TEST(HmmParamsRules, AValueOutsideItsRangeIsRefusedWithTheOptionsText) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(kHmmDefaults.withRadius(0).problem(), "bad --radius 0 (metres, 1 to 10000)");
    EXPECT_EQ(kHmmDefaults.withRadius(0.5).problem(), "bad --radius 0.5 (metres, 1 to 10000)");
    EXPECT_EQ(kHmmDefaults.withRadius(10001).problem(), "bad --radius 10001 (metres, 1 to 10000)");
    EXPECT_EQ(kHmmDefaults.withRadius(nan).problem(), "bad --radius nan (metres, 1 to 10000)");
    HmmParams p = kHmmDefaults;
    p.sigma = -0.5;
    EXPECT_EQ(p.problem(), "bad --sigma -0.5 (metres, 0 to 1000)");
    p.sigma = 1000.5;
    EXPECT_EQ(p.problem(), "bad --sigma 1000.5 (metres, 0 to 1000)");
    p = kHmmDefaults;
    p.candidates = 0;
    EXPECT_EQ(p.problem(), "bad --candidates 0 (1 to 64)");
    p.candidates = 65;
    EXPECT_EQ(p.problem(), "bad --candidates 65 (1 to 64)");
    // A value that is no number is shown as written.
    EXPECT_EQ(HmmParams::refusal("radius", "ten"), "bad --radius ten (metres, 1 to 10000)");
}

TEST(HmmParamsRules, TheInnerSettingsAreJudgedToo) {
    HmmParams p = kHmmDefaults;
    p.sigmaMax = p.sigmaMin - 1;  // bounds the wrong way round
    EXPECT_EQ(p.problem(), "bad matcher parameter sigmaMax 9 (sigmaMin to 1000)");
    p = kHmmDefaults;
    p.retryRadius = p.radius - 1;  // a retry must search wider
    EXPECT_NE(p.problem(), "");
    p = kHmmDefaults;
    p.detourFactor = 0.5;  // no route is shorter than the straight line
    EXPECT_NE(p.problem(), "");
    p = kHmmDefaults;
    p.outlier = -1;
    EXPECT_EQ(p.problem(), "bad matcher parameter outlier -1 (0 to 1000000)");
}

TEST(HmmParamsRules, TheWiderSearchesKeepTheirProportionToTheRadius) {
    const HmmParams small = kHmmDefaults.withRadius(20);
    EXPECT_EQ(small.radius, 20);
    EXPECT_EQ(small.retryRadius, kHmmDefaults.retryRadius);  // never below the defaults
    EXPECT_EQ(small.reachRadius, kHmmDefaults.reachRadius);
    const HmmParams wide = kHmmDefaults.withRadius(200);
    EXPECT_EQ(wide.retryRadius, 1200);
    EXPECT_EQ(wide.reachRadius, 600);
    EXPECT_EQ(wide.sigma, kHmmDefaults.sigma);  // nothing else moves
    EXPECT_EQ(wide.candidates, kHmmDefaults.candidates);
}
