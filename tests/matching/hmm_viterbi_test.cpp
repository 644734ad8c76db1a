// Viterbi against exhaustive search: on tiny random street grids, the sequence of candidates the
// hidden-Markov matcher picks costs as little as the cheapest of all sequences, priced with the
// matcher's own emission and transition costs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "local_world.h"
#include "map/road_graph.h"
#include "map/route_distance.h"
#include "matching/hmm_matcher.h"

namespace {

using mapRepresentation::RoadGraph;
using mapRepresentation::RouteSearch;

struct Lattice {
    int nodesPerSide;
    int fixes;
    int candidates;
    uint32_t period;
};

// A jittered square grid of two-way streets (so every step is possible), some diagonals too.
local_world::World randomGrid(std::mt19937& rng, int side) {
    std::uniform_real_distribution<double> jitter(-25.0, 25.0);
    local_world::World w;
    std::vector<uint32_t> ids;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            ids.push_back(w.node(x * 100.0 + jitter(rng), y * 100.0 + jitter(rng)));
    auto both = [&w](uint32_t a, uint32_t b) { w.link(a, b), w.link(b, a); };
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const uint32_t n = ids[static_cast<size_t>(y * side + x)];
            if (x + 1 < side) both(n, ids[static_cast<size_t>(y * side + x + 1)]);
            if (y + 1 < side) both(n, ids[static_cast<size_t>((y + 1) * side + x)]);
            if (x + 1 < side && y + 1 < side && rng() % 3 == 0)
                both(n, ids[static_cast<size_t>((y + 1) * side + x + 1)]);
        }
    return w;
}

Route randomTrace(std::mt19937& rng, int fixes, double extent, uint32_t period) {
    std::uniform_real_distribution<double> at(0.0, extent);
    Route r;
    for (int i = 0; i < fixes; ++i) {
        _node n = local_world::point(at(rng), at(rng));
        n.arrivalTime = n.leaveTime = 1000 + period * static_cast<uint32_t>(i);
        r.nodes.push_back(n);
    }
    return r;
}

// The driving distance the matcher would use for a step, without its bounds (no bound binds here).
double driven(RouteSearch& search, const RoadGraph& g, const RoadGraph::Near& a, const RoadGraph::Near& b,
              double backTolerance) {
    if (a.link == b.link && b.offset < a.offset && a.offset - b.offset <= backTolerance)
        return -(a.offset - b.offset);
    search.run(a.link, a.offset, std::numeric_limits<double>::max(), {g.link(b.link).origin});
    return search.distanceTo(b.link, b.offset);
}

Point at(const _node& n) {
    return Point{n.easting, n.northing};
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
        const local_world::World w = randomGrid(rng, l.nodesPerSide);
        const Route r = randomTrace(rng, l.fixes, (l.nodesPerSide - 1) * 100.0, l.period);
        const RoadGraph g(w.map);
        MapMatching::HmmMatcher m(g, params);
        m.run(r);

        std::vector<std::vector<RoadGraph::Near>> cands(r.nodes.size());
        for (size_t t = 0; t < r.nodes.size(); ++t)
            g.nearLinks(at(r.nodes[t]), params.radius, l.candidates, cands[t]);
        RouteSearch search(g);
        // Cost of the sequence choice[0..n); every combination is tried by counting in mixed radix.
        auto costOf = [&](const std::vector<size_t>& choice) {
            double c = m.emissionCost(cands[0][choice[0]].distance);
            for (size_t t = 1; t < choice.size(); ++t) {
                const RoadGraph::Near& a = cands[t - 1][choice[t - 1]];
                const RoadGraph::Near& b = cands[t][choice[t]];
                const double d = driven(search, g, a, b, params.backTolerance);
                c += m.transitionCost(d, distance2Points(at(r.nodes[t - 1]), at(r.nodes[t])), l.period) +
                     m.emissionCost(b.distance);
            }
            return c;
        };
        std::vector<size_t> choice(r.nodes.size(), 0);
        double best = std::numeric_limits<double>::infinity();
        for (bool more = true; more;) {
            best = std::min(best, costOf(choice));
            more = false;
            for (size_t t = 0; t < choice.size() && !more; ++t) {
                if (++choice[t] < cands[t].size())
                    more = true;
                else
                    choice[t] = 0;
            }
        }
        // The matcher's pick, as candidate indices (one candidate per link and fix).
        std::vector<size_t> picked(r.nodes.size(), 0);
        for (size_t t = 0; t < r.nodes.size(); ++t) {
            const int id = m.matchedLinks()[t];
            ASSERT_NE(id, -1) << "seed " << seed << " fix " << t;
            while (picked[t] < cands[t].size() && g.link(cands[t][picked[t]].link).id != id) ++picked[t];
            ASSERT_LT(picked[t], cands[t].size()) << "seed " << seed << " fix " << t;
        }
        EXPECT_NEAR(costOf(picked), best, 1e-9 * (1.0 + best)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(TinyLattices, HmmViterbi,
                         testing::Values(Lattice{3, 2, 4, 1}, Lattice{3, 4, 3, 5}, Lattice{4, 5, 3, 10},
                                         Lattice{4, 4, 4, 30}, Lattice{3, 6, 2, 2}),
                         [](const testing::TestParamInfo<Lattice>& info) {
                             const Lattice& l = info.param;
                             return std::to_string(l.nodesPerSide) + "x" + std::to_string(l.nodesPerSide) +
                                    "_" + std::to_string(l.fixes) + "fixes_" + std::to_string(l.candidates) +
                                    "cands_" + std::to_string(l.period) + "s";
                         });

}  // namespace
