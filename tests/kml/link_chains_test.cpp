// Where the documents put their link arrows: chain walks, the sampling of a chain (the match
// document's rule and the general writer's), the documents of the light map and of traces, and the
// general writer's ordered merge of samples against a plain list walk on random samples and maps.

#include "kml/link_chains.h"

#include <gtest/gtest.h>

#include <list>
#include <numeric>
#include <random>
#include <set>

#include "kml/KmlWriter.h"
#include "kml/kml.h"
#include "kml_test_util.h"

using kml_test::WorkDir;
using kmlMatch::KMLBuilder;
using mapRepresentation::Map;

namespace {

// A chain through the given nodes (added when new), in driving order, with the given link ids or,
// without them, the ids the map hands out.
void chain(Map& map, const std::vector<uint32_t>& nodes, const std::vector<int>& ids = {}) {
    for (uint32_t n : nodes)
        if (map.nodes.count(n) == 0) map.addNode(n, 41.15 + n * 0.0005, -8.61 + (n % 7) * 0.0003, 0, 0);
    for (size_t i = 0; i + 1 < nodes.size(); ++i) {
        if (ids.empty())
            map.addLinkToNode(nodes[i], nodes[i + 1], 10.0, 1);
        else
            map.addLink(ids[i], nodes[i], nodes[i + 1], 10.0, 1);
    }
}

// Junction 1 starts chains of 1 link (link 1), of 2 links (2, 3), of 12 links (4 .. 15) and of 12
// links (16 .. 27) that runs into junction 200, which also receives link 28 from node 300.
Map chainsMap() {
    Map map;
    chain(map, {1, 2});
    chain(map, {1, 3, 4});
    std::vector<uint32_t> nodes{1}, intoJunction{1};
    for (uint32_t n = 10; n <= 21; ++n) nodes.push_back(n);
    for (uint32_t n = 100; n <= 110; ++n) intoJunction.push_back(n);
    intoJunction.push_back(200);
    chain(map, nodes);
    chain(map, intoJunction);
    chain(map, {300, 200});
    return map;
}

// The ordered-list merge as a plain list walk: quadratic, but obviously the rule.
void listWalkMerge(std::list<int>& result, const std::list<int>& sample) {
    auto r = result.begin();
    auto s = sample.begin();
    while (r != result.end() && s != sample.end()) {
        if (*s < *r)
            result.insert(r, *s++);
        else
            ++r;
    }
    result.insert(result.end(), s, sample.end());
}

// getLinksToDraw written with the list walk, from the writer's own walks and sampling.
std::list<int> linksToDrawByListWalk(const Map& map) {
    std::list<int> result;
    std::set<int> visited;
    for (const auto& [node, edges] : map.graph) {
        if (edges.backwardLinks.size() <= 1 && edges.forwardLinks.size() <= 1) continue;
        for (int link : edges.forwardLinks) {
            if (!visited.insert(link).second) continue;
            listWalkMerge(result, KmlWriter::selectLinksFromPath(KmlWriter::navigateForward(map, link)));
        }
        for (int link : edges.backwardLinks) {
            const std::vector<int> chain = KmlWriter::navigateBackward(map, link);
            if (visited.insert(chain.back()).second)
                listWalkMerge(result, KmlWriter::selectLinksFromPath(chain));
        }
    }
    return result;
}

// Random nodes and links with random ids, so that samples fall in every order: chains, forks,
// rings, and links both ways.
Map randomMap(std::mt19937& rng, int nodes, int links) {
    Map map;
    for (int n = 1; n <= nodes; ++n) map.addNode(n, 41.1 + 0.0007 * (n % 17), -8.6 + 0.0009 * (n / 17), 0, 0);
    std::uniform_int_distribution<int> node(1, nodes), id(1, 50 * links);
    for (int i = 0; i < links; ++i) {
        const int a = node(rng);
        // Mostly the next node, so that long chains form between the junctions.
        const int b = std::uniform_int_distribution<int>(0, 5)(rng) > 0 ? a % nodes + 1 : node(rng);
        if (a != b) map.addLink(id(rng), a, b, 10.0, 1);
    }
    return map;
}

}  // namespace

