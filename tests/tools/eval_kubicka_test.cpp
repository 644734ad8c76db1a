// The Kubicka et al. 2015 benchmark format: reading it, turning a track into a karvel working
// folder, and scoring against its route.
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

// A report that matches point i to route link i, in one path.
matchEval::ReportTrace reportAlongRoute(const traceSim::GroundTruth& truth) {
    matchEval::ReportTrace r;
    r.name = truth.name;
    r.paths.emplace_back();
    for (size_t i = 0; i < truth.route.size(); ++i)
        r.paths.back().pairs.emplace_back(static_cast<int>(i), truth.route[i]);
    return r;
}

}  // namespace

TEST(EvalKubicka, WorkingFolderLoadsIntoTheSameNetworkTrackAndRoute) {
    KARVEL_REQUIRE_SHARED(dir, "kubicka2015-mapmatching/sample/00000046");
    KubickaTrack track;
    std::string error;
    ASSERT_TRUE(matchEval::loadKubickaTrack(dir, track, error)) << error;
    EXPECT_EQ(track.name, "00000046");
    EXPECT_EQ(
        (std::vector<size_t>{track.nodes.size(), track.arcs.size(), track.track.size(), track.route.size()}),
        (std::vector<size_t>{299, 649, 1401, 66}));

    TempDir work;
    ASSERT_TRUE(matchEval::prepareKubickaWorkdir(track, work.str(), error)) << error;
    const mapRepresentation::Map map(work / "data/map.txt");
    const matchEval::LinkGraph graph = matchEval::kubickaGraph(track);
    ASSERT_EQ(map.links.size(), track.arcs.size());
    for (size_t k = 0; k < track.arcs.size(); ++k) {
        const auto& link = map.links.at(static_cast<int>(k) + 1);
        ASSERT_EQ(std::pair(link.origin, link.destination),
                  std::pair(track.arcs[k].first + 1, track.arcs[k].second + 1));
        ASSERT_NEAR(graph.length(static_cast<int>(k) + 1), link.length, 1e-6) << "arc " << k;
    }

    Route points;
    const std::string messages =
        karvel_test::printed([&] { points = NMEALoader(work / "data/nmea/00000046.txt").route; });
    EXPECT_EQ(messages.find("incomplete"), std::string::npos) << messages;
    ASSERT_EQ(points.nodes.size(), track.track.size());
    for (size_t i = 0; i < points.nodes.size(); ++i) {
        EXPECT_NEAR(points.nodes[i].position.lat, track.track[i].lat, 9e-8);
        EXPECT_NEAR(points.nodes[i].position.lon, track.track[i].lon, 9e-8);
        EXPECT_EQ(points.nodes[i].arrivalTime - points.nodes[0].arrivalTime,
                  static_cast<uint32_t>(std::llround(track.track[i].t - track.track[0].t)));
    }

    traceSim::GroundTruth truth;
    ASSERT_TRUE(traceSim::loadGroundTruth(work / "data/truth/00000046.truth", truth, error)) << error;
    EXPECT_EQ(static_cast<size_t>(truth.points), track.track.size());
    EXPECT_EQ(truth.route, matchEval::kubickaTruth(track).route);
    EXPECT_EQ(truth.route.front(), track.route.front() + 1);
    const matchEval::TraceScore s = matchEval::scoreTrace(reportAlongRoute(truth), truth, graph);
    EXPECT_TRUE(s.mismatch() == 0.0 && s.trueLength > 1000.0) << s.mismatch() << " " << s.trueLength;
}

TEST(EvalKubicka, DamagedFoldersAreRefused) {
    TempDir dir;
    const std::string base = dir / "t/t";
    auto make = [&](const std::string& nodes, const std::string& arcs, const std::string& trk,
                    const std::string& route) {
        for (const auto& [ext, text] :
             {std::pair{".nodes", nodes}, {".arcs", arcs}, {".track", trk}, {".route", route}})
            karvel_test::writeFile(base + ext, text);
        KubickaTrack track;
        std::string error;
        return matchEval::loadKubickaTrack(dir / "t", track, error);
    };
    const std::string nodes = "2.0 48.0\n2.001 48.0\n", track = "2.0 48.0 1\n2.001 48.0 11\n";
    EXPECT_TRUE(make(nodes, "0 1\n1 0\n", track, "0\n1\n"));
    EXPECT_FALSE(make(nodes, "0 2\n", track, "0\n"));           // arc to a missing node
    EXPECT_FALSE(make(nodes, "0 1\n", track, "3\n"));           // route names a missing arc
    EXPECT_FALSE(make(nodes, "0 1\n", "2.0 48.0 x\n", "0\n"));  // not a number
    EXPECT_FALSE(make(nodes, "0 1\n", "2.0 48.0\n", "0\n"));    // a column short
    EXPECT_FALSE(make("200 48\n", "", track, ""));              // longitude out of range
}
