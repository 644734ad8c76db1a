// Marchal matching on small hand-built maps whose geometry is exact in UTM metres.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "local_world.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

using MapMatching::MarchalBMatching;
using MapMatching::MarPath;
using MapMatching::MarPathSet;
using Pairs = std::vector<std::pair<int, int>>;
using namespace local_world;

namespace {

Route eastwardTrace(const std::vector<double>& xs, double y = 0.0) {
    std::vector<_node> pts;
    for (double x : xs) pts.push_back(point(x, y));
    return Route(pts, "t", "t.txt");
}

struct Result {
    std::vector<Pairs> full, pointsOnly;
    Records unmatched;
};

Result runMatcher(World& w, Route& r, bool forward) {
    MarchalBMatching m(&w.map, &r);
    m.run(forward, false);
    Result res;
    for (const auto& p : m.getMatched()) res.full.push_back(p->links);
    for (const auto& p : m.getShortMatched()) res.pointsOnly.push_back(p->links);
    res.unmatched = records(m);
    return res;
}

MarPath candidate(const Pairs& pairs, double s = 0.0) {
    MarPath p;
    for (const auto& pr : pairs) p.addLinkCandidate(pr);
    if (s != 0.0) p.updateScore(s);
    return p;
}

// The last links of the candidates a set hands out, in its order.
template <typename Set>
std::vector<int> lastLinks(const Set& set) {
    std::vector<int> out;
    for (const MarPath& p : set) out.push_back(p.lastLink());
    return out;
}

}  // namespace

TEST(MarPath, CountsRunsOfMatchedLinksAndScoresPerMatchedPoint) {
    EXPECT_EQ(candidate({{3, 10}, {-1, 11}, {4, 12}, {5, 12}}).countDistinctMatchedLinks(), 2);
    EXPECT_EQ(candidate({{3, 10}, {4, 12}, {5, 10}}).countDistinctMatchedLinks(), 3);

    MarPath p = candidate({{4, 10}, {-1, 11}, {5, 12}}, 3.0);
    EXPECT_EQ(p.matchedPoints, 2);
    p.updateScore(1.0);
    EXPECT_EQ((std::array<double, 3>{p.score, p.lastScore, p.avgScore}),
              (std::array<double, 3>{4.0, 1.0, 2.0}));

    // The history of a long trace is released without deep recursion.
    MarPath longPath({0, 1});
    for (int i = 1; i < 400000; ++i) {
        longPath.addLinkCandidate({i, 1 + i % 3});
        if (i % 2 == 0) longPath.linkCandidates.commit();
    }
    EXPECT_EQ(longPath.countDistinctMatchedLinks(), 400000);
    longPath = MarPath();
}

TEST(MarPath, OrderTreatsAveragesWithinOneMillionthAsEqual) {
    MarPathSet set;
    set.insert(candidate({{0, 1}, {1, 1}, {2, 1}}, 3.0));                 // avg 1.0, 3 pairs
    set.insert(candidate({{0, 2}, {1, 2}}, 2.0 + 1e-6));                  // avg 1.0000005, 2 pairs
    set.insert(candidate({{0, 3}, {1, 3}, {2, 3}}, 3.0));                 // equal to the first
    set.insert(candidate({{0, 4}}, 1.0 - 2e-6));                          // clearly smaller
    set.insert(candidate({{0, 5}, {1, 5}, {2, 5}, {3, 5}}, 4.0 + 1e-5));  // clearly larger
    EXPECT_EQ(lastLinks(set), (std::vector<int>{4, 2, 1, 3, 5}));
}

TEST(MarchalOutput, UnmatchedRecordsInTheirOrder) {
    Route r = eastwardTrace(std::vector<double>(20, 0.0));
    mapRepresentation::Map map;
    MarchalBMatching m(&map, &r);
    m.bestPaths = {candidate({{2, 10}, {5, 11}}), candidate({{8, 20}, {-1, 21}, {10, 22}}),
                   candidate({{11, 30}, {14, 31}})};
    EXPECT_EQ(
        records(m),
        (Records{
            {6, 7, 11, 20, 0, 1}, {0, 1, -1, 10, -1, 0}, {-1, -1, 22, 30, 1, 2}, {15, 19, 31, -1, 2, -1}}));
}

