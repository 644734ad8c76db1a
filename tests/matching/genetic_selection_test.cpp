// Roulette wheels, tournaments and the score ranking of a generation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "matching/matching_genetic.h"
#include "matching/matching_genetic_util.h"

using MapMatching::Individual;
using MapMatching::RouletteWheel;
using MapMatching::Tournament;

TEST(GeneticRouletteWheel, ZeroProbabilitySlotsAndShortSums) {
    // A zero slot in front is never hit.
    const RouletteWheel<int> front({{0.0, -1}, {0.5, 7}, {0.5, 9}});
    EXPECT_EQ(front.selectFor(0.0), 7);
    EXPECT_EQ(front.selectFor(0.5 - 2e-8), 7);
    EXPECT_EQ(front.selectFor(0.5 + 1e-9), 9);
    EXPECT_EQ(front.selectFor(1.0), 9);

    // A zero slot sharing the bound of the slot before it is ordered first and takes its draws.
    const RouletteWheel<int> middle({{0.5, 4}, {0.0, 5}, {0.5, 6}});
    EXPECT_EQ(middle.nodes[0].value, 5);
    EXPECT_EQ(middle.selectFor(0.0), 5);
    EXPECT_EQ(middle.selectFor(0.5 - 2e-8), 5);
    EXPECT_EQ(middle.selectFor(0.75), 6);

    // Draws above a short sum fall to the last slot; a single slot takes everything.
    const RouletteWheel<int> shortSum({{0.2, 1}, {0.3, 2}});
    EXPECT_EQ(shortSum.selectFor(0.1), 1);
    EXPECT_EQ(shortSum.selectFor(0.9), 2);
    RouletteWheel<int> single({{1.0, 42}});
    EXPECT_EQ(single.selectFor(1.0), 42);
    EXPECT_EQ(single.getSelected(), 42);

    // One draw is one rand() divided by 2147483647.
    RouletteWheel<int> wheel({{0.2, -1}, {0.4, 3}, {0.4, 8}});
    for (unsigned seed = 1; seed < 50; ++seed) {
        std::srand(seed);
        const double r = std::rand() / 2147483647.0;
        std::srand(seed);
        EXPECT_EQ(wheel.getSelected(), wheel.selectFor(r));
    }
}

TEST(GeneticTournament, KnockOutRuleAndTies) {
    // Equal keys: the second contestant of the match wins, whatever the probability.
    const std::vector<std::pair<double, int>> equal{{1.0, 10}, {1.0, 11}, {1.0, 12}, {1.0, 13}, {1.0, 14}};
    for (double probability : {0.0, 0.6, 1.0}) {
        Tournament<int> tournament(equal, 1, probability);
        for (unsigned seed = 1; seed < 40; ++seed) {
            std::srand(seed);
            std::rand();
            const int second = std::rand() % 5;
            std::srand(seed);
            EXPECT_EQ(tournament.getSelected(), equal[static_cast<size_t>(second)].second);
        }
    }

    // Different contestants: the lower key wins when r < probability, the higher one otherwise.
    const std::vector<std::pair<double, int>> entries{{5.0, 50}, {1.0, 10}};
    Tournament<int> better(entries, 1, 1.0), worse(entries, 1, 0.0);
    for (unsigned seed = 1; seed < 60; ++seed) {
        std::srand(seed);
        const int a = std::rand() % 2;
        const int b = std::rand() % 2;
        std::srand(seed);
        const int byBetter = better.getSelected();
        std::srand(seed);
        const int byWorse = worse.getSelected();
        EXPECT_EQ(byBetter, a == b ? entries[static_cast<size_t>(b)].second : 10);
        EXPECT_EQ(byWorse, a == b ? entries[static_cast<size_t>(b)].second : 50);
    }

    // Size 0 returns the single drawn entry.
    Tournament<int> one(entries, 0, 0.6);
    std::srand(11);
    const int index = std::rand() % 2;
    std::srand(11);
    EXPECT_EQ(one.getSelected(), entries[static_cast<size_t>(index)].second);
}

TEST(GeneticRanking, EqualScoresKeepTheirVectorOrder) {
    std::vector<Individual> population(4);
    const double scores[] = {3, 1, 2, 1};
    for (size_t k = 0; k < 4; ++k) population[k].score = scores[k];
    MapMatching::RankedPopulation ranking(&population);
    std::vector<const Individual*> order;
    while (ranking.hasNext()) order.push_back(ranking.next());
    EXPECT_EQ(order, (std::vector<const Individual*>{&population[1], &population[3], &population[2],
                                                     &population[0]}));
}
