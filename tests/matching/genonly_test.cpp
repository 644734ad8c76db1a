// The genetic-only matcher: its steps (ambiguity, segmentation, repair of single unmatched points,
// removal of single-link islands, paths and unmatched records) and whole seeded runs on a small map
// whose answer is known, on degenerate traces; Marchal and the genetic-only matcher on a real drive.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "kubicka_drive.h"
#include "local_world.h"
#include "matching/GenMapMatching.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

using MapMatching::GenMapMatching;
using Segments = std::vector<std::pair<int, int>>;
using V = std::vector<int>;
using namespace local_world;

namespace {

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

// Kubicka et al. 2015, track 46: 1401 fixes in France on a 299-node OpenStreetMap extract. Marchal's
// pieces (both ways) and the genetic-only matcher's paths (first 300 fixes) keep to the driven route.
TEST(RealDrive, MarchalAndGeneticOnlyStayOnTheRoute) {
    KARVEL_REQUIRE_SHARED(dir, "kubicka2015-mapmatching/sample/00000046");
    karvel_test::KubickaDrive d;
    ASSERT_TRUE(karvel_test::loadKubickaDrive(dir, "00000046", d));
    ASSERT_EQ(d.route.nodes.size(), 1401u);
    // Share of the points matched and of those on the route; pieces and pairs come in trace order.
    const auto check = [&](const std::vector<std::unique_ptr<Path>>& paths, size_t n, size_t matchedShare) {
        size_t matched = 0, onRoute = 0;
        int previous = -1;
        for (const auto& piece : paths)
            for (const auto& [index, link] : piece->links) {
                EXPECT_GT(index, previous);
                previous = index;
                ++matched;
                onRoute += d.truth.count(link);
            }
        EXPECT_GT(matched * 100, n * matchedShare);
        EXPECT_GT(onRoute * 100, matched * 97);
    };
    MapMatching::MarchalBMatching m(&d.map, &d.route);
    for (bool forward : {true, false}) {
        SCOPED_TRACE(forward ? "forward" : "backward");
        m.run(forward, false);
        check(m.getShortMatched(), 1401, 90);
    }
    Route start = d.route.subRoute(0, 299);
    MapMatching::setFixedRandomSeed(46u);
    GenMapMatching g(&d.map, &start, false);
    g.runWithMarchal(false);
    MapMatching::setFixedRandomSeed(std::nullopt);
    check(g.getShortMatched(), 300, 85);
}
