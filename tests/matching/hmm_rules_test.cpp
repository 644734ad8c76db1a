// The stated rules of the hidden-Markov matcher one at a time: its cost functions against numbers
// worked out by hand, the noise estimate, where a piece's drive starts and ends, the unmatched
// stretches at a trace's ends, and the smoother that places the fixes along the drive.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "local_world.h"
#include "matching/hmm_matcher.h"
#include "matching/hmm_track_smoother.h"

namespace {

using MapMatching::HmmMatcher;
using MapMatching::HmmParams;
using MapMatching::kHmmDefaults;
using mapRepresentation::RoadGraph;

// A matcher with the default preset but a fixed sigma of 10 m, after a run (which settles the sigma).
struct Priced {
    local_world::World w;
    std::unique_ptr<RoadGraph> graph;
    std::unique_ptr<HmmMatcher> m;
    Priced() {
        w.chain(0, 200, 100, 0);
        graph = std::make_unique<RoadGraph>(w.map);
        HmmParams p = kHmmDefaults;
        p.sigma = 10.0;
        m = std::make_unique<HmmMatcher>(*graph, p);
        Route r;
        r.nodes.push_back(local_world::point(50, 2));
        m->run(r);
    }
};

TEST(HmmCosts, AgreeWithTheRulesWorkedByHandAndSmallMovesBackAreNoise) {
    const Priced c;
    const HmmMatcher& m = *c.m;
    ASSERT_DOUBLE_EQ(m.usedSigma(), 10.0);
    EXPECT_DOUBLE_EQ(m.emissionCost(0.0), 0.0);
    EXPECT_DOUBLE_EQ(m.emissionCost(20.0), 2.0);  // half the squared z-score
    EXPECT_DOUBLE_EQ(m.outlierCost(), 12.5);      // a fix five sigma off
    // beta 1.5, 0.5 per second, 0.02 per second squared
    EXPECT_DOUBLE_EQ(m.scale(1.0), 2.02);
    EXPECT_DOUBLE_EQ(m.scale(10.0), 8.5);
    struct Row {
        double d, straight, scale;
        bool turns;
        double cost;
        const char* why;
    } rows[] = {
        {100, 100, 2, false, 0.0, "the route is the straight line"},
        {130, 100, 2, false, 15.0, "a detour is priced in full"},
        {60, 100, 2, false, 10.0, "a route shorter than the line costs half its shortfall"},
        {-10, 0, 1, false, 20.0, "backwards on a link: its length, and that length again"},
        {-10, 10, 1, false, 10.0, "backwards as far as the fixes moved back"},
        {100, 100, 4, true, 5.0, "turning back where the road goes on costs 20 m"},
        {130, 100, 3, true, 50.0 / 3.0, "a detour that turns back"},
    };
    for (const Row& r : rows)
        EXPECT_NEAR(m.transitionCost(r.d, r.straight, r.scale, r.turns), r.cost, 1e-9) << r.why;
    // Small moves back on a link are noise, large ones are not.
    RoadGraph::Near a, b;
    a.link = b.link = 0;
    a.offset = 80.0;
    b.offset = 50.0;
    EXPECT_DOUBLE_EQ(m.stepDistance(a, b, 1e6), -30.0);
    a.offset = 99.0;
    b.offset = 0.0;  // 99 m back: still within the tolerance of 100 m
    EXPECT_DOUBLE_EQ(m.stepDistance(a, b, 1e6), -99.0);
    // A 2 km link: 150 m back is driving round (impossible on this one-way chain), not noise.
    local_world::World w;
    w.chain(0, 2000, 2000, 0);
    const RoadGraph g(w.map);
    const HmmMatcher long2km(g, kHmmDefaults);
    a.offset = 300.0;
    b.offset = 150.0;
    EXPECT_FALSE(long2km.stepDistance(a, b, 1e6) < 0.0);
}

// The fixes all lie `off` metres beside a lone road: the noise is 1.4826 times their median distance
// (a Gaussian's sigma from the median absolute deviation), kept between 10 and 30 m.
TEST(HmmNoise, IsTheScaledMedianDistanceWithinItsBounds) {
    for (const auto& [off, sigma] : std::vector<std::pair<double, double>>{
             {12.0, 1.4826 * 12.0}, {3.0, 10.0}, {15.0, 1.4826 * 15.0}, {40.0, 30.0}}) {
        local_world::World w;
        w.chain(0, 1000, 100, 0);
        const RoadGraph g(w.map);
        HmmMatcher m(g, kHmmDefaults);
        Route r;
        for (int i = 0; i < 40; ++i) {
            // one fix in three farther out: the median is `off` all the same
            r.nodes.push_back(local_world::point(20 + i * 20, i % 3 == 2 ? off + 5 : off));
            r.nodes.back().arrivalTime = 1000 + 2 * i;
        }
        m.run(r);
        EXPECT_NEAR(m.usedSigma(), sigma, 1e-9) << off << " m off";
    }
}

// Where a piece's drive begins and ends. A corner J: link `in` runs east into it, link `out` north out
// of it. A fix beyond J, east and south of it, projects onto both at J, equally near; the link with the
// lower id wins that tie, so it is made first: the one the drive must drop, as the trend of the other
// fixes shows (at the start, they begin behind J; at the end, they run on beyond it).
TEST(HmmDrive, AFixAtTheCornerAtEitherEndHasNotDrivenTheLinkBeyondIt) {
    for (const bool atStart : {true, false}) {
        local_world::World w;
        const uint32_t west = w.node(0, 0), j = w.node(300, 0), north = w.node(300, 400);
        const int dropped = atStart ? w.link(west, j) : w.link(j, north);  // made first: the lower id
        const int driven = atStart ? w.link(j, north) : w.link(west, j);
        Route r;
        auto fix = [&r](double x, double y) {
            r.nodes.push_back(local_world::point(x, y));
            r.nodes.back().arrivalTime = static_cast<uint32_t>(1000 + r.nodes.size());
        };
        if (atStart) fix(303, -3);
        for (int i = 1; i < 30; ++i) {
            if (atStart)
                fix(301, 10.0 * i - 5.0);
            else
                fix(5.0 + 10.0 * i, -1);
        }
        if (!atStart) fix(303, -3);
        const RoadGraph g(w.map);
        HmmMatcher m(g, kHmmDefaults);
        m.run(r);
        EXPECT_EQ(m.drivenRoutes(), (std::vector<std::vector<int>>{{driven}}))
            << "at the start " << atStart << ", not " << dropped;
    }
}

// A single fix off the map at either end of the trace is an unmatched stretch of its own.
TEST(HmmRecords, OneFixOffTheMapAtEitherEndIsItsOwnStretch) {
    local_world::World w;
    const std::vector<int> road = w.chain(0, 1000, 100, 0);
    const RoadGraph g(w.map);
    HmmMatcher m(g, kHmmDefaults);
    Route r;
    r.nodes.push_back(local_world::point(-900, 0));
    for (int i = 0; i < 30; ++i) r.nodes.push_back(local_world::point(10 + i * 10, 1));
    r.nodes.push_back(local_world::point(1900, 0));
    for (size_t i = 0; i < r.nodes.size(); ++i) r.nodes[i].arrivalTime = static_cast<uint32_t>(1000 + i);
    m.run(r);
    ASSERT_EQ(m.getMatched().size(), 1u);
    EXPECT_EQ(local_world::records(m),
              (local_world::Records{{0, 0, -1, road[0], -1, 0}, {31, 31, road[2], -1, 0, -1}}));
}

// The smoother: a steady drive's noise shrinks, and a jump no vehicle could make is not smeared
// over the fixes round it.
TEST(HmmSmoother, SteadiesADriveAndKeepsAJumpSharp) {
    std::vector<double> seconds, truth, pos;
    for (int i = 0; i < 60; ++i) {
        seconds.push_back(i);
        truth.push_back(i < 30 ? 10.0 * i : 10.0 * i + 800.0);  // a detour of 800 m between two fixes
        pos.push_back(truth.back() + 6.0 * std::sin(i * 2.3 + 1.0));
    }
    MapMatching::TrackSmoother s;
    std::vector<double> smoothed = pos;
    s.smooth(seconds, smoothed, 6.0, 1.0);
    double before = 0.0, after = 0.0;
    for (size_t i = 0; i < pos.size(); ++i) {
        before += (pos[i] - truth[i]) * (pos[i] - truth[i]);
        after += (smoothed[i] - truth[i]) * (smoothed[i] - truth[i]);
    }
    EXPECT_LT(after, 0.3 * before);
    // Later fixes correct earlier ones, the first included (a filter alone would leave it as measured).
    EXPECT_LT(std::abs(smoothed[0] - truth[0]), 0.75 * std::abs(pos[0] - truth[0]));
    EXPECT_NEAR(smoothed[29], truth[29], 10.0);
    EXPECT_NEAR(smoothed[30], truth[30], 10.0);
    // Standing still with the clock repeating and running back: it stays where it stands.
    std::vector<double> still(20, 100.0), clock;
    for (int i = 0; i < 20; ++i) clock.push_back(i % 3 == 2 ? i - 2 : i);
    for (int i = 0; i < 20; ++i) still[static_cast<size_t>(i)] += 3.0 * std::sin(i * 2.3);
    s.smooth(clock, still, 3.0, 1.0);
    for (double x : still) EXPECT_NEAR(x, 100.0, 3.0);
}

// Multipath: 12 s of fixes thrown 62 m to one side, where no road is, are stepped over as one run,
// none of them decoded onto the road (a run is not a string of single outliers each dragging the
// drive sideways); without run steps some are.
TEST(HmmRuns, ARunOfFixesThrownAsideIsSteppedOverWhole) {
    local_world::World w;
    const std::vector<int> road = w.chain(0, 1000, 100, 0);
    const RoadGraph g(w.map);
    Route r;
    for (int i = 0; i < 60; ++i) {
        r.nodes.push_back(
            local_world::point(5 + i * 10, (i >= 20 && i < 32 ? 62 : 0) + 2 * std::sin(i * 2.3)));
        r.nodes.back().arrivalTime = static_cast<uint32_t>(1000 + i);
    }
    auto decodedInRun = [&](double runSeconds) {
        HmmParams p = kHmmDefaults;
        p.runSeconds = runSeconds;
        HmmMatcher m(g, p);
        m.run(r);
        int decoded = 0;
        for (size_t t = 20; t < 32; ++t) decoded += m.decodedLink(t) >= 0;
        EXPECT_EQ(m.drivenRoutes(), (std::vector<std::vector<int>>{{road.begin(), road.begin() + 6}}));
        return decoded;
    };
    EXPECT_EQ(decodedInRun(kHmmDefaults.runSeconds), 0);
    EXPECT_GT(decodedInRun(0.0), 0);
}

// A route that turns back at a junction where it could have gone on has turned back for every link
// it reaches afterwards, not only the next one.
TEST(RouteSearch, ATurnBackCountsForTheWholeRouteAfterIt) {
    local_world::World w;
    const uint32_t west = w.node(0, 0), a = w.node(100, 0), b = w.node(200, 0), c = w.node(300, 0),
                   d = w.node(400, 0), north = w.node(100, 100);
    const std::vector<int> east = w.road({west, a, b, c, d});
    w.road({d, c, b, a, west});
    const int up = w.link(a, north), start = east[2];  // b to c
    const RoadGraph g(w.map);
    mapRepresentation::RouteSearch search(g);
    const auto from = static_cast<uint32_t>(g.indexOf(start)), to = static_cast<uint32_t>(g.indexOf(up));
    search.run(from, 10.0, 1000.0, {g.link(to).origin});
    EXPECT_NEAR(search.distanceTo(to, 5.0), 90.0 + 100.0 + 100.0 + 5.0, 1e-6);
    EXPECT_TRUE(search.turnsBack(to, 5.0));
}

}  // namespace

