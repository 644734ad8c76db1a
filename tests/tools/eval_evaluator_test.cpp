// Reading karvel's report back and scoring it: exact figures on hand-made graphs and reports; the
// Kubicka et al. 2015 benchmark format (reading it, turning a track into a karvel working folder,
// scoring against its route); and karvel-export's answers to a report that does not fit its traces or
// map (the real logs' reports exported: link_attributes_test.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>

#include "map/link_graph.h"
#include "map/maps.h"
#include "nmea_writer.h"
#include "test_support.h"
#include "tools/eval/evaluator.h"
#include "tools/eval/kubicka.h"
#include "tools/eval/report.h"
#include "traces/NMEALoader.h"

namespace {

namespace fs = std::filesystem;
using karvel_test::TempDir;
using mapRepresentation::LinkGraph;
using matchEval::KubickaTrack;
using matchEval::ReportTrace;
using traceSim::GroundTruth;
using Pairs = std::vector<std::pair<int, int>>;

// A road A-B-C-D-E of four 100 m links (1..4), a second, 120 m road from B to C (5), the way back
// from D to A (6: D->B 250 m, 7: B->A 100 m), and an island F->G->H (8, 9) reachable from nowhere.
LinkGraph roads() {
    LinkGraph g;
    const double links[][4] = {{1, 1, 2, 100}, {2, 2, 3, 100}, {3, 3, 4, 100}, {4, 4, 5, 100}, {5, 2, 3, 120},
                               {6, 4, 2, 250}, {7, 2, 1, 100}, {8, 6, 7, 40},  {9, 7, 8, 60}};
    for (const auto& l : links)
        g.addLink(static_cast<int>(l[0]), static_cast<uint32_t>(l[1]), static_cast<uint32_t>(l[2]), l[3]);
    return g;
}

// A report of one path per list of (point, link) pairs.
ReportTrace report(const std::vector<Pairs>& paths) {
    ReportTrace r;
    r.name = "drive";
    for (const Pairs& pairs : paths) {
        r.paths.emplace_back();
        r.paths.back().pairs = pairs;
        r.paths.back().start = pairs.front().first;
        r.paths.back().last = pairs.back().first;
    }
    return r;
}

// Twelve fixes, three on each of links 1..4.
GroundTruth straightDrive() {
    GroundTruth t;
    t.name = "drive";
    t.points = 12;
    t.route = {1, 2, 3, 4};
    for (int link : {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}) t.fixes.push_back({link, 0, 0, false});
    return t;
}

}  // namespace

// A perfect report; fixes 3-5 put on the parallel road 5 instead of 2 and fixes 9-11 (link 4) left
// unmatched; nothing printed; and indices that are no fixes or links, counted rather than trusted.
TEST(EvalScore, PerfectWrongMissingAndDamagedReports) {
    const LinkGraph g = roads();
    const GroundTruth truth = straightDrive();
    Pairs pairs;
    for (int i = 0; i < 12; ++i) pairs.emplace_back(i, truth.fixes[i].link);
    matchEval::TraceScore s = matchEval::scoreTrace(report({pairs}), truth, g);
    EXPECT_EQ(std::tuple(s.matched, s.onTrueLink, s.mismatch(), s.trueLength),
              std::tuple(12, 12, 0.0, 400.0));

    ReportTrace r = report({{{0, 1}, {1, 1}, {2, 1}, {3, 5}, {4, 5}, {5, 5}, {6, 3}, {7, 3}, {8, 3}}});
    r.unmatched.push_back({9, 11, 3, -1, 0, -1});
    s = matchEval::scoreTrace(r, truth, g);
    // Added: road 5; missed: road 2 and link 4.
    EXPECT_EQ(std::tuple(s.checked, s.matchedFraction(), s.onTrueFraction(), s.addedLength, s.missedLength),
              std::tuple(9, 0.75, 6.0 / 9.0, 120.0, 200.0));
    EXPECT_DOUBLE_EQ(s.mismatch(), 320.0 / 400.0);

    s = matchEval::scoreTrace(ReportTrace{}, truth, g);
    EXPECT_EQ(std::pair(s.matched, s.mismatch()), std::pair(0, 1.0));
    s = matchEval::scoreTrace(report({{{-1, 1}, {0, 1}, {40, 2}, {1, 77}}}), truth, g);
    EXPECT_EQ(std::tuple(s.badPoints, s.matched, s.unknownLinks), std::tuple(2, 2, 1));
}

