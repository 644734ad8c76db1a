// A route is measured in the frame of the map it is matched on: unchanged inside the frame's zone,
// sane speeds and headings across a zone line.
#include <gtest/gtest.h>

#include <algorithm>
#include <numbers>
#include <sstream>

#include "nmea_writer.h"
#include "test_support.h"
#include "traces/NMEALoader.h"

namespace {

Route loaded(const std::string& text) {
    karvel_test::TempDir dir;
    dir.write("t.txt", text);
    std::ostringstream log;
    return NMEALoader(dir / "t.txt", log).route;
}

}  // namespace

TEST(RouteFrame, InsideTheZoneNothingMovesAcrossItEverythingIsMeasuredAgain) {
    const Route porto = loaded(karvel_test::nmeaAlong(41.15, -8.61, 41.16, -8.60, 20));
    Route same = porto;
    traces::useFrame(same, geo::PlaneFrame::ofZone(29, false));
    ASSERT_EQ(same.nodes.size(), porto.nodes.size());
    for (size_t i = 0; i < same.nodes.size(); ++i) {
        const _node &a = same.nodes[i], &b = porto.nodes[i];
        EXPECT_TRUE(a.easting == b.easting && a.northing == b.northing && a.speed == b.speed &&
                    a.heading == b.heading && a.arrivalTime == b.arrivalTime)
            << i;
    }

    // 26 fixes a second apart over 250 m eastwards across 12 deg E: 10 m/s, heading east.
    Route across = loaded(karvel_test::nmeaAlong(48.137, 11.9983, 48.137, 12.0017, 26));
    double worst = 0;
    for (const _node& n : across.nodes) worst = std::max(worst, n.speed);
    EXPECT_GT(worst, 1000.0);  // each point in its own zone
    traces::useFrame(across, geo::PlaneFrame::ofZone(32, false));
    for (const _node& n : across.nodes) {
        EXPECT_NEAR(n.speed, 10.1, 0.3);
        EXPECT_NEAR(n.heading, std::numbers::pi / 2, 0.06);  // grid north is 2 deg off
    }
}
