// The hybrid matcher stage by stage, on small hand-built maps whose geometry is exact in UTM metres.
// Marchal matching, and its fast step against the exact one (also where averages chain within the
// order's tolerance, as on long pieces). The comparison of the two runs, segments, output paths and
// unmatched records; the compact per-point candidate links against one ordered set per point. The
// genetic-only matcher (ambiguity, segmentation, repair of single unmatched points, removal of
// single-link islands, paths and unmatched records, and whole seeded runs on a small map whose answer
// is known and on degenerate traces). Candidate distances and the genetic population; the generator
// gives the C library's rand() sequence draw for draw, and its integer thresholds decide
// "draw / 2147483647.0 < p" exactly as the division does.
#include "matching/KARVEL.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numbers>
#include <random>
#include <set>
#include <tuple>

#include "geometry/geometry.h"
#include "local_world.h"
#include "matching/GenMapMatching.h"
#include "matching/c_random.h"
#include "matching/candidate_links.h"
#include "matching/matching_genetic.h"
#include "matching/matching_genetic_util.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

using MapMatching::_params;
using MapMatching::CandidateLinks;
using MapMatching::CRandom;
using MapMatching::Distances;
using MapMatching::GenMapMatching;
using MapMatching::Individual;
using MapMatching::KARVEL;
using MapMatching::MarchalBMatching;
using MapMatching::MarPath;
using MapMatching::MarPathSet;
using MapMatching::Population;
using Links = std::vector<int>;
using Pairs = std::vector<std::pair<int, int>>;
using Segments = Pairs;
using namespace local_world;