TEST(EvalScore, RoutesWithBreaks) {
    const LinkGraph g = roads();
    // The true route jumps from the road to the island (a break in the ground truth).
    GroundTruth truth;
    truth.points = 6;
    truth.route = {1, 2, 8, 9};
    const matchEval::TraceScore s =
        matchEval::scoreTrace(report({{{0, 1}, {1, 2}}, {{4, 8}, {5, 9}}}), truth, g);
    EXPECT_EQ(std::tuple(s.mismatch(), s.matched, s.checked), std::tuple(0.0, 4, 0)) << "no per-fix truth";
    EXPECT_TRUE(std::isnan(s.onTrueFraction()));

    // The same jump inside one path: nothing can join the two, and nothing is invented. Paths are
    // not joined across the unmatched stretch between them, but a path that resumes on the link the
    // previous one ended on does not drive it twice; links crossed between two fixes of a path are
    // not printed, and the fewest-links fill restores them.
    const std::pair<std::vector<Pairs>, std::vector<int>> routes[] = {
        {{{{0, 1}, {1, 2}, {4, 8}, {5, 9}}}, {1, 2, 8, 9}},
        {{{{0, 1}, {1, 2}}, {{3, 2}, {4, 4}}}, {1, 2, 3, 4}},
        {{{{0, 1}}, {{3, 4}}}, {1, 4}},
        {{{{0, 1}, {1, 4}}}, {1, 2, 3, 4}},
    };
    for (const auto& [paths, route] : routes) EXPECT_EQ(matchEval::matchedRoute(report(paths), g), route);
}

// Routes as sets of directed links (every link counts once) beside the multiset figure, on links
// 1..4 of 100, 200, 300 and 400 m.
TEST(EvalScore, LinkSetsCountEveryLinkOnce) {
    LinkGraph g;
    for (int i = 1; i <= 4; ++i)
        g.addLink(i, static_cast<uint32_t>(i), static_cast<uint32_t>(i + 1), 100.0 * i);
    const struct {
        std::vector<int> truth, matched;
        double trueLength, added, missed;  // as sets
        double multisetMismatch;
    } cases[] = {
        {{1, 2, 1}, {1, 2}, 300, 0, 0, 100.0 / 400.0},       // driven twice, matched once
        {{1, 2}, {1, 4, 4, 2}, 300, 400, 0, 800.0 / 300.0},  // a detour matched twice is added once
        {{1, 2, 3}, {1, 3}, 600, 0, 200, 200.0 / 600.0},
    };
    for (const auto& c : cases) {
        const auto sets = matchEval::compareLinkSets(c.truth, c.matched, g);
        EXPECT_EQ((std::vector<double>{sets.trueLength, sets.added, sets.missed}),
                  (std::vector<double>{c.trueLength, c.added, c.missed}));
        const auto multi = matchEval::compareRoutes(c.truth, c.matched, g);
        EXPECT_DOUBLE_EQ((multi.added + multi.missed) / multi.trueLength, c.multisetMismatch);
    }
}

