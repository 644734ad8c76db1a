// The fast Marchal step against the exact one: on street grids with shape nodes (many candidates
// with equal averages, so ties and near-ties are common) and noisy drives, both give the same
// pieces, unmatched stretches and candidate link sets, forwards and backwards.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <set>
#include <tuple>

#include "local_world.h"
#include "matching/matching_marchal.h"

namespace {

using local_world::World;

constexpr int kJunctions = 6;
constexpr double kBlock = 120.0;
constexpr int kShapes = 4;  // links per block

// A two-way grid; node ids by grid position (in shape steps).
struct Grid {
    World w;
    std::vector<std::vector<uint32_t>> ids;

    Grid() {
        const int n = (kJunctions - 1) * kShapes + 1;
        ids.assign(n, std::vector<uint32_t>(n, 0));
        const double step = kBlock / kShapes;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (i % kShapes == 0 || j % kShapes == 0) ids[i][j] = w.node(i * step, j * step);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                if (ids[i][j] == 0) continue;
                if (i + 1 < n && ids[i + 1][j] != 0) twoWay(ids[i][j], ids[i + 1][j]);
                if (j + 1 < n && ids[i][j + 1] != 0) twoWay(ids[i][j], ids[i][j + 1]);
            }
    }
    void twoWay(uint32_t a, uint32_t b) {
        w.link(a, b);
        w.link(b, a);
    }
};

// A drive along the grid lines, turning at random at junctions, one noisy fix every `spacing` metres.
Route drive(unsigned seed, int points, double spacing, double noise) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> jitter(0.0, noise);
    const double side = (kJunctions - 1) * kBlock;
    double x = 0, y = 0, dx = 1, dy = 0;
    Route r;
    for (int k = 0; k < points; ++k) {
        _node p = local_world::point(x + jitter(rng), y + jitter(rng),
                                     std::atan2(dx, dy) + (dx < 0 ? 2 * std::numbers::pi : 0));
        if (k % 37 == 5) p = local_world::point(x + 60, y + 60);  // an outlier off every road
        r.nodes.push_back(p);
        for (double left = spacing; left > 0;) {
            const double toJunction = kBlock - std::fmod(dx != 0 ? x : y, kBlock);
            const double move = std::min(left, toJunction > 1e-9 ? toJunction : kBlock);
            x += dx * move;
            y += dy * move;
            left -= move;
            if (std::fabs(std::fmod(x, kBlock)) < 1e-9 && std::fabs(std::fmod(y, kBlock)) < 1e-9) {
                const int turn = static_cast<int>(rng() % 3);  // straight, left, right
                if (turn == 1) std::tie(dx, dy) = std::pair(-dy, dx);
                if (turn == 2) std::tie(dx, dy) = std::pair(dy, -dx);
                if (x + dx * kBlock < -1e-9 || x + dx * kBlock > side + 1e-9 || y + dy * kBlock < -1e-9 ||
                    y + dy * kBlock > side + 1e-9) {
                    dx = -dx;
                    dy = -dy;
                }
            }
        }
    }
    return r;
}

struct Outcome {
    std::vector<std::vector<std::pair<int, int>>> pieces;
    std::vector<std::vector<int>> unmatched;
    std::vector<std::set<int>> candidates;
    bool operator==(const Outcome&) const = default;
};

Outcome runOnce(mapRepresentation::Map& map, Route& route, bool forward, bool exact) {
    MapMatching::MarchalBMatching m(&map, &route);
    m.exactOnly = exact;
    m.run(forward, false);
    Outcome o;
    for (const auto& p : m.getMatched()) o.pieces.push_back(p->links);
    for (const auto& u : m.getUnmatchedInfo())
        o.unmatched.push_back(
            {u->startNode, u->endNode, u->lastMatch, u->nextMatch, u->lastPath, u->nextPath});
    o.candidates = m.getCandidateLinkSets();
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
