// The Kubicka et al. 2015 benchmark format: reading it, turning a track into a karvel working
// folder, and scoring against its routes (which sometimes have breaks).
#include <gtest/gtest.h>

#include <cmath>

#include "map/maps.h"
#include "test_support.h"
#include "tools/eval/evaluator.h"
#include "tools/eval/kubicka.h"
#include "traces/NMEALoader.h"

namespace {

using karvel_test::TempDir;
using matchEval::KubickaTrack;

// A report that matches point i to route link i, with a new path wherever the route breaks.
matchEval::ReportTrace reportAlongRoute(const traceSim::GroundTruth& truth, const matchEval::LinkGraph& g) {
    matchEval::ReportTrace r;
    r.name = truth.name;
    for (size_t i = 0; i < truth.route.size(); ++i) {
        if (i == 0 || !g.isConnected(truth.route[i - 1], truth.route[i])) r.paths.emplace_back();
        r.paths.back().pairs.emplace_back(static_cast<int>(i), truth.route[i]);
    }
    return r;
}

}  // namespace

// Two tracks of the sample; the second's route has two breaks, so a report that follows it has
// three paths and still scores no mismatch.
TEST(EvalKubicka, WorkingFolderLoadsIntoTheSameNetworkTrackAndRoute) {
    const struct {
        const char* id;
        size_t nodes, arcs, fixes, route, paths;
    } tracks[] = {{"00000046", 299, 649, 1401, 66, 1}, {"00000075", 0, 0, 0, 0, 3}};
    for (const auto& c : tracks) {
        SCOPED_TRACE(c.id);
        KARVEL_REQUIRE_SHARED(dir, std::string("kubicka2015-mapmatching/sample/") + c.id);
        KubickaTrack track;
        std::string error;
        ASSERT_TRUE(matchEval::loadKubickaTrack(dir, track, error)) << error;
        EXPECT_EQ(track.name, c.id);
        if (c.nodes > 0) {
            EXPECT_EQ((std::vector<size_t>{track.nodes.size(), track.arcs.size(), track.track.size(),
                                           track.route.size()}),
                      (std::vector<size_t>{c.nodes, c.arcs, c.fixes, c.route}));
        }

        TempDir work;
        ASSERT_TRUE(matchEval::prepareKubickaWorkdir(track, work.str(), error)) << error;
        const mapRepresentation::Map map(work / "data/map.txt");
        const matchEval::LinkGraph graph = matchEval::kubickaGraph(track);
        ASSERT_EQ(map.links.size(), track.arcs.size());
        for (size_t k = 0; k < track.arcs.size(); ++k) {
            const auto& link = map.links.at(static_cast<int>(k) + 1);
            ASSERT_EQ(link.origin, track.arcs[k].first + 1) << "arc " << k;
            ASSERT_EQ(link.destination, track.arcs[k].second + 1) << "arc " << k;
            ASSERT_NEAR(graph.length(static_cast<int>(k) + 1), link.length, 1e-6) << "arc " << k;
        }

        Route points;
        const std::string messages = karvel_test::printed(
            [&] { points = NMEALoader(work / ("data/nmea/" + std::string(c.id) + ".txt")).route; });
        EXPECT_EQ(messages.find("incomplete"), std::string::npos) << messages;
        ASSERT_EQ(points.nodes.size(), track.track.size());
        for (size_t i = 0; i < points.nodes.size(); ++i) {
            EXPECT_NEAR(points.nodes[i].position.lat, track.track[i].lat, 9e-8);
            EXPECT_NEAR(points.nodes[i].position.lon, track.track[i].lon, 9e-8);
            if (i > 0) {
                EXPECT_EQ(points.nodes[i].arrivalTime - points.nodes[i - 1].arrivalTime,
                          static_cast<uint32_t>(std::llround(track.track[i].t - track.track[i - 1].t)));
            }
        }

        traceSim::GroundTruth truth;
        ASSERT_TRUE(
            traceSim::loadGroundTruth(work / ("data/truth/" + std::string(c.id) + ".truth"), truth, error))
            << error;
        EXPECT_EQ(static_cast<size_t>(truth.points), track.track.size());
        EXPECT_EQ(truth.route, matchEval::kubickaTruth(track).route);
        EXPECT_EQ(truth.route.front(), track.route.front() + 1);
        const matchEval::ReportTrace report = reportAlongRoute(truth, graph);
        EXPECT_EQ(report.paths.size(), c.paths);
        const matchEval::TraceScore s = matchEval::scoreTrace(report, truth, graph);
        EXPECT_DOUBLE_EQ(s.mismatch(), 0.0);
        EXPECT_GT(s.trueLength, 1000.0);
    }
}

TEST(EvalKubicka, DamagedFoldersAreRefused) {
    TempDir dir;
    const std::string base = dir / "t/t";
    auto make = [&](const std::string& nodes, const std::string& arcs, const std::string& trk,
                    const std::string& route) {
        karvel_test::writeFile(base + ".nodes", nodes);
        karvel_test::writeFile(base + ".arcs", arcs);
        karvel_test::writeFile(base + ".track", trk);
        karvel_test::writeFile(base + ".route", route);
        KubickaTrack track;
        std::string error;
        const bool ok = matchEval::loadKubickaTrack(dir / "t", track, error);
        return ok ? std::string() : error;
    };
    const std::string nodes = "2.0 48.0\n2.001 48.0\n", track = "2.0 48.0 1\n2.001 48.0 11\n";
    EXPECT_EQ(make(nodes, "0 1\n1 0\n", track, "0\n1\n"), "");
    EXPECT_NE(make(nodes, "0 2\n", track, "0\n"), "");           // arc to a missing node
    EXPECT_NE(make(nodes, "0 1\n", track, "3\n"), "");           // route names a missing arc
    EXPECT_NE(make(nodes, "0 1\n", "2.0 48.0 x\n", "0\n"), "");  // not a number
    EXPECT_NE(make(nodes, "0 1\n", "2.0 48.0\n", "0\n"), "");    // a column short
    EXPECT_NE(make("200 48\n", "", track, ""), "");              // longitude out of range
    EXPECT_NE(make(nodes, "0 1.5\n", track, "0\n"), "");         // not a whole id
}
