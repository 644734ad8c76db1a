// Map editing: maps made from traces, node averaging, link statistics, and the operations that
// insert, re-attach, delete and merge nodes and links.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "geometry/GPSPoint.h"
#include "maps_invariants.h"
#include "support/test_support.h"
#include "traces/route.h"

using mapRepresentation::_mNode;
using mapRepresentation::Map;

namespace {

_node tracePoint(double lat, double lon, double speed) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    _node n;
    n.position = _position{lat, lon};
    n.easting = g.easting;
    n.northing = g.northing;
    n.speed = speed;
    n.hdop = 1.5;
    n.averageSnr = 40.0;
    n.valid = true;
    return n;
}

_mNode record(double lat, double lon, double snr, double hdop) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    return _mNode{lat, lon, g.northing, g.easting, snr, hdop};
}

// Node id at (41.15 + i * 0.001, -8.61), i.e. about 111 m apart going north.
uint32_t addNorth(Map& m, int i) { return m.addNodeToMap(41.15 + i * 0.001, -8.61, 30.0, 1.0); }

std::vector<int> chainOf(const Map& m, int key) {
    const auto& l = m.superLinks.at(key).links;
    return std::vector<int>(l.begin(), l.end());
}

bool indexed(const Map& m, uint32_t id) {
    const auto& n = m.nodes.at(id);
    const auto near = m.getNearestPoints(n.latitude, n.longitude, 1.0);
    return std::find(near.begin(), near.end(), id) != near.end();
}

}  // namespace

TEST(MapEditing, ThreePointTraceGivesAChainOfTwoLinks) {
    Route route;
    route.nodes = {tracePoint(41.150, -8.61, 5.0), tracePoint(41.151, -8.61, 7.5), tracePoint(41.152, -8.61, 9.0)};
    testing::internal::CaptureStdout();
    Map m(route);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "initing map from route... \nmap initiated.\n");
    EXPECT_EQ(m.nodes.size(), 3u);
    ASSERT_EQ(m.links.size(), 2u);
    EXPECT_EQ(m.links.at(1).origin, 1u);
    EXPECT_EQ(m.links.at(2).destination, 3u);
    EXPECT_EQ(m.links.at(1).speed, 7.5);  // the speed of the point the link arrives at
    EXPECT_EQ(m.links.at(2).speed, 9.0);
    EXPECT_EQ(m.links.at(1).samples, 1u);
    EXPECT_EQ(m.nodes.at(2).hdop, 1.5);
    EXPECT_EQ(m.nodes.at(2).averageSnr, 40.0);
    EXPECT_EQ(m.superLinks.size(), 1u);  // one road from the first point to the last
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    karvel_test::TempDir dir;
    ASSERT_TRUE(m.saveMap(dir / "map.txt"));
    const std::string text = karvel_test::readFile(dir / "map.txt");
    EXPECT_NE(text.find("\n2\n1  2 7.500000000 1\n2  3 9.000000000 1\n"), std::string::npos) << text;

    // One point: one node, no link.
    Route single;
    single.nodes = {tracePoint(41.15, -8.61, 3.0)};
    testing::internal::CaptureStdout();
    Map one(single);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(one.nodes.size(), 1u);
    EXPECT_TRUE(one.links.empty());
}

