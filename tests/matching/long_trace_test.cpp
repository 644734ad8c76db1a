// What keeps the matchers flat on long traces: the hybrid's compact per-point candidate links hold,
// list and count the same links as one ordered set per point, and Marchal's step gives the exact
// step's result where averages chain within the order's tolerance (as they do on long pieces).
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <set>
#include <vector>

#include "local_world.h"
#include "matching/candidate_links.h"
#include "matching/matching_marchal.h"

using MapMatching::CandidateLinks;

namespace {

std::vector<int> linksOf(const CandidateLinks& links, std::size_t point) {
    std::vector<int> out;
    links.forEach(point, [&out](int link) { out.push_back(link); });
    return out;
}

void expectSame(const CandidateLinks& links, const std::vector<std::set<int>>& oracle) {
    ASSERT_EQ(links.size(), oracle.size());
    for (std::size_t k = 0; k < oracle.size(); ++k) {
        EXPECT_EQ(links.count(k), oracle[k].size()) << "point " << k;
        EXPECT_EQ(linksOf(links, k), std::vector<int>(oracle[k].begin(), oracle[k].end())) << "point " << k;
        std::set<int> copied{INT_MIN};
        links.copyTo(k, copied);
        std::set<int> expected = oracle[k];
        expected.insert(INT_MIN);
        EXPECT_EQ(copied, expected) << "point " << k;
    }
}

}  // namespace

TEST(CandidateLinks, SameAsOrderedSetsOnRandomInserts) {
    // Few distinct links per point, so repeats, second links and long lists all occur; the ids
    // include -1, 0 and the extremes.
    struct Case {
        unsigned seed;
        std::size_t points;
        int inserts;
        int linkRange;
    };
    for (const Case& c :
         {Case{1, 1, 50, 3}, Case{2, 40, 60, 2}, Case{3, 200, 1500, 12}, Case{4, 50, 4000, 300}}) {
        std::mt19937 rng(c.seed);
        std::uniform_int_distribution<std::size_t> point(0, c.points - 1);
        std::uniform_int_distribution<int> link(-1, c.linkRange);
        CandidateLinks links(c.points);
        std::vector<std::set<int>> oracle(c.points);
        for (int k = 0; k < c.inserts; ++k) {
            const std::size_t p = point(rng);
            int l = link(rng);
            if (k % 97 == 0) l = (k % 2 == 0) ? INT_MAX : INT_MIN + 1;
            links.insert(p, l);
            oracle[p].insert(l);
        }
        SCOPED_TRACE(c.seed);
        expectSame(links, oracle);
        expectSame(CandidateLinks::fromSets(oracle), oracle);
    }
}

TEST(MarchalLongPiece, ChainedAveragesOrderedAsTheExactStep) {
    // Four parallel one-way roads whose distances from a drive along y = 0 differ by 0.4 um: their
    // candidates' averages chain (neighbours closer than 1e-6, the ends not), so sorting cannot
    // decide the order. The roads are made out of that order, so their super-link keys are too; in
    // the first case the exact step keeps the first road ahead of the nearer ones.
    for (const std::vector<double>& offsets : {std::vector<double>{3.0000008, -3.0000004, 3.0, -3.0000012},
                                               std::vector<double>{3.0000012, -3.0, 3.0000008, -3.0000004},
                                               std::vector<double>{-3.0, 3.0000004, -3.0000008, 3.0000012}}) {
        local_world::World w;
        for (const double y : offsets) w.chain(0.0, 400.0, 25.0, y);
        Route route;
        for (double x = 5.0; x < 300.0; x += 10.0) route.nodes.push_back(local_world::point(x, 0.0));
        std::vector<std::vector<std::pair<int, int>>> results[2];
        for (const bool exact : {false, true}) {
            MapMatching::MarchalBMatching m(&w.map, &route);
            m.exactOnly = exact;
            m.run(true, false);
            for (const auto& p : m.getMatched()) results[exact].push_back(p->links);
            if (!exact) {
                EXPECT_GT(m.rebuiltOrderSteps, 10u);
            }
        }
        ASSERT_EQ(results[0].size(), 1u);
        EXPECT_EQ(results[0], results[1]);
    }
}

TEST(MarchalLongPiece, TiesAtTheLowestAverageKeptAsTheExactStep) {
    // Fixes on the nodes of parallel one-way roads: a candidate's child that stays on its link and
    // the one that moves on to the next link of the road tie exactly. Roads 0.3 um apart form one
    // group of averages closer than 1e-6, where the fast step decides the tie itself; roads 0.4 um
    // apart chain, and the tie is left to the exact order over every child.
    struct Case {
        std::vector<double> offsets;
        bool chained;
    };
    for (const Case& c :
         {Case{{3.0000006, 3.0, -3.0000003}, false}, Case{{3.0000008, -3.0000004, 3.0, -3.0000012}, true}}) {
        local_world::World w;
        for (const double y : c.offsets) w.chain(0.0, 400.0, 25.0, y);
        Route route;
        for (double x = 12.5; x < 350.0; x += 12.5) route.nodes.push_back(local_world::point(x, 0.0));
        std::vector<std::vector<std::pair<int, int>>> results[2];
        for (const bool exact : {false, true}) {
            MapMatching::MarchalBMatching m(&w.map, &route);
            m.exactOnly = exact;
            m.run(true, false);
            for (const auto& p : m.getMatched()) results[exact].push_back(p->links);
            if (!exact) {
                SCOPED_TRACE(c.chained);
                EXPECT_EQ(m.rebuiltOnAllChildren > 0, c.chained);
            }
        }
        ASSERT_EQ(results[0].size(), 1u);
        EXPECT_EQ(results[0], results[1]);
    }
}
