// Marchal matching on small hand-built maps whose geometry is exact in UTM metres.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <numbers>

#include "geometry/GPSPoint.h"
#include "local_world.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

using MapMatching::MarchalBMatching;
using MapMatching::MarPath;
using MapMatching::MarPathSet;
using Pairs = std::vector<std::pair<int, int>>;
using namespace local_world;

namespace {

Route trace(const std::vector<_node>& points) {
    return Route(points, "t", "t.txt");
}

Route eastwardTrace(const std::vector<double>& xs, double y = 0.0) {
    std::vector<_node> pts;
    for (double x : xs) pts.push_back(point(x, y));
    return trace(pts);
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

}  // namespace

TEST(MarPath, CountsRunsOfMatchedLinksAndScoresPerMatchedPoint) {
    EXPECT_EQ(MarPath().countDistinctMatchedLinks(), 0);
    EXPECT_EQ(candidate({{3, 10}, {-1, 11}, {4, 12}, {5, 12}}).countDistinctMatchedLinks(), 2);
    EXPECT_EQ(candidate({{3, 10}, {4, 12}, {5, 10}}).countDistinctMatchedLinks(), 3);

    MarPath p({4, 10});
    p.addLinkCandidate({-1, 11});
    p.addLinkCandidate({5, 12});
    EXPECT_EQ(p.matchedPoints, 2);
    p.updateScore(3.0);
    p.updateScore(1.0);
    EXPECT_DOUBLE_EQ(p.score, 4.0);
    EXPECT_DOUBLE_EQ(p.lastScore, 1.0);
    EXPECT_DOUBLE_EQ(p.avgScore, 2.0);
}

TEST(MarPath, CopiesShareHistoryButStayIndependent) {
    MarPath base({0, 1});
    for (int i = 1; i < 10; ++i) {
        base.addLinkCandidate({i, 1});
        base.linkCandidates.commit();
    }
    MarPath a = base, b = base;
    a.addLinkCandidate({10, 2});
    b.addLinkCandidate({-1, 3});
    b.linkCandidates.commit();
    b.addLinkCandidate({10, 4});
    EXPECT_EQ(base.linkCandidates.size(), 10u);
    EXPECT_EQ(a.linkCandidates.toVector().back(), std::make_pair(10, 2));
    EXPECT_EQ(b.linkCandidates.toVector()[10], std::make_pair(-1, 3));
    EXPECT_EQ(b.linkCandidates.front(), std::make_pair(0, 1));
    EXPECT_EQ(base.linkCandidates.back(), std::make_pair(9, 1));

    // A history of a long trace is released without deep recursion.
    MarPath longPath({0, 1});
    for (int i = 1; i < 400000; ++i) {
        longPath.addLinkCandidate({i, 1 + i % 3});
        if (i % 2 == 0) longPath.linkCandidates.commit();
    }
    EXPECT_EQ(longPath.countDistinctMatchedLinks(), 400000);
    longPath = MarPath();
    EXPECT_TRUE(longPath.linkCandidates.empty());
}

TEST(MarPath, OrderTreatsAveragesWithinOneMillionthAsEqual) {
    MarPathSet set;
    set.insert(candidate({{0, 1}, {1, 1}, {2, 1}}, 3.0));                 // avg 1.0, 3 pairs
    set.insert(candidate({{0, 2}, {1, 2}}, 2.0 + 1e-6));                  // avg 1.0000005, 2 pairs
    set.insert(candidate({{0, 3}, {1, 3}, {2, 3}}, 3.0));                 // equal to the first
    set.insert(candidate({{0, 4}}, 1.0 - 2e-6));                          // clearly smaller
    set.insert(candidate({{0, 5}, {1, 5}, {2, 5}, {3, 5}}, 4.0 + 1e-5));  // clearly larger
    std::vector<int> order;
    for (const MarPath& p : set) order.push_back(p.lastLink());
    EXPECT_EQ(order, (std::vector<int>{4, 2, 1, 3, 5}));
}

TEST(MarchalOutput, GetPathAndUnmatchedRecordsInTheirOrder) {
    Route r = eastwardTrace(std::vector<double>(20, 0.0));
    mapRepresentation::Map map;
    MarchalBMatching m(&map, &r);

    const Path shortForm = m.getPath(candidate({{3, 10}, {-1, 11}, {4, 12}}), false);
    EXPECT_EQ(shortForm.links, (Pairs{{3, 10}, {4, 12}}));
    EXPECT_EQ(shortForm.startIndex, 3);
    EXPECT_EQ(shortForm.lastIndex, 4);
    EXPECT_EQ(m.getPath(candidate({{3, 10}, {-1, 11}, {4, 12}}), true).links.size(), 3u);

    m.bestPaths = {candidate({{2, 10}, {5, 11}}), candidate({{8, 20}, {-1, 21}, {10, 22}}),
                   candidate({{11, 30}, {14, 31}})};
    EXPECT_EQ(
        records(m),
        (Records{
            {6, 7, 11, 20, 0, 1}, {0, 1, -1, 10, -1, 0}, {-1, -1, 22, 30, 1, 2}, {15, 19, 31, -1, 2, -1}}));
    ASSERT_EQ(m.getMatched().size(), 3u);
    EXPECT_EQ(m.getShortMatched()[1]->links, (Pairs{{8, 20}, {10, 22}}));
}

TEST(MarchalRun, EmptyAndFarTracesGiveOneUnmatchedStretch) {
    World w;
    w.chain(0, 100, 50, 0);
    Route empty;
    Result r = runMatcher(w, empty, true);
    EXPECT_TRUE(r.full.empty());
    EXPECT_EQ(r.unmatched, (Records{{0, -1, -1, -1, -1, -1}}));

    Route far = eastwardTrace({10, 20, 30, 40}, 500.0);
    r = runMatcher(w, far, false);
    EXPECT_TRUE(r.full.empty());
    EXPECT_EQ(r.unmatched, (Records{{0, 3, -1, -1, -1, -1}}));
}

TEST(MarchalRun, OnePieceAndFourHopsAgreeInBothDirections) {
    World w;
    const std::vector<int> L = w.chain(0, 200, 10, 0);

    Route onePiece = eastwardTrace({5, 15, 25, 35, 45, 55, 65, 75, 85, 95});
    for (bool forward : {true, false}) {
        const Result r = runMatcher(w, onePiece, forward);
        ASSERT_EQ(r.full.size(), 1u) << forward;
        EXPECT_TRUE(r.unmatched.empty());
        Pairs expected;
        for (int i = 0; i < 10; ++i) expected.push_back({i, L[i]});
        EXPECT_EQ(r.full[0], expected);
    }

    // Points 40 m apart on 10 m links: each is four hops from the last, crossing three links.
    Route hops = eastwardTrace({5, 45, 85, 125, 165});
    Pairs expectedFull, expectedShort;
    for (int i = 0; i < 17; ++i) expectedFull.push_back({i % 4 == 0 ? i / 4 : -1, L[i]});
    for (int i = 0; i < 5; ++i) expectedShort.push_back({i, L[4 * i]});
    for (bool forward : {true, false}) {
        const Result r = runMatcher(w, hops, forward);
        ASSERT_EQ(r.full.size(), 1u) << forward;
        EXPECT_EQ(r.full[0], expectedFull) << forward;
        EXPECT_EQ(r.pointsOnly[0], expectedShort) << forward;
    }

    MarchalBMatching m(&w.map, &onePiece);
    m.run(false, false);
    const auto sets = m.getCandidateLinkSets();
    ASSERT_EQ(sets.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(sets[9 - i].count(L[i])) << i;  // indexed by run position
}

TEST(MarchalRun, ShortPiecesAreDroppedUnlessLongOrVaried) {
    World w;
    w.chain(0, 200, 10, 0);
    const int longLink = w.chain(0, 200, 200, 100)[0];

    Route seven = eastwardTrace({5, 15, 25, 35, 45, 55, 65}, 100);
    Result r = runMatcher(w, seven, true);
    ASSERT_EQ(r.full.size(), 1u);
    EXPECT_EQ(r.full[0].front(), std::make_pair(0, longLink));

    Route six = eastwardTrace({5, 15, 25, 35, 45, 55}, 100);
    EXPECT_TRUE(runMatcher(w, six, true).full.empty());

    Route fourLinks = eastwardTrace({2, 5, 12, 22, 32, 35});
    EXPECT_EQ(runMatcher(w, fourLinks, true).full.size(), 1u);

    Route threeLinks = eastwardTrace({2, 5, 12, 15, 22, 25});
    r = runMatcher(w, threeLinks, true);
    EXPECT_TRUE(r.full.empty());
    EXPECT_EQ(r.unmatched, (Records{{0, 5, -1, -1, -1, -1}}));
}

TEST(MarchalRun, TwentyMetresContinuesAndJustBeyondBreaksAtThatPoint) {
    World w;
    const int A = w.chain(0, 400, 400, 0)[0];
    const int B = w.chain(0, 400, 400, 35)[0];
    auto build = [](double offset) {
        std::vector<_node> pts;
        for (int i = 0; i < 8; ++i) pts.push_back(point(10 + 10 * i, 0));
        pts.push_back(point(90, offset));
        for (int i = 0; i < 7; ++i) pts.push_back(point(100 + 10 * i, 35));
        return trace(pts);
    };
    Route exact = build(20.0), beyond = build(20.01);

    Result r = runMatcher(w, exact, true);
    ASSERT_EQ(r.full.size(), 2u);
    EXPECT_EQ(r.full[0].back(), std::make_pair(8, A));
    EXPECT_EQ(r.full[1].front(), std::make_pair(9, B));
    EXPECT_EQ(r.unmatched, (Records{{-1, -1, A, B, 0, 1}}));

    r = runMatcher(w, beyond, true);
    ASSERT_EQ(r.full.size(), 2u);
    EXPECT_EQ(r.full[0].back(), std::make_pair(7, A));
    EXPECT_EQ(r.full[1].front(), std::make_pair(8, B));  // the breaking point starts the next piece

    // Backwards the trace is met from its end: pieces still come in trace order, pairs ascending.
    r = runMatcher(w, exact, false);
    ASSERT_EQ(r.full.size(), 2u);
    EXPECT_EQ(r.full[0].front(), std::make_pair(0, A));
    EXPECT_EQ(r.full[0].back(), std::make_pair(7, A));
    EXPECT_EQ(r.full[1].front(), std::make_pair(8, B));
    EXPECT_EQ(r.full[1].back(), std::make_pair(15, B));
}

TEST(MarchalRun, HeadingGateStopsAStartButNotAContinuation) {
    World w;
    const std::vector<int> L = w.chain(0, 200, 10, 0);
    std::vector<_node> pts;
    for (int i = 0; i < 10; ++i) pts.push_back(point(5 + 10 * i, 0));
    pts[0].heading = kWest;
    pts[5].heading = kWest;
    Route r = trace(pts);
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
    const uint32_t n1 = w.node(0, 0), n2 = w.node(100, 0), n3 = w.node(200, 0), n4 = w.node(100, 100),
                   n5 = w.node(300, 0);
    const int a = w.link(n1, n2), b = w.link(n2, n3), c = w.link(n2, n4), d = w.link(n3, n5);
    auto& map = w.map;
    ASSERT_EQ(map.getSuperLinkKey(b), map.getSuperLinkKey(d));
    ASSERT_NE(map.getSuperLinkKey(a), map.getSuperLinkKey(c));
    Route r;
    MarchalBMatching m(&map, &r);

    MarPathSet in;
    in.insert(candidate({{0, b}}, 3.0));
    in.insert(candidate({{0, d}}, 2.0));   // same super-link, better: replaces b
    in.insert(candidate({{0, c}}, 45.0));  // exactly 45 m: dropped
    in.insert(candidate({{0, a}}, 44.9));
    std::vector<int> out;
    for (const MarPath& p : m.filterCandidates(in)) out.push_back(p.lastLink());
    EXPECT_EQ(out, (std::vector<int>{d, a}));

    // Equal candidates: the earlier wins within a super-link, and the result is in key order.
    MarPathSet ties;
    ties.insert(candidate({{0, c}}, 5.0));
    ties.insert(candidate({{0, d}}, 5.0));
    ties.insert(candidate({{0, a}}, 5.0));
    ties.insert(candidate({{0, b}}, 5.0));
    std::vector<std::pair<int, int>> keyed = {
        {map.getSuperLinkKey(c), c}, {map.getSuperLinkKey(d), d}, {map.getSuperLinkKey(a), a}};
    std::sort(keyed.begin(), keyed.end());
    out.clear();
    for (const MarPath& p : m.filterCandidates(ties)) out.push_back(p.lastLink());
    EXPECT_EQ(out, (std::vector<int>{keyed[0].second, keyed[1].second, keyed[2].second}));

    MarPathSet many;
    for (int i = 0; i < 40; ++i) many.insert(candidate({{0, a}}, 1.0 + i));
    m.saveBestPaths(many);
    ASSERT_EQ(m.paths.size(), 35u);
    EXPECT_DOUBLE_EQ(m.paths.rbegin()->score, 35.0);
}

TEST(MarchalRun, WritesTheMatchDocumentNamedByDirection) {
    World w;
    w.chain(0, 200, 10, 0);
    Route r = eastwardTrace({5, 15, 25, 35, 45, 55, 65, 75});
    karvel_test::WorkDir dir;
    MarchalBMatching m(&w.map, &r);
    m.run(true, true);
    m.run(false, true);
    EXPECT_NE(karvel_test::readFile(dir.file("data/match_marchal_t.kml")).find("</kml>"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.file("data/match_marchal_back_t.kml")));
}
