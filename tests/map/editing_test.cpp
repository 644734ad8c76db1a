// Building and editing maps: maps made from drives, node averaging, link statistics, node insertion,
// link re-attachment and deletion, and merging a path of links into a link. Random edits are checked
// against every invariant in maps_property_test.cpp; these cases check the values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <sstream>
#include <tuple>

#include "geometry/GPSPoint.h"
#include "map/maps_building.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::checkMapInvariants;
using karvel_test::printed;
using mapRepresentation::_mNode;
using mapRepresentation::Map;
namespace mr = mapRepresentation;

namespace {

_mNode record(double lat, double lon, double snr, double hdop) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    return _mNode{lat, lon, g.northing, g.easting, snr, hdop};
}

// A node about 111 m * i north of the first.
uint32_t addNorth(Map& m, double i, double lon = -8.61) {
    return m.addNodeToMap(41.15 + i * 0.001, lon, 30.0, 1.0);
}

// A drive of `count` fixes about 22 m apart at speeds 5, 6, ..., north (or south when reversed)
// along one meridian, offset east by `east` degrees.
Route drive(int count, bool reversed = false, double east = 0.0) {
    Route r;
    r.name = "drive";
    for (int i = 0; i < count; ++i) {
        const double lat = 41.15 + (reversed ? count - 1 - i : i) * 0.0002, lon = -8.61 + east;
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
        r.nodes.push_back(_node{0, 0, {lat, lon}, g.northing, g.easting, 0.0, 5.0 + i, 1.0, 35.0, true});
    }
    return r;
}

}  // namespace

TEST(MapBuilding, UsablePointsDropInvalidAndCrowdedFixes) {
    Route r = drive(3);
    r.nodes.insert(r.nodes.begin() + 1, drive(1, false, 0.0000001).nodes[0]);  // 1 cm on: a standing car
    r.nodes.insert(r.nodes.begin() + 2, r.nodes[2]);
    r.nodes[2].valid = false;  // no fix
    r.nodes.back().averageSnr = std::numeric_limits<double>::quiet_NaN();
    r.nodes.back().hdop = -1000.0;
    const Route kept = mr::usablePoints(r);
    ASSERT_EQ(kept.nodes.size(), 3u);
    EXPECT_EQ(std::tuple(kept.name, kept.nodes[1].position.lat, kept.nodes[2].averageSnr, kept.nodes[2].hdop),
              std::tuple("drive", r.nodes[3].position.lat, 0.0, 50.0));
}

