// Candidate distances and the genetic population, on small hand-drawn maps in exact metres; the
// generator gives the C library's rand() sequence draw for draw, and its integer thresholds decide
// "draw / 2147483647.0 < p" exactly as the division does.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "geometry/geometry.h"
#include "local_world.h"
#include "matching/c_random.h"
#include "matching/matching_genetic.h"
#include "matching/matching_genetic_util.h"

using MapMatching::_params;
using MapMatching::CRandom;
using MapMatching::Distances;
using MapMatching::Individual;
using MapMatching::Population;
using Links = std::vector<int>;

namespace {

// A local world (exact UTM metres) with a trace built point by point.
struct Scenario : local_world::World {
    Route route;

    Links eastRoad(double x, double y, int count, double step) { return chain(x, x + count * step, step, y); }
    void point(double x, double y, double heading) {
        route.nodes.push_back(local_world::point(x, y, heading));
    }
    double heading(int link) const { return map.links.at(link).heading; }
    std::vector<std::set<int>> same(const std::set<int>& links) const {
        return std::vector<std::set<int>>(route.nodes.size(), links);
    }
};

// The nearest-link search works from latitude and longitude: a few centimetres off the exact metres.
constexpr double kTol = 0.1;

// Evolves as the hybrid pipeline does: until 75 generations bring no strictly better best.
Individual evolve(Population& population) {
    population.initializePopulation(std::set<int>());
    while (population.generation - population.bestGeneration <= population.params.maxStagnation)
        population.nextGeneration();
    return population.bestPerGeneration[static_cast<size_t>(population.bestGeneration - 1)];
}

class GeneticSeeded : public ::testing::Test {
protected:
    void SetUp() override { MapMatching::setFixedRandomSeed(20240601u); }
    void TearDown() override { MapMatching::setFixedRandomSeed(std::nullopt); }
};

}  // namespace

TEST(GeneticDistances, NearestLinkPerSuperLinkTheCrossCandidateRuleAndMissingLinks) {
    Scenario s;
    const Links l = s.eastRoad(0, 0, 8, 20);  // one super-link
    s.point(65, 3, s.heading(l[0]));          // nearest: l[3]
    s.point(55, 3, s.heading(l[0]));          // nearest: l[2], an earlier link
    Distances back(&s.map, &s.route, s.same({l[0]}), {}, nullptr);
    EXPECT_EQ(back.getValidLinks(0), (Links{l[2], l[3]}));
    EXPECT_EQ(back.getValidLinks(1), (Links{l[2], l[3]}));
    EXPECT_NEAR(back.nearLinks[0].at(l[3]), 3.0, kTol);
    EXPECT_NEAR(back.nearLinks[0].at(l[2]), std::sqrt(34.0), kTol);
    EXPECT_NEAR(back.getDistanceFromPointToLink(0, l[5]), std::sqrt(1234.0), kTol);
    EXPECT_EQ(back.getValidLinks(0), (Links{l[2], l[3], l[5]}));  // a distance asked for is remembered
    testing::internal::CaptureStdout();
    EXPECT_GE(back.getDistanceFromPointToLink(0, 999), 1e6);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(back.getValidLinks(0), (Links{l[2], l[3], l[5]}));        // a missing link never becomes a gene
    EXPECT_NEAR(back.getDistanceBetweenLinks(l[2], l[4]), 20.0, kTol);  // directional
    EXPECT_NEAR(back.getDistanceBetweenLinks(l[4], l[2]), 60.0, kTol);
    back.nearLinks[0] = {{7, 2.0}, {3, 2.0}, {9, 2.5}};
    EXPECT_EQ(back.getNearestLink(0), 3);  // ties: the lowest id

    s.route.nodes[1] = s.route.nodes[0];  // moving forwards: only the nearest link stays
    s.route.nodes.pop_back();
    s.point(78, 3, s.heading(l[0]));
    Distances ahead(&s.map, &s.route, s.same({l[0]}), {}, nullptr);
    EXPECT_EQ(ahead.getValidLinks(0), (Links{l[3]}));
    EXPECT_EQ(ahead.getValidLinks(1), (Links{l[3]}));

    const Links other = s.eastRoad(0, 6, 1, 160);  // only super-links Marchal named count
    EXPECT_EQ(Distances(&s.map, &s.route, s.same({other[0]}), {}, nullptr).getValidLinks(1),
              (Links{other[0]}));
}

