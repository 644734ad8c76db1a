// The one walk along a road (Map::followRoad) under both continuation rules, and the walks to the
// next junction built on it.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "map/maps.h"

using mapRepresentation::Map;
using mapRepresentation::RoadRule;
using End = mapRepresentation::RoadWalk::End;

namespace {

// Nodes 1..n; each pair (a, b) becomes a link a -> b, ids in order from 1.
Map graphOf(int n, std::initializer_list<std::pair<uint32_t, uint32_t>> links) {
    Map m;
    for (int i = 1; i <= n; ++i) m.addNode(i, 41.0 + 0.001 * (i % 3), -8.6 + 0.001 * i, 0, 0);
    for (const auto& [a, b] : links) m.addLinkToNode(a, b, 0, 0);
    return m;
}

// A ring 1 -> 2 -> 3 -> 4 -> 1 of pass-through nodes: links 1..4.
Map ring() {
    return graphOf(4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}});
}

// A ring 1 -> 2 -> 3 -> 1 (links 1..3) that road 5 -> 1 (link 4) runs into: node 1 has two links in.
Map lasso() {
    return graphOf(5, {{1, 2}, {2, 3}, {3, 1}, {5, 1}});
}

// 1 -> 2 -> 3 -> 4 (links 1..3), with a fork 3 -> 5 (link 4).
Map forkAt3() {
    return graphOf(5, {{1, 2}, {2, 3}, {3, 4}, {3, 5}});
}

struct WalkCase {
    std::string name;
    std::function<Map()> map;
    int link;
    bool forward;
    RoadRule rule;
    size_t maxLinks;
    std::vector<int> links;
    End end;
    int64_t missing = -1;
};

void PrintTo(const WalkCase& c, std::ostream* os) {
    *os << c.name;
}

class FollowRoad : public testing::TestWithParam<WalkCase> {};

}  // namespace

TEST_P(FollowRoad, StopsWhereItsRuleSays) {
    const WalkCase& c = GetParam();
    const Map map = c.map();
    testing::internal::CaptureStdout();
    const auto walk = map.followRoad(c.link, c.forward, c.rule, c.maxLinks);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the map's walk never prints
    EXPECT_EQ(walk.links, c.links);
    EXPECT_EQ(walk.end, c.end);
    EXPECT_EQ(walk.missing, c.missing);
}

namespace {

constexpr auto kSingle = RoadRule::SingleWayOn;
constexpr auto kThrough = RoadRule::PassThrough;

// 1 -> 2 -> 3 -> 4 (links 1..3), node 4 naming a link 77 the link table lacks.
Map danglingLink() {
    Map m = graphOf(4, {{1, 2}, {2, 3}, {3, 4}});
    m.graph[4].forwardLinks.insert(77);  // tables made to disagree
    return m;
}

Map missingNode() {
    Map m = forkAt3();
    m.graph.erase(2);
    return m;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Rules, FollowRoad,
    testing::Values(
        WalkCase{"ForkStopsForward", forkAt3, 1, true, kSingle, 9, {2}, End::Junction},
        WalkCase{"ForkDoesNotStopBackward", forkAt3, 4, false, kSingle, 9, {2, 1}, End::Junction},
        WalkCase{"MergeInGoesOnForward", lasso, 4, true, kSingle, 7, {1, 2, 3, 1, 2, 3, 1}, End::Limit},
        WalkCase{"MergeInStopsPassThrough", lasso, 1, true, kThrough, 9, {2, 3}, End::Junction},
        WalkCase{"MergeInStopsBackward", lasso, 2, false, kSingle, 9, {1}, End::Junction},
        WalkCase{"RingEndsBeforeTheStart", ring, 3, true, kThrough, 9, {4, 1, 2}, End::BackAtStart},
        WalkCase{"RingBackward", ring, 3, false, kThrough, 9, {2, 1, 4}, End::BackAtStart},
        WalkCase{"RingGoesRoundAgain", ring, 3, true, kSingle, 6, {4, 1, 2, 3, 4, 1}, End::Limit},
        WalkCase{"LimitZero", ring, 3, true, kThrough, 0, {}, End::Limit},
        WalkCase{"MissingStart", forkAt3, 99, true, kSingle, 9, {}, End::MissingLink, 99},
        WalkCase{"MissingOnward", danglingLink, 1, true, kThrough, 9, {2, 3}, End::MissingLink, 77},
        WalkCase{"MissingNode", missingNode, 2, false, kThrough, 9, {}, End::MissingNode, 2}),
    [](const testing::TestParamInfo<WalkCase>& info) { return info.param.name; });

TEST(FollowRoad, WalksToAJunctionTakeALinkOnlyTheNodeNames) {
    // The only way on is taken even when the link table lacks it; the walk ends there.
    const Map m = danglingLink();
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 5), (std::vector<int>{2, 3, 77}));
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 2), (std::vector<int>{2, 3}));
    EXPECT_TRUE(m.getLinksUntilNextJunction(99, 5).empty());
    EXPECT_EQ(lasso().getLinksUntilNextJunction(3, 4), (std::vector<int>{1, 2, 3, 1}));
    EXPECT_EQ(forkAt3().getLinksUntilPreviousJunction(4, 5), (std::vector<int>{2, 1}));
}
