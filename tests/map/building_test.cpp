// Building maps from drives in-process: which points are kept, and folding a drive into a map.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "map/maps_building.h"
#include "maps_invariants.h"

namespace {

using mapRepresentation::Map;
namespace mr = mapRepresentation;

_node fix(double lat, double lon, bool valid = true) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    return _node{0, 0, {lat, lon}, g.northing, g.easting, 0.0, 10.0, 1.0, 35.0, valid};
}

// A drive of `count` fixes about 22 m apart, north (or south when reversed) along one meridian,
// offset east by `east` degrees.
Route drive(int count, bool reversed = false, double east = 0.0) {
    Route r;
    r.name = "drive";
    for (int i = 0; i < count; ++i) {
        const int k = reversed ? count - 1 - i : i;
        r.nodes.push_back(fix(41.15 + k * 0.0002, -8.61 + east));
    }
    return r;
}

}  // namespace

TEST(MapBuilding, UsablePointsDropInvalidAndCrowdedFixes) {
    Route r = drive(3);
    r.nodes.insert(r.nodes.begin() + 1, fix(41.15 + 0.00001, -8.61));  // 1 m on: a standing car
    r.nodes.insert(r.nodes.begin() + 2, fix(41.1501, -8.61, false));   // no fix
    r.nodes.back().averageSnr = std::numeric_limits<double>::quiet_NaN();
    r.nodes.back().hdop = -1000.0;
    const Route kept = mr::usablePoints(r);
    ASSERT_EQ(kept.nodes.size(), 3u);
    EXPECT_EQ(kept.name, "drive");
    EXPECT_EQ(kept.nodes[1].position.lat, r.nodes[3].position.lat);
    EXPECT_EQ(kept.nodes[2].averageSnr, 0.0);
    EXPECT_EQ(kept.nodes[2].hdop, 50.0);
}

TEST(MapBuilding, DrivesStartMergeOrAddAndSpeakThroughTheMapsStream) {
    struct Case {
        const char* name;
        Route second;
        size_t merged;  // links of the second drive folded into the first
        size_t links;   // links of the map afterwards
    };
    const Case cases[] = {
        {"same road, same way", drive(6), 5, 5},
        {"same road, other way", drive(6, true), 0, 10},
        {"a road 200 m east", drive(6, false, 0.0025), 0, 10},
        {"one point", drive(1), 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Map map;
        std::ostringstream messages;
        map.setMessageStream(messages);
        testing::internal::CaptureStdout();
        const mr::DriveOutcome first = mr::addDrive(map, drive(6), 10.0);
        const mr::DriveOutcome second = mr::addDrive(map, c.second, 10.0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(first.used && first.started);
        EXPECT_FALSE(second.started);
        EXPECT_EQ(second.used, c.second.nodes.size() >= 2);
        EXPECT_EQ(second.merged, c.merged);
        EXPECT_EQ(map.links.size(), c.links);
        EXPECT_EQ(messages.str().rfind("initing map from route... \nmap initiated.\n", 0), 0u);
        EXPECT_EQ(messages.str().find("ERROR"), std::string::npos) << messages.str();
        EXPECT_EQ(karvel_test::checkMapInvariants(map), "");
        // A merged link carries the observations of both drives.
        if (c.merged > 0) {
            for (const auto& [id, link] : map.links) EXPECT_EQ(link.samples, 2u) << id;
        }
    }
}