namespace {

// Points along y at the given x, heading east; the trace is named abc.
Route eastwardTrace(const std::vector<double>& xs, double y = 0.0) {
    std::vector<_node> pts;
    for (double x : xs) pts.push_back(point(x, y));
    return Route(pts, "abc", "abc.txt");
}
// n points 5 m from the start, `spacing` apart.
Route eastward(int n, double spacing = 10.0) {
    std::vector<double> xs;
    for (int i = 0; i < n; ++i) xs.push_back(5.0 + i * spacing);
    return eastwardTrace(xs);
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

namespace {

void expectSame(const CandidateLinks& links, const std::vector<std::set<int>>& oracle) {
    ASSERT_EQ(links.size(), oracle.size());
    for (std::size_t k = 0; k < oracle.size(); ++k) {
        EXPECT_EQ(links.count(k), oracle[k].size()) << "point " << k;
        std::vector<int> listed;
        links.forEach(k, [&listed](int link) { listed.push_back(link); });
        EXPECT_EQ(listed, std::vector<int>(oracle[k].begin(), oracle[k].end())) << "point " << k;
        std::set<int> copied{INT_MIN}, expected = oracle[k];
        links.copyTo(k, copied);
        expected.insert(INT_MIN);
        EXPECT_EQ(copied, expected) << "point " << k;
    }
}

// Segments of a trace of n points whose ambiguity is `rest` except at the listed points, which
// have the other value (0.2 calm, 2.0 busy).
Segments split(int n, std::initializer_list<int> other, double rest = 0.2) {
    std::vector<double> s(static_cast<size_t>(n), rest);
    for (int p : other) s[static_cast<size_t>(p)] = rest < 1 ? 2.0 : 0.2;
    return GenMapMatching::segmentsFromAmbiguity(s);
}

// Two-way roads: main (east, three links to the junction at (300, 0)), side (north from the
// junction) and the main road's continuation east; a one-way road 16 m north of main. The drive
// goes east along main, 2 m off it, and turns north up side.
struct Junction {
    World w;
    std::vector<int> main, side;
    Route route;

    Junction() {
        const auto twoWay = [&](const std::vector<uint32_t>& nodes) {
            w.road({nodes.rbegin(), nodes.rend()});
            return w.road(nodes);
        };
        const uint32_t j = w.node(300, 0);
        main = twoWay({w.node(0, 0), w.node(100, 0), w.node(200, 0), j});
        side = twoWay({j, w.node(300, 100), w.node(300, 200), w.node(300, 300)});
        twoWay({j, w.node(400, 0), w.node(500, 0)});
        const uint32_t d = w.node(150, 16);
        w.road({w.node(0, 16), d, w.node(300, 16)});
        std::vector<_node> pts;
        for (int i = 0; i < 30; ++i) pts.push_back(point(5.0 + 10 * i, 2.0, kEast));
        for (int i = 0; i < 30; ++i) pts.push_back(point(298.0, 5.0 + 10 * i, kNorth));
        route = Route(pts, "junction", "junction.txt");
    }
};

}  // namespace

TEST(KarvelSegments, ClustersAreWidenedAndBothEndsCovered) {
    World w;
    auto segmentsFor = [&](int n, std::vector<int> points) {
        Route r = eastward(n);
        KARVEL k(&w.map, &r, false);
        return k.buildAmbiguousSegments(points);
    };
    // Runs that agree everywhere still leave both ends ambiguous.
    EXPECT_EQ(segmentsFor(20, {0, 1, 2, 17, 18, 19}), (Segments{{0, 4}, {15, 19}}));
    EXPECT_EQ(segmentsFor(8, {0, 1, 2, 5, 6, 7}), (Segments{{0, 7}}));
    EXPECT_EQ(segmentsFor(9, {0, 1, 2, 6, 7, 8}), (Segments{{0, 4}, {4, 8}}));
    // Unsorted input is sorted; a gap of exactly 3 keeps one cluster, 4 starts another.
    EXPECT_EQ(segmentsFor(40, {21, 0, 2, 1, 24, 37, 38, 39, 28}),
              (Segments{{0, 4}, {19, 26}, {26, 30}, {35, 39}}));
    // Without ends the first and last stretches are added.
    EXPECT_EQ(segmentsFor(40, {6, 7}), (Segments{{0, 3}, {4, 9}, {36, 39}}));
    EXPECT_EQ(segmentsFor(20, {0, 1, 2, 15}), (Segments{{0, 4}, {13, 19}}));  // ends within four: stretched
    EXPECT_EQ(segmentsFor(5, {}), (Segments{{0, 4}}));
    EXPECT_EQ(segmentsFor(12, {}), (Segments{{0, 3}, {8, 11}}));
}

TEST(KarvelCompare, BackwardRunAgreesOnlyOnTouchingLinksOfOneSuperLink) {
    World w;
    const std::vector<int> road = w.chain(0, 300, 60, 0);  // one road of five links
    const int other = w.link(w.node(0, 5), w.node(300, 5));
    Route r = eastward(30);
    KARVEL k(&w.map, &r, false);
    std::vector<std::pair<int, int>> fwd, bwd;
    for (int p = 0; p < 30; ++p) fwd.emplace_back(p, road[1]);
    bwd = fwd;
    bwd[5].second = road[2];   // follows the forward link on the same road: agreement
    bwd[7].second = road[0];   // precedes it: agreement
    bwd[14].second = road[3];  // same road but not touching: disagreement
    bwd[20].second = other;    // another road: disagreement
    std::vector<std::set<int>> candidates(30);
    std::vector<std::unique_ptr<Path>> f, b;
    f.push_back(pathOf(fwd));
    b.push_back(pathOf(bwd));
    const std::vector<int> ambiguous = k.reconstructMatchedTrace(candidates, f, b);
    EXPECT_EQ(
        (std::vector<int>{k.matchedLinks[5], k.matchedLinks[7], k.matchedLinks[14], k.matchedLinks[20]}),
        (std::vector<int>{road[1], road[1], -1, -1}));
    // Both runs' links stay candidates of a disputed point.
    EXPECT_EQ(candidates[14].count(road[1]) + candidates[14].count(road[3]), 2u);
    // Disputed points are ambiguous (and so are points within three of them), both ends always.
    const std::set<int> marked(ambiguous.begin(), ambiguous.end());
    for (int p : {14, 20, 0, 1, 2, 27, 28, 29}) EXPECT_TRUE(marked.count(p)) << p;
    EXPECT_FALSE(marked.count(5) || marked.count(7));
}

TEST(KarvelCompare, ShortHolesGetNearLinksButLongOnesDoNot) {
    for (const int holeLength : {4, 5}) {
        World w;
        const int road = w.link(w.node(0, 0), w.node(400, 0));
        Route r = eastward(30);
        KARVEL k(&w.map, &r, false);
        std::vector<std::pair<int, int>> fwd;
        for (int p = 0; p < 30; ++p)
            if (p < 10 || p >= 10 + holeLength) fwd.emplace_back(p, road);
        // Two pieces in each run.
        std::vector<std::unique_ptr<Path>> f, b;
        for (auto* run : {&f, &b}) {
            run->push_back(pathOf({fwd.begin(), fwd.begin() + 10}));
            run->push_back(pathOf({fwd.begin() + 10, fwd.end()}));
        }
        std::vector<std::set<int>> candidates(30);
        k.reconstructMatchedTrace(candidates, f, b);
        // The middle of the hole is only given near links when the hole is short.
        EXPECT_EQ(candidates[11].count(road), holeLength == 4 ? 1u : 0u) << holeLength;
    }
}

TEST(KarvelOutput, ConnectedLinksGiveOnePathWithCrossedLinks) {
    World w;
    const std::vector<int> road = w.chain(0, 100, 25, 0);
    Route r = eastward(5, 22.0);
    KARVEL k(&w.map, &r, false);
    // Points on a, a, b, d, d: c is crossed between points 2 and 3, inside the segment.
    k.matchedLinks = {road[0], road[0], road[1], road[3], road[3]};
    k.constructOutput({}, {}, Segments{{0, 4}});
    ASSERT_EQ(k.matched.size(), 1u);
    EXPECT_EQ(k.matched[0]->links,
              (std::vector<std::pair<int, int>>{
                  {0, road[0]}, {1, road[0]}, {2, road[1]}, {-1, road[2]}, {3, road[3]}, {4, road[3]}}));
    EXPECT_TRUE(records(k).empty());

    // At a gap point the missing link is not filled in and the path breaks there.
    k.constructOutput({2}, {}, Segments{{0, 4}});
    ASSERT_EQ(k.matched.size(), 2u);
    EXPECT_EQ(records(k), (Records{{-1, -1, road[1], road[3], 0, 1}}));
}

TEST(KarvelRun, StraightRoadIsOnePathTinyTracesAreSafeAndTheLogIsNamedAfterTheTrace) {
    World w;
    const int road = w.link(w.node(0, 0), w.node(500, 0));
    karvel_test::WorkDir dir;
    MapMatching::setFixedRandomSeed(11u);
    for (int n : {40, 0, 1, 2}) {
        Route r = eastward(n);
        KARVEL k(&w.map, &r, n == 40);
        k.run(false);
        if (n == 0) {
            EXPECT_EQ(records(k), (Records{{0, -1, -1, -1, -1, -1}}));
        }
        if (n != 40) continue;
        const auto p = k.getShortMatched();
        ASSERT_EQ(p.size(), 1u);
        EXPECT_EQ(std::pair(p[0]->startIndex, p[0]->lastIndex), std::pair(0, 39));
        for (const auto& pair : p[0]->links) EXPECT_EQ(pair.second, road);
        EXPECT_TRUE(records(k).empty());
    }
    MapMatching::setFixedRandomSeed(std::nullopt);
    EXPECT_GT(std::filesystem::file_size(dir.file("data/abc_genetic_log.txt")), 0u);
}

TEST(CandidateLinks, SameAsOrderedSetsOnRandomInserts) {
    // Few distinct links per point, so repeats, second links and long lists all occur; the ids
    // include -1, 0 and the extremes.
    struct Case {
        unsigned seed;
        std::size_t points;
        int inserts;
        int linkRange;
    };
    for (const Case& c :
         {Case{1, 1, 50, 3}, Case{2, 40, 60, 2}, Case{3, 200, 1500, 12}, Case{4, 50, 4000, 300}}) {
        std::mt19937 rng(c.seed);
        std::uniform_int_distribution<std::size_t> point(0, c.points - 1);
        std::uniform_int_distribution<int> link(-1, c.linkRange);
        CandidateLinks links(c.points);
        std::vector<std::set<int>> oracle(c.points);
        for (int k = 0; k < c.inserts; ++k) {
            const std::size_t p = point(rng);
            int l = link(rng);
            if (k % 97 == 0) l = (k % 2 == 0) ? INT_MAX : INT_MIN + 1;
            links.insert(p, l);
            oracle[p].insert(l);
        }
        SCOPED_TRACE(c.seed);
        expectSame(links, oracle);
        expectSame(CandidateLinks::fromSets(oracle), oracle);
    }
}

TEST(GenOnlySegments, CutsAtCalmPointsWithinFiftyAndLeavesNoShortTail) {
    EXPECT_TRUE(GenMapMatching::segmentsFromAmbiguity({}).empty());
    // Four calm points ending six before the last: the segment ends at the second of them; five
    // before the last is too close.
    EXPECT_EQ(split(30, {27, 28, 29}), (Segments{{0, 24}, {25, 29}}));
    EXPECT_EQ(split(30, {28, 29}), (Segments{{0, 29}}));
    EXPECT_EQ(split(120, {}), (Segments{{0, 49}, {50, 99}, {100, 119}}));
    EXPECT_EQ(split(120, {47, 48, 49, 50, 51}), (Segments{{0, 44}, {45, 94}, {95, 119}}));
    // Later segments take the rest rather than leave four points or fewer; the first does not.
    EXPECT_EQ(split(104, {}, 2.0), (Segments{{0, 49}, {50, 103}}));
    EXPECT_EQ(split(105, {}, 2.0), (Segments{{0, 49}, {50, 99}, {100, 104}}));
    EXPECT_EQ(split(52, {}, 2.0), (Segments{{0, 49}, {50, 51}}));
    // The search goes no closer than four points to the segment's start.
    EXPECT_EQ(split(120, {4, 5, 6, 7}, 2.0), (Segments{{0, 5}, {6, 55}, {56, 105}, {106, 119}}));
    EXPECT_EQ(split(120, {3, 4, 5, 6}, 2.0), (Segments{{0, 49}, {50, 99}, {100, 119}}));
}

TEST(GenOnlyRepair, SingleUnmatchedPointsTakeTheSameOrTheNearerConnectedLink) {
    World w;
    const uint32_t mid = w.node(100, 0);
    const int a = w.link(w.node(0, 0), mid);
    const int b = w.link(mid, w.node(200, 0));
    const int c = w.link(w.node(0, 50), w.node(200, 50));
    std::vector<_node> pts;
    for (double x : {50, 90, 150, 100, 150, 110, 150, 20, 150, 40, 60, 80, 50, 110, 150, 50, 100, 150})
        pts.push_back(point(x, 0));
    Route r(pts, "abc", "abc.txt");
    GenMapMatching g(&w.map, &r, false);
    // Repaired: 1 (a then b, nearer a), 3 (b, b), 13 (nearer b), 16 (a tie at the shared node: the later
    // link). Kept: 5 and 7 (not connected), 9 and 10 (two in a row).
    Links genes = {a, -1, b, -1, b, -1, c, -1, a, -1, -1, a, a, -1, b, a, -1, b};
    EXPECT_EQ(g.repairUnmatchedGenes(genes), 4);
    EXPECT_EQ(genes, (Links{a, a, b, b, b, -1, c, -1, a, -1, -1, a, a, b, b, a, b, b}));
}

TEST(GenOnlyIslands, OneLinkRunsWithoutMatchedNeighboursAreClearedHoweverLong) {
    auto clean = [](Links genes) {
        const int cleared = GenMapMatching::removeSingleLinkIslands(genes);
        return std::pair{genes, cleared};
    };
    Links longIsland(102, 5);
    longIsland.front() = longIsland.back() = -1;
    EXPECT_EQ(clean(longIsland), (std::pair{Links(102, -1), 100}));
    // A stretch that changes link stays; a whole trace on one link stays.
    EXPECT_EQ(clean({5, 5, 5, -1, 6, 7, -1}), (std::pair{Links{-1, -1, -1, -1, 6, 7, -1}, 3}));
    EXPECT_EQ(clean({5, 5, 6, 6, -1, 7, 7}), (std::pair{Links{5, 5, 6, 6, -1, -1, -1}, 2}));
    EXPECT_EQ(clean({-1, 5, 6, 5, -1}), (std::pair{Links{-1, 5, 6, 5, -1}, 0}));
    EXPECT_EQ(clean({5, 5, 5}), (std::pair{Links{5, 5, 5}, 0}));
    EXPECT_EQ(clean({}), (std::pair{Links{}, 0}));
}

TEST(GenOnlyResults, PathsRecordLinkChangesAndRecordsFollowTraceOrder) {
    World w;
    Route r(std::vector<_node>(12, point(0, 0)), "abc", "abc.txt");
    GenMapMatching g(&w.map, &r, false);
    // Break points split only between two links: 9 splits, 7 (unmatched) and 11 (last) do not.
    g.buildResults({-1, -1, 3, 3, 4, 4, 4, -1, 5, 5, 6, 6}, {7, 9, 11});
    ASSERT_EQ(g.matched.size(), 3u);
    EXPECT_EQ(g.matched[0]->links, (Pairs{{2, 3}, {4, 4}}));
    EXPECT_EQ(g.matched[1]->links, (Pairs{{8, 5}}));
    EXPECT_EQ(g.matched[1]->lastIndex, 9);
    EXPECT_EQ(records(g), (Records{{0, 1, -1, 3, -1, 0}, {7, 7, 4, 5, 0, 1}, {-1, -1, 5, 6, 1, 2}}));
    // The short form has a pair for every point.
    EXPECT_EQ(g.getShortMatched()[0]->links, (Pairs{{2, 3}, {3, 3}, {4, 4}, {5, 4}, {6, 4}}));

    g.buildResults(Links(12, -1), {});
    EXPECT_TRUE(g.matched.empty());
    EXPECT_EQ(records(g), (Records{{0, 11, -1, -1, -1, -1}}));
}

TEST(GenOnlyRun, SeededRunWithMarchalSetsFindsTheDrivenLinks) {
    for (const unsigned seed : {3u, 6u}) {
        Junction j;
        MapMatching::setFixedRandomSeed(seed);
        GenMapMatching g(&j.w.map, &j.route, false);
        g.runWithMarchal(false);
        MapMatching::setFixedRandomSeed(std::nullopt);
        const auto paths = g.getMatched();
        ASSERT_EQ(paths.size(), 1u) << seed;
        std::vector<std::pair<int, int>> driven;  // a link change every ten points
        for (int k = 0; k < 6; ++k) driven.emplace_back(10 * k, k < 3 ? j.main[k] : j.side[k - 3]);
        EXPECT_EQ(paths[0]->links, driven) << seed;
        EXPECT_EQ(paths[0]->lastIndex, 59);
        EXPECT_TRUE(records(g).empty());
    }
}

TEST(GenOnlyRun, EmptyTinyAndMaplessTracesAreSafe) {
    Junction j;
    for (int n : {0, 1, 2}) {
        Route r(std::vector<_node>(j.route.nodes.begin(), j.route.nodes.begin() + n), "t", "t.txt");
        GenMapMatching g(&j.w.map, &r, false);
        g.runWithMarchal(false);
    }
    mapRepresentation::Map empty;
    GenMapMatching g(&empty, &j.route, false);
    g.runWithMarchal(false);
    EXPECT_EQ(records(g), (Records{{0, 59, -1, -1, -1, -1}}));
}

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

}  // namespace

TEST(GeneticDistances, NearestLinkPerSuperLinkTheCrossCandidateRuleAndMissingLinks) {
    Scenario s;
    const Links l = s.eastRoad(0, 0, 8, 20);  // one super-link
    s.point(65, 3, s.heading(l[0]));          // nearest: l[3]
    s.point(55, 3, s.heading(l[0]));          // nearest: l[2], an earlier link
    Distances back(&s.map, &s.route, s.same({l[0]}), {}, nullptr);
    for (const int i : {0, 1}) EXPECT_EQ(back.getValidLinks(i), (Links{l[2], l[3]})) << i;
    EXPECT_NEAR(back.nearLinks[0].at(l[3]), 3.0, kTol);
    EXPECT_NEAR(back.nearLinks[0].at(l[2]), std::sqrt(34.0), kTol);
    EXPECT_NEAR(back.getDistanceFromPointToLink(0, l[5]), std::sqrt(1234.0), kTol);
    EXPECT_EQ(back.getValidLinks(0), (Links{l[2], l[3], l[5]}));  // a distance asked for is remembered
    karvel_test::printed([&] { EXPECT_GE(back.getDistanceFromPointToLink(0, 999), 1e6); });
    EXPECT_EQ(back.getValidLinks(0), (Links{l[2], l[3], l[5]}));        // a missing link never becomes a gene
    EXPECT_NEAR(back.getDistanceBetweenLinks(l[2], l[4]), 20.0, kTol);  // directional
    EXPECT_NEAR(back.getDistanceBetweenLinks(l[4], l[2]), 60.0, kTol);
    back.nearLinks[0] = {{7, 2.0}, {3, 2.0}, {9, 2.5}};
    EXPECT_EQ(back.getNearestLink(0), 3);  // ties: the lowest id

    s.route.nodes[1] = s.route.nodes[0];  // moving forwards: only the nearest link stays
    s.route.nodes.pop_back();
    s.point(78, 3, s.heading(l[0]));
    Distances ahead(&s.map, &s.route, s.same({l[0]}), {}, nullptr);
    for (const int i : {0, 1}) EXPECT_EQ(ahead.getValidLinks(i), (Links{l[3]})) << i;

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

    Individual &none = p.individuals[0], &mixed = p.individuals[1], &broken = p.individuals[2];
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
TEST(GeneticSeeded, EvolutionFindsTheBranchTakenAtAFork) {
    MapMatching::setFixedRandomSeed(20240601u);
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
    MapMatching::setFixedRandomSeed(std::nullopt);
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