TEST(MapBuilding, DrivesStartMergeOrAddAndSpeakThroughTheMapsStream) {
    // A map of one drive: a node per point, a link per step with the speed of the point it arrives at.
    std::optional<Map> one;
    printed([&] { one.emplace(drive(3)); });
    EXPECT_EQ(std::tuple(one->nodes.size(), one->links.at(1).speed, one->links.at(2).speed),
              std::tuple(3u, 6.0, 7.0));
    const struct {
        const char* name;
        Route second;
        size_t merged;  // links of the second drive folded into the first
        size_t links;   // links of the map afterwards
    } cases[] = {
        {"same road, same way", drive(6), 5, 5},
        {"same road, other way", drive(6, true), 0, 10},
        {"a road 200 m east", drive(6, false, 0.0025), 0, 10},
        {"one point", drive(1), 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Map map;
        std::ostringstream messages;
        map.setMessageStream(messages);
        mr::DriveOutcome first, second;
        EXPECT_EQ(printed([&] {
                      first = mr::addDrive(map, drive(6), 10.0);
                      second = mr::addDrive(map, c.second, 10.0);
                  }),
                  "");
        EXPECT_TRUE(first.used && first.started && !second.started);
        EXPECT_EQ(std::tuple(second.used, second.merged, map.links.size()),
                  std::tuple(c.second.nodes.size() >= 2, c.merged, c.links));
        EXPECT_EQ(messages.str().find("ERROR"), std::string::npos) << messages.str();
        EXPECT_EQ(checkMapInvariants(map), "");
        // A merged link carries the observations of both drives.
        for (const auto& [id, link] : map.links) EXPECT_EQ(link.samples, c.merged > 0 ? 2u : 1u) << id;
    }
    // A drive whose points would run the node ids past the largest is refused whole; one that just
    // fits is used.
    for (const int points : {3, 2}) {
        Map full;
        full.nextNodeId = static_cast<uint32_t>(mapRepresentation::kLargestNodeId) - 1;
        mr::DriveOutcome outcome;
        printed([&] { outcome = mr::addDrive(full, drive(points), 10.0); });
        EXPECT_EQ(std::tuple(outcome.noIdsLeft, outcome.used, full.nodes.size()),
                  std::tuple(points == 3, points == 2, points == 3 ? 0u : 2u));
    }
}

TEST(MapEditing, AveragesOfLinkStatisticsAndNodes) {
    Map m;
    const uint32_t a = addNorth(m, 0), b = addNorth(m, 10), c = addNorth(m, 20);
    const int empty = m.addLinkToNode(b, a, 4.0, 0);
    m.updateLinkStats(empty, 8.0, 0);  // no observations at all: no 0 / 0
    EXPECT_EQ(m.links.at(empty).speed, 4.0);

    const _mNode p = record(41.15, -8.61, 30.0, 1.0), q = record(41.151, -8.609, 40.0, 3.0);
    const _mNode mid = Map::calcAvgNode(p, 1, q, 1);
    EXPECT_EQ(std::tuple(std::round(mid.latitude * 1e5), std::round(mid.longitude * 1e5), mid.hdop),
              std::tuple(4115050.0, -860950.0, 2.0));
    EXPECT_EQ(Map::calcAvgNode(p, 0, q, 0).latitude, p.latitude);  // weights adding up to 0 keep the first

    // Moving node a: its links are recomputed; c moved south of a turns its link round.
    const int ac = m.addLinkToNode(a, c, 10.0, 1);
    m.calcAvgNode(a, 1, b, 1);
    EXPECT_NEAR(m.nodes.at(a).latitude, 41.155, 1e-5);
    m.updateNode(c, record(41.15, -8.61, 1.0, 9.0));
    EXPECT_NEAR(m.links.at(ac).heading, M_PI, 0.01);  // grid south
    EXPECT_EQ(checkMapInvariants(m), "");
}

TEST(MapEditing, NodeInLinkReattachingAndDeleting) {
    Map m;
    for (int i = 0; i < 4; ++i) addNorth(m, i);
    for (uint32_t n = 1; n < 4; ++n) m.addLinkToNode(n, n + 1, 12.0, 2);
    const double before = m.links.at(2).length;
    uint32_t n = 0;
    printed([&] { n = m.addNodeInLink(2, 41.1515, -8.61, 33.0, 2.0); });
    EXPECT_EQ(std::tuple(m.links.at(2).destination, m.links.at(4).origin, m.links.at(4).samples),
              std::tuple(n, n, 2u));
    EXPECT_NEAR(m.links.at(2).length + m.links.at(4).length, before, 1e-3);

    // Re-attaching link 1 (node 1 -> 2) by both ends lets node 1 lose its only link on the way and
    // come back.
    const uint32_t alone = m.addNodeToMap(41.15, -8.608, 44.0, 0.7);
    const _mNode one = m.nodes.at(1);
    m.updateLink(1, alone, 1);
    EXPECT_EQ(std::tuple(m.links.at(1).origin, m.links.at(1).samples, m.nodes.at(1).latitude,
                         m.nodes.at(alone).averageSnr),
              std::tuple(alone, 2u, one.latitude, 44.0));
    // Deleting a node that still has links would leave them pointing at nothing: it stays. A link
    // whose ends have no other link takes them along.
    printed([&] { m.deleteNode(2); });
    m.deleteLink(1);
    EXPECT_EQ(std::tuple(m.nodes.count(2), m.nodes.count(1), m.nodes.count(alone)), std::tuple(1u, 0u, 0u));
    EXPECT_EQ(checkMapInvariants(m), "");
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
    EXPECT_EQ(printed([&] { m.mergePaths({{L, {x[1], x[2]}}}, 1); }).find("ERROR"), std::string::npos);
    // L carries all observations; the trace's ends hang on A and B; A moved a quarter of the way.
    EXPECT_EQ(std::tuple(m.links.size(), m.links.at(L).samples, m.links.at(L).speed, m.superLinks.size()),
              std::tuple(3u, 5u, 14.0, 1u));
    EXPECT_EQ(std::tuple(m.links.at(x[0]).destination, m.links.at(x[3]).origin), std::tuple(A, B));
    EXPECT_NEAR(m.nodes.at(A).easting, (3 * a0.easting + a1.easting) / 4, 1e-6);

    // A path leaving from L's own origin is an observation of L all the same, and a target in its
    // own path is not thrown away.
    const int y = m.addLinkToNode(A, addNorth(m, 2, -8.6101), 30.0, 1);
    EXPECT_NE(printed([&] {
                  m.mergePaths({{L, {y}}, {L, {L}}}, 1);
              }).find("node 1 on link 1 and node 2 on link 6 are the same: 1\n"),
              std::string::npos);
    EXPECT_EQ(std::tuple(m.links.at(L).samples, m.links.size()), std::tuple(6u, 3u));
    EXPECT_EQ(checkMapInvariants(m), "");
}
