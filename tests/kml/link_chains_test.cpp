// Where the documents put their link arrows: chain walks, the sampling of a chain (the match
// document's rule and the general writer's), the documents of the light map and of traces, and the
// general writer's ordered merge of samples against a plain list walk on random samples and maps.

#include "kml/link_chains.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <numeric>
#include <random>
#include <set>

#include "kml/KmlWriter.h"
#include "kml/kml.h"
#include "kml_test_util.h"

using kml_test::countOf;
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

std::vector<int> range(int first, int last) {
    std::vector<int> v(static_cast<size_t>(last - first + 1));
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Junction 1 starts a chain of 1 link (link 1), of 2 links (2, 3) and of 12 links (4 .. 15).
Map chainsMap() {
    Map map;
    chain(map, {1, 2});
    chain(map, {1, 3, 4});
    std::vector<uint32_t> nodes{1};
    for (uint32_t n = 10; n <= 21; ++n) nodes.push_back(n);
    chain(map, nodes);
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
        const std::vector<int> positions = c.length > 0 ? range(0, c.length - 1) : std::vector<int>{};
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
    EXPECT_EQ(b.navigateBackward(3), KmlWriter::navigateBackward(ring, 3));
    EXPECT_TRUE(b.getLinksToDraw().empty() && KmlWriter::getLinksToDraw(ring).empty());  // no junction
    Map open;
    chain(open, {1, 2, 3, 4});
    EXPECT_TRUE(KMLBuilder(&open, nullptr, {}, {}, "").getLinksToDraw().empty());
    // A ring hanging off a junction is walked round once.
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

TEST(LinkChains, DocumentArrowsOfChainsLeavingAndEnteringJunctions) {
    const Map map = chainsMap();
    KMLBuilder b(&map, nullptr, {}, {}, "");
    EXPECT_EQ(b.navigateForward(4), range(4, 15));
    EXPECT_EQ(b.navigateForward(1), std::vector<int>{1});
    // Chains of 1, 2 and 12 links: {1}, {2, 3}, positions 0, 4, 11 of 4..15.
    EXPECT_EQ(b.getLinksToDraw(), (std::set<int>{1, 2, 3, 4, 8, 15}));

    // Junction 1 -> chain of 12 links (2 .. 13) -> junction 200, which also receives link 14.
    Map between;
    chain(between, {1, 2});
    std::vector<uint32_t> nodes{1};
    for (uint32_t n = 100; n <= 110; ++n) nodes.push_back(n);
    nodes.push_back(200);
    chain(between, nodes);
    chain(between, {300, 200});
    KMLBuilder c(&between, nullptr, {}, {}, "");
    std::vector<int> backward = range(2, 13);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(c.navigateBackward(13), backward);
    // Walked backward from 200 the chain ends at link 2, already drawn from junction 1; its own
    // sample (13, 9, 2) must not add link 9.
    EXPECT_EQ(c.getLinksToDraw(), (std::set<int>{1, 2, 6, 13, 14}));
}

TEST(LinkChains, WriterSamplesAreMergedByTheListRule) {
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

TEST(LinkChains, LightMapAndTracesDocuments) {
    kml_test::useUtc();
    WorkDir wd;
    const Map map = chainsMap();
    KMLBuilder lightMap(&map, "data/light.kml");
    const std::string light = karvel_test::readFile(wd.file("data/light.kml"));
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/light.kml")));
    EXPECT_EQ(countOf(light, "<br/>Link : "), 15u);  // every link line
    EXPECT_EQ(countOf(light, "<br/>Link: "), 6u);    // arrows of getLinksToDraw only
    EXPECT_EQ(countOf(light, "MAPNODES"), 0u);
    EXPECT_TRUE(light.ends_with("\t\t</Folder>\n   </Folder>\n</Document>\n</kml>\n"));

    const Route main = kml_test::smallRoute("main");
    KMLBuilder traces(&main, {kml_test::smallRoute("b").subRoute(0, 1), Route()}, "data/traces.kml");
    const std::string text = karvel_test::readFile(wd.file("data/traces.kml"));
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/traces.kml")));
    EXPECT_EQ(countOf(text, "<Folder id=\"TRACE\">"), 3u);
    EXPECT_EQ(countOf(text, "<Placemark>\n<description>"), 7u);  // 5 + 2 + 0 trace points
}

TEST(LinkChains, BalancedMergeGivesTheListWalkOrderOnRandomSamples) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        SampleMergeList merged;
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
    EXPECT_TRUE(SampleMergeList().values().empty());
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
