// The hidden-Markov matcher on hand-drawn maps whose right answer is plain.
#include "matching/hmm_matcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "local_world.h"
#include "map/road_graph.h"

namespace {

using local_world::World;
using Links = std::vector<int>;

// A two-way street along y from x0 to x1 in steps; returns {east links, west links}.
std::pair<Links, Links> twoWay(World& w, double x0, double x1, double step, double y) {
    uint32_t prev = w.node(x0, y);
    Links east, west;
    for (double x = x0 + step; x <= x1 + 1e-9; x += step) {
        const uint32_t next = w.node(x, y);
        east.push_back(w.link(prev, next));
        west.push_back(w.link(next, prev));
        prev = next;
    }
    return {east, west};
}

// Deterministic small noise, so that fixes are never exactly on a road.
double wobble(int i, double size) {
    return size * std::sin(i * 2.3);
}

// A hand-drawn case: `driven` (if given) is the drive of every piece, each link once; `links` (if
// given) the link of every fix; `records` the unmatched stretches as the hybrid reports them.
struct Case {
    size_t pieces = 1;
    Links driven;
    Links links;
    local_world::Records records;
    World w;
    Route r;

    void fix(double x, double y, uint32_t seconds = 1) {
        _node n = local_world::point(x, y);
        n.arrivalTime = n.leaveTime = r.nodes.empty() ? 1000 : r.nodes.back().arrivalTime + seconds;
        r.nodes.push_back(n);
    }
};

Case oneWayNeverOnTheMirror() {
    Case c;
    const auto [east, west] = twoWay(c.w, 0, 500, 50, 0);
    for (int i = 0; i <= 45; ++i) c.fix(5 + i * 10.5, wobble(i, 4));
    c.driven = east;
    return c;
}

Case uTurnAtADeadEnd() {
    Case c;
    const auto [east, west] = twoWay(c.w, 0, 300, 50, 0);
    for (int i = 0; i <= 29; ++i) c.fix(5 + i * 10, wobble(i, 3));
    for (int i = 0; i <= 28; ++i) c.fix(295 - i * 10, wobble(i + 40, 3));
    c.driven = east;
    c.driven.insert(c.driven.end(), west.rbegin(), west.rend());
    return c;
}

Case parallelRoadsFifteenMetresApart() {
    Case c;
    const auto [nearEast, nearWest] = twoWay(c.w, 0, 600, 100, 0);
    twoWay(c.w, 0, 600, 100, 15);
    for (int i = 0; i <= 55; ++i) c.fix(10 + i * 10, 5 + wobble(i, 3));  // leaning towards the other road
    c.driven = nearEast;
    return c;
}

Case thirtySecondsRoundABlock() {
    Case c;
    const uint32_t a = c.w.node(0, 0), b = c.w.node(300, 0), d = c.w.node(300, 300), e = c.w.node(0, 300);
    c.driven = {c.w.link(a, b), c.w.link(b, d), c.w.link(d, e), c.w.link(e, a)};
    c.w.link(b, a), c.w.link(d, b), c.w.link(e, d), c.w.link(a, e);
    for (const auto& [x, y] :
         std::vector<std::pair<double, double>>{{50, 2}, {298, 50}, {250, 302}, {2, 250}, {50, -2}})
        c.fix(x, y, 30);  // 10 m/s anticlockwise
    c.driven.push_back(c.driven.front());
    return c;
}

Case aGapBridgedByTheRoad() {
    Case c;
    const Links road = c.w.chain(0, 3000, 100, 0);
    for (int i = 0; i < 40; ++i) c.fix((i < 20 ? 10 : 1800) + i * 15, wobble(i, 3), i == 20 ? 120 : 1);
    c.driven.assign(road.begin(), road.begin() + 24);
    return c;
}

Case standingStillMakesNoDetour() {
    Case c;
    const auto [east, west] = twoWay(c.w, 0, 400, 50, 0);
    for (int i = 0; i < 10; ++i) c.fix(20 + i * 10, wobble(i, 2));
    for (int i = 0; i < 60; ++i) c.fix(120 + wobble(i, 3), wobble(i + 3, 3));
    for (int i = 0; i < 10; ++i) c.fix(130 + i * 10, wobble(i, 2));
    c.driven.assign(east.begin(), east.begin() + 5);
    return c;
}

// Short links and fixes scattered along the road as much as across it: the nearest link is often the
// wrong one, the position along the drive is not.
Case fixesScatteredAlongShortLinks() {
    Case c;
    const Links road = c.w.chain(0, 800, 20, 0);
    for (int i = 0; i < 70; ++i) c.fix(5 + i * 10 + wobble(i, 6), wobble(i + 5, 6));
    for (int i = 0; i < 70; ++i) c.links.push_back(road[static_cast<size_t>(i / 2)]);
    return c;
}

Case aFixFarFromEveryRoadSplitsThePieces() {
    Case c;
    c.pieces = 2;
    const Links road = c.w.chain(0, 1000, 100, 0);
    for (int i = 0; i < 30; ++i) c.fix(10 + i * 10, i == 15 ? 900 : wobble(i, 2));
    c.records = {{15, 15, road[1], road[1], 0, 1}};
    return c;
}

Case noRoadNearAnyFix() {
    Case c;
    c.pieces = 0;
    c.records = {{0, 1, -1, -1, -1, -1}};
    c.w.chain(0, 100, 50, 0);
    c.fix(5000, 5000), c.fix(5010, 5000);
    return c;
}

Case anEmptyTrace() {
    Case c;
    c.pieces = 0;
    c.records = {{0, -1, -1, -1, -1, -1}};
    c.w.chain(0, 100, 50, 0);
    return c;
}

class HmmScenario : public testing::TestWithParam<std::pair<const char*, Case (*)()>> {};

TEST_P(HmmScenario, MatchesTheDrive) {
    const Case c = GetParam().second();
    const mapRepresentation::RoadGraph graph(c.w.map);
    MapMatching::HmmMatcher m(graph, MapMatching::kHmmDefaults);
    m.run(c.r);
    const auto paths = m.getMatched();
    ASSERT_EQ(paths.size(), c.pieces);
    EXPECT_EQ(local_world::records(m), c.records);
    EXPECT_TRUE(c.links.empty() || m.matchedLinks() == c.links) << testing::PrintToString(m.matchedLinks());
    for (const auto& path : paths) {  // every piece is a drive
        Links driven;
        for (const auto& [point, link] : path->links) {
            if (!driven.empty() && driven.back() == link) continue;
            EXPECT_TRUE(driven.empty() || c.w.map.isConnected(driven.back(), link)) << link;
            driven.push_back(link);
        }
        EXPECT_TRUE(c.driven.empty() || driven == c.driven) << testing::PrintToString(driven);
    }
}

#define HMM_CASE(name) \
    std::pair {        \
#name, &name   \
    }
INSTANTIATE_TEST_SUITE_P(HandDrawn, HmmScenario,
                         testing::Values(HMM_CASE(oneWayNeverOnTheMirror), HMM_CASE(uTurnAtADeadEnd),
                                         HMM_CASE(parallelRoadsFifteenMetresApart),
                                         HMM_CASE(thirtySecondsRoundABlock), HMM_CASE(aGapBridgedByTheRoad),
                                         HMM_CASE(standingStillMakesNoDetour),
                                         HMM_CASE(fixesScatteredAlongShortLinks),
                                         HMM_CASE(aFixFarFromEveryRoadSplitsThePieces),
                                         HMM_CASE(noRoadNearAnyFix), HMM_CASE(anEmptyTrace)),
                         [](const auto& info) { return std::string(info.param.first); });

}  // namespace
