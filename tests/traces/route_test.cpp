// Routes: derived speeds and headings, cuts, reversal and names, and the frame of the map a route
// is matched on (unchanged inside the frame's zone, sane speeds and headings across a zone line).
#include "traces/route.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <sstream>

#include "nmea_writer.h"
#include "test_support.h"
#include "traces/NMEALoader.h"

namespace {

constexpr double kPi = std::numbers::pi;

// A point with marker values for the derived fields.
_node at(double easting, double northing, uint32_t time) {
    return _node{time, time, {}, northing, easting, 1.25, 7.0, 0.0, 0.0, false};
}

Route routeOf(std::initializer_list<_node> points, bool derived = true) {
    Route r;
    for (const _node& n : points) r.addNode(n, derived);
    return r;
}

// (speed, heading) of every point.
std::vector<std::pair<double, double>> motion(const Route& r) {
    std::vector<std::pair<double, double>> out;
    for (const _node& n : r.nodes) out.emplace_back(n.speed, n.heading);
    return out;
}
using Motion = std::vector<std::pair<double, double>>;

Route loaded(const std::string& text) {
    karvel_test::TempDir dir;
    dir.write("t.txt", text);
    std::ostringstream log;
    return NMEALoader(dir / "t.txt", log).route;
}

}  // namespace

TEST(Route, DerivedSpeedAndHeadingOnAddAndMerge) {
    // 10 m north in 5 s (the first point borrows it), then 30 m east in 10 s.
    EXPECT_EQ(motion(routeOf({at(0, 0, 100), at(0, 10, 105), at(30, 10, 115)})),
              (Motion{{2, 0}, {2, 0}, {3, kPi / 2}}));
    EXPECT_EQ(routeOf({at(0, 0, 50), at(3, 4, 50)}).nodes[1].speed, 10.0);  // same second: 0.5 s
    EXPECT_EQ(routeOf({at(0, 0, 50), at(0, 100, 49)}).nodes[1].speed, 100.0 / 4294967295.0);  // wraps
    EXPECT_TRUE(std::isnan(routeOf({at(7, 7, 1), at(7, 7, 2)}).nodes[1].heading));
    EXPECT_EQ(routeOf({at(0, 0, 1), at(0, 100, 2)}, false).nodes[1].speed, 7.0);

    // Merging recomputes only the joint; equal times there have no half-second substitute.
    const Route a = routeOf({at(0, 0, 0), at(0, 10, 10)}),
                b = routeOf({at(10, 10, 20), at(20, 10, 30)}, false);
    Route joined = a, fresh, zero = a, self = a;
    joined.merge(b, true);
    EXPECT_EQ(motion(joined), (Motion{{1, 0}, {1, 0}, {1, kPi / 2}, {7, 1.25}}));
    fresh.merge(b, true);
    EXPECT_EQ(motion(fresh), motion(b));
    zero.merge(routeOf({at(0, 20, 10)}, false), true);
    EXPECT_TRUE(std::isinf(zero.nodes[2].speed));
    self.merge(self, true);
    ASSERT_EQ(self.nodes.size(), 4u);
    EXPECT_EQ(self.nodes[3].northing, 10.0);
}

TEST(Route, CutsReversalLengthAndNames) {
    Route r;
    for (uint32_t i = 0; i < 5; ++i) r.addNode(at(0, i * 10.0, i), true);
    r.setOriginalFilename("data/nmea/trip.txt", true);
    const Route one = r.subRoute(2, 2);
    ASSERT_EQ(one.nodes.size(), 1u);
    EXPECT_EQ(std::tuple(one.nodes[0].northing, one.name, one.sourceFile),
              std::tuple(20.0, "trip", "data/nmea/trip.txt"));
    for (auto [first, last] : {std::pair{3, 2}, {-1, 2}, {0, 5}})
        EXPECT_TRUE(r.subRoute(first, last).nodes.empty()) << first << ".." << last;

    // Reversed headings: west, copied to the first point; a lone point keeps its own.
    const Route rev = routeOf({at(0, 0, 0), at(0, 10, 10), at(10, 10, 20)}).reversedRoute();
    EXPECT_EQ(std::tuple(rev.name, rev.nodes[0].arrivalTime, rev.nodes[0].heading, rev.nodes[2].heading),
              std::tuple("reversed_", 20u, 3 * kPi / 2, kPi));
    EXPECT_EQ(routeOf({at(1, 2, 3)}, false).reversedRoute().nodes[0].heading, 1.25);
    EXPECT_EQ(routeOf({at(0, 0, 0), at(3, 4, 1), at(3, 14, 2)}).getTotalLength(), 15.0);

    for (auto [path, name] : {std::pair{"logs/a.b.txt", "a.b"},
                              {"c:\\logs\\run.nmea", "run"},
                              {"dir.v2/trip", "trip"},
                              {"data/.hidden", ""}}) {
        r.setOriginalFilename(path, true);
        EXPECT_EQ(r.name + "|" + r.sourceFile, name + std::string("|") + path);
    }
    r.setOriginalFilename("other/file.txt", false);
    EXPECT_EQ(r.name + "|" + r.sourceFile, "|other/file.txt");
}

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
