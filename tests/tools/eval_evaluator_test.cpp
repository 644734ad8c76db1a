// Reading karvel's report back and scoring it: exact figures on hand-made graphs and reports.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "map/link_graph.h"
#include "tools/eval/evaluator.h"
#include "tools/eval/report.h"

namespace {

using mapRepresentation::LinkGraph;
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

// The fewest-links fill between two links (the lower id wins a tie, as the filled routes of the score
// tests show; the island's cycle ends the search there).
TEST(EvalGraph, FewestLinksBetween) {
    LinkGraph g = roads();
    EXPECT_EQ(g.linksBetween(3, 1), (std::vector<int>{6, 7}));  // round the loop
    EXPECT_TRUE(g.linksBetween(1, 2).empty());                  // connected
    EXPECT_TRUE(g.linksBetween(1, 42).empty());                 // unknown link
    EXPECT_TRUE(g.isConnected(5, 3) && !g.isConnected(3, 5));
    EXPECT_FALSE(g.addLink(3, 9, 9, 1)) << "an id is added once";
    EXPECT_FALSE(g.addLink(0, 1, 2, 1));
}

TEST(EvalScore, PerfectReportHasNoMismatch) {
    const LinkGraph g = roads();
    const GroundTruth truth = straightDrive();
    Pairs pairs;
    for (int i = 0; i < 12; ++i) pairs.emplace_back(i, truth.fixes[i].link);
    const matchEval::TraceScore s = matchEval::scoreTrace(report({pairs}), truth, g);
    EXPECT_EQ(std::tuple(s.matched, s.onTrueLink, s.mismatch(), s.trueLength),
              std::tuple(12, 12, 0.0, 400.0));

    // Links crossed between two fixes are not printed; the fewest-links fill restores them.
    GroundTruth sparseTruth = truth;
    sparseTruth.points = 2;
    sparseTruth.fixes = {{1, 0, 0, false}, {4, 0, 0, false}};
    EXPECT_DOUBLE_EQ(matchEval::scoreTrace(report({{{0, 1}, {1, 4}}}), sparseTruth, g).mismatch(), 0.0);
    EXPECT_EQ(matchEval::matchedRoute(report({{{0, 1}, {1, 4}}}), g), (std::vector<int>{1, 2, 3, 4}));
}

TEST(EvalScore, OneWrongLinkAndOneMissingStretch) {
    // Fixes 3-5 put on the parallel road 5 instead of 2; fixes 9-11 (link 4) left unmatched.
    ReportTrace r = report({{{0, 1}, {1, 1}, {2, 1}, {3, 5}, {4, 5}, {5, 5}, {6, 3}, {7, 3}, {8, 3}}});
    r.unmatched.push_back({9, 11, 3, -1, 0, -1});
    const matchEval::TraceScore s = matchEval::scoreTrace(r, straightDrive(), roads());
    // Added: road 5; missed: road 2 and link 4.
    EXPECT_EQ(std::tuple(s.checked, s.matchedFraction(), s.onTrueFraction(), s.addedLength, s.missedLength),
              std::tuple(9, 0.75, 6.0 / 9.0, 120.0, 200.0));
    EXPECT_DOUBLE_EQ(s.mismatch(), 320.0 / 400.0);
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
    // previous one ended on does not drive it twice.
    const std::pair<std::vector<Pairs>, std::vector<int>> routes[] = {
        {{{{0, 1}, {1, 2}, {4, 8}, {5, 9}}}, {1, 2, 8, 9}},
        {{{{0, 1}, {1, 2}}, {{3, 2}, {4, 4}}}, {1, 2, 3, 4}},
        {{{{0, 1}}, {{3, 4}}}, {1, 4}},
    };
    for (const auto& [paths, route] : routes) EXPECT_EQ(matchEval::matchedRoute(report(paths), g), route);
}

TEST(EvalScore, MissingTraceAndBadIndicesAreCountedNotTrusted) {
    const LinkGraph g = roads();
    matchEval::TraceScore s = matchEval::scoreTrace(ReportTrace{}, straightDrive(), g);  // nothing printed
    EXPECT_EQ(std::pair(s.matched, s.mismatch()), std::pair(0, 1.0));
    s = matchEval::scoreTrace(report({{{-1, 1}, {0, 1}, {40, 2}, {1, 77}}}), straightDrive(), g);
    EXPECT_EQ(std::tuple(s.badPoints, s.matched, s.unknownLinks), std::tuple(2, 2, 1));
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

TEST(EvalReport, ParsesWhatKarvelPrints) {
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
        "Finished running Ostrand.\n\n\n\nOverall processing time: 12 sec.  (~= 0.2 min.)\n");
    const matchEval::Report r = matchEval::parseReport(text);
    ASSERT_EQ(r.traces.size(), 2u);
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
}

// karvel-match's report adds the driven links after each path: the score takes that route rather
// than the fewest links between the fixes' links (1 then 3 would be joined by 2); hybrid paths beside
// it keep the join, and a driven line that follows no path is counted as damaged.
TEST(EvalReport, DrivenLinksAreTheRouteScored) {
    std::istringstream text(
        "\tRoute #0: drive\n"
        "Paths: \n"
        "Score: 0  Avg: 0 Start: 0 Last: 1 Links: (0, 1)  (1, 3)  \n\n"
        "Driven links: 1 5 3\n\n"
        "Score: 0  Avg: 0 Start: 3 Last: 4 Links: (3, 3)  (4, 4)  \n\n"
        "\n\nUnmatched Info: \n"
        "Start node: 2 End node: 2 Last Match: 3 Next Match: 3 Last Path: 0 Next Path: 1\n"
        "\tRoute #1: other\n"
        "Paths: \n"
        "Driven links: 1 2\n\n");
    const matchEval::Report r = matchEval::parseReport(text);
    ASSERT_EQ(r.traces.size(), 2u);
    ASSERT_EQ(r.traces[0].paths.size(), 2u);
    EXPECT_EQ(r.traces[0].paths[0].driven, (std::vector<int>{1, 5, 3}));
    EXPECT_TRUE(r.traces[0].paths[1].driven.empty());
    EXPECT_EQ(r.traces[0].malformedLines, 0);
    EXPECT_EQ(r.traces[1].malformedLines, 1);
    const LinkGraph g = roads();
    EXPECT_EQ(matchEval::matchedRoute(r.traces[0], g), (std::vector<int>{1, 5, 3, 4}));
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
