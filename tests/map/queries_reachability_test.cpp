// Reachability queries over small hand-drawn road graphs.

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <vector>

#include "map/maps.h"

using mapRepresentation::Map;

namespace {

using Links = std::vector<int>;
using Answer = std::pair<bool, Links>;

// Nodes 1..n along a line of latitude; each pair (a, b) becomes a link a -> b, ids in order from 1.
Map graphOf(int n, std::initializer_list<std::pair<uint32_t, uint32_t>> links) {
    Map m;
    for (int i = 1; i <= n; ++i) m.addNode(i, 41.0, -8.6 + 0.001 * i, 0, 0);
    for (const auto& [a, b] : links) m.addLinkToNode(a, b, 0, 0);
    return m;
}

// 1 -> 2 -> 3 -> 4: links a = 1, b = 2, c = 3.
Map chain() {
    return graphOf(5, {{1, 2}, {2, 3}, {3, 4}});
}

// from = 1 (1 -> 2); two routes of two links to 5: via 3 (links 2 and 5) and via 4 (links 3 and 4);
// to = 6 (5 -> 6).
Map diamond() {
    return graphOf(6, {{1, 2}, {2, 3}, {2, 4}, {4, 5}, {3, 5}, {5, 6}});
}

}  // namespace

TEST(Queries, PairTests) {
    const Map m = graphOf(3, {{1, 2}, {2, 1}, {2, 3}});
    EXPECT_TRUE(m.areMirrored(1, 2));
    EXPECT_TRUE(m.isConnected(1, 2));
    EXPECT_TRUE(m.isConnected(1, 3));
    EXPECT_FALSE(m.isConnected(3, 1));
    EXPECT_FALSE(m.areMirrored(1, 3));
    EXPECT_TRUE(m.belongSameSuperLink(1, 1));
    for (const int bad : {-1, 999}) {
        EXPECT_FALSE(m.isConnected(1, bad) || m.isConnected(bad, 1));
        EXPECT_FALSE(m.areMirrored(bad, 1) || m.belongSameSuperLink(bad, 1) || m.belongSameSuperLink(1, bad));
    }
}

TEST(Queries, WalksToTheNextAndPreviousJunction) {
    Map m = chain();
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 5), (Links{2, 3}));
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 1), (Links{2}));
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 0), Links{});
    EXPECT_EQ(m.getLinksUntilPreviousJunction(3, 5), (Links{2, 1}));

    // A road merging in at 3 stops only the backward walk; a fork at 3 stops the forward one.
    m.addLinkToNode(5, 3, 0, 0);
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 5), (Links{2, 3}));
    EXPECT_EQ(m.getLinksUntilPreviousJunction(3, 5), Links{});
    m.addLinkToNode(3, 5, 0, 0);
    EXPECT_EQ(m.getLinksUntilNextJunction(1, 5), (Links{2}));
}

TEST(Queries, AchievableAndFormerLinksByDepth) {
    const Map m = chain();
    EXPECT_EQ(m.getAllAchievableLinks(1, 1), (std::set<int>{2}));
    EXPECT_EQ(m.getAllAchievableLinks(1, 2), (std::set<int>{2, 3}));
    EXPECT_TRUE(m.getAllAchievableLinks(1, 0).empty());
    EXPECT_EQ(m.getAllFormerLinks(3, 2), (std::set<int>{1, 2}));

    // A U-turn on a two-way road leads back to the start link.
    const Map twoWay = graphOf(2, {{1, 2}, {2, 1}});
    EXPECT_EQ(twoWay.getAllAchievableLinks(1, 2), (std::set<int>{1, 2}));
}

TEST(Queries, LinksBetweenTakeTheFewestLinksThenTheLowestIds) {
    const Map c = chain();
    EXPECT_EQ(c.getLinksBetween(1, 3), (Links{2}));
    EXPECT_EQ(c.getLinksBetween(1, 2), Links{});
    EXPECT_EQ(c.getLinksBetween(3, 1), Links{});

    Map d = diamond();
    EXPECT_EQ(d.getLinksBetween(1, 6), (Links{2, 5}));
    const int shortcut = d.addLinkToNode(2, 5, 0, 0);
    EXPECT_EQ(d.getLinksBetween(1, 6), (Links{shortcut}));

    // Unreachable targets behind cycles: the searches must end.
    const Map cyclic = graphOf(6, {{1, 2}, {2, 3}, {3, 2}, {3, 4}, {4, 2}, {5, 6}});
    EXPECT_EQ(cyclic.getLinksBetween(1, 6), Links{});
    EXPECT_EQ(cyclic.getLinksBetween(1, 12345), Links{});
    EXPECT_EQ(cyclic.isAchievableWithAmbiguity(1, 6, -1), Answer(false, {}));
}