// What the receiver reports of its motion. A fix equidistant from two crossing roads goes to the one
// along its course while the vehicle moves; at walking pace the course is noise and decides nothing.
TEST(HmmReceiver, TheCourseTellsCrossingRoadsApartOnlyWhileMoving) {
    local_world::World w;
    const int north = w.link(w.node(0, -100), w.node(0, 100));
    const int east = w.link(w.node(-100, 0), w.node(100, 0));
    const RoadGraph g(w.map);
    HmmMatcher m(g, kHmmDefaults);
    auto linkOf = [&](double course, double speed) {
        Route r;
        r.nodes.push_back(local_world::point(3, 3));
        r.nodes[0].reportedCourse = course;
        r.nodes[0].reportedSpeed = speed;
        m.run(r);
        return m.decodedLink(0);
    };
    EXPECT_EQ(linkOf(local_world::kEast, 10.0), east);
    EXPECT_EQ(linkOf(local_world::kNorth + 0.3, 10.0), north);
    const int tie = linkOf(NAN, NAN);
    EXPECT_EQ(linkOf(tie == east ? local_world::kNorth : local_world::kEast, 1.0), tie);
    EXPECT_EQ(linkOf(local_world::kNorth, kHmmDefaults.courseSpeed), north);
}

// A vehicle reported standing for a minute just before a junction, while its fixes wander 38 m
// towards the street round the block: one position, before the junction, and no drive round the
// block. Taken as moving, the wandering fixes spread it along the road.
TEST(HmmReceiver, AVehicleReportedStandingStandsBeforeTheJunction) {
    local_world::World w;
    const uint32_t a = w.node(0, 0), b = w.node(200, 0), c = w.node(400, 0), d = w.node(600, 0);
    const std::vector<int> road = w.road({a, b, c, d});
    w.road({b, w.node(200, 60), w.node(400, 60), c});
    const RoadGraph g(w.map);
    Route r;
    auto fix = [&](double x, double y, double speed) {
        r.nodes.push_back(local_world::point(x, y + 5 * std::sin(static_cast<double>(r.nodes.size()) * 2.3)));
        r.nodes.back().arrivalTime = static_cast<uint32_t>(1000 + r.nodes.size());
        r.nodes.back().reportedSpeed = speed;
    };
    for (int i = 0; i < 20; ++i) fix(8 + 10 * i, 0, 10);
    const size_t standFrom = r.nodes.size();
    for (int i = 0; i < 60; ++i)
        fix(204 + 3 * std::sin(i * 0.7), 38 * std::sin(i * std::numbers::pi / 60), 0.1);
    const size_t standEnd = r.nodes.size();
    for (int i = 1; i < 30; ++i) fix(198 + 13 * i, 0, 13);
    HmmMatcher m(g, kHmmDefaults);
    m.run(r);
    EXPECT_EQ(m.drivenRoutes(), (std::vector<std::vector<int>>{road}));
    size_t decoded = 0;  // the stand is in the model once
    for (size_t t = standFrom; t < standEnd; ++t) {
        decoded += m.decodedLink(t) >= 0;
        EXPECT_EQ(m.matchedLinks()[t], road[0]) << t;
        EXPECT_EQ(m.matchedPoints()[t], m.matchedPoints()[standFrom]) << t;
    }
    EXPECT_LE(decoded, 1u);
    for (_node& n : r.nodes) n.reportedSpeed = NAN;
    m.run(r);
    size_t moved = 0;
    for (size_t t = standFrom; t < standEnd; ++t)
        moved += m.matchedPoints()[t] != m.matchedPoints()[standFrom];
    EXPECT_GT(moved, 10u);
}
