// Map editing: maps made from traces, node averaging, link statistics, node insertion, link
// re-attachment and deletion, and merging a path of links into a link.

#include <gtest/gtest.h>

#include "geometry/GPSPoint.h"
#include "maps_invariants.h"
#include "support/test_support.h"
#include "traces/route.h"

using mapRepresentation::_mNode;
using mapRepresentation::Map;

namespace {

_mNode record(double lat, double lon, double snr, double hdop) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    return _mNode{lat, lon, g.northing, g.easting, snr, hdop};
}

// A node about 111 m * i north of the first.
uint32_t addNorth(Map& m, double i, double lon = -8.61) {
    return m.addNodeToMap(41.15 + i * 0.001, lon, 30.0, 1.0);
}

std::vector<int> chainOf(const Map& m, int link) {
    const auto& l = m.superLinks.at(m.links.at(link).superLinkKey).links;
    return std::vector<int>(l.begin(), l.end());
}

}  // namespace

TEST(MapEditing, ThreePointTraceGivesAChainOfTwoLinks) {
    Route route;
    for (int i = 0; i < 3; ++i) {
        const _mNode r = record(41.15 + i * 0.001, -8.61, 40.0, 1.5);
        route.nodes.push_back(
            _node{0, 0, {r.latitude, r.longitude}, r.northing, r.easting, 0.0, 5.0 + i, 1.5, 40.0, true});
    }
    testing::internal::CaptureStdout();
    Map m(route);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "initing map from route... \nmap initiated.\n");
    EXPECT_EQ(m.nodes.size(), 3u);
    EXPECT_EQ(m.superLinks.size(), 1u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
    karvel_test::TempDir dir;
    ASSERT_TRUE(m.saveMap(dir / "map.txt"));
    // Each link has the speed of the point it arrives at and one observation.
    EXPECT_TRUE(
        karvel_test::readFile(dir / "map.txt").ends_with("\n2\n1  2 6.000000000 1\n2  3 7.000000000 1\n"));
}

TEST(MapEditing, AveragesOfLinkStatisticsAndNodes) {
    Map m;
    addNorth(m, 0);
    addNorth(m, 1);
    const int l = m.addLinkToNode(1, 2, 10.0, 1);
    m.updateLinkStats(l, 20.0, 3);
    EXPECT_DOUBLE_EQ(m.links.at(l).speed, 17.5);
    EXPECT_EQ(m.links.at(l).samples, 4u);
    const int empty = m.addLinkToNode(2, 1, 4.0, 0);
    m.updateLinkStats(empty, 8.0, 0);  // no observations at all: no 0 / 0
    EXPECT_EQ(m.links.at(empty).speed, 4.0);

    const _mNode a = record(41.15, -8.61, 30.0, 1.0);
    const _mNode b = record(41.151, -8.609, 40.0, 3.0);
    const _mNode mid = Map::calcAvgNode(a, 1, b, 1);
    EXPECT_NEAR(mid.latitude, 41.1505, 1e-5);
    EXPECT_NEAR(mid.longitude, -8.6095, 1e-5);
    EXPECT_DOUBLE_EQ(mid.hdop, 2.0);
    EXPECT_NEAR(Map::calcAvgNode(a, 1, b, 0).latitude, a.latitude,
                2e-6);  // back through the series: within centimetres
    testing::internal::CaptureStdout();
    EXPECT_EQ(Map::calcAvgNode(a, 0, b, 0).latitude, a.latitude);  // weights adding up to 0
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR: "), std::string::npos);
}