// Positions taken from a chain of each length: the match document replaces a taken link close to
// the end by the last one (except on two and three link chains); the writer adds the last one only
// six or more links after the last taken.
TEST(LinkChains, SamplingOfAChainByBothRules) {
    const struct {
        int length;
        std::vector<int> document;
        std::list<int> writer;
    } cases[] = {
        {0, {}, {}},
        {2, {0, 1}, {0}},
        {3, {0, 2}, {0}},
        {9, {0, 3, 8}, {0, 3, 6}},
        {12, {0, 4, 11}, {0, 4, 8}},
        {25, {0, 10, 20, 24}, {0, 10, 20}},
        {26, {0, 10, 20, 25}, {0, 10, 20, 25}},
        {100, {0, 30, 60, 90, 99}, {0, 30, 60, 90, 99}},
    };
    KMLBuilder b;
    for (const auto& c : cases) {
        std::vector<int> positions(static_cast<size_t>(c.length));
        std::iota(positions.begin(), positions.end(), 0);
        EXPECT_EQ(b.selectLinksFromPath(positions), c.document) << "chain of " << c.length;
        EXPECT_EQ(KmlWriter::selectLinksFromPath(positions), c.writer) << "chain of " << c.length;
    }
}

TEST(LinkChains, RingsEndBeforeTheStartComesBackAndDrawNoArrow) {
    Map ring;
    chain(ring, {1, 2, 3, 4, 1}, {1, 2, 3, 4});
    KMLBuilder b(&ring, nullptr, {}, {}, "");
    EXPECT_EQ(b.navigateForward(3), (std::vector<int>{3, 4, 1, 2}));
    EXPECT_EQ(KmlWriter::navigateBackward(ring, 3), (std::vector<int>{3, 2, 1, 4}));
    EXPECT_TRUE(b.getLinksToDraw().empty() && KmlWriter::getLinksToDraw(ring).empty());  // no junction
    // A ring hanging off a junction is walked round once.
    Map lasso;
    chain(lasso, {9, 1}, {9});
    chain(lasso, {1, 2, 3, 1}, {1, 2, 3});
    EXPECT_EQ(KmlWriter::getLinksToDraw(lasso), (std::list<int>{1, 9}));

    testing::internal::CaptureStdout();  // missing records are reported, and end the walk
    EXPECT_EQ(KmlWriter::navigateForward(ring, 99), (std::vector<int>{99}));
    ring.graph.erase(2);  // tables made to disagree
    EXPECT_EQ(KmlWriter::navigateForward(ring, 1), (std::vector<int>{1}));
    testing::internal::GetCapturedStdout();
}

// The light map shows the arrows of the chains leaving junction 1 (links 1; 2, 3; 4, 8, 15; 16, 20,
// 27) and of link 28. Walked backward from junction 200, the chain 16 .. 27 ends at a link already
// drawn: its own sample (27, 23, 16) adds no arrow. The traces document shows a trace of 5, one of
// 2 and an empty one.
TEST(LinkChains, LightMapAndTracesDocuments) {
    kml_test::useUtc();
    WorkDir wd;
    const Map map = chainsMap();
    KMLBuilder lightMap(&map, "data/light.kml");
    const Route main = kml_test::smallRoute("main");
    KMLBuilder traces(&main, {kml_test::smallRoute("b").subRoute(0, 1), Route()}, "data/traces.kml");
    for (const std::string name : {"light.kml", "traces.kml"}) {
        EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/" + name)));
        kml_test::expectGolden(karvel_test::readFile(wd.file("data/" + name)), "chains_" + name);
    }
}

TEST(LinkChains, BalancedMergeGivesTheListWalkOrderOnRandomSamples) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        kmlMatch::SampleMergeList merged;
        std::list<int> expected;
        const int maxValue = round % 2 == 0 ? 20 : 100000;  // with many ties, and with few
        for (int k = 0; k < 1 + round % 30; ++k) {
            std::list<int> sample(std::uniform_int_distribution<int>(0, 12)(rng));
            for (int& v : sample) v = std::uniform_int_distribution<int>(0, maxValue)(rng);
            merged.merge(sample);
            listWalkMerge(expected, sample);
        }
        ASSERT_EQ(merged.values(), expected) << "round " << round;
    }
    EXPECT_TRUE(kmlMatch::SampleMergeList().values().empty());
}

TEST(LinkChains, WriterDrawsTheListWalkLinksOnRandomMaps) {
    std::mt19937 rng(7);
    std::vector<size_t> sizes;
    for (int round = 0; round < 30; ++round) {
        const Map map = randomMap(rng, 40 + round * 10, 60 + round * 14);
        const std::list<int> drawn = KmlWriter::getLinksToDraw(map);
        ASSERT_EQ(drawn, linksToDrawByListWalk(map)) << "round " << round;
        sizes.push_back(drawn.size());
    }
    EXPECT_GT(sizes.back(), 20u);  // the maps do have junctions
}
