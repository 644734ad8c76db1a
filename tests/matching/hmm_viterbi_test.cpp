// Viterbi against exhaustive search: on tiny random street grids, the sequence of candidates the
// hidden-Markov matcher picks costs as little as the cheapest of all sequences, priced with the
// matcher's own emission and transition costs. And the smoother that places fixes along the drive.
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
        auto costOf = [&](const std::vector<size_t>& choice) {
            double c = m.emissionCost(cands[0][choice[0]].distance);
            for (size_t t = 1; t < choice.size(); ++t) {
                const RoadGraph::Near &a = cands[t - 1][choice[t - 1]], &b = cands[t][choice[t]];
                // The driving distance without bounds (none binds here); a little back on one link is noise.
                double d = -(a.offset - b.offset);
                bool turns = false;
                if (a.link != b.link || d >= 0.0 || -d > params.backTolerance) {
                    search.run(a.link, a.offset, std::numeric_limits<double>::max(), {g.link(b.link).origin});
                    d = search.distanceTo(b.link, b.offset);
                    turns = search.turnsBack(b.link, b.offset);
                }
                const double straight = std::hypot(r.nodes[t].easting - r.nodes[t - 1].easting,
                                                   r.nodes[t].northing - r.nodes[t - 1].northing);
                c += m.transitionCost(d, straight, period, turns) + m.emissionCost(b.distance);
            }
            return c;
        };
        // Every combination, counting in mixed radix; and the matcher's pick as candidate indices.
        std::vector<size_t> choice(r.nodes.size(), 0), picked(r.nodes.size(), 0);
        double best = std::numeric_limits<double>::infinity();
        for (size_t t = 0; t < choice.size();) {
            best = std::min(best, costOf(choice));
            for (t = 0; t < choice.size() && ++choice[t] == cands[t].size(); ++t) choice[t] = 0;
        }
        for (size_t t = 0; t < r.nodes.size(); ++t)  // the candidate Viterbi chose (the last if none)
            while (picked[t] + 1 < cands[t].size() && g.link(cands[t][picked[t]].link).id != m.decodedLink(t))
                ++picked[t];
        EXPECT_NEAR(costOf(picked), best, 1e-9 * (1.0 + best)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(TinyLattices, HmmViterbi,
                         testing::Values(Lattice{3, 2, 4, 1}, Lattice{3, 4, 3, 5}, Lattice{4, 5, 3, 10},
                                         Lattice{4, 4, 4, 30}, Lattice{3, 6, 2, 2}));

// Along a drive at constant speed with noisy positions, the smoothed positions lie much nearer the
// truth, also across a gap and round a detour between two fixes.
TEST(TrackSmoother, BringsNoisyPositionsNearTheTruth) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 5.0);
    auto truth = [](double second) { return 12.0 * second + (second < 150 ? 0.0 : 300.0); };
    std::vector<double> seconds, positions;
    double before = 0.0, after = 0.0;
    for (int i = 0; i < 200; ++i) {
        seconds.push_back(i < 100 ? i : i + 30);
        positions.push_back(truth(seconds.back()) + noise(rng));
        before += std::abs(positions.back() - truth(seconds.back()));
    }
    MapMatching::TrackSmoother smoother;
    smoother.smooth(seconds, positions, 5.0, 1.0);
    for (size_t i = 0; i < positions.size(); ++i) after += std::abs(positions[i] - truth(seconds[i]));
    EXPECT_LT(after, before / 2.5);
}

}  // namespace
