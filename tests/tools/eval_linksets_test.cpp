// The route mismatch with routes taken as sets of directed links, beside the multiset figure.
#include <gtest/gtest.h>

#include <cmath>

#include "map/link_graph.h"
#include "tools/eval/evaluator.h"

namespace {

using matchEval::LinkGraph;

// Links 1..4 of 100, 200, 300 and 400 m.
LinkGraph lengths() {
    LinkGraph g;
    for (int i = 1; i <= 4; ++i)
        g.addLink(i, static_cast<uint32_t>(i), static_cast<uint32_t>(i + 1), 100.0 * i);
    return g;
}

struct SetCase {
    std::vector<int> truth, matched;
    double trueLength, added, missed;  // as sets
    double multisetMismatch;
};

class LinkSets : public ::testing::TestWithParam<SetCase> {};

TEST_P(LinkSets, EveryLinkCountsOnce) {
    const SetCase& c = GetParam();
    const LinkGraph g = lengths();
    const auto sets = matchEval::compareLinkSets(c.truth, c.matched, g);
    EXPECT_DOUBLE_EQ(sets.trueLength, c.trueLength);
    EXPECT_DOUBLE_EQ(sets.added, c.added);
    EXPECT_DOUBLE_EQ(sets.missed, c.missed);
    const auto multi = matchEval::compareRoutes(c.truth, c.matched, g);
    EXPECT_DOUBLE_EQ((multi.added + multi.missed) / multi.trueLength, c.multisetMismatch);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkSets,
    ::testing::Values(SetCase{{1, 2, 3}, {1, 2, 3}, 600, 0, 0, 0.0},
                      // A link driven twice but matched once: no error as sets, missed as multisets.
                      SetCase{{1, 2, 1}, {1, 2}, 300, 0, 0, 100.0 / 400.0},
                      // A detour matched twice is added once.
                      SetCase{{1, 2}, {1, 4, 4, 2}, 300, 400, 0, 800.0 / 300.0},
                      SetCase{{1, 2, 3}, {1, 3}, 600, 0, 200, 200.0 / 600.0}));

TEST(LinkSets, SummaryGivesMeanMedianAndFewestMatched) {
    std::vector<matchEval::TraceScore> scores(3);
    const double set[3][3] = {{100, 10, 0}, {100, 0, 0}, {100, 30, 20}};
    for (int i = 0; i < 3; ++i) {
        scores[i].points = 10;
        scores[i].matched = 10 - i;
        scores[i].setTrueLength = set[i][0];
        scores[i].setAddedLength = set[i][1];
        scores[i].setMissedLength = set[i][2];
    }
    const auto t = matchEval::totals(scores);
    EXPECT_DOUBLE_EQ(t.meanSetMismatch, 0.2);
    EXPECT_DOUBLE_EQ(t.medianSetMismatch, 0.1);
    EXPECT_DOUBLE_EQ(t.minMatched, 0.8);
    // The figures survive the result file.
    matchEval::TraceScore back;
    ASSERT_TRUE(matchEval::parseTsvLine(matchEval::tsvLine(scores[2]), back));
    EXPECT_DOUBLE_EQ(back.setMismatch(), 0.5);
}

}  // namespace
