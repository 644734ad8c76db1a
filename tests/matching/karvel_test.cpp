// The hybrid matcher: comparison of the two runs, segments, output paths and unmatched records.
#include "matching/KARVEL.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "local_world.h"
#include "matching/matching_genetic.h"
#include "support/test_support.h"

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
