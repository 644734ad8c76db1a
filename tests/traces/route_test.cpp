#include "traces/route.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <numbers>

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

}  // namespace

TEST(Route, AddNodeDerivesSpeedAndHeading) {
    Route r = routeOf({at(500000, 4000000, 100)});
    EXPECT_EQ(r.nodes[0].heading, 0.0);
    EXPECT_EQ(r.nodes[0].speed, 0.0);
    r.addNode(at(500000, 4000010, 105), true);  // 10 m north in 5 s; the first point borrows it
    r.addNode(at(500030, 4000010, 115), true);  // 30 m east in 10 s
    EXPECT_DOUBLE_EQ(r.nodes[0].speed, 2.0);
    EXPECT_DOUBLE_EQ(r.nodes[0].heading, 0.0);
    EXPECT_DOUBLE_EQ(r.nodes[1].speed, 2.0);
    EXPECT_DOUBLE_EQ(r.nodes[2].speed, 3.0);
    EXPECT_DOUBLE_EQ(r.nodes[2].heading, kPi / 2);

    EXPECT_DOUBLE_EQ(routeOf({at(0, 0, 50), at(3, 4, 50)}).nodes[1].speed, 10.0);  // same second: 0.5 s
    EXPECT_DOUBLE_EQ(routeOf({at(0, 0, 50), at(0, 100, 49)}).nodes[1].speed, 100.0 / 4294967295.0);  // wraps
    EXPECT_TRUE(std::isnan(routeOf({at(7, 7, 1), at(7, 7, 2)}).nodes[1].heading));

    EXPECT_EQ(routeOf({at(0, 0, 1), at(0, 100, 2)}, false).nodes[1].speed, 7.0);
}

TEST(Route, MergeRecomputesOnlyTheJoint) {
    const Route a = routeOf({at(0, 0, 0), at(0, 10, 10)});
    const Route b = routeOf({at(10, 10, 20), at(20, 10, 30)}, false);
    Route joined = a;
    joined.merge(b, true);
    ASSERT_EQ(joined.nodes.size(), 4u);
    EXPECT_DOUBLE_EQ(joined.nodes[2].speed, 1.0);
    EXPECT_DOUBLE_EQ(joined.nodes[2].heading, kPi / 2);
    EXPECT_EQ(joined.nodes[3].speed, 7.0);

    Route fresh;
    fresh.merge(b, true);
    EXPECT_EQ(fresh.nodes[0].speed, 7.0);
    Route zero = a;  // equal times at the joint have no half-second substitute
    zero.merge(routeOf({at(0, 20, 10)}, false), true);
    EXPECT_TRUE(std::isinf(zero.nodes[2].speed));
    Route self = a;
    self.merge(self, true);
    ASSERT_EQ(self.nodes.size(), 4u);
    EXPECT_EQ(self.nodes[3].northing, 10.0);
}

TEST(Route, CutsReversalAndLength) {
    Route r;
    for (uint32_t i = 0; i < 5; ++i) r.addNode(at(0, i * 10.0, i), true);
    r.setOriginalFilename("data/nmea/trip.txt", true);
    const Route one = r.subRoute(2, 2);
    ASSERT_EQ(one.nodes.size(), 1u);
    EXPECT_EQ(one.nodes[0].northing, 20.0);
    EXPECT_EQ(one.name + "|" + one.sourceFile, "trip|data/nmea/trip.txt");
    for (auto [first, last] : {std::pair{3, 2}, {-1, 2}, {0, 5}}) {
        const Route bad = r.subRoute(first, last);
        EXPECT_TRUE(bad.nodes.empty() && bad.name.empty() && bad.sourceFile.empty()) << first << ".." << last;
    }

    const Route turn = routeOf({at(0, 0, 0), at(0, 10, 10), at(10, 10, 20)});
    const Route rev = turn.reversedRoute();
    EXPECT_EQ(rev.name, "reversed_");
    ASSERT_EQ(rev.nodes.size(), 3u);
    EXPECT_EQ(rev.nodes[0].arrivalTime, 20u);
    EXPECT_DOUBLE_EQ(rev.nodes[0].heading, 3 * kPi / 2);  // west, copied from the second point
    EXPECT_DOUBLE_EQ(rev.nodes[2].heading, kPi);
    EXPECT_EQ(routeOf({at(1, 2, 3)}, false).reversedRoute().nodes[0].heading, 1.25);

    EXPECT_EQ(Route().getTotalLength(), 0.0);
    EXPECT_DOUBLE_EQ(routeOf({at(0, 0, 0), at(3, 4, 1), at(3, 14, 2)}).getTotalLength(), 15.0);
}

TEST(Route, NamesFromPaths) {
    Route r;
    for (auto [path, name] : {std::pair{"logs/a.b.txt", "a.b"},
                              {"c:\\logs\\run.nmea", "run"},
                              {"dir.v2/trip", "trip"},
                              {"data/.hidden", ""}}) {
        r.setOriginalFilename(path, true);
        EXPECT_EQ(r.name, name) << path;
        EXPECT_EQ(r.sourceFile, path);
    }
    r.setOriginalFilename("other/file.txt", false);
    EXPECT_EQ(r.name + "|" + r.sourceFile, "|other/file.txt");
    const Route c({at(0, 0, 0)}, "short", "long/short.txt");  // the name comes first
    EXPECT_EQ(c.name + "|" + c.sourceFile, "short|long/short.txt");
}
