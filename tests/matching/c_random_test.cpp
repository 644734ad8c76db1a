// The genetic stage's generator gives the C library's rand() sequence draw for draw, and its
// integer thresholds decide "draw / 2147483647.0 < p" exactly as the division does.
#include "matching/c_random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

using MapMatching::CRandom;

TEST(CRandom, SameSequenceAsTheCLibraryAndThresholdsDecideLikeTheDivision) {
    for (const unsigned seed : {0u, 1u, 2u, 7u, 12345u, 2147483647u, 2147483648u, 4294967295u}) {
        std::srand(seed);
        CRandom generator(seed);
        for (int k = 0; k < 20000; ++k)
            ASSERT_EQ(generator.next(), std::rand()) << "seed " << seed << " draw " << k;
    }
    // Thresholds decide like the division.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> anyDraw(0, CRandom::kMax);
    for (const double p : {0.0, -0.5, 1e-12, 0.01, 0.2, 0.6, 0.75, 1.0 / 3, 0.999999999, 1.0, 1.5}) {
        const int64_t t = CRandom::threshold(p);
        std::vector<int64_t> draws{0, 1, CRandom::kMax, t - 2, t - 1, t, t + 1};
        for (int k = 0; k < 2000; ++k) draws.push_back(anyDraw(rng));
        for (const int64_t v : draws) {
            if (v < 0 || v > CRandom::kMax) continue;
            EXPECT_EQ(v < t, static_cast<double>(v) / 2147483647.0 < p) << "p " << p << " draw " << v;
        }
    }
    EXPECT_EQ(CRandom::threshold(std::nan("")), 0);
}