TEST(Queries, AchievableWithoutAmbiguity) {
    const Map m = chain();
    EXPECT_EQ(m.isAchievableWithoutAmbiguity(1, 3, 0), Answer(false, {}));
    EXPECT_EQ(m.isAchievableWithoutAmbiguity(1, 3, 1), Answer(true, {2}));
    EXPECT_EQ(m.isAchievableWithoutAmbiguity(1, 2, 0), Answer(true, {}));
    EXPECT_EQ(m.isAchievableWithoutAmbiguity(1, 1, -1), Answer(true, {}));
    EXPECT_EQ(m.isAchievableWithoutAmbiguity(1, 2, -1), Answer(false, {}));
    EXPECT_EQ(diamond().isAchievableWithoutAmbiguity(1, 6, 9), Answer(false, {}));

    // A ring without choices and a target off the ring: the walk gives up whatever the limit.
    const Map ring = graphOf(5, {{1, 2}, {2, 3}, {3, 1}, {4, 5}});
    EXPECT_EQ(ring.isAchievableWithoutAmbiguity(1, 4, INT_MAX), Answer(false, {}));
    EXPECT_EQ(ring.isAchievableWithoutAmbiguity(2, 1, INT_MAX), Answer(true, {3}));
}

TEST(Queries, AchievableWithAmbiguityRespectsTheLinkLimit) {
    const Map d = diamond();
    EXPECT_EQ(d.isAchievableWithAmbiguity(1, 6, 2), Answer(true, {2, 5}));
    EXPECT_EQ(d.isAchievableWithAmbiguity(1, 6, 1), Answer(false, {}));
    EXPECT_EQ(d.isAchievableWithAmbiguity(1, 2, 0), Answer(true, {}));
    EXPECT_EQ(d.isAchievableWithAmbiguity(1, 5, 0), Answer(false, {}));
    EXPECT_EQ(d.isAchievableWithAmbiguity(1, 5, 1), Answer(true, {2}));
}

TEST(Queries, AchievableSuperLinksStopAtLongOnes) {
    // Entry 1 -> 2; fork at 2: a five-link road 2 -> ... -> 7 and 2 -> 8; fork at 7: 7 -> 9, 7 -> 10.
    const Map m = graphOf(10, {{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {2, 8}, {7, 9}, {7, 10}});
    const int entry = m.getSuperLinkKey(1), road = m.getSuperLinkKey(2), side = m.getSuperLinkKey(7);
    const std::set<int> all{road, side, m.getSuperLinkKey(8), m.getSuperLinkKey(9)};
    ASSERT_EQ(m.superLinks.at(road).links.size(), 5u);
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 3, 3), (std::set<int>{road, side}));
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 3, 5), all);
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 3, -1), all);
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 1, 5), (std::set<int>{road, side}));
    EXPECT_TRUE(m.getAllAchievableSuperLinks(entry, 0, 5).empty());
}

TEST(Queries, MissingLinksGiveEmptyResults) {
    const Map d = diamond();
    const int missing = 777;
    EXPECT_TRUE(d.getLinksUntilNextJunction(missing, 3).empty());
    EXPECT_TRUE(d.getLinksUntilPreviousJunction(missing, 3).empty());
    EXPECT_TRUE(d.getAllAchievableLinks(missing, 3).empty());
    EXPECT_TRUE(d.getAllFormerLinks(missing, 3).empty());
    EXPECT_TRUE(d.getAllAchievableSuperLinks(missing, 3, 3).empty());
    EXPECT_TRUE(d.getLinksBetween(missing, 6).empty());
    EXPECT_FALSE(d.isAchievableWithoutAmbiguity(missing, 6, 5).first);
    EXPECT_FALSE(d.isAchievableWithAmbiguity(missing, 6, 5).first);
}