TEST(MapEditing, MovedNodesAreIndexedAndTheirLinksRecomputed) {
    Map m;
    const uint32_t a = addNorth(m, 0), b = addNorth(m, 10), c = addNorth(m, 20);
    const int l = m.addLinkToNode(a, c, 10.0, 1);
    testing::internal::CaptureStdout();
    m.calcAvgNode(99, 1, b, 1);
    m.calcAvgNode(a, 1, a, 1);
    m.calcAvgNode(a, 1, 98, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: node from path 1 doesn't exist: 99\nnode from path1 and path2 are the same: 1\n"
              "ERROR: node from path 2 doesn't exist: 98\n");
    m.calcAvgNode(a, 1, b, 1);
    EXPECT_NEAR(m.nodes.at(a).latitude, 41.155, 1e-5);
    EXPECT_EQ(m.getNearestPoints(41.155, -8.61, 1.0), std::vector<uint32_t>{a});
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, 50.0).empty());
    EXPECT_NEAR(m.links.at(l).length, distance2Points(m.getNodePoint(a), m.getNodePoint(c)), 1e-9);
    m.updateNode(c, record(41.15, -8.61, 1.0, 9.0));  // now south of a: the link turns round
    EXPECT_EQ(m.getNearestPoints(41.15, -8.61, 1.0), std::vector<uint32_t>{c});
    EXPECT_NEAR(m.links.at(l).heading, M_PI, 0.01);  // grid south
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, DeletingLinksAndNodes) {
    Map m;
    addNorth(m, 0);
    addNorth(m, 1);
    m.deleteLink(m.addLinkToNode(1, 2, 10.0, 1));  // the only link: both nodes and their index entries go
    EXPECT_TRUE(m.nodes.empty() && m.graph.empty() && m.superNodes.empty() && m.superLinks.empty());
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    for (int i = 0; i < 5; ++i) addNorth(m, i);                           // nodes 3..7
    for (uint32_t n = 3; n < 7; ++n) m.addLinkToNode(n, n + 1, 10.0, 1);  // links 2..5
    const int side = m.addLinkToNode(5, addNorth(m, 2, -8.609), 10.0, 1);
    m.deleteLink(side);  // node 5 only continues the road again
    EXPECT_EQ(chainOf(m, 2), (std::vector<int>{2, 3, 4, 5}));
    m.deleteLink(3);  // a link inside a road cuts it in two
    EXPECT_EQ(m.superLinks.size(), 2u);
    testing::internal::CaptureStdout();
    m.deleteLink(3);
    m.deleteNode(3);  // still has a link: kept, or the link would point at nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: Link 3 not found.\nERROR: node 3 still has links; it is not deleted.\n");
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, NodeInLinkRenumbersItsSuperLink) {
    Map m;
    for (int i = 0; i < 4; ++i) addNorth(m, i);
    for (uint32_t n = 1; n < 4; ++n) m.addLinkToNode(n, n + 1, 12.0, 2);
    const double before = m.links.at(2).length;
    testing::internal::CaptureStdout();
    const uint32_t n = m.addNodeInLink(2, 41.1515, -8.61, 33.0, 2.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "deleting super node: 5\n");
    EXPECT_EQ(chainOf(m, 1), (std::vector<int>{1, 2, 4, 3}));
    for (int seq = 0; int l : {1, 2, 4, 3}) EXPECT_EQ(m.links.at(l).sequenceNumber, seq++);
    EXPECT_EQ(m.links.at(4).origin, n);
    EXPECT_EQ(m.links.at(4).samples, 2u);
    EXPECT_NEAR(m.links.at(2).length + m.links.at(4).length, before, 1e-3);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, ReattachingALink) {
    Map m;
    for (int i = 0; i < 3; ++i) addNorth(m, i);
    m.addNodeToMap(41.15, -8.608, 44.0, 0.7);  // node 4, alone
    const int l = m.addLinkToNode(1, 2, 10.0, 3);
    m.addLinkToNode(2, 3, 10.0, 1);
    testing::internal::CaptureStdout();
    m.updateLink(l, 1, 2);
    m.updateLink(l, 3, 3);  // refused before anything is removed
    m.updateLink(l, 1, 77);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("link 1 is being updated to the same nodes.\n"),
              std::string::npos);
    EXPECT_EQ(m.links.at(l).destination, 2u);
    // Both ends change: node 1 loses its only link on the way and comes back as it was.
    const _mNode one = m.nodes.at(1);
    m.updateLink(l, 4, 1);
    EXPECT_EQ(m.links.at(l).origin, 4u);
    EXPECT_EQ(m.links.at(l).samples, 3u);
    EXPECT_EQ(m.nodes.at(1).latitude, one.latitude);
    EXPECT_EQ(m.nodes.at(4).averageSnr, 44.0);
    EXPECT_EQ(m.nodes.count(2), 1u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, MergingATracePathIntoALink) {
    // Road A -> B; a trace p -> a -> mid -> b -> q drives along it 8 m to the east.
    Map m;
    const uint32_t A = addNorth(m, 0), B = addNorth(m, 2);
    const int L = m.addLinkToNode(A, B, 10.0, 3);
    std::vector<uint32_t> t;
    for (int i = -1; i <= 3; ++i) t.push_back(addNorth(m, i, -8.6099));
    std::vector<int> x;
    for (size_t i = 0; i + 1 < t.size(); ++i) x.push_back(m.addLinkToNode(t[i], t[i + 1], 20.0, 1));
    const _mNode a0 = m.nodes.at(A), a1 = m.nodes.at(t[1]);
    testing::internal::CaptureStdout();
    m.mergePaths({{L, {x[1], x[2]}}}, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("ERROR"), std::string::npos);
    // L carries all observations; the trace's ends hang on A and B; A moved a quarter of the way.
    EXPECT_EQ(m.links.size(), 3u);
    EXPECT_EQ(m.links.at(L).samples, 5u);
    EXPECT_DOUBLE_EQ(m.links.at(L).speed, 14.0);
    EXPECT_EQ(m.links.at(x[0]).destination, A);
    EXPECT_EQ(m.links.at(x[3]).origin, B);
    EXPECT_NEAR(m.nodes.at(A).easting, (3 * a0.easting + a1.easting) / 4, 1e-6);
    EXPECT_EQ(m.superLinks.size(), 1u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    // A path leaving from L's own origin is an observation of L all the same.
    const uint32_t c = addNorth(m, 2, -8.6101);
    const int y = m.addLinkToNode(A, c, 30.0, 1);
    testing::internal::CaptureStdout();
    m.mergePaths({{L, {y}}, {L, {L}}}, 1);  // and a target in its own path is not thrown away
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "node 1 on link 1 and node 2 on link 6 are the same: 1\n"),
              std::string::npos);
    EXPECT_EQ(m.links.at(L).samples, 6u);
    EXPECT_EQ(m.links.size(), 3u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}
