// The hidden-Markov matcher on hand-drawn maps whose right answer is plain.
#include "matching/hmm_matcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "local_world.h"
#include "map/road_graph.h"

namespace {

using local_world::point;
using local_world::World;

// A two-way street along y from x0 to x1 in steps; returns {east links, west links}.
std::pair<std::vector<int>, std::vector<int>> twoWay(World& w, double x0, double x1, double step, double y) {
    std::vector<uint32_t> nodes;
    for (double x = x0; x <= x1 + 1e-9; x += step) nodes.push_back(w.node(x, y));
    std::vector<int> east, west;
    for (size_t i = 0; i + 1 < nodes.size(); ++i) {
        east.push_back(w.link(nodes[i], nodes[i + 1]));
        west.push_back(w.link(nodes[i + 1], nodes[i]));
    }
    return {east, west};
}

// A trace through the given local points, one fix per `period` seconds.
Route trace(const std::vector<std::pair<double, double>>& xy, uint32_t period = 1) {
    Route r;
    uint32_t t = 1000;
    for (const auto& [x, y] : xy) {
        _node n = point(x, y);
        n.arrivalTime = n.leaveTime = t;
        r.nodes.push_back(n);
        t += period;
    }
    return r;
}

// Deterministic small noise, so that fixes are never exactly on a road.
double wobble(int i, double size) {
    return size * std::sin(i * 2.3);
}

struct Matched {
    std::vector<std::unique_ptr<Path>> full;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;
    std::vector<int> links;
};

Matched match(const World& w, const Route& r) {
    const mapRepresentation::RoadGraph graph(w.map);
    MapMatching::HmmMatcher m(graph, MapMatching::kHmmDefaults);
    m.run(r);
    return {m.getMatched(), m.getUnmatchedInfo(), m.matchedLinks()};
}

// Every piece is a drive: each link follows the one before it (or repeats it).
void expectConnected(const World& w, const Matched& run) {
    for (const auto& p : run.full)
        for (size_t i = 1; i < p->links.size(); ++i) {
            const int a = p->links[i - 1].second, b = p->links[i].second;
            EXPECT_TRUE(a == b || w.map.isConnected(a, b)) << "links " << a << " -> " << b;
        }
}

bool contains(const std::vector<int>& v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

TEST(HmmScenario, TwoWayStreetDrivenOneWayNeverLandsOnTheMirror) {
    World w;
    const auto [east, west] = twoWay(w, 0, 500, 50, 0);
    std::vector<std::pair<double, double>> xy;
    for (int i = 0; i <= 45; ++i) xy.emplace_back(5 + i * 10.5, wobble(i, 4));
    const Matched run = match(w, trace(xy));
    ASSERT_EQ(run.full.size(), 1u);
    EXPECT_TRUE(run.unmatched.empty());
    for (size_t i = 0; i < run.links.size(); ++i) EXPECT_TRUE(contains(east, run.links[i])) << "fix " << i;
    expectConnected(w, run);
}

TEST(HmmScenario, UTurnAtADeadEndComesBackOnTheMirror) {
    World w;
    const auto [east, west] = twoWay(w, 0, 300, 50, 0);
    std::vector<std::pair<double, double>> xy;
    for (int i = 0; i <= 29; ++i) xy.emplace_back(5 + i * 10, wobble(i, 3));
    for (int i = 0; i <= 28; ++i) xy.emplace_back(295 - i * 10, wobble(i + 40, 3));
    const Matched run = match(w, trace(xy));
    ASSERT_EQ(run.full.size(), 1u);
    for (size_t i = 0; i < 25; ++i) EXPECT_TRUE(contains(east, run.links[i])) << "fix " << i;
    for (size_t i = 35; i < xy.size(); ++i) EXPECT_TRUE(contains(west, run.links[i])) << "fix " << i;
    expectConnected(w, run);
}

TEST(HmmScenario, ParallelRoadsFifteenMetresApartKeepTheDrivenOne) {
    World w;
    const auto [nearEast, nearWest] = twoWay(w, 0, 600, 100, 0);
    const auto [farEast, farWest] = twoWay(w, 0, 600, 100, 15);
    // The fixes lean towards the other road but follow this one.
    std::vector<std::pair<double, double>> xy;
    for (int i = 0; i <= 55; ++i) xy.emplace_back(10 + i * 10, 5 + wobble(i, 3));
    const Matched run = match(w, trace(xy));
    for (size_t i = 0; i < run.links.size(); ++i)
        EXPECT_TRUE(contains(nearEast, run.links[i])) << "fix " << i;
}

TEST(HmmScenario, ThirtySecondSamplingRoundABlockFillsTheCorners) {
    World w;
    // A 300 m square of two-way streets.
    const uint32_t a = w.node(0, 0), b = w.node(300, 0), c = w.node(300, 300), d = w.node(0, 300);
    const int ab = w.link(a, b), bc = w.link(b, c), cd = w.link(c, d), da = w.link(d, a);
    w.link(b, a), w.link(c, b), w.link(d, c), w.link(a, d);
    // 10 m/s anticlockwise from (50, 0), a fix every 30 s = every 300 m.
    const Route r = trace({{50, 2}, {298, 50}, {250, 302}, {2, 250}, {50, -2}}, 30);
    const Matched run = match(w, r);
    ASSERT_EQ(run.full.size(), 1u);
    std::vector<int> driven;
    for (const auto& [pointIndex, link] : run.full[0]->links)
        if (driven.empty() || driven.back() != link) driven.push_back(link);
    EXPECT_EQ(driven, (std::vector<int>{ab, bc, cd, da, ab}));
    expectConnected(w, run);
}

TEST(HmmScenario, AGapInTheLogIsBridgedByTheRoad) {
    World w;
    const std::vector<int> road = w.chain(0, 3000, 100, 0);
    std::vector<std::pair<double, double>> xy;
    for (int i = 0; i < 20; ++i) xy.emplace_back(10 + i * 15, wobble(i, 3));
    Route r = trace(xy);
    for (int i = 0; i < 20; ++i) {  // two minutes later, 1.8 km on
        _node n = point(2100 + i * 15, wobble(i + 7, 3));
        n.arrivalTime = n.leaveTime = r.nodes.back().arrivalTime + (i == 0 ? 120 : 1);
        r.nodes.push_back(n);
    }
    const Matched run = match(w, r);
    ASSERT_EQ(run.full.size(), 1u);
    EXPECT_TRUE(run.unmatched.empty());
    int crossed = 0;
    for (const auto& pair : run.full[0]->links) crossed += pair.first < 0;
    EXPECT_GE(crossed, 15);
    expectConnected(w, run);
}

TEST(HmmScenario, StandingStillMakesNoDetour) {
    World w;
    const auto [east, west] = twoWay(w, 0, 400, 50, 0);
    std::vector<std::pair<double, double>> xy;
    for (int i = 0; i < 10; ++i) xy.emplace_back(20 + i * 10, wobble(i, 2));
    for (int i = 0; i < 60; ++i) xy.emplace_back(120 + wobble(i, 3), wobble(i + 3, 3));
    for (int i = 0; i < 10; ++i) xy.emplace_back(130 + i * 10, wobble(i, 2));
    const Matched run = match(w, trace(xy));
    ASSERT_EQ(run.full.size(), 1u);
    for (size_t i = 0; i < run.links.size(); ++i) EXPECT_TRUE(contains(east, run.links[i])) << "fix " << i;
    // Driving on without turning: each link appears in one run, in order.
    std::vector<int> driven;
    for (const auto& [pointIndex, link] : run.full[0]->links)
        if (driven.empty() || driven.back() != link) driven.push_back(link);
    for (size_t i = 1; i < driven.size(); ++i) EXPECT_TRUE(w.map.isConnected(driven[i - 1], driven[i]));
    EXPECT_LE(driven.size(), 5u);
}

TEST(HmmScenario, AFixFarFromEveryRoadSplitsThePiecesAndIsReported) {
    World w;
    const std::vector<int> road = w.chain(0, 1000, 100, 0);
    std::vector<std::pair<double, double>> xy;
    for (int i = 0; i < 30; ++i) xy.emplace_back(10 + i * 10, i == 15 ? 900 : wobble(i, 2));
    const Matched run = match(w, trace(xy));
    ASSERT_EQ(run.full.size(), 2u);
    EXPECT_EQ(run.links[15], -1);
    ASSERT_EQ(run.unmatched.size(), 1u);
    const _unmatchinfo& u = *run.unmatched[0];
    EXPECT_EQ(u.startNode, 15);
    EXPECT_EQ(u.endNode, 15);
    EXPECT_EQ(u.lastMatch, run.links[14]);
    EXPECT_EQ(u.nextMatch, run.links[16]);
    EXPECT_EQ(u.lastPath, 0);
    EXPECT_EQ(u.nextPath, 1);
}

TEST(HmmScenario, NoRoadAtAllGivesTheSingleUnmatchedRecord) {
    World w;
    w.chain(0, 100, 50, 0);
    const Matched run = match(w, trace({{5000, 5000}, {5010, 5000}}));
    EXPECT_TRUE(run.full.empty());
    ASSERT_EQ(run.unmatched.size(), 1u);
    EXPECT_EQ(run.unmatched[0]->startNode, 0);
    EXPECT_EQ(run.unmatched[0]->endNode, 1);
    const Matched empty = match(w, Route{});
    ASSERT_EQ(empty.unmatched.size(), 1u);
    EXPECT_EQ(empty.unmatched[0]->endNode, -1);
}

}  // namespace
