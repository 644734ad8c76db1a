// Reachability queries over small hand-drawn road graphs.

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <vector>

#include "map/maps.h"

using mapRepresentation::Map;

namespace {

using Links = std::vector<int>;

// Nodes 1..n laid out on a line of latitude, 0.001 degrees apart.
void addNodes(Map& m, int n) {
    for (int i = 1; i <= n; ++i) m.addNode(i, 41.0, -8.6 + 0.001 * i, 0, 0);
}

// 1 -> 2 -> 3 -> 4 with links a, b, c.
struct Chain {
    Map m;
    int a, b, c;
    Chain() {
        addNodes(m, 5);
        a = m.addLinkToNode(1, 2, 0, 0);
        b = m.addLinkToNode(2, 3, 0, 0);
        c = m.addLinkToNode(3, 4, 0, 0);
    }
};

// from: 1 -> 2; two routes of two links to 5 (via 3 with the lower ids, via 4); to: 5 -> 6.
struct Diamond {
    Map m;
    int from, viaLow1, viaHigh1, viaLow2, viaHigh2, to;
    Diamond() {
        addNodes(m, 6);
        from = m.addLinkToNode(1, 2, 0, 0);
        viaLow1 = m.addLinkToNode(2, 3, 0, 0);
        viaHigh1 = m.addLinkToNode(2, 4, 0, 0);
        viaHigh2 = m.addLinkToNode(4, 5, 0, 0);
        viaLow2 = m.addLinkToNode(3, 5, 0, 0);
        to = m.addLinkToNode(5, 6, 0, 0);
    }
};

}  // namespace

TEST(Queries, PairTests) {
    Map m;
    addNodes(m, 3);
    const int a = m.addLinkToNode(1, 2, 0, 0);
    const int back = m.addLinkToNode(2, 1, 0, 0);
    const int on = m.addLinkToNode(2, 3, 0, 0);

    EXPECT_TRUE(m.areMirrored(a, back));
    EXPECT_TRUE(m.isConnected(a, back));
    EXPECT_TRUE(m.isConnected(a, on));
    EXPECT_FALSE(m.isConnected(on, a));
    EXPECT_FALSE(m.areMirrored(a, on));
    EXPECT_TRUE(m.belongSameSuperLink(a, a));

    for (const int bad : {-1, 999}) {
        EXPECT_FALSE(m.isConnected(a, bad));
        EXPECT_FALSE(m.isConnected(bad, a));
        EXPECT_FALSE(m.areMirrored(bad, a));
        EXPECT_FALSE(m.belongSameSuperLink(bad, a));
        EXPECT_FALSE(m.belongSameSuperLink(a, bad));
    }
    EXPECT_FALSE(m.belongSameSuperLink(-1, -1));
}

TEST(Queries, WalksToTheNextAndPreviousJunction) {
    Chain ch;
    EXPECT_EQ(ch.m.getLinksUntilNextJunction(ch.a, 5), (Links{ch.b, ch.c}));
    EXPECT_EQ(ch.m.getLinksUntilNextJunction(ch.a, 1), (Links{ch.b}));
    EXPECT_EQ(ch.m.getLinksUntilNextJunction(ch.a, 0), Links{});
    EXPECT_EQ(ch.m.getLinksUntilPreviousJunction(ch.c, 5), (Links{ch.b, ch.a}));
    EXPECT_EQ(ch.m.getLinksUntilPreviousJunction(ch.c, -1), Links{});

    // A road merging in at 3 does not stop the forward walk; a fork at 3 does.
    const int merge = ch.m.addLinkToNode(5, 3, 0, 0);
    EXPECT_EQ(ch.m.getLinksUntilNextJunction(ch.a, 5), (Links{ch.b, ch.c}));
    EXPECT_EQ(ch.m.getLinksUntilPreviousJunction(ch.c, 5), Links{});
    EXPECT_EQ(ch.m.getLinksUntilPreviousJunction(merge, 5), Links{});
    ch.m.addLinkToNode(3, 5, 0, 0);
    EXPECT_EQ(ch.m.getLinksUntilNextJunction(ch.a, 5), (Links{ch.b}));
}

TEST(Queries, WalkAroundALoopRepeatsUpToTheCount) {
    Map m;
    addNodes(m, 3);
    const int x = m.addLinkToNode(1, 2, 0, 0);
    const int y = m.addLinkToNode(2, 3, 0, 0);
    const int z = m.addLinkToNode(3, 1, 0, 0);
    EXPECT_EQ(m.getLinksUntilNextJunction(x, 4), (Links{y, z, x, y}));
    EXPECT_EQ(m.getLinksUntilPreviousJunction(x, 4), (Links{z, y, x, z}));
}

