// Marchal matching of a real drive on the road network it was recorded on (Kubicka et al. 2015,
// track 46: 1401 fixes in France on a 299-node OpenStreetMap extract with a hand-checked route).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>

#include "geometry/GPSPoint.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

namespace {

struct Drive {
    mapRepresentation::Map map;
    Route route;
    std::set<int> truth;  // link ids of the ground-truth route
};

// Nodes get id line + 1 and arcs id line + 1 (the map numbers links from 1 in insertion order).
bool loadDrive(const std::string& dir, Drive& d) {
    std::ifstream nodes(dir + "/00000046.nodes"), arcs(dir + "/00000046.arcs"),
        track(dir + "/00000046.track"), truth(dir + "/00000046.route");
    if (!nodes || !arcs || !track || !truth) return false;
    double lon = 0, lat = 0, t = 0;
    uint32_t id = 1;
    while (nodes >> lon >> lat) d.map.addNode(id++, lat, lon, 0, 0);
    uint32_t from = 0, to = 0;
    while (arcs >> from >> to) d.map.addLinkToNode(from + 1, to + 1, 0, 0);
    while (track >> lon >> lat >> t) {
        _node n;
        n.position = {lat, lon};
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
        n.easting = g.easting;
        n.northing = g.northing;
        n.arrivalTime = n.leaveTime = static_cast<uint32_t>(std::lround(t));
        d.route.addNode(n, true);
    }
    int arc = 0;
    while (truth >> arc) d.truth.insert(arc + 1);
    return true;
}

}  // namespace

TEST(MarchalRealData, MatchesMostOfARealDriveOntoItsRoute) {
    KARVEL_REQUIRE_SHARED(dir, "kubicka2015-mapmatching/sample/00000046");
    Drive d;
    ASSERT_TRUE(loadDrive(dir, d));
    const std::size_t n = d.route.nodes.size();
    ASSERT_EQ(n, 1401u);

    MapMatching::MarchalBMatching m(&d.map, &d.route);
    for (bool forward : {true, false}) {
        m.run(forward, false);
        std::size_t matchedPoints = 0, onRoute = 0;
        int previous = -1;
        for (const auto& piece : m.getShortMatched()) {
            for (const auto& [index, link] : piece->links) {
                EXPECT_GT(index, previous);  // pieces and pairs in trace order, each point once
                previous = index;
                ++matchedPoints;
                onRoute += d.truth.count(link);
            }
        }
        EXPECT_GT(matchedPoints, n * 9 / 10) << (forward ? "forward" : "backward");
        EXPECT_GT(onRoute, matchedPoints * 97 / 100) << (forward ? "forward" : "backward");
    }
}
