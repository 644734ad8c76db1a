// Viterbi against exhaustive search: on tiny random street grids, the sequence of candidates the
// hidden-Markov matcher picks costs as little as the cheapest of all sequences, priced with the
// matcher's own emission and transition costs. And the smoother that places fixes along the drive.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "local_world.h"
#include "map/road_graph.h"
#include "map/route_distance.h"
#include "matching/hmm_matcher.h"

namespace {

using mapRepresentation::RoadGraph;

struct Lattice {
    int side, fixes, candidates;
    uint32_t period;
};

// A jittered square grid of two-way streets (so every step is possible), some diagonals too.
local_world::World randomGrid(std::mt19937& rng, int side) {
    std::uniform_real_distribution<double> jitter(-25.0, 25.0);
    local_world::World w;
    for (int i = 0; i < side * side; ++i)
        w.node(i % side * 100.0 + jitter(rng), i / side * 100.0 + jitter(rng));
    auto both = [&w](int a, int b) { w.link(a + 1, b + 1), w.link(b + 1, a + 1); };
    for (int i = 0; i < side * side; ++i) {
        if (i % side + 1 < side) both(i, i + 1);
        if (i / side + 1 < side) both(i, i + side);
        if (i % side + 1 < side && i / side + 1 < side && rng() % 3 == 0) both(i, i + side + 1);
    }
    return w;
}

class HmmViterbi : public testing::TestWithParam<Lattice> {};

TEST_P(HmmViterbi, PicksTheCheapestSequenceOfAll) {
    const Lattice l = GetParam();
    MapMatching::HmmParams params = MapMatching::kHmmDefaults;
    params.sigma = 12.0;
    params.radius = 1000.0;  // every fix gets its `candidates` nearest links
    params.candidates = l.candidates;
    params.thinning = 0.0;  // every fix in the lattice
    params.maxSpeed = 1e4;  // and every step allowed
    params.detourSlack = 1e6;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed * 7919u + static_cast<unsigned>(l.fixes * 31 + l.candidates));
        const local_world::World w = randomGrid(rng, l.side);
        std::uniform_real_distribution<double> anywhere(0.0, (l.side - 1) * 100.0);
        Route r;
        for (int i = 0; i < l.fixes; ++i) {
            r.nodes.push_back(local_world::point(anywhere(rng), anywhere(rng)));
            r.nodes.back().arrivalTime = 1000 + l.period * static_cast<uint32_t>(i);
        }
        const RoadGraph g(w.map);
        MapMatching::HmmMatcher m(g, params);
        m.run(r);
        std::vector<std::vector<RoadGraph::Near>> cands(r.nodes.size());
        for (size_t t = 0; t < r.nodes.size(); ++t)
            g.nearLinks({r.nodes[t].easting, r.nodes[t].northing}, params.radius, l.candidates, cands[t]);
        mapRepresentation::RouteSearch search(g);
        auto costOf = [&](const std::vector<size_t>& choice) {
            double c = m.emissionCost(cands[0][choice[0]].distance);
            for (size_t t = 1; t < choice.size(); ++t) {
                const RoadGraph::Near &a = cands[t - 1][choice[t - 1]], &b = cands[t][choice[t]];
                // The driving distance without bounds (none binds here); a little back on one link is noise.
                double d = -(a.offset - b.offset);
                if (a.link != b.link || d >= 0.0 || -d > params.backTolerance) {
                    search.run(a.link, a.offset, std::numeric_limits<double>::max(), {g.link(b.link).origin});
                    d = search.distanceTo(b.link, b.offset);
                }
                const double straight = std::hypot(r.nodes[t].easting - r.nodes[t - 1].easting,
                                                   r.nodes[t].northing - r.nodes[t - 1].northing);
                c += m.transitionCost(d, straight, l.period) + m.emissionCost(b.distance);
            }
            return c;
        };
        // Every combination, counting in mixed radix; and the matcher's pick as candidate indices.
        std::vector<size_t> choice(r.nodes.size(), 0), picked(r.nodes.size(), 0);
        double best = std::numeric_limits<double>::infinity();
        for (bool more = true; more;) {
            best = std::min(best, costOf(choice));
            more = false;
            for (size_t t = 0; t < choice.size() && !more; ++t)
                more = ++choice[t] < cands[t].size() || (choice[t] = 0);
        }
        for (size_t t = 0; t < r.nodes.size(); ++t) {
            while (picked[t] < cands[t].size() && g.link(cands[t][picked[t]].link).id != m.decodedLink(t))
                ++picked[t];
            ASSERT_LT(picked[t], cands[t].size()) << "seed " << seed << " fix " << t;
        }
        EXPECT_NEAR(costOf(picked), best, 1e-9 * (1.0 + best)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(TinyLattices, HmmViterbi,
                         testing::Values(Lattice{3, 2, 4, 1}, Lattice{3, 4, 3, 5}, Lattice{4, 5, 3, 10},
                                         Lattice{4, 4, 4, 30}, Lattice{3, 6, 2, 2}));

// Along a drive at constant speed with noisy positions, the smoothed positions lie much nearer the
// truth, also round a detour between two fixes; a clean drive stays as it is; repeated or backward
// times and a single fix do no harm.
TEST(TrackSmoother, BringsNoisyPositionsNearTheTruth) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 5.0);
    std::vector<double> seconds, clean, noisy;
    for (int i = 0; i < 200; ++i) {
        seconds.push_back(i < 100 ? i : i + 30);  // a 30 s gap halfway, a 300 m detour later
        clean.push_back(12.0 * seconds.back() + (i < 150 ? 0.0 : 300.0));
        noisy.push_back(clean.back() + noise(rng));
    }
    auto rms = [&](const std::vector<double>& s) {
        double sum = 0.0;
        for (size_t i = 0; i < s.size(); ++i) sum += (s[i] - clean[i]) * (s[i] - clean[i]);
        return std::sqrt(sum / static_cast<double>(s.size()));
    };
    const double before = rms(noisy);
    MapMatching::TrackSmoother smoother;
    smoother.smooth(seconds, noisy, 5.0, 1.0);
    EXPECT_LT(rms(noisy), before / 2.5);
    std::vector<double> exact = clean;
    smoother.smooth(seconds, exact, 5.0, 1.0);
    EXPECT_LT(rms(exact), 0.05);  // only the guess of the first speed pulls a little
    std::vector<double> odd{3.0, 8.0, 5.0}, one{7.0};
    smoother.smooth(std::vector<double>{10, 10, 9}, odd, 5.0, 1.0);
    smoother.smooth(std::vector<double>{10}, one, 5.0, 1.0);
    for (double s : odd) EXPECT_TRUE(s > 2.9 && s < 8.1) << s;
    EXPECT_DOUBLE_EQ(one[0], 7.0);
}

}  // namespace