TEST(Queries, AchievableAndFormerLinksByDepth) {
    Chain ch;
    EXPECT_EQ(ch.m.getAllAchievableLinks(ch.a, 1), (std::set<int>{ch.b}));
    EXPECT_EQ(ch.m.getAllAchievableLinks(ch.a, 2), (std::set<int>{ch.b, ch.c}));
    EXPECT_EQ(ch.m.getAllAchievableLinks(ch.a, 9), (std::set<int>{ch.b, ch.c}));
    EXPECT_TRUE(ch.m.getAllAchievableLinks(ch.a, 0).empty());
    EXPECT_EQ(ch.m.getAllFormerLinks(ch.c, 2), (std::set<int>{ch.a, ch.b}));
    EXPECT_TRUE(ch.m.getAllFormerLinks(ch.a, 3).empty());

    // On a two-way road the start link comes back after a U-turn.
    Map m;
    addNodes(m, 2);
    const int a = m.addLinkToNode(1, 2, 0, 0);
    const int back = m.addLinkToNode(2, 1, 0, 0);
    EXPECT_EQ(m.getAllAchievableLinks(a, 2), (std::set<int>{a, back}));
    EXPECT_EQ(m.getAllAchievableLinks(a, 1), (std::set<int>{back}));
}

TEST(Queries, LinksBetweenTakeTheFewestLinksThenTheLowestIds) {
    Chain ch;
    EXPECT_EQ(ch.m.getLinksBetween(ch.a, ch.c), (Links{ch.b}));
    EXPECT_EQ(ch.m.getLinksBetween(ch.a, ch.b), Links{});
    EXPECT_EQ(ch.m.getLinksBetween(ch.a, ch.a), Links{});
    EXPECT_EQ(ch.m.getLinksBetween(ch.c, ch.a), Links{});

    Diamond d;
    EXPECT_EQ(d.m.getLinksBetween(d.from, d.to), (Links{d.viaLow1, d.viaLow2}));
    // A shortcut with a higher id wins over a longer route.
    const int shortcut = d.m.addLinkToNode(2, 5, 0, 0);
    EXPECT_EQ(d.m.getLinksBetween(d.from, d.to), (Links{shortcut}));
}

TEST(Queries, LinksBetweenEndsForUnreachablePairsBehindCycles) {
    Map m;
    addNodes(m, 6);
    const int start = m.addLinkToNode(1, 2, 0, 0);
    m.addLinkToNode(2, 3, 0, 0);
    m.addLinkToNode(3, 2, 0, 0);
    m.addLinkToNode(3, 4, 0, 0);
    m.addLinkToNode(4, 2, 0, 0);
    const int elsewhere = m.addLinkToNode(5, 6, 0, 0);
    EXPECT_EQ(m.getLinksBetween(start, elsewhere), Links{});
    EXPECT_EQ(m.getLinksBetween(start, 12345), Links{});
    EXPECT_EQ(m.isAchievableWithAmbiguity(start, elsewhere, -1), std::make_pair(false, Links{}));
}

TEST(Queries, AchievableWithoutAmbiguity) {
    Chain ch;
    using R = std::pair<bool, Links>;
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.a, ch.c, 0), R(false, {}));
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.a, ch.c, 1), R(true, {ch.b}));
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.a, ch.b, 0), R(true, {}));
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.a, ch.a, 0), R(true, {}));
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.a, ch.a, -1), R(true, {}));
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.a, ch.b, -1), R(false, {}));
    // Against the driving direction, and through the dead end at 4.
    EXPECT_EQ(ch.m.isAchievableWithoutAmbiguity(ch.c, ch.a, 9), R(false, {}));

    Diamond d;
    EXPECT_EQ(d.m.isAchievableWithoutAmbiguity(d.from, d.to, 9), R(false, {}));

    // A ring without choices and a target off the ring: the walk must give up, whatever the limit.
    Map ring;
    addNodes(ring, 5);
    const int r1 = ring.addLinkToNode(1, 2, 0, 0);
    const int r2 = ring.addLinkToNode(2, 3, 0, 0);
    ring.addLinkToNode(3, 1, 0, 0);
    const int off = ring.addLinkToNode(4, 5, 0, 0);
    EXPECT_EQ(ring.isAchievableWithoutAmbiguity(r1, off, INT_MAX), R(false, {}));
    EXPECT_EQ(ring.isAchievableWithoutAmbiguity(r2, r1, INT_MAX).second.size(), 1u);
}