// What karvel prints, and karvel-match's driven links after a path: the score takes that route rather
// than the fewest links between the fixes' links (1 then 3 would be joined by 2); hybrid paths beside
// it keep the join, and a driven line that follows no path is counted as damaged.
TEST(EvalReport, ParsesWhatKarvelAndKarvelMatchPrint) {
    std::istringstream text(
        "Looking for Trace Files...\n"
        "loading nmea file: data/nmea/a.txt\n"
        "\tRoute #0: a\n"
        "Paths: \n"
        "Score: 0  Avg: 0 Start: 3 Last: 4 Links: (3, 17)  (4, 18)  \n\n"
        "ERROR: non existing link. (-1)\n"
        "Score: 0  Avg: 0 Start: 7 Last: 7 Links: (7, 2)  \n\n"
        "\n\nUnmatched Info: \n"
        "Start node: 5 End node: 6 Last Match: 18 Next Match: 2 Last Path: 0 Next Path: 1\n"
        "Start node: 0 End node: 2 Last Match: -1 Next Match: 17 Last Path: -1 Next Path: 0\n"
        "\tRoute #1: name: with colon\r\n"
        "Paths: \n"
        "Score: 0  Avg: 0 Start: 0 Last: 1 Links: (0, 5)  (1, \n"
        "\n\nUnmatched Info: \n"
        "Start node: 0 End node: 9 Last Match: -1 Next Match: -1 Last Path: -1 Next Path: -1\n"
        "\tRoute #2: drive\n"
        "Paths: \n"
        "Score: 0  Avg: 0 Start: 0 Last: 1 Links: (0, 1)  (1, 3)  \n\n"
        "Driven links: 1 5 3\n\n"
        "Score: 0  Avg: 0 Start: 3 Last: 4 Links: (3, 3)  (4, 4)  \n\n"
        "\n\nUnmatched Info: \n"
        "Start node: 2 End node: 2 Last Match: 3 Next Match: 3 Last Path: 0 Next Path: 1\n"
        "\tRoute #3: other\n"
        "Paths: \n"
        "Driven links: 1 2\n\n"
        "Finished running Ostrand.\n\n\n\nOverall processing time: 12 sec.  (~= 0.2 min.)\n");
    const matchEval::Report r = matchEval::parseReport(text);
    ASSERT_EQ(r.traces.size(), 4u);
    EXPECT_EQ(r.traces[0].name, "a");
    ASSERT_EQ(r.traces[0].paths.size(), 2u);
    EXPECT_EQ(r.traces[0].paths[0].pairs, (Pairs{{3, 17}, {4, 18}}));
    EXPECT_EQ(r.traces[0].paths[1].start, 7);
    ASSERT_EQ(r.traces[0].unmatched.size(), 2u);
    EXPECT_EQ(std::pair(r.traces[0].unmatched[1].nextMatch, r.traces[0].unmatched[0].nextPath),
              std::pair(17, 1));
    EXPECT_EQ(std::tuple(r.traces[1].number, r.traces[1].name, r.traces[1].paths.size(),
                         r.traces[1].malformedLines),
              std::tuple(1, "name: with colon", 0u, 1));
    EXPECT_DOUBLE_EQ(r.overallSeconds, 12.0);

    ASSERT_EQ(r.traces[2].paths.size(), 2u);
    EXPECT_EQ(r.traces[2].paths[0].driven, (std::vector<int>{1, 5, 3}));
    EXPECT_TRUE(r.traces[2].paths[1].driven.empty());
    EXPECT_EQ(std::pair(r.traces[2].malformedLines, r.traces[3].malformedLines), std::pair(0, 1));
    EXPECT_EQ(matchEval::matchedRoute(r.traces[2], roads()), (std::vector<int>{1, 5, 3, 4}));
}

