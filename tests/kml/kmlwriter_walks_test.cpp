// Where the general writer draws link information: chain walks, their sampling, and the order in
// which the samples are merged.

#include <gtest/gtest.h>

#include "kml/KmlWriter.h"
#include "kml_test_util.h"

using mapRepresentation::Map;

namespace {

// A chain through the given nodes with the given link ids, in driving order.
void chain(Map& map, const std::vector<uint32_t>& nodes, const std::vector<int>& ids) {
    for (uint32_t n : nodes)
        if (map.nodes.count(n) == 0) map.addNode(n, 41.15 + n * 0.0005, -8.61 + (n % 7) * 0.0003, 0, 0);
    for (size_t i = 0; i < ids.size(); ++i) map.addLink(ids[i], nodes[i], nodes[i + 1], 10.0, 1);
}

std::list<int> positionsOf(int length) {
    std::vector<int> walk;
    for (int i = 0; i < length; ++i) walk.push_back(i);
    return KmlWriter::selectLinksFromPath(walk);
}

}  // namespace

TEST(KmlWriterWalks, SamplingSteps) {
    EXPECT_EQ(positionsOf(0), (std::list<int>{}));
    EXPECT_EQ(positionsOf(12), (std::list<int>{0, 4, 8}));
    EXPECT_EQ(positionsOf(25), (std::list<int>{0, 10, 20}));  // 5 links after the last taken: not added
    EXPECT_EQ(positionsOf(26), (std::list<int>{0, 10, 20, 25}));
    EXPECT_EQ(positionsOf(27), (std::list<int>{0, 10, 20, 26}));
    EXPECT_EQ(positionsOf(100), (std::list<int>{0, 30, 60, 90, 99}));
}

TEST(KmlWriterWalks, SamplesAreMergedByTheListRule) {
    Map map;
    // Junction 1 starts two chains, the second one's ids falling along the way: samples [10, 40] and
    // [35, 5]; 35 goes before 40, and so does 5 after it.
    chain(map, {1, 2, 3, 4, 5}, {10, 20, 30, 40});
    chain(map, {1, 6, 7, 8, 9}, {35, 25, 15, 5});
    // Chains 50-60-70 and 80-90 run into junction 20; walked backwards, each sampled once.
    chain(map, {11, 12, 13, 20}, {50, 60, 70});
    chain(map, {14, 15, 20}, {80, 90});
    chain(map, {20, 21}, {100});
    EXPECT_EQ(KmlWriter::navigateBackward(map, 70), (std::vector<int>{70, 60, 50}));
    EXPECT_EQ(KmlWriter::getLinksToDraw(map), (std::list<int>{10, 35, 5, 40, 70, 90, 100}));
}

TEST(KmlWriterWalks, RingsEndBeforeTheStartComesBack) {
    Map ring;
    chain(ring, {1, 2, 3, 4, 1}, {1, 2, 3, 4});
    EXPECT_EQ(KmlWriter::navigateForward(ring, 3), (std::vector<int>{3, 4, 1, 2}));
    EXPECT_EQ(KmlWriter::navigateBackward(ring, 3), (std::vector<int>{3, 2, 1, 4}));
    EXPECT_TRUE(KmlWriter::getLinksToDraw(ring).empty());  // no junction, nothing drawn
    // A ring hanging off a junction is walked round once; a chain between junctions drawn once.
    Map lasso;
    chain(lasso, {9, 1}, {9});
    chain(lasso, {1, 2, 3, 1}, {1, 2, 3});
    EXPECT_EQ(KmlWriter::getLinksToDraw(lasso), (std::list<int>{1, 9}));

    testing::internal::CaptureStdout();
    EXPECT_EQ(KmlWriter::navigateForward(ring, 99), (std::vector<int>{99}));
    ring.graph.erase(2);  // tables made to disagree
    EXPECT_EQ(KmlWriter::navigateForward(ring, 1), (std::vector<int>{1}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: non existing link. (99)\nERROR: non existing graph node 2.\n");
}