TEST(Queries, AchievableWithAmbiguityRespectsTheLinkLimit) {
    Diamond d;
    using R = std::pair<bool, Links>;
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.from, d.to, 2), R(true, {d.viaLow1, d.viaLow2}));
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.from, d.to, 1), R(false, {}));
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.from, d.viaLow1, 0), R(true, {}));
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.from, d.from, 0), R(true, {}));
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.from, d.viaLow2, 0), R(false, {}));
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.from, d.viaLow2, 1), R(true, {d.viaLow1}));
    EXPECT_EQ(d.m.isAchievableWithAmbiguity(d.to, d.from, 10), R(false, {}));
}

TEST(Queries, AchievableSuperLinksStopAtLongOnes) {
    // 1 -> 2 (entry), fork at 2: a five-link road 2 -> ... -> 7 and a one-link road 2 -> 8;
    // fork at 7: 7 -> 9 and 7 -> 10.
    Map m;
    addNodes(m, 10);
    const int entry = m.addLinkToNode(1, 2, 0, 0);
    const int longFirst = m.addLinkToNode(2, 3, 0, 0);
    for (int n = 3; n < 7; ++n) m.addLinkToNode(n, n + 1, 0, 0);
    const int shortRoad = m.addLinkToNode(2, 8, 0, 0);
    const int beyond1 = m.addLinkToNode(7, 9, 0, 0);
    const int beyond2 = m.addLinkToNode(7, 10, 0, 0);

    const int sEntry = m.getSuperLinkKey(entry);
    const int sLong = m.getSuperLinkKey(longFirst);
    const int sShort = m.getSuperLinkKey(shortRoad);
    const int sBeyond1 = m.getSuperLinkKey(beyond1);
    const int sBeyond2 = m.getSuperLinkKey(beyond2);
    ASSERT_EQ(m.superLinks.at(sLong).links.size(), 5u);

    EXPECT_EQ(m.getAllAchievableSuperLinks(sEntry, 3, 3), (std::set<int>{sLong, sShort}));
    const std::set<int> all{sLong, sShort, sBeyond1, sBeyond2};
    EXPECT_EQ(m.getAllAchievableSuperLinks(sEntry, 3, 5), all);
    EXPECT_EQ(m.getAllAchievableSuperLinks(sEntry, 3, -1), all);
    EXPECT_EQ(m.getAllAchievableSuperLinks(sEntry, 1, 5), (std::set<int>{sLong, sShort}));
    EXPECT_TRUE(m.getAllAchievableSuperLinks(sEntry, 0, 5).empty());
    EXPECT_TRUE(m.getAllAchievableSuperLinks(9999, 3, 5).empty());
}

TEST(Queries, MissingLinksGiveEmptyResultsAndLeaveTheTablesAlone) {
    Diamond d;
    const Map before = d.m;
    const int missing = 777;
    EXPECT_TRUE(d.m.getLinksUntilNextJunction(missing, 3).empty());
    EXPECT_TRUE(d.m.getLinksUntilPreviousJunction(missing, 3).empty());
    EXPECT_TRUE(d.m.getAllAchievableLinks(missing, 3).empty());
    EXPECT_TRUE(d.m.getAllFormerLinks(missing, 3).empty());
    EXPECT_TRUE(d.m.getAllAchievableSuperLinks(missing, 3, 3).empty());
    EXPECT_TRUE(d.m.getLinksBetween(missing, d.to).empty());
    EXPECT_TRUE(d.m.getLinksBetween(d.from, missing).empty());
    EXPECT_FALSE(d.m.isAchievableWithoutAmbiguity(missing, d.to, 5).first);
    EXPECT_FALSE(d.m.isAchievableWithAmbiguity(missing, d.to, 5).first);
    EXPECT_FALSE(d.m.isAchievableWithAmbiguity(d.from, missing, 5).first);

    EXPECT_EQ(d.m.links.size(), before.links.size());
    EXPECT_EQ(d.m.graph.size(), before.graph.size());
    EXPECT_EQ(d.m.nodes.size(), before.nodes.size());
    EXPECT_EQ(d.m.superLinks.size(), before.superLinks.size());
    EXPECT_EQ(d.m.superNodes.size(), before.superNodes.size());
}