// Pooled and per-trace figures: mean, median and fewest matched. (Result lines round trip through
// karvel-eval --tsv and --summarize in match_program_test.cpp.)
TEST(EvalOutput, DamagedResultLinesAndTotals) {
    matchEval::TraceScore back;
    EXPECT_FALSE(matchEval::parseTsvLine("a\tb\tc", back));
    EXPECT_FALSE(matchEval::parseTsvLine("a\tb\t1\t2\t3\t4\t5\t6\t7\t8\t9\tten", back));
    std::vector<matchEval::TraceScore> scores(3,
                                              matchEval::scoreTrace(ReportTrace{}, straightDrive(), roads()));
    const double set[3][3] = {{100, 10, 0}, {100, 0, 0}, {100, 30, 20}};
    for (int i = 0; i < 3; ++i) {
        scores[i].matched = 12 - 2 * i;
        scores[i].seconds = 1.0;
        scores[i].setTrueLength = set[i][0];
        scores[i].setAddedLength = set[i][1];
        scores[i].setMissedLength = set[i][2];
    }
    const matchEval::Totals all = matchEval::totals(scores);
    EXPECT_EQ(std::tuple(all.pointsPerSecond(), all.medianSetMismatch), std::tuple(12.0, 0.1));
    EXPECT_DOUBLE_EQ(all.pooledMatched(), 30.0 / 36.0);
    EXPECT_DOUBLE_EQ(all.meanSetMismatch, 0.2);
    EXPECT_DOUBLE_EQ(all.minMatched, 8.0 / 12.0);
}

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
    // Point i matched to route link i, in one path.
    Pairs along;
    for (size_t i = 0; i < truth.route.size(); ++i) along.emplace_back(static_cast<int>(i), truth.route[i]);
    const matchEval::TraceScore s = matchEval::scoreTrace(report({along}), truth, graph);
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

// A report that does not fit its traces or map is refused trace by trace; one that is cut off or
// repeats a trace is refused whole, before anything is written.
TEST(ExportProgram, AReportThatDoesNotFitItsTracesIsRefused) {
    TempDir dir;
    fs::create_directories(dir / "nmea");
    for (const std::string name : {"a", "b", "c", "d"})
        dir.write(("nmea/" + name + ".txt"),
                  karvel_test::nmeaLog(karvel_test::fixesAlong(48.0, 11.0, 48.0, 11.001, 3)));
    // A fix in Serbia on a map of Bavaria: not snapped hundreds of kilometres.
    dir.write("nmea/far.txt", karvel_test::nmeaLog(karvel_test::fixesAlong(44.8, 20.4, 44.8, 20.401, 3)));
    dir.write("map.txt", "2\n1 11.0 48.0 0 0\n2 11.001 48.0 0 0\n1\n1 2 0 0\n");
    const std::string end = "\n\nUnmatched Info: \n";
    const std::string a =
        "\tRoute #0: a\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 2 Links: (0, 1)  (1, 1)  (2, 1)  \n" + end;
    const std::string body =
        a + "\tRoute #1: gone\nPaths: \n" + end +
        "\tRoute #2: b\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 9 Links: (9, 1)  \n" + end +
        "\tRoute #3: c\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 0 Links: (0, 7)  \n" + end +
        "\tRoute #4: far\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 0 Links: (0, 1)  \n" + end +
        "\tRoute #5: d\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 0 Links: (0, 1)  \n\n"
        "Driven links: 1 8\n";
    dir.write("report.txt", body + end + "Finished running Ostrand.\n");
    dir.write("cut.txt", body);
    dir.write("twice.txt", body + end + a);
    const auto r = dir.run("$E --report report.txt --map map.txt -t nmea 2>err.txt");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << "header and trace a:\n" << r.out;
    // How many kilometres is a matter of the projection; that it is refused is not.
    EXPECT_EQ(std::regex_replace(dir.read("err.txt"), std::regex("lies [0-9]+ km"), "lies N km"),
              "ERROR: gone: no gone.txt, .gpx, .nmea or .log in nmea\n"
              "ERROR: b: point 9 is beyond the 3 points of nmea/b.txt\n"
              "ERROR: c: link 7 is not in the map (give the map of the run)\n"
              "ERROR: far: point 0 lies N km from its link 1 (give the map of the run)\n"
              "ERROR: d: link 8 is not in the map (give the map of the run)\n");
    for (const auto& [report, error] : {std::pair{"cut.txt", "is cut off in its last route"},
                                        {"twice.txt", "holds the trace \"a\" twice"}}) {
        const auto refused =
            dir.run("$E --report " + std::string(report) + " --map map.txt -t nmea -o out.csv 2>&1");
        EXPECT_EQ(std::tuple(refused.exitCode, refused.out, fs::exists(dir / "out.csv")),
                  std::tuple(1, "ERROR: the report " + std::string(report) + " " + error + "\n", false));
    }
}