TEST(GeneticDistances, FixedPointsKeepTheirLowestLinkWithoutHeadingFilter) {
    Scenario s;
    const Links west = s.road({s.node(80, 6), s.node(40, 6), s.node(0, 6)});  // lower ids, against travel
    const Links east = s.eastRoad(0, 0, 2, 40);
    for (double x : {50.0, 70.0, 75.0}) s.point(x, 3, s.heading(east[0]));
    const std::vector<std::set<int>> candidates{{east[1], west[1]}, {east[0], west[0]}, {}};
    const std::set<int> fixed{0, 2};
    Distances d(&s.map, &s.route, candidates, fixed, nullptr);
    EXPECT_EQ(d.getValidLinks(0), (Links{west[1]}));
    EXPECT_EQ(d.getValidLinks(1), (Links{east[1]}));
    EXPECT_TRUE(d.getValidLinks(2).empty());

    Population p(&s.map, &s.route, &d, _params(), 0, 3, nullptr);
    p.initializePopulation(fixed);
    for (const Individual& individual : p.individuals) {
        EXPECT_EQ(individual.genes[0], west[1]);
        EXPECT_TRUE(individual.genes[1] == -1 || individual.genes[1] == east[1]);
        EXPECT_EQ(individual.genes[2], -1);
    }
    p.initializePopulation(true, 1, west[0]);  // the genetic-only form fixes one gene to any link
    for (const Individual& individual : p.individuals) EXPECT_EQ(individual.genes[1], west[0]);
}

