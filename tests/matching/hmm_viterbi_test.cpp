// Viterbi against exhaustive search: on tiny random street grids, the sequence of candidates the
// hidden-Markov matcher picks costs as little as the cheapest of all sequences, priced with the
// matcher's own emission, transition and outlier costs. And when a route turns back on its road.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include "local_world.h"
#include "matching/hmm_matcher.h"

namespace {

using mapRepresentation::RoadGraph;

using Lattice =
    std::tuple<int, int, int, int>;  // grid side, fixes, candidates per fix, seconds between fixes

class HmmViterbi : public testing::TestWithParam<Lattice> {};

TEST_P(HmmViterbi, PicksTheCheapestSequenceOfAll) {
    const auto [side, fixes, candidates, period] = GetParam();
    MapMatching::HmmParams params = MapMatching::kHmmDefaults;
    params.radius = 1000.0;  // every fix gets its `candidates` nearest links
    params.candidates = candidates;
    params.thinning = 0.0;  // every fix in the lattice
    params.maxSpeed = 1e4;  // and every step allowed
    params.detourSlack = 1e6;
    params.runSeconds = 0.0;  // runs stepped over whole depend on the decoding so far: tested apart
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed * 7919u + static_cast<unsigned>(fixes * 31 + candidates));
        // A jittered square grid of two-way streets (so every step is possible), some diagonals too.
        std::uniform_real_distribution<double> jitter(-25.0, 25.0), anywhere(0.0, (side - 1) * 100.0);
        local_world::World w;
        for (int i = 0; i < side * side; ++i)
            w.node(i % side * 100.0 + jitter(rng), i / side * 100.0 + jitter(rng));
        for (int i = 1; i <= side * side; ++i)
            for (const int j :
                 {i % side ? i + 1 : 0, i + side, i % side && rng() % 3 == 0 ? i + side + 1 : 0})
                if (j > 0 && j <= side * side)
                    w.road({static_cast<uint32_t>(i), static_cast<uint32_t>(j), static_cast<uint32_t>(i)});
        Route r;
        for (int i = 0; i < fixes; ++i) {
            r.nodes.push_back(local_world::point(anywhere(rng), anywhere(rng)));
            r.nodes.back().arrivalTime = static_cast<uint32_t>(1000 + period * i);
        }
        const RoadGraph g(w.map);
        MapMatching::HmmMatcher m(g, params);
        m.run(r);
        std::vector<std::vector<RoadGraph::Near>> cands(r.nodes.size());
        for (size_t t = 0; t < r.nodes.size(); ++t)
            g.nearLinks({r.nodes[t].easting, r.nodes[t].northing}, params.radius, candidates, cands[t]);
        mapRepresentation::RouteSearch search(g);
        // A choice per fix: a candidate index, or cands[t].size() for an inner fix left out as an outlier
        // (never two in a row: a step passes over one fix at most).
        auto allowed = [&](const std::vector<size_t>& choice) {
            for (size_t t = 0; t < choice.size(); ++t)
                if (choice[t] == cands[t].size() &&
                    (t == 0 || t + 1 == choice.size() || choice[t - 1] == cands[t - 1].size()))
                    return false;
            return true;
        };
        auto costOf = [&](const std::vector<size_t>& choice) {
            double c = m.emissionCost(cands[0][choice[0]].distance);
            for (size_t p = 0, t = 1; t < choice.size(); ++t) {
                if (choice[t] == cands[t].size()) continue;
                const RoadGraph::Near &a = cands[p][choice[p]], &b = cands[t][choice[t]];
                // The driving distance without bounds (none binds here); a little back on one link is noise.
                double d = -(a.offset - b.offset);
                bool turns = false;
                if (a.link != b.link || d >= 0.0 || -d > params.backTolerance) {
                    search.run(a.link, a.offset, std::numeric_limits<double>::max(), {g.link(b.link).origin});
                    d = search.distanceTo(b.link, b.offset);
                    turns = search.turnsBack(b.link, b.offset);
                }
                const double straight = std::hypot(r.nodes[t].easting - r.nodes[p].easting,
                                                   r.nodes[t].northing - r.nodes[p].northing);
                const double steps = static_cast<double>(t - p);
                c += (steps - 1.0) * m.outlierCost() +
                     m.transitionCost(d, straight, steps * m.scale(period), turns) +
                     m.emissionCost(b.distance);
                p = t;
            }
            return c;
        };
        // Every combination, counting in mixed radix; and the matcher's pick as candidate indices.
        std::vector<size_t> choice(r.nodes.size(), 0), picked(r.nodes.size(), 0);
        double best = std::numeric_limits<double>::infinity();
        for (size_t t = 0; t < choice.size();) {
            if (allowed(choice)) best = std::min(best, costOf(choice));
            for (t = 0; t < choice.size() && ++choice[t] == cands[t].size() + 1; ++t) choice[t] = 0;
        }
        for (size_t t = 0; t < r.nodes.size(); ++t) {  // the candidate Viterbi chose (the last if none)
            if (m.decodedLink(t) < 0) {
                picked[t] = cands[t].size();
                continue;
            }
            while (picked[t] + 1 < cands[t].size() && g.link(cands[t][picked[t]].link).id != m.decodedLink(t))
                ++picked[t];
        }
        EXPECT_NEAR(costOf(picked), best, 1e-9 * (1.0 + best)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(TinyLattices, HmmViterbi,
                         testing::Values(Lattice{3, 2, 4, 1}, Lattice{3, 4, 3, 5}, Lattice{4, 5, 3, 10},
                                         Lattice{4, 4, 4, 30}, Lattice{3, 6, 2, 2}));

// A turn back onto the road just driven, where the road goes on; not at a dead end, and not going on.
TEST(RouteSearch, TellsATurnBackFromADeadEndAndFromGoingOn) {
    local_world::World w;
    const uint32_t a = w.node(0, 0), b = w.node(100, 0), c = w.node(200, 0), d = w.node(100, 100);
    const auto ab = w.road({a, b, c}), ba = w.road({c, b, a}), bd = w.road({b, d});
    const RoadGraph g(w.map);
    mapRepresentation::RouteSearch search(g);
    auto at = [&](int id) { return static_cast<uint32_t>(g.indexOf(id)); };
    for (const auto& [from, to, turns] : std::vector<std::tuple<int, int, bool>>{{ab[0], ba[1], true},
                                                                                 {ab[0], ab[1], false},
                                                                                 {ab[0], bd[0], false},
                                                                                 {ab[1], ba[0], false},
                                                                                 {ba[0], ab[1], true},
                                                                                 {ab[1], ba[1], false},
                                                                                 {ab[0], ab[0], true}}) {
        search.run(at(from), 50.0, 1e9, {g.link(at(to)).origin});
        EXPECT_EQ(search.turnsBack(at(to), 10.0), turns) << from << " to " << to;
    }
}

}  // namespace
