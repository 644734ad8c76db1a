// The fast Marchal step against the exact one: on street grids with shape nodes (many candidates
// with equal averages, so ties and near-ties are common) and noisy drives, both give the same
// pieces, unmatched stretches and candidate link sets, forwards and backwards.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <set>
#include <tuple>

#include "local_world.h"
#include "matching/matching_marchal.h"

namespace {

constexpr int kJunctions = 6;
constexpr double kBlock = 120.0;
constexpr int kShapes = 4;  // links per block

// A two-way grid; nodes by grid position (in shape steps), made on first use.
struct Grid {
    local_world::World w;
    std::map<std::pair<int, int>, uint32_t> ids;

    uint32_t at(int i, int j) {
        auto [it, added] = ids.try_emplace({i, j}, 0);
        if (added) it->second = w.node(i * kBlock / kShapes, j * kBlock / kShapes);
        return it->second;
    }
    Grid() {
        const int n = (kJunctions - 1) * kShapes;
        for (int line = 0; line <= n; line += kShapes)
            for (int k = 0; k < n; ++k)
                for (const auto& [a, b] :
                     {std::pair{at(k, line), at(k + 1, line)}, std::pair{at(line, k), at(line, k + 1)}}) {
                    w.link(a, b);
                    w.link(b, a);
                }
    }
};

// A drive along the grid lines, turning at random at junctions (back at the edge), one noisy fix
// every `spacing` metres and now and then an outlier off every road.
Route drive(unsigned seed, int points, double spacing, double noise) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, noise);
    const double side = (kJunctions - 1) * kBlock;
    std::vector<std::pair<double, double>> corners{{0, 0}};
    for (double dx = 1, dy = 0; corners.size() < points * spacing / kBlock + 2;) {
        const int turn = static_cast<int>(rng() % 3);  // straight, left, right
        if (turn == 1) std::tie(dx, dy) = std::pair(-dy, dx);
        if (turn == 2) std::tie(dx, dy) = std::pair(dy, -dx);
        const auto [x, y] = corners.back();
        if (x + dx * kBlock < 0 || x + dx * kBlock > side || y + dy * kBlock < 0 || y + dy * kBlock > side)
            std::tie(dx, dy) = std::pair(-dx, -dy);
        corners.push_back({x + dx * kBlock, y + dy * kBlock});
    }
    Route r;
    for (int k = 0; k < points; ++k) {
        const size_t block = static_cast<size_t>(k * spacing / kBlock);
        const double along = k * spacing - block * kBlock;
        const auto [x0, y0] = corners[block];
        const double dx = (corners[block + 1].first - x0) / kBlock,
                     dy = (corners[block + 1].second - y0) / kBlock;
        const double heading = std::atan2(dx, dy) + (dx < 0 ? 2 * std::numbers::pi : 0);
        r.nodes.push_back(k % 37 == 5 ? local_world::point(x0 + dx * along + 60, y0 + dy * along + 60)
                                      : local_world::point(x0 + dx * along + jitter(rng),
                                                           y0 + dy * along + jitter(rng), heading));
    }
    return r;
}

struct Outcome {
    std::vector<std::vector<std::pair<int, int>>> pieces;
    local_world::Records unmatched;
    std::vector<std::set<int>> candidates;
    bool operator==(const Outcome&) const = default;
};

Outcome runOnce(mapRepresentation::Map& map, Route& route, bool forward, bool exact) {
    MapMatching::MarchalBMatching m(&map, &route);
    m.exactOnly = exact;
    m.run(forward, false);
    Outcome o{{}, local_world::records(m), m.getCandidateLinkSets()};
    for (const auto& p : m.getMatched()) o.pieces.push_back(p->links);
    return o;
}

}  // namespace

TEST(MarchalFastStep, SameResultAsTheExactStep) {
    Grid grid;
    const struct { double spacing, noise; } settings[] = {{10.0, 0.0}, {10.0, 4.0}, {25.0, 8.0}, {3.0, 2.0}};
    for (const auto& s : settings)
        for (unsigned seed = 1; seed <= 4; ++seed) {
            Route route = drive(seed, 300, s.spacing, s.noise);
            for (const bool forward : {true, false}) {
                const Outcome fast = runOnce(grid.w.map, route, forward, false);
                const Outcome exact = runOnce(grid.w.map, route, forward, true);
                EXPECT_FALSE(exact.pieces.empty());
                EXPECT_TRUE(fast == exact) << "spacing " << s.spacing << " noise " << s.noise << " seed "
                                           << seed << (forward ? " forwards" : " backwards");
            }
        }
}
