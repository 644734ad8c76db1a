// Marchal matching on small hand-built maps whose geometry is exact in UTM metres, and its fast step
// against the exact one (also where averages chain within the order's tolerance, as on long pieces).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <set>
#include <tuple>

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
    std::vector<std::set<int>> candidates;
    bool operator==(const Result&) const = default;
};

Result runMatcher(World& w, Route& r, bool forward, bool exact = false) {
    MarchalBMatching m(&w.map, &r);
    m.exactOnly = exact;
    m.run(forward, false);
    Result res{{}, {}, records(m), m.getCandidateLinkSets()};
    for (const auto& p : m.getMatched()) res.full.push_back(p->links);
    for (const auto& p : m.getShortMatched()) res.pointsOnly.push_back(p->links);
    return res;
}

MarPath candidate(const Pairs& pairs, double s = 0.0) {
    MarPath p;
    for (const auto& pr : pairs) p.addLinkCandidate(pr);
    if (s != 0.0) p.updateScore(s);
    return p;
}

// The last links of the candidates a set hands out, in its order.
std::vector<int> lastLinks(const MarPathSet& set) {
    std::vector<int> out;
    for (const MarPath& p : set) out.push_back(p.lastLink());
    return out;
}

constexpr int kJunctions = 6;
constexpr double kBlock = 120.0;
constexpr int kShapes = 4;  // links per block

// A two-way grid; nodes by grid position (in shape steps), made on first use.
struct Grid {
    World w;
    std::map<std::pair<int, int>, uint32_t> ids;

    uint32_t at(int i, int j) {
        auto [it, added] = ids.try_emplace({i, j}, 0);
        if (added) it->second = w.node(i * kBlock / kShapes, j * kBlock / kShapes);
        return it->second;
    }
    Grid() {
        const int n = (kJunctions - 1) * kShapes;
        for (int line = 0; line <= n; line += kShapes)
            for (int k = 0; k < n; ++k)
                for (const auto& [a, b] :
                     {std::pair{at(k, line), at(k + 1, line)}, std::pair{at(line, k), at(line, k + 1)}}) {
                    w.link(a, b);
                    w.link(b, a);
                }
    }
};

// A drive along the grid lines, turning at random at junctions (back at the edge), one noisy fix
// every `spacing` metres and now and then an outlier off every road.
Route drive(unsigned seed, int points, double spacing, double noise) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, noise);
    const double side = (kJunctions - 1) * kBlock;
    std::vector<std::pair<double, double>> corners{{0, 0}};
    for (double dx = 1, dy = 0; corners.size() < points * spacing / kBlock + 2;) {
        const int turn = static_cast<int>(rng() % 3);  // straight, left, right
        if (turn == 1) std::tie(dx, dy) = std::pair(-dy, dx);
        if (turn == 2) std::tie(dx, dy) = std::pair(dy, -dx);
        const auto [x, y] = corners.back();
        if (x + dx * kBlock < 0 || x + dx * kBlock > side || y + dy * kBlock < 0 || y + dy * kBlock > side)
            std::tie(dx, dy) = std::pair(-dx, -dy);
        corners.push_back({x + dx * kBlock, y + dy * kBlock});
    }
    Route r;
    for (int k = 0; k < points; ++k) {
        const size_t block = static_cast<size_t>(k * spacing / kBlock);
        const double along = k * spacing - block * kBlock;
        const auto [x0, y0] = corners[block];
        const double dx = (corners[block + 1].first - x0) / kBlock,
                     dy = (corners[block + 1].second - y0) / kBlock;
        const double heading = std::atan2(dx, dy) + (dx < 0 ? 2 * std::numbers::pi : 0);
        r.nodes.push_back(k % 37 == 5
                              ? point(x0 + dx * along + 60, y0 + dy * along + 60)
                              : point(x0 + dx * along + jitter(rng), y0 + dy * along + jitter(rng), heading));
    }
    return r;
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

TEST(MarchalRun, OnePieceAndFourHopsAgreeInBothDirections) {
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
    const auto sets = runMatcher(w, onePiece, false).candidates;
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
    Pairs onEast;
    for (int i = 0; i < 12; ++i) onEast.push_back({i, east});
    EXPECT_EQ(res.full, std::vector<Pairs>{onEast});
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
}

// The fast step against the exact one: on street grids with shape nodes (many candidates with equal
// averages, so ties and near-ties are common) and noisy drives, both give the same pieces,
// unmatched stretches and candidate link sets, forwards and backwards.
TEST(MarchalFastStep, SameResultAsTheExactStep) {
    Grid grid;
    const struct { double spacing, noise; } settings[] = {{10.0, 0.0}, {10.0, 4.0}, {25.0, 8.0}, {3.0, 2.0}};
    for (const auto& s : settings)
        for (unsigned seed = 1; seed <= 4; ++seed) {
            Route route = drive(seed, 300, s.spacing, s.noise);
            for (const bool forward : {true, false}) {
                const Result fast = runMatcher(grid.w, route, forward),
                             exact = runMatcher(grid.w, route, forward, true);
                EXPECT_FALSE(exact.full.empty());
                EXPECT_TRUE(fast == exact) << "spacing " << s.spacing << " noise " << s.noise << " seed "
                                           << seed << (forward ? " forwards" : " backwards");
            }
        }
}

// Parallel one-way roads whose distances from a drive along y = 0 differ by 0.4 um: their candidates'
// averages chain (neighbours closer than 1e-6, the ends not), so sorting cannot decide the order. The
// roads are made out of that order, so their super-link keys are too; in the first row the exact step
// keeps the first road ahead of the nearer ones. Fixes on the roads' nodes (every 12.5 m) tie a child
// that stays on its link with the one that moves on: roads 0.3 um apart form one group where the
// fast step decides the tie itself; chained ones leave it to the exact order over every child.
TEST(MarchalLongPiece, ChainedAndTiedAveragesOrderedAsTheExactStep) {
    const std::vector<double> chained{3.0000008, -3.0000004, 3.0, -3.0000012};
    const struct {
        std::vector<double> offsets;
        double first, end;  // fixes every 10 m, or every 12.5 m from 12.5
        int onAllChildren;  // rebuilt on every child: 1 yes, 0 no, -1 not asked (order rebuilt often)
    } cases[] = {
        {chained, 5, 300, -1},
        {{3.0000012, -3.0, 3.0000008, -3.0000004}, 5, 300, -1},
        {{-3.0, 3.0000004, -3.0000008, 3.0000012}, 5, 300, -1},
        {{3.0000006, 3.0, -3.0000003}, 12.5, 350, 0},
        {chained, 12.5, 350, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        World w;
        for (const double y : c.offsets) w.chain(0.0, 400.0, 25.0, y);
        Route route;
        for (double x = c.first; x < c.end; x += c.first == 5 ? 10.0 : 12.5)
            route.nodes.push_back(point(x, 0.0));
        std::vector<Pairs> results[2];
        for (const bool exact : {false, true}) {
            MarchalBMatching m(&w.map, &route);
            m.exactOnly = exact;
            m.run(true, false);
            for (const auto& p : m.getMatched()) results[exact].push_back(p->links);
            if (exact) continue;
            if (c.onAllChildren < 0) {
                EXPECT_GT(m.rebuiltOrderSteps, 10u);
            } else {
                EXPECT_EQ(m.rebuiltOnAllChildren > 0, c.onAllChildren == 1);
            }
        }
        ASSERT_EQ(results[0].size(), 1u);
        EXPECT_EQ(results[0], results[1]);
    }
}