TEST(MapEditing, LinkStatisticsAreWeightedBySamples) {
    Map m;
    addNorth(m, 0);
    addNorth(m, 1);
    const int l = m.addLinkToNode(1, 2, 10.0, 1);
    m.updateLinkStats(l, 20.0, 3);
    EXPECT_DOUBLE_EQ(m.links.at(l).speed, 17.5);
    EXPECT_EQ(m.links.at(l).samples, 4u);

    // No observations on either side: nothing to average, the speed stays a number.
    const int empty = m.addLinkToNode(2, 1, 4.0, 0);
    m.updateLinkStats(empty, 8.0, 0);
    EXPECT_EQ(m.links.at(empty).speed, 4.0);
    EXPECT_EQ(m.links.at(empty).samples, 0u);

    testing::internal::CaptureStdout();
    m.updateLinkStats(99, 1.0, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: non existing link 99.\n");
}

TEST(MapEditing, AverageOfNodeRecords) {
    const _mNode a = record(41.15, -8.61, 30.0, 1.0);
    const _mNode b = record(41.151, -8.609, 40.0, 3.0);
    const _mNode mid = Map::calcAvgNode(a, 1, b, 1);
    EXPECT_DOUBLE_EQ(mid.easting, (a.easting + b.easting) / 2);
    EXPECT_DOUBLE_EQ(mid.northing, (a.northing + b.northing) / 2);
    EXPECT_NEAR(mid.latitude, 41.1505, 1e-5);
    EXPECT_NEAR(mid.longitude, -8.6095, 1e-5);
    EXPECT_DOUBLE_EQ(mid.averageSnr, 35.0);
    EXPECT_DOUBLE_EQ(mid.hdop, 2.0);

    const _mNode first = Map::calcAvgNode(a, 1, b, 0);
    EXPECT_DOUBLE_EQ(first.easting, a.easting);
    EXPECT_DOUBLE_EQ(first.northing, a.northing);
    EXPECT_NEAR(first.latitude, a.latitude, 2e-6);  // back through the series: within centimetres
    EXPECT_NEAR(first.longitude, a.longitude, 2e-6);
    EXPECT_DOUBLE_EQ(first.averageSnr, a.averageSnr);

    const _mNode weighted = Map::calcAvgNode(a, 3, b, 1);
    EXPECT_DOUBLE_EQ(weighted.easting, (3 * a.easting + b.easting) / 4);

    // Weights adding up to 0 would divide by zero: the first record is kept.
    testing::internal::CaptureStdout();
    const _mNode none = Map::calcAvgNode(a, 0, b, 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR: "), std::string::npos);
    EXPECT_EQ(none.easting, a.easting);
    EXPECT_EQ(none.latitude, a.latitude);
}

TEST(MapEditing, MovingNodesKeepsIndexAndLinkGeometry) {
    Map m;
    const uint32_t a = addNorth(m, 0);
    const uint32_t b = addNorth(m, 10);  // about 1.1 km north
    const uint32_t c = addNorth(m, 20);
    const int l = m.addLinkToNode(a, c, 10.0, 1);

    testing::internal::CaptureStdout();
    m.calcAvgNode(99, 1, b, 1);
    m.calcAvgNode(a, 1, a, 1);
    m.calcAvgNode(a, 1, 98, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: node from path 1 doesn't exist: 99\nnode from path1 and path2 are the same: 1\n"
              "ERROR: node from path 2 doesn't exist: 98\n");

    m.calcAvgNode(a, 1, b, 1);  // a moves halfway to b, b stays
    EXPECT_NEAR(m.nodes.at(a).latitude, 41.155, 1e-5);
    EXPECT_EQ(m.nodes.at(b).latitude, 41.16);
    EXPECT_TRUE(indexed(m, a));
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, 50.0).empty());
    EXPECT_NEAR(m.links.at(l).length, distance2Points(m.getNodePoint(a), m.getNodePoint(c)), 1e-9);

    m.updateNode(c, record(41.15, -8.61, 1.0, 9.0));  // c now lies south of a: the link turns round
    EXPECT_EQ(m.nodes.at(c).hdop, 9.0);
    EXPECT_TRUE(indexed(m, c));
    EXPECT_NEAR(m.links.at(l).heading, M_PI, 0.01);  // grid south, not quite true south
    EXPECT_NEAR(m.links.at(l).length, distance2Points(m.getNodePoint(a), m.getNodePoint(c)), 1e-9);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    testing::internal::CaptureStdout();
    m.updateNode(77, record(41.0, -8.0, 0, 0));  // no such node: nothing is added
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR: "), std::string::npos);
    EXPECT_EQ(m.nodes.count(77), 0u);
}