TEST(GeneticDistances, GeneticOnlyFormWidensOrNarrowsMarchalSets) {
    Scenario s;
    const Links a = s.eastRoad(0, 0, 3, 40), b = s.eastRoad(0, 8, 3, 40);
    s.point(60, 3, s.heading(a[0]));
    EXPECT_EQ(Distances(&s.map, &s.route, nullptr, nullptr, nullptr).getValidLinks(0), (Links{a[1], b[1]}));

    std::vector<std::set<int>> forward{{a[1]}}, backward{{b[1]}};  // disagreeing runs: the union
    EXPECT_EQ(Distances(&s.map, &s.route, &forward, &backward, nullptr).getValidLinks(0),
              (Links{a[1], b[1]}));
    forward = {{a[0]}};  // runs that agree once widened to the junctions: the intersection
    backward = {{a[2]}};
    EXPECT_EQ(Distances(&s.map, &s.route, &forward, &backward, nullptr).getValidLinks(0), (Links{a[1]}));

    Scenario w;  // forward sets alone: a window over points i-3 .. i+2
    const Links road = w.eastRoad(0, 8, 3, 40);
    for (double x : {45.0, 50.0, 55.0, 60.0, 65.0}) w.point(x, 3, w.heading(road[0]));
    const std::vector<std::set<int>> only{{road[1]}, {}, {}, {}, {}};
    Distances window(&w.map, &w.route, &only, nullptr, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(window.getValidLinks(i), (Links{road[1]})) << i;
    EXPECT_TRUE(window.getValidLinks(4).empty());
}

TEST(GeneticPopulation, MeasuresOfUnmatchedMixedAndBrokenChromosomes) {
    Scenario s;
    const Links l = s.eastRoad(0, 0, 10, 20);  // one super-link
    for (double x : {10.0, 30.0, 50.0, 70.0}) s.point(x, 3, s.heading(l[0]));
    Distances d(&s.map, &s.route, s.same({l[0]}), {}, nullptr);
    Population p(&s.map, &s.route, &d, _params(), 0, 4, nullptr);
    p.initializePopulation(std::set<int>());
    const double S = p.segmentLength;

    Individual& none = p.individuals[0];
    Individual& mixed = p.individuals[1];
    Individual& broken = p.individuals[2];
    none.genes = {-1, -1, -1, -1};
    mixed.genes = {l[0], l[1], -1, l[3]};     // run 0-1, a hole at point 2, run 3
    broken.genes = {l[0], l[7], l[7], l[7]};  // l[7] lies 7 links behind l[0]
    p.fitness(true);

    EXPECT_EQ((std::array{none.avgDist, none.uncoveredDist, none.continuityLength}),
              (std::array{20.0, S, S * S}));
    EXPECT_EQ(none.maxDist + none.maxMinDist + none.avgDiscDist + none.maxDiscDist + none.gapDist, 0.0);
    EXPECT_NEAR(none.score, 0.7 + 5.5, 1e-12);

    EXPECT_NEAR(mixed.avgDist, 29.0 / 4, kTol);
    EXPECT_NEAR(mixed.maxMinDist, 3.0, kTol);
    EXPECT_NEAR(mixed.avgDiscDist, std::sqrt(109.0), kTol);
    EXPECT_NEAR(mixed.uncoveredDist, 40.0, kTol);
    EXPECT_NEAR(mixed.continuityLength, 2000.0, kTol);
    EXPECT_NEAR(mixed.score,
                0.7 * 7.25 / 20 + 0.8 * 3 / 20 + 3.0 / 20 + 5.5 * 40 / 60 + 0.3 * (3600.0 / 2000 - 1) +
                    2 * std::sqrt(109.0) / 60,
                0.01);

    EXPECT_NEAR(broken.gapDist, 120.0, kTol);
    EXPECT_NEAR(broken.continuityLength, 1600.0, kTol);
    EXPECT_EQ(p.getIndividualGaps(broken), (Links{0}));
    EXPECT_TRUE(p.getIndividualGaps(mixed).empty());
}

TEST(GeneticPopulation, AchievabilityWithinAndAcrossSuperLinks) {
    Scenario s;
    const Links a = s.eastRoad(0, 0, 3, 20);
    std::vector<uint32_t> straight{s.nextNode - 1}, bend{s.nextNode - 1};
    for (int k = 1; k <= 8; ++k) straight.push_back(s.node(60 + 20 * k, 0));
    for (int k = 1; k <= 2; ++k) bend.push_back(s.node(60 + 14 * k, 14 * k));
    const Links b = s.road(straight), c = s.road(bend);  // b[k] has sequence number k
    s.point(10, 3, s.heading(a[0]));
    Distances d(&s.map, &s.route, s.same({a[0]}), {}, nullptr);
    Population p(&s.map, &s.route, &d, _params(), 0, 1, nullptr);

    // Along a super-link up to 6 links further on; past the junction up to sequence number 6.
    const std::pair<int, int> yes[] = {{b[3], b[3]}, {b[0], b[6]}, {a[2], c[0]}, {a[2], b[6]}},
                              no[] = {{b[0], b[7]}, {b[2], b[1]}, {a[2], b[7]}, {c[0], b[0]}};
    for (const auto& [from, to] : yes) EXPECT_TRUE(p.isAchiveableLink(from, to)) << from << " " << to;
    for (const auto& [from, to] : no) EXPECT_FALSE(p.isAchiveableLink(from, to)) << from << " " << to;
    EXPECT_EQ(p.reachableSuperLinks.at(s.map.getSuperLinkKey(a[0])),
              (std::set<int>{s.map.getSuperLinkKey(b[0]), s.map.getSuperLinkKey(c[0])}));
}

TEST(GeneticPopulation, EmptyStretchStillRuns) {
    Scenario s;
    Distances none(&s.map, &s.route, std::vector<std::set<int>>{}, {}, nullptr);
    Population p(&s.map, &s.route, &none, _params(), 0, 5, nullptr);
    p.initializePopulation(std::set<int>());
    p.nextGeneration();
    EXPECT_TRUE(std::isinf(p.bestPerGeneration.at(0).score));
}

// A trace leaves a main road at a fork onto the branch bending 20 degrees left; near the fork its
// points lie nearer to the straight branch, so the nearest link alone gives the wrong answer.
TEST_F(GeneticSeeded, EvolutionFindsTheBranchTakenAtAFork) {
    Scenario s;
    const Links main = s.eastRoad(0, 0, 4, 20);
    const double ux = std::cos(deg2rad(20.0)), uy = std::sin(deg2rad(20.0));
    std::vector<uint32_t> straight{s.nextNode - 1}, branch{s.nextNode - 1};
    for (int k = 1; k <= 5; ++k) straight.push_back(s.node(80 + 20 * k, 0));
    for (int k = 1; k <= 5; ++k) branch.push_back(s.node(80 + 20 * k * ux, 20 * k * uy));
    const Links b = s.road(straight), c = s.road(branch);

    Links truth;
    const double mainX[] = {8, 24, 43, 57, 72}, mainOffset[] = {1.5, -1, 2, -1.5, 1};
    for (int k = 0; k < 5; ++k) {
        s.point(mainX[k], mainOffset[k], s.heading(main[0]));
        truth.push_back(main[static_cast<size_t>(mainX[k] / 20)]);
    }
    const double along[] = {6, 21, 34, 48, 63, 77}, offset[] = {-2, -2.5, -1, -2, 1, 0};  // < 0: towards b
    for (int k = 0; k < 6; ++k) {
        s.point(80 + along[k] * ux - offset[k] * uy, along[k] * uy + offset[k] * ux, s.heading(c[0]));
        truth.push_back(c[static_cast<size_t>(along[k] / 20)]);
    }
    Distances d(&s.map, &s.route, s.same({main[0], b[0], c[0]}), {}, nullptr);
    EXPECT_EQ(d.getNearestLink(5), b[0]);

    Population population(&s.map, &s.route, &d, _params(), 0, static_cast<int>(s.route.nodes.size()),
                          nullptr);
    const Individual found = evolve(population);
    EXPECT_EQ(found.genes, truth);
    EXPECT_EQ(found.gapDist, 0.0);
}

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
