// Reading karvel's report back and scoring it: exact figures on hand-made graphs and reports.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "tools/eval/evaluator.h"
#include "tools/eval/link_graph.h"
#include "tools/eval/report.h"

namespace {

using matchEval::LinkGraph;
using matchEval::ReportPath;
using matchEval::ReportTrace;
using traceSim::GroundTruth;

// A road A-B-C-D-E of four 100 m links (1..4), a second, 120 m road from B to C (5), the way back
// from D to A (6: D->B 250 m, 7: B->A 100 m), and an island F->G->H (8, 9) reachable from nowhere.
LinkGraph roads() {
    LinkGraph g;
    g.addLink(1, 1, 2, 100);
    g.addLink(2, 2, 3, 100);
    g.addLink(3, 3, 4, 100);
    g.addLink(4, 4, 5, 100);
    g.addLink(5, 2, 3, 120);
    g.addLink(6, 4, 2, 250);
    g.addLink(7, 2, 1, 100);
    g.addLink(8, 6, 7, 40);
    g.addLink(9, 7, 8, 60);
    return g;
}

ReportPath path(std::vector<std::pair<int, int>> pairs) {
    ReportPath p;
    p.pairs = std::move(pairs);
    p.start = p.pairs.front().first;
    p.last = p.pairs.back().first;
    return p;
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

TEST(EvalGraph, FewestLinksBetween) {
    LinkGraph g = roads();
    EXPECT_EQ(g.linksBetween(1, 3), (std::vector<int>{2}));  // 2 and 5 both lead on: the lower id wins
    EXPECT_EQ(g.linksBetween(1, 4), (std::vector<int>{2, 3}));
    EXPECT_TRUE(g.linksBetween(1, 2).empty());                  // connected
    EXPECT_EQ(g.linksBetween(3, 1), (std::vector<int>{6, 7}));  // round the loop
    EXPECT_TRUE(g.linksBetween(1, 9).empty());   // the island: the search ends despite the cycle
    EXPECT_TRUE(g.linksBetween(1, 42).empty());  // unknown link
    EXPECT_TRUE(g.isConnected(5, 3));
    EXPECT_FALSE(g.isConnected(3, 5));
    EXPECT_FALSE(g.addLink(3, 9, 9, 1)) << "an id is added once";
    EXPECT_FALSE(g.addLink(0, 1, 2, 1));
}

TEST(EvalScore, PerfectReportHasNoMismatch) {
    const LinkGraph g = roads();
    const GroundTruth truth = straightDrive();
    ReportTrace perfect;
    perfect.name = "drive";
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i < 12; ++i) pairs.emplace_back(i, truth.fixes[i].link);
    perfect.paths.push_back(path(pairs));
    matchEval::TraceScore s = matchEval::scoreTrace(perfect, truth, g);
    EXPECT_EQ(s.matched, 12);
    EXPECT_EQ(s.onTrueLink, 12);
    EXPECT_DOUBLE_EQ(s.mismatch(), 0.0);
    EXPECT_DOUBLE_EQ(s.trueLength, 400.0);

    // Links crossed between two fixes are not printed; the fewest-links fill restores them.
    ReportTrace sparse;
    sparse.paths.push_back(path({{0, 1}, {1, 4}}));
    GroundTruth sparseTruth = truth;
    sparseTruth.points = 2;
    sparseTruth.fixes = {{1, 0, 0, false}, {4, 0, 0, false}};
    s = matchEval::scoreTrace(sparse, sparseTruth, g);
    EXPECT_DOUBLE_EQ(s.mismatch(), 0.0);
    EXPECT_EQ(matchEval::matchedRoute(sparse, g), (std::vector<int>{1, 2, 3, 4}));
}

TEST(EvalScore, OneWrongLinkAndOneMissingStretch) {
    // Fixes 3-5 put on the parallel road 5 instead of 2; fixes 9-11 (link 4) left unmatched.
    ReportTrace report;
    report.paths.push_back(path({{0, 1}, {1, 1}, {2, 1}, {3, 5}, {4, 5}, {5, 5}, {6, 3}, {7, 3}, {8, 3}}));
    report.unmatched.push_back({9, 11, 3, -1, 0, -1});
    const matchEval::TraceScore s = matchEval::scoreTrace(report, straightDrive(), roads());
    EXPECT_EQ(s.checked, 9);
    EXPECT_DOUBLE_EQ(s.matchedFraction(), 0.75);
    EXPECT_DOUBLE_EQ(s.onTrueFraction(), 6.0 / 9.0);
    EXPECT_DOUBLE_EQ(s.addedLength, 120.0);   // road 5
    EXPECT_DOUBLE_EQ(s.missedLength, 200.0);  // road 2 and link 4
    EXPECT_DOUBLE_EQ(s.mismatch(), 320.0 / 400.0);
}

TEST(EvalScore, RoutesWithBreaks) {
    const LinkGraph g = roads();
    // The true route jumps from the road to the island (a break in the ground truth).
    GroundTruth truth;
    truth.name = "broken";
    truth.points = 6;
    truth.route = {1, 2, 8, 9};
    ReportTrace report;
    report.paths.push_back(path({{0, 1}, {1, 2}}));
    report.paths.push_back(path({{4, 8}, {5, 9}}));
    matchEval::TraceScore s = matchEval::scoreTrace(report, truth, g);
    EXPECT_DOUBLE_EQ(s.mismatch(), 0.0);
    EXPECT_EQ(s.matched, 4);
    EXPECT_EQ(s.checked, 0) << "no per-fix truth";
    EXPECT_TRUE(std::isnan(s.onTrueFraction()));

    // The same jump inside one path: nothing can join the two, and nothing is invented.
    ReportTrace onePath;
    onePath.paths.push_back(path({{0, 1}, {1, 2}, {4, 8}, {5, 9}}));
    EXPECT_EQ(matchEval::matchedRoute(onePath, g), (std::vector<int>{1, 2, 8, 9}));

    // Paths are not joined across the unmatched stretch between them, but a path that resumes on
    // the link the previous one ended on does not drive it twice.
    ReportTrace split;
    split.paths.push_back(path({{0, 1}, {1, 2}}));
    split.paths.push_back(path({{3, 2}, {4, 4}}));
    EXPECT_EQ(matchEval::matchedRoute(split, g), (std::vector<int>{1, 2, 3, 4}));
    ReportTrace gap;
    gap.paths.push_back(path({{0, 1}}));
    gap.paths.push_back(path({{3, 4}}));
    EXPECT_EQ(matchEval::matchedRoute(gap, g), (std::vector<int>{1, 4}));

    // A loop driven twice must be matched twice.
    const matchEval::RouteDifference d = matchEval::compareRoutes({1, 2, 3, 6, 2, 3}, {1, 2, 3, 6, 5, 3}, g);
    EXPECT_DOUBLE_EQ(d.trueLength, 750.0);
    EXPECT_DOUBLE_EQ(d.missed, 100.0);
    EXPECT_DOUBLE_EQ(d.added, 120.0);
}

TEST(EvalScore, MissingTraceAndBadIndicesAreCountedNotTrusted) {
    const LinkGraph g = roads();
    ReportTrace none;  // karvel printed nothing for the trace
    matchEval::TraceScore s = matchEval::scoreTrace(none, straightDrive(), g);
    EXPECT_EQ(s.matched, 0);
    EXPECT_DOUBLE_EQ(s.mismatch(), 1.0);

    ReportTrace odd;
    odd.paths.push_back(path({{-1, 1}, {0, 1}, {40, 2}, {1, 77}}));
    s = matchEval::scoreTrace(odd, straightDrive(), g);
    EXPECT_EQ(s.badPoints, 2);
    EXPECT_EQ(s.matched, 2);
    EXPECT_EQ(s.unknownLinks, 1);
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
    EXPECT_EQ(r.traces[0].paths[0].pairs, (std::vector<std::pair<int, int>>{{3, 17}, {4, 18}}));
    EXPECT_EQ(r.traces[0].paths[1].start, 7);
    ASSERT_EQ(r.traces[0].unmatched.size(), 2u);
    EXPECT_EQ(r.traces[0].unmatched[1].nextMatch, 17);
    EXPECT_EQ(r.traces[0].unmatched[0].nextPath, 1);
    EXPECT_EQ(r.traces[1].number, 1);
    EXPECT_EQ(r.traces[1].name, "name: with colon");
    EXPECT_TRUE(r.traces[1].paths.empty());
    EXPECT_EQ(r.traces[1].malformedLines, 1);
    EXPECT_DOUBLE_EQ(r.overallSeconds, 12.0);
}

TEST(EvalOutput, ResultLinesAndTables) {
    matchEval::TraceScore s = matchEval::scoreTrace(ReportTrace{}, straightDrive(), roads());
    s.label = "sim 1 s / 5 m";
    s.seconds = 0.5;
    matchEval::TraceScore back;
    ASSERT_TRUE(matchEval::parseTsvLine(matchEval::tsvLine(s), back));
    EXPECT_EQ(back.label, s.label);  // a label with blanks and a slash survives
    EXPECT_DOUBLE_EQ(back.pointsPerSecond(), 24.0);
    EXPECT_FALSE(matchEval::parseTsvLine("a\tb\tc", back));
    EXPECT_FALSE(matchEval::parseTsvLine("a\tb\t1\t2\t3\t4\t5\t6\t7\t8\t9\tten", back));

    matchEval::TraceScore t = s;
    t.name = "other";
    t.matched = 12;
    t.seconds = 1.5;
    const matchEval::Totals all = matchEval::totals({s, t});
    EXPECT_DOUBLE_EQ(all.pooledMatched(), 0.5);
    EXPECT_DOUBLE_EQ(all.pointsPerSecond(), 12.0);
}