TEST(MarchalRun, EmptyAndFarTracesGiveOneUnmatchedStretch) {
    World w;
    w.chain(0, 100, 50, 0);
    Route empty, far = eastwardTrace({10, 20, 30, 40}, 500.0);
    EXPECT_EQ(runMatcher(w, empty, true).unmatched, (Records{{0, -1, -1, -1, -1, -1}}));
    const Result r = runMatcher(w, far, false);
    EXPECT_TRUE(r.full.empty());
    EXPECT_EQ(r.unmatched, (Records{{0, 3, -1, -1, -1, -1}}));
}

TEST(MarchalRun, OnePieceAndFourHopsAgreeInBothDirectionsAndNameTheirDocuments) {
    World w;
    const std::vector<int> L = w.chain(0, 200, 10, 0);
    // One point per link; then points 40 m apart, each four hops from the last, crossing three links.
    Route onePiece = eastwardTrace({5, 15, 25, 35, 45, 55, 65, 75, 85, 95}),
          hops = eastwardTrace({5, 45, 85, 125, 165});
    Pairs onePairs, hopsFull, hopsShort;
    for (int i = 0; i < 10; ++i) onePairs.push_back({i, L[i]});
    for (int i = 0; i < 17; ++i) hopsFull.push_back({i % 4 == 0 ? i / 4 : -1, L[i]});
    for (int i = 0; i < 5; ++i) hopsShort.push_back({i, L[4 * i]});
    for (bool forward : {true, false}) {
        const Result one = runMatcher(w, onePiece, forward), four = runMatcher(w, hops, forward);
        EXPECT_EQ(one.full, std::vector<Pairs>{onePairs}) << forward;
        EXPECT_TRUE(one.unmatched.empty());
        EXPECT_EQ(four.full, std::vector<Pairs>{hopsFull}) << forward;
        EXPECT_EQ(four.pointsOnly, std::vector<Pairs>{hopsShort}) << forward;
    }
    karvel_test::WorkDir dir;
    MarchalBMatching m(&w.map, &onePiece);
    m.run(true, true);
    m.run(false, true);
    EXPECT_TRUE(std::filesystem::exists(dir.file("data/match_marchal_t.kml")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("data/match_marchal_back_t.kml")));
    const auto sets = m.getCandidateLinkSets();
    ASSERT_EQ(sets.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(sets[9 - i].count(L[i])) << i;  // indexed by run position
}

// A piece is kept when it has more than three runs of links or more than six matched points.
TEST(MarchalRun, ShortPiecesAreDroppedUnlessLongOrVaried) {
    World w;
    const std::vector<int> L = w.chain(0, 200, 10, 0);
    const int longLink = w.chain(0, 200, 200, 100)[0];
    const struct {
        std::vector<double> xs;
        double y;
        int firstLink;  // of the one piece kept, -1 for none
    } cases[] = {
        {{5, 15, 25, 35, 45, 55, 65}, 100, longLink},  // seven points on one link
        {{5, 15, 25, 35, 45, 55}, 100, -1},            // six
        {{2, 5, 12, 22, 32, 35}, 0, L[0]},             // four links
        {{2, 5, 12, 15, 22, 25}, 0, -1},               // three
    };
    for (const auto& c : cases) {
        Route r = eastwardTrace(c.xs, c.y);
        const Result res = runMatcher(w, r, true);
        SCOPED_TRACE(testing::Message() << c.xs.size() << " points at " << c.y);
        EXPECT_EQ(res.full.empty() ? -1 : res.full[0].front().second, c.firstLink);
        EXPECT_EQ(res.full.size() + res.unmatched.size(), 1u);
    }
}

TEST(MarchalRun, TwentyMetresContinuesAndJustBeyondBreaksAtThatPoint) {
    World w;
    const int A = w.chain(0, 400, 400, 0)[0];
    const int B = w.chain(0, 400, 400, 35)[0];
    // Eight points on A, point 8 at the given distance from it, seven points on B.
    const struct {
        double offset;
        bool forward;
        int lastOnA;
    } cases[] = {{20.0, true, 8}, {20.01, true, 7}, {20.0, false, 7}};
    for (const auto& c : cases) {
        std::vector<_node> pts;
        for (int i = 0; i < 8; ++i) pts.push_back(point(10 + 10 * i, 0));
        pts.push_back(point(90, c.offset));
        for (int i = 0; i < 7; ++i) pts.push_back(point(100 + 10 * i, 35));
        Route r(pts, "t", "t.txt");
        const Result res = runMatcher(w, r, c.forward);
        SCOPED_TRACE(testing::Message() << c.offset << (c.forward ? " forwards" : " backwards"));
        ASSERT_EQ(res.full.size(), 2u);
        // Backwards the trace is met from its end: pieces still come in trace order, pairs ascending.
        // A breaking point starts the next piece.
        EXPECT_EQ((Pairs{res.full[0].front(), res.full[0].back(), res.full[1].front(), res.full[1].back()}),
                  (Pairs{{0, A}, {c.lastOnA, A}, {c.lastOnA + 1, B}, {15, B}}));
        EXPECT_EQ(res.unmatched, (Records{{-1, -1, A, B, 0, 1}}));
    }
}

TEST(MarchalRun, HeadingGateStopsAStartButNotAContinuation) {
    World w;
    const std::vector<int> L = w.chain(0, 200, 10, 0);
    std::vector<_node> pts;
    for (int i = 0; i < 10; ++i) pts.push_back(point(5 + 10 * i, 0, i == 0 || i == 5 ? kWest : kEast));
    Route r(pts, "t", "t.txt");
    const Result res = runMatcher(w, r, true);
    ASSERT_EQ(res.full.size(), 1u);
    EXPECT_EQ(res.full[0].front(), std::make_pair(1, L[1]));
    EXPECT_EQ(res.full[0][4], std::make_pair(5, L[5]));
    EXPECT_EQ(res.unmatched, (Records{{0, 0, -1, L[1], -1, 0}}));
}

TEST(MarchalRun, DeadEndAllowsNoUTurnAndBreaksBeyondTwentyMetres) {
    World w;
    const uint32_t a = w.node(0, 0), b = w.node(100, 0);
    const int east = w.link(a, b);
    w.link(b, a);  // the mirror is the only link leaving the end node
    Route r = eastwardTrace({10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 119, 121, 130});
    const Result res = runMatcher(w, r, true);
    ASSERT_EQ(res.full.size(), 1u);
    for (const auto& pr : res.full[0]) EXPECT_EQ(pr.second, east);
    EXPECT_EQ(res.full[0].back().first, 11);
    EXPECT_EQ(res.unmatched, (Records{{12, 13, east, -1, 0, -1}}));
}

TEST(MarchalSteps, FilterKeepsBestPerSuperLinkBelowFortyFiveMetres) {
    World w;
    const uint32_t n2 = w.node(100, 0), n3 = w.node(200, 0);
    const int a = w.link(w.node(0, 0), n2), b = w.link(n2, n3), c = w.link(n2, w.node(100, 100)),
              d = w.link(n3, w.node(300, 0));
    auto& map = w.map;
    ASSERT_EQ(map.getSuperLinkKey(b), map.getSuperLinkKey(d));
    ASSERT_NE(map.getSuperLinkKey(a), map.getSuperLinkKey(c));
    Route r;
    MarchalBMatching m(&map, &r);
    const auto setOf = [](const std::vector<std::pair<int, double>>& scored) {
        MarPathSet set;
        for (const auto& [link, score] : scored) set.insert(candidate({{0, link}}, score));
        return set;
    };
    // d shares b's super-link and is better; c at exactly 45 m is dropped.
    EXPECT_EQ(lastLinks(m.filterCandidates(setOf({{b, 3.0}, {d, 2.0}, {c, 45.0}, {a, 44.9}}))),
              (std::vector<int>{d, a}));
    // Equal candidates: the earlier wins within a super-link, and the result is in key order.
    std::vector<std::pair<int, int>> keyed = {
        {map.getSuperLinkKey(c), c}, {map.getSuperLinkKey(d), d}, {map.getSuperLinkKey(a), a}};
    std::sort(keyed.begin(), keyed.end());
    EXPECT_EQ(lastLinks(m.filterCandidates(setOf({{c, 5.0}, {d, 5.0}, {a, 5.0}, {b, 5.0}}))),
              (std::vector<int>{keyed[0].second, keyed[1].second, keyed[2].second}));

    MarPathSet many;
    for (int i = 0; i < 40; ++i) many.insert(candidate({{0, a}}, 1.0 + i));
    m.saveBestPaths(many);
    ASSERT_EQ(m.paths.size(), 35u);
    EXPECT_DOUBLE_EQ(m.paths.rbegin()->score, 35.0);
}
