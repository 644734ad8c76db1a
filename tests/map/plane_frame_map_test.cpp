// A map measures in one plane: across the zone line at 12 deg E its links keep their ground lengths
// and its searches see both sides.
#include <gtest/gtest.h>

#include <vector>

#include "map/maps.h"
#include "maps_invariants.h"
#include "test_support.h"

using mapRepresentation::Map;

namespace {

// A ladder of two parallel streets 100 m apart, crossing 12 deg E, 40 m between rungs' nodes.
std::vector<std::pair<double, double>> ladderNodes(double lon0) {
    std::vector<std::pair<double, double>> nodes;
    for (int side = 0; side < 2; ++side)
        for (int i = 0; i < 10; ++i) nodes.emplace_back(48.137 + side * 0.0009, lon0 + i * 0.00054);
    return nodes;
}

std::vector<std::pair<int, int>> ladderLinks() {
    std::vector<std::pair<int, int>> links;
    for (int side = 0; side < 2; ++side)
        for (int i = 1; i < 10; ++i) links.emplace_back(side * 10 + i, side * 10 + i + 1);
    for (int i = 1; i <= 10; i += 3) links.emplace_back(i, i + 10);
    return links;
}

Map loaded(const std::string& text) {
    karvel_test::TempDir dir;
    dir.write("map.txt", text);
    Map m;
    karvel_test::printed([&] { m.initMap(dir / "map.txt"); });
    return m;
}

void expectGroundLengths(const Map& m) {
    for (const auto& [id, link] : m.links) {
        const double ground =
            geo::groundDistance(m.getNodePosition(link.origin), m.getNodePosition(link.destination));
        EXPECT_NEAR(link.length, ground, ground * 1e-3) << "link " << id;
    }
}

}  // namespace

TEST(MapFrame, AMapAcrossAZoneLineMeasuresInOnePlane) {
    const Map m = loaded(karvel_test::mapText(ladderNodes(11.9976), ladderLinks()));
    ASSERT_EQ(m.nodes.size(), 20u);
    EXPECT_EQ(m.planeFrame(), geo::PlaneFrame::ofZone(33, false));  // the middle lies just east of 12
    expectGroundLengths(m);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
    // From a point 5 m off the street, just west of the line: the link across it at 5 m, and the
    // end of the one before at 15 m.
    const auto near = m.getNearestLinksAndDistances(48.137045, 11.99995, 20);
    ASSERT_EQ(near.size(), 2u);
    EXPECT_EQ(near[0].first, 4);
    EXPECT_NEAR(near[0].second, 15.0, 0.2);
    EXPECT_EQ(near[1].first, 5);
    EXPECT_NEAR(near[1].second, 5.0, 0.1);
    // The bulk loader and a copy choose and keep the same frame.
    std::vector<mapRepresentation::BulkNode> nodes;
    std::vector<mapRepresentation::BulkLink> links;
    for (const auto& [id, n] : m.nodes) nodes.push_back({id, n.latitude, n.longitude, 0, 0});
    for (const auto& [id, l] : m.links) links.push_back({l.origin, l.destination, 0, 0});
    Map bulk;
    ASSERT_TRUE(mapRepresentation::buildInBulk(bulk, nodes, links));
    EXPECT_EQ(bulk.planeFrame(), m.planeFrame());
    EXPECT_EQ(bulk.links.at(5).length, m.links.at(5).length);
    EXPECT_EQ(Map(bulk).getNearestLinks(48.137045, 11.99995, 20), m.getNearestLinks(48.137045, 11.99995, 20));
}

// A map grown node by node keeps the frame of its first node; moving it elsewhere measures again.
TEST(MapFrame, GrownMapsAndAnotherFrame) {
    Map m;
    karvel_test::printed([&] {
        m.addNode(1, 48.137, 11.9990, 0, 0);
        m.addNode(2, 48.137, 12.0010, 0, 0);
        m.addNode(3, 48.1375, 12.0010, 0, 0);
        m.addLinkToNode(1, 2, 0, 0);
        m.addLinkToNode(2, 3, 0, 0);
    });
    EXPECT_EQ(m.planeFrame(), geo::PlaneFrame::ofZone(32, false));
    expectGroundLengths(m);
    const double before = m.nodes.at(1).easting;
    m.usePlaneFrame(geo::PlaneFrame::ofZone(33, false));
    expectGroundLengths(m);
    EXPECT_LT(m.nodes.at(1).easting, before - 400000);
    EXPECT_EQ(m.getNearestPoints(48.137, 12.0010, 1), std::vector<uint32_t>{2});
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
    // Node 1 moved halfway to node 2 stays on the street, on the line (within the 0.2 m by which the
    // two truncated series disagree 3 deg from the central meridian).
    karvel_test::printed([&] { m.calcAvgNode(1, 1, 2, 1); });
    EXPECT_NEAR(m.nodes.at(1).latitude, 48.137, 1e-5);
    EXPECT_NEAR(m.nodes.at(1).longitude, 12.0, 1e-5);
}