TEST(MapEditing, DeletingTheOnlyLinkRemovesBothNodes) {
    Map m;
    addNorth(m, 0);
    addNorth(m, 1);
    const int l = m.addLinkToNode(1, 2, 10.0, 1);
    m.deleteLink(l);
    EXPECT_TRUE(m.nodes.empty());
    EXPECT_TRUE(m.graph.empty());
    EXPECT_TRUE(m.superNodes.empty());
    EXPECT_TRUE(m.superLinks.empty());
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");  // the index is empty too
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, 1000.0).empty());

    testing::internal::CaptureStdout();
    m.deleteLink(l);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Link 1 not found.\n");
}

TEST(MapEditing, DeletingLinksSplitsAndJoinsRoads) {
    Map m;
    for (int i = 0; i < 5; ++i) addNorth(m, i);
    for (uint32_t n = 1; n < 5; ++n) m.addLinkToNode(n, n + 1, 10.0, 1);
    m.addNodeToMap(41.1525, -8.609, 0, 0);  // node 6 beside node 3
    const int side = m.addLinkToNode(3, 6, 10.0, 1);
    ASSERT_EQ(m.superLinks.size(), 3u);
    // Without the side road node 3 only continues the road again: one super-link 1 -> 5.
    m.deleteLink(side);
    EXPECT_EQ(m.nodes.count(6), 0u);
    ASSERT_EQ(m.superLinks.size(), 1u);
    EXPECT_EQ(chainOf(m, m.links.at(1).superLinkKey), (std::vector<int>{1, 2, 3, 4}));
    // Taking out a link in the middle cuts the road in two.
    m.deleteLink(2);
    EXPECT_EQ(m.superLinks.size(), 2u);
    EXPECT_EQ(m.nodes.size(), 5u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, NodeInLinkRenumbersItsSuperLink) {
    Map m;
    for (int i = 0; i < 4; ++i) addNorth(m, i);
    for (uint32_t n = 1; n < 4; ++n) m.addLinkToNode(n, n + 1, 12.0, 2);
    const int key = m.links.at(2).superLinkKey;
    const double before = m.links.at(2).length;

    testing::internal::CaptureStdout();
    const uint32_t n = m.addNodeInLink(2, 41.1515, -8.61, 33.0, 2.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "deleting super node: 5\n");
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(chainOf(m, key), (std::vector<int>{1, 2, 4, 3}));
    for (int l : {1, 2, 4, 3}) EXPECT_EQ(m.links.at(l).superLinkKey, key);
    EXPECT_EQ(m.links.at(1).sequenceNumber, 0);
    EXPECT_EQ(m.links.at(2).sequenceNumber, 1);
    EXPECT_EQ(m.links.at(4).sequenceNumber, 2);
    EXPECT_EQ(m.links.at(3).sequenceNumber, 3);
    EXPECT_EQ(m.links.at(2).destination, n);
    EXPECT_EQ(m.links.at(4).origin, n);
    EXPECT_EQ(m.links.at(4).destination, 3u);
    EXPECT_EQ(m.links.at(4).speed, 12.0);
    EXPECT_EQ(m.links.at(4).samples, 2u);
    EXPECT_NEAR(m.links.at(2).length + m.links.at(4).length, before, 1e-3);
    EXPECT_EQ(m.superNodes.count(n), 0u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    testing::internal::CaptureStdout();
    EXPECT_EQ(m.addNodeInLink(99, 41.0, -8.0, 0, 0), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Link 99 not found.\n");
    EXPECT_EQ(m.nodes.size(), 5u);
}

TEST(MapEditing, ReattachingALink) {
    Map m;
    for (int i = 0; i < 3; ++i) addNorth(m, i);
    m.addNodeToMap(41.15, -8.608, 44.0, 0.7);  // node 4, isolated
    const int l = m.addLinkToNode(1, 2, 10.0, 3);
    m.addLinkToNode(2, 3, 10.0, 1);

    testing::internal::CaptureStdout();
    m.updateLink(l, 1, 2);
    m.updateLink(42, 1, 2);
    m.updateLink(l, 3, 3);   // would be a loop onto itself
    m.updateLink(l, 1, 77);  // no such node
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("link 1 is being updated to the same nodes.\n"), std::string::npos);
    EXPECT_NE(out.find("ERROR: Link 42 not found.\n"), std::string::npos);
    EXPECT_EQ(m.links.at(l).origin, 1u);  // refused updates leave the link where it was
    EXPECT_EQ(m.links.at(l).destination, 2u);
    EXPECT_EQ(m.nodes.count(77), 0u);

    // Node 1 loses its only link and comes back as it was; the link keeps id and observations.
    const _mNode one = m.nodes.at(1);
    m.updateLink(l, 1, 4);
    ASSERT_EQ(m.links.count(l), 1u);
    EXPECT_EQ(m.links.at(l).destination, 4u);
    EXPECT_EQ(m.links.at(l).samples, 3u);
    EXPECT_EQ(m.nodes.at(1).latitude, one.latitude);
    EXPECT_EQ(m.nodes.at(1).averageSnr, one.averageSnr);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    // Turned round: both ends change, both nodes come back with their own records.
    const _mNode four = m.nodes.at(4);
    m.updateLink(l, 4, 1);
    EXPECT_EQ(m.links.at(l).origin, 4u);
    EXPECT_EQ(m.nodes.at(4).averageSnr, four.averageSnr);
    EXPECT_EQ(m.nodes.at(4).hdop, four.hdop);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, DeletingNodes) {
    Map m;
    addNorth(m, 0);
    addNorth(m, 1);
    const uint32_t lone = addNorth(m, 2);
    m.addLinkToNode(1, 2, 10.0, 1);
    testing::internal::CaptureStdout();
    m.deleteNode(1);  // still has a link: kept, or the link would point at nothing
    m.deleteNode(99);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: node 1 still has links; it is not deleted.\n");
    m.deleteNode(lone);
    EXPECT_EQ(m.nodes.size(), 2u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, MergingEdgesMovesLinksAndDropsLoops) {
    Map m;
    const uint32_t keep = addNorth(m, 0);
    const uint32_t remove = addNorth(m, 1);
    const uint32_t a = addNorth(m, 2);
    const uint32_t b = addNorth(m, 3);
    const int in = m.addLinkToNode(a, remove, 10.0, 1);
    const int out = m.addLinkToNode(remove, b, 10.0, 1);
    const int toRemove = m.addLinkToNode(keep, remove, 10.0, 1);
    const int toKeep = m.addLinkToNode(remove, keep, 10.0, 1);

    testing::internal::CaptureStdout();
    m.mergeEdges(keep, remove);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t\tor ID is nodeID1 deleting link: " + std::to_string(toRemove) + "\n");
    EXPECT_EQ(m.nodes.count(remove), 0u);
    EXPECT_EQ(m.links.count(toRemove), 0u);
    EXPECT_EQ(m.links.count(toKeep), 0u);
    EXPECT_EQ(m.links.at(in).destination, keep);
    EXPECT_EQ(m.links.at(out).origin, keep);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    testing::internal::CaptureStdout();
    m.mergeEdges(keep, 99);
    m.graph.erase(a);  // tables made to disagree
    m.mergeEdges(keep, a);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Merging non existing node: 99\nNodes don't exist in graph: 0 1\n");
}

TEST(MapEditing, MergingATracePathIntoALink) {
    // Map road A -> B; a trace p -> a -> m -> b -> q drives along it a few metres to the east.
    Map m;
    const uint32_t A = addNorth(m, 0);
    const uint32_t B = addNorth(m, 2);
    const int L = m.addLinkToNode(A, B, 10.0, 3);
    const uint32_t p = m.addNodeToMap(41.149, -8.6099, 0, 0);
    const uint32_t a = m.addNodeToMap(41.150, -8.6099, 0, 0);
    const uint32_t mid = m.addNodeToMap(41.151, -8.6099, 0, 0);
    const uint32_t b = m.addNodeToMap(41.152, -8.6099, 0, 0);
    const uint32_t q = m.addNodeToMap(41.153, -8.6099, 0, 0);
    const int y0 = m.addLinkToNode(p, a, 20.0, 1);
    const int x1 = m.addLinkToNode(a, mid, 20.0, 1);
    const int x2 = m.addLinkToNode(mid, b, 20.0, 1);
    const int y3 = m.addLinkToNode(b, q, 20.0, 1);
    const _mNode aBefore = m.nodes.at(A);
    const _mNode a0 = m.nodes.at(a);

    testing::internal::CaptureStdout();
    m.mergePaths({{L, {x1, x2}}}, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("->Merging links " + std::to_string(L) + "\n", 0), 0u) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;

    // The path collapsed onto L, which carries all observations; the trace's ends hang on A and B.
    EXPECT_EQ(m.links.size(), 3u);
    EXPECT_EQ(m.links.at(L).samples, 5u);
    EXPECT_DOUBLE_EQ(m.links.at(L).speed, 14.0);
    EXPECT_EQ(m.links.at(y0).destination, A);
    EXPECT_EQ(m.links.at(y3).origin, B);
    for (uint32_t gone : {a, mid, b}) EXPECT_EQ(m.nodes.count(gone), 0u);
    // A moved a quarter of the way towards the trace's first node.
    EXPECT_NEAR(m.nodes.at(A).easting, (3 * aBefore.easting + a0.easting) / 4, 1e-6);
    EXPECT_NEAR(m.links.at(L).length, distance2Points(m.getNodePoint(A), m.getNodePoint(B)), 1e-9);
    EXPECT_EQ(m.superLinks.size(), 1u);  // p -> A -> B -> q is one road now
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, MergingWithMissingPieces) {
    Map m;
    addNorth(m, 0);
    addNorth(m, 1);
    const int L = m.addLinkToNode(1, 2, 10.0, 1);
    testing::internal::CaptureStdout();
    m.mergeLinks(99, {L}, 1);
    m.mergeLinks(L, {98}, 1);
    m.mergeLinks(L, {L, 97}, 1);
    m.mergeLinks(L, {}, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR: merging non existing link: 99\n"), std::string::npos);
    EXPECT_NE(out.find("ERROR: first link from path2 doesn't exist: 98\n"), std::string::npos);
    EXPECT_NE(out.find("ERROR: last link from path2 doesn't exist: 97\n"), std::string::npos);
    EXPECT_EQ(m.links.size(), 1u);
    EXPECT_EQ(m.nodes.size(), 2u);

    // A target listed in its own path is not thrown away with the path.
    testing::internal::CaptureStdout();
    m.mergePaths({{L, {L}}}, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m.links.count(L), 1u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapEditing, PathLeavingFromTheLinksOwnOriginStillCounts) {
    // A trace that starts right at A: its first link shares L's origin, yet it is an observation of L.
    Map m;
    const uint32_t A = addNorth(m, 0);
    const uint32_t B = addNorth(m, 2);
    const int L = m.addLinkToNode(A, B, 10.0, 1);
    const uint32_t mid = m.addNodeToMap(41.151, -8.6099, 0, 0);
    const uint32_t b = m.addNodeToMap(41.152, -8.6099, 0, 0);
    const int x1 = m.addLinkToNode(A, mid, 20.0, 1);
    const int x2 = m.addLinkToNode(mid, b, 20.0, 1);
    testing::internal::CaptureStdout();
    m.mergePaths({{L, {x1, x2}}}, 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("node 1 on link 1 and node 2 on link 2 are the same: 1\n"), std::string::npos) << out;
    EXPECT_EQ(m.links.size(), 1u);
    EXPECT_EQ(m.links.at(L).samples, 3u);
    EXPECT_DOUBLE_EQ(m.links.at(L).speed, 50.0 / 3);
    EXPECT_EQ(m.nodes.size(), 2u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}
