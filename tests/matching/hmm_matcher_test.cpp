// The hidden-Markov matcher on hand-drawn maps whose right answer is plain.
#include "matching/hmm_matcher.h"

#include <gtest/gtest.h>

#include <cmath>

#include "local_world.h"

namespace {

using Links = std::vector<int>;

// A hand-drawn case: `driven` (if given) is the drive of every piece, each link once; `links` (if
// given) the link of every fix; `records` the unmatched stretches as the hybrid reports them.
struct Case {
    size_t pieces = 1;
    Links driven, links;
    local_world::Records records;
    local_world::World w;
    Route r;

    void fix(double x, double y, uint32_t seconds = 1) {
        r.nodes.push_back(local_world::point(x, y));
        r.nodes.back().arrivalTime = r.nodes.size() == 1 ? 1000 : r.nodes.end()[-2].arrivalTime + seconds;
    }
    // A two-way street along y from x0 to x1 in steps; returns {east links, west links}, in driving order.
    std::pair<Links, Links> twoWay(double x0, double x1, double step, double y) {
        std::vector<uint32_t> nodes;
        for (double x = x0; x <= x1 + 1e-9; x += step) nodes.push_back(w.node(x, y));
        const Links east = w.road(nodes);
        return {east, w.road({nodes.rbegin(), nodes.rend()})};
    }
};

// Deterministic small noise, so that fixes are never exactly on a road.
const auto wobble = [](int i, double size) { return size * std::sin(i * 2.3); };

void uTurnAtADeadEnd(Case& c) {
    const auto [east, west] = c.twoWay(0, 300, 50, 0);
    c.driven = east;
    c.driven.insert(c.driven.end(), west.begin(), west.end());
    for (int i = 0; i <= 29; ++i) c.fix(5 + i * 10, wobble(i, 3));
    for (int i = 0; i <= 28; ++i) c.fix(295 - i * 10, wobble(i + 40, 3));
}

// Neither the mirror link nor the other road, though the fixes lean towards it.
void twoWayStreetDrivenOneWayBesideAnother(Case& c) {
    c.driven = c.twoWay(0, 600, 100, 0).first;
    c.twoWay(0, 600, 100, 15);
    for (int i = 0; i <= 55; ++i) c.fix(10 + i * 10, 5 + wobble(i, 3));
}

void thirtySecondsRoundABlock(Case& c) {
    const uint32_t a = c.w.node(0, 0), b = c.w.node(300, 0), d = c.w.node(300, 300), e = c.w.node(0, 300);
    c.driven = {c.w.link(a, b), c.w.link(b, d), c.w.link(d, e), c.w.link(e, a)};
    c.driven.push_back(c.driven.front());
    c.w.road({a, e, d, b, a});  // and the other way round
    for (const auto& [x, y] :
         std::vector<std::pair<double, double>>{{50, 2}, {298, 50}, {250, 302}, {2, 250}, {50, -2}})
        c.fix(x, y, 30);  // 10 m/s anticlockwise
}

void aGapBridgedByTheRoad(Case& c) {
    const Links road = c.w.chain(0, 3000, 100, 0);
    c.driven.assign(road.begin(), road.begin() + 24);
    for (int i = 0; i < 40; ++i) c.fix((i < 20 ? 10 : 1800) + i * 15, wobble(i, 3), i == 20 ? 120 : 1);
}

void standingStillMakesNoDetour(Case& c) {  // with the receiver repeating seconds while it stands
    const Links east = c.twoWay(0, 400, 50, 0).first;
    c.driven.assign(east.begin(), east.begin() + 5);
    for (int i = 0; i < 10; ++i) c.fix(20 + i * 10, wobble(i, 2));
    for (int i = 0; i < 60; ++i) c.fix(120 + wobble(i, 3), wobble(i + 3, 3), i % 2);
    for (int i = 0; i < 10; ++i) c.fix(130 + i * 10, wobble(i, 2));
}

// One fix thrown 75 m back onto the link before: left out, not driven to by turning round twice.
void aFixThrownBackMakesNoZigzag(Case& c) {
    c.driven = c.twoWay(0, 600, 50, 0).first;
    for (int i = 0; i <= 18; ++i) c.fix(i == 6 ? 95 : 20 + i * 30, wobble(i, 2), 3);
}

// Short links and fixes scattered along the road as much as across it: the nearest link is often the
// wrong one, the position along the drive is not.
void fixesScatteredAlongShortLinks(Case& c) {
    const Links road = c.w.chain(0, 800, 20, 0);
    for (int i = 0; i < 70; ++i) c.fix(5 + i * 10 + wobble(i, 6), wobble(i + 5, 6));
    for (int i = 0; i < 70; ++i) c.links.push_back(road[static_cast<size_t>(i / 2)]);
}

void aFixFarFromEveryRoadSplitsThePieces(Case& c) {
    const Links road = c.w.chain(0, 1000, 100, 0);
    for (int i = 0; i < 30; ++i) c.fix(10 + i * 10, i == 15 ? 900 : wobble(i, 2));
    c.pieces = 2;
    c.records = {{15, 15, road[1], road[1], 0, 1}};
}

// The drive goes on where the map ends: the fixes more than the radius (50 m) beyond its last node are
// not matched, though the wider searches still reach them, and the piece ends at the last fix within it.
void aMapThatEndsLeavesTheFixesBeyondIt(Case& c) {
    c.driven = c.w.chain(0, 500, 100, 0);
    for (int i = 0; i <= 88; ++i) c.fix(5 + i * 10, wobble(i, 2));
    for (int i = 0; i <= 88; ++i)
        c.links.push_back(i <= 54 ? c.driven[static_cast<size_t>(std::min(4, i / 10))] : -1);
    c.records = {{55, 88, c.driven.back(), -1, 0, -1}};
}

// Inside a piece, fixes 60-70 m beside the road (the widened search reaches them) are left unmatched,
// but the drive goes on through them.
void fixesBesideTheRoadInsideAPiece(Case& c) {
    c.driven = c.w.chain(0, 600, 100, 0);
    for (int i = 0; i < 58; ++i) c.fix(5 + i * 10, i >= 20 && i < 25 ? 65 : wobble(i, 2));
    for (int i = 0; i < 58; ++i)
        c.links.push_back(i >= 20 && i < 25 ? -1 : c.driven[static_cast<size_t>(i / 10)]);
}

// Creeping 17 m into a dead end and out between fixes 10 s apart: each fix there lies within the
// thinning spacing of the one before the turn, yet the sparse fixes are kept and show the turn.
void aTurnInADeadEndBetweenSparseFixes(Case& c) {
    const uint32_t j = c.w.node(200, 0), end = c.w.node(200, 19);
    c.driven = {c.w.link(c.w.node(0, 0), j), c.w.link(j, end), c.w.link(end, j),
                c.w.link(j, c.w.node(400, 0))};
    for (const auto& [x, y] : std::vector<std::pair<double, double>>{
             {20, 0}, {100, 0}, {195, 0}, {201, 9}, {200, 17}, {199, 9}, {210, 0}, {300, 0}, {390, 0}})
        c.fix(x, y, 10);
}

void noRoadNearAnyFix(Case& c) {
    c.w.chain(0, 100, 50, 0);
    c.fix(5000, 5000);
    c.fix(5010, 5000);
    c.pieces = 0;
    c.records = {{0, 1, -1, -1, -1, -1}};
}

class HmmScenario : public testing::TestWithParam<std::pair<const char*, void (*)(Case&)>> {};

TEST_P(HmmScenario, MatchesTheDrive) {
    Case c;
    GetParam().second(c);
    const mapRepresentation::RoadGraph graph(c.w.map);
    MapMatching::HmmMatcher m(graph, MapMatching::kHmmDefaults);
    m.run(c.r);
    const auto paths = m.getMatched();
    ASSERT_EQ(paths.size(), c.pieces);
    EXPECT_EQ(local_world::records(m), c.records);
    EXPECT_TRUE(c.links.empty() || m.matchedLinks() == c.links) << testing::PrintToString(m.matchedLinks());
    ASSERT_EQ(m.drivenRoutes().size(), paths.size());
    for (size_t k = 0; k < paths.size(); ++k) {  // every piece is a drive, and the route it reports
        const auto& path = paths[k];
        Links driven;
        for (const auto& [point, link] : path->links) {
            if (!driven.empty() && driven.back() == link) continue;
            EXPECT_TRUE(driven.empty() || c.w.map.isConnected(driven.back(), link)) << link;
            driven.push_back(link);
        }
        EXPECT_TRUE(c.driven.empty() || driven == c.driven) << testing::PrintToString(driven);
        EXPECT_EQ(m.drivenRoutes()[k], driven);
    }
}

#define HMM_CASE(f) std::pair<const char*, void (*)(Case&)>(#f, f)
INSTANTIATE_TEST_SUITE_P(
    HandDrawn, HmmScenario,
    testing::Values(HMM_CASE(twoWayStreetDrivenOneWayBesideAnother), HMM_CASE(uTurnAtADeadEnd),
                    HMM_CASE(thirtySecondsRoundABlock), HMM_CASE(aGapBridgedByTheRoad),
                    HMM_CASE(standingStillMakesNoDetour), HMM_CASE(fixesScatteredAlongShortLinks),
                    HMM_CASE(aFixThrownBackMakesNoZigzag), HMM_CASE(aFixFarFromEveryRoadSplitsThePieces),
                    HMM_CASE(aMapThatEndsLeavesTheFixesBeyondIt), HMM_CASE(fixesBesideTheRoadInsideAPiece),
                    HMM_CASE(aTurnInADeadEndBetweenSparseFixes), HMM_CASE(noRoadNearAnyFix)),
    [](const auto& info) { return std::string(info.param.first); });

}  // namespace
