// The light map: which links carry an arrow, the chain walks, and the two documents written by
// the constructors.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "kml/kml.h"
#include "kml_test_util.h"

using kml_test::WorkDir;
using kmlMatch::KMLBuilder;
using mapRepresentation::Map;

namespace {

void node(Map& map, uint32_t id) {
    map.addNode(id, 41.15 + id * 0.0005, -8.61 + (id % 7) * 0.0003, 0, 0);
}

void link(Map& map, uint32_t from, uint32_t to) {
    if (map.nodes.count(from) == 0) node(map, from);
    if (map.nodes.count(to) == 0) node(map, to);
    map.addLinkToNode(from, to, 10.0, 1);
}

std::vector<int> range(int first, int last) {
    std::vector<int> v;
    for (int i = first; i <= last; ++i) v.push_back(i);
    return v;
}

// Junction 1 starts a chain of 1 link (link 1), of 2 links (2, 3) and of 12 links (4 .. 15).
void buildChainsMap(Map& map) {
    link(map, 1, 2);
    link(map, 1, 3);
    link(map, 3, 4);
    link(map, 1, 10);
    for (uint32_t n = 10; n < 21; ++n) link(map, n, n + 1);
}

}  // namespace

TEST(KmlLightMap, SelectionSpacingAndLastLink) {
    KMLBuilder b;
    const struct {
        int length;
        std::vector<int> positions;
    } cases[] = {
        {0, {}}, {2, {0, 1}}, {9, {0, 3, 8}}, {25, {0, 10, 20, 24}}, {100, {0, 30, 60, 90, 99}},
    };
    for (const auto& c : cases) {
        std::vector<int> chain;
        for (int i = 0; i < c.length; ++i) chain.push_back(100 + i);
        std::vector<int> expected;
        for (int p : c.positions) expected.push_back(100 + p);
        EXPECT_EQ(b.selectLinksFromPath(chain), expected) << "chain of " << c.length;
    }
}

TEST(KmlLightMap, ArrowsOfChainsLeavingAJunction) {
    Map map;
    buildChainsMap(map);
    KMLBuilder b(&map, nullptr, {}, {}, "");
    EXPECT_EQ(b.navigateForward(4), range(4, 15));
    EXPECT_EQ(b.navigateForward(1), std::vector<int>{1});
    // Chains of 1, 2 and 12 links: {1}, {2, 3}, positions 0, 4, 11 of 4..15.
    EXPECT_EQ(b.getLinksToDraw(), (std::set<int>{1, 2, 3, 4, 8, 15}));
}

TEST(KmlLightMap, ChainBetweenTwoJunctionsIsDrawnOnce) {
    // Junction 1 -> chain of 12 links (2 .. 13) -> junction 200, which also receives link 14.
    Map map;
    link(map, 1, 2);
    link(map, 1, 100);
    for (uint32_t n = 100; n < 110; ++n) link(map, n, n + 1);
    link(map, 110, 200);
    link(map, 300, 200);
    KMLBuilder b(&map, nullptr, {}, {}, "");
    std::vector<int> backward = range(2, 13);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(b.navigateBackward(13), backward);
    // Walked backward from 200 the chain ends at link 2, already drawn from junction 1; its own
    // sample (13, 9, 2) must not add link 9.
    EXPECT_EQ(b.getLinksToDraw(), (std::set<int>{1, 2, 6, 13, 14}));
}

TEST(KmlLightMap, JunctionFreeMapsAndRingsDrawNoArrow) {
    Map chain;
    link(chain, 1, 2);
    link(chain, 2, 3);
    link(chain, 3, 4);
    EXPECT_TRUE(KMLBuilder(&chain, nullptr, {}, {}, "").getLinksToDraw().empty());

    // Every node of a ring passes through; the walks stop when they come round to their start.
    Map ring;
    link(ring, 1, 2);
    link(ring, 2, 3);
    link(ring, 3, 4);
    link(ring, 4, 1);
    KMLBuilder b(&ring, nullptr, {}, {}, "");
    EXPECT_EQ(b.navigateForward(2), (std::vector<int>{2, 3, 4, 1}));
    EXPECT_EQ(b.navigateBackward(2), (std::vector<int>{2, 1, 4, 3}));
    EXPECT_TRUE(b.getLinksToDraw().empty());
}

TEST(KmlLightMap, LightMapDocumentHoldsOnlySelectedArrows) {
    WorkDir wd;
    Map map;
    buildChainsMap(map);
    KMLBuilder writer(&map, "data/light.kml");
    const std::string text = karvel_test::readFile(wd.file("data/light.kml"));
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/light.kml")));
    EXPECT_EQ(kml_test::countOf(text, "<br/>Link : "), 15u);  // every link line
    EXPECT_EQ(kml_test::countOf(text, "<br/>Link: "), 6u);    // arrows of getLinksToDraw only
    EXPECT_EQ(kml_test::countOf(text, "MAPNODES"), 0u);
    EXPECT_TRUE(text.ends_with("\t\t</Folder>\n   </Folder>\n</Document>\n</kml>\n"));
}

TEST(KmlLightMap, TracesDocumentHasOneFolderPerTrace) {
    kml_test::useUtc();
    WorkDir wd;
    const Route main = kml_test::smallRoute("main");
    const std::vector<Route> others{kml_test::smallRoute("b").subRoute(0, 1), Route()};
    KMLBuilder writer(&main, others, "data/traces.kml");
    const std::string text = karvel_test::readFile(wd.file("data/traces.kml"));
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/traces.kml")));
    EXPECT_EQ(kml_test::countOf(text, "<Folder id=\"TRACE\">"), 3u);
    EXPECT_EQ(kml_test::countOf(text, "<Placemark>\n<description>"), 7u);  // 5 + 2 + 0 trace points
}
