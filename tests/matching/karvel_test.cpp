// The hybrid matcher (comparison of the two runs, segments, output paths and unmatched records; its
// compact per-point candidate links against one ordered set per point) and the genetic-only matcher
// (ambiguity, segmentation, repair of single unmatched points, removal of single-link islands, paths
// and unmatched records, and whole seeded runs on a small map whose answer is known and on degenerate
// traces).
#include "matching/KARVEL.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <random>
#include <set>

#include "local_world.h"
#include "matching/GenMapMatching.h"
#include "matching/candidate_links.h"
#include "matching/matching_genetic.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

using MapMatching::CandidateLinks;
using MapMatching::GenMapMatching;
using MapMatching::KARVEL;
using Segments = std::vector<std::pair<int, int>>;
using namespace local_world;

namespace {

Route eastward(int n, double spacing = 10.0, double y = 0.0) {
    std::vector<_node> pts;
    for (int i = 0; i < n; ++i) pts.push_back(point(5.0 + i * spacing, y));
    return Route(pts, "abc", "abc.txt");
}

std::unique_ptr<Path> pathOf(std::vector<std::pair<int, int>> pairs) {
    auto p = std::make_unique<Path>();
    p->links = std::move(pairs);
    p->startIndex = p->links.front().first;
    p->lastIndex = p->links.back().first;
    return p;
}

std::vector<int> linksOf(const CandidateLinks& links, std::size_t point) {
    std::vector<int> out;
    links.forEach(point, [&out](int link) { out.push_back(link); });
    return out;
}

void expectSame(const CandidateLinks& links, const std::vector<std::set<int>>& oracle) {
    ASSERT_EQ(links.size(), oracle.size());
    for (std::size_t k = 0; k < oracle.size(); ++k) {
        EXPECT_EQ(links.count(k), oracle[k].size()) << "point " << k;
        EXPECT_EQ(linksOf(links, k), std::vector<int>(oracle[k].begin(), oracle[k].end())) << "point " << k;
        std::set<int> copied{INT_MIN};
        links.copyTo(k, copied);
        std::set<int> expected = oracle[k];
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

using V = std::vector<int>;

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
    V genes = {a, -1, b, -1, b, -1, c, -1, a, -1, -1, a, a, -1, b, a, -1, b};
    EXPECT_EQ(g.repairUnmatchedGenes(genes), 4);
    EXPECT_EQ(genes, (V{a, a, b, b, b, -1, c, -1, a, -1, -1, a, a, b, b, a, b, b}));
}

TEST(GenOnlyIslands, OneLinkRunsWithoutMatchedNeighboursAreClearedHoweverLong) {
    auto clean = [](V genes) {
        const int cleared = GenMapMatching::removeSingleLinkIslands(genes);
        return std::pair{genes, cleared};
    };
    V longIsland(102, 5);
    longIsland.front() = longIsland.back() = -1;
    EXPECT_EQ(clean(longIsland), (std::pair{V(102, -1), 100}));
    // A stretch that changes link stays; a whole trace on one link stays.
    EXPECT_EQ(clean({5, 5, 5, -1, 6, 7, -1}), (std::pair{V{-1, -1, -1, -1, 6, 7, -1}, 3}));
    EXPECT_EQ(clean({5, 5, 6, 6, -1, 7, 7}), (std::pair{V{5, 5, 6, 6, -1, -1, -1}, 2}));
    EXPECT_EQ(clean({-1, 5, 6, 5, -1}), (std::pair{V{-1, 5, 6, 5, -1}, 0}));
    EXPECT_EQ(clean({5, 5, 5}), (std::pair{V{5, 5, 5}, 0}));
    EXPECT_EQ(clean({}), (std::pair{V{}, 0}));
}

TEST(GenOnlyResults, PathsRecordLinkChangesAndRecordsFollowTraceOrder) {
    World w;
    Route r(std::vector<_node>(12, point(0, 0)), "abc", "abc.txt");
    GenMapMatching g(&w.map, &r, false);
    // Break points split only between two links: 9 splits, 7 (unmatched) and 11 (last) do not.
    g.buildResults({-1, -1, 3, 3, 4, 4, 4, -1, 5, 5, 6, 6}, {7, 9, 11});
    using Pairs = std::vector<std::pair<int, int>>;
    ASSERT_EQ(g.matched.size(), 3u);
    EXPECT_EQ(g.matched[0]->links, (Pairs{{2, 3}, {4, 4}}));
    EXPECT_EQ(g.matched[1]->links, (Pairs{{8, 5}}));
    EXPECT_EQ(g.matched[1]->lastIndex, 9);
    EXPECT_EQ(records(g), (Records{{0, 1, -1, 3, -1, 0}, {7, 7, 4, 5, 0, 1}, {-1, -1, 5, 6, 1, 2}}));
    // The short form has a pair for every point.
    EXPECT_EQ(g.getShortMatched()[0]->links, (Pairs{{2, 3}, {3, 3}, {4, 4}, {5, 4}, {6, 4}}));

    g.buildResults(V(12, -1), {});
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
