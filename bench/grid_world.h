// Generated two-way street grids and seeded drives through them, shared by the matching benchmarks.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <tuple>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "traces/route.h"

namespace bench_grid {

constexpr double kE0 = 500000.0;  // UTM origin of the grid (zone 29, northern Portugal)
constexpr double kN0 = 4550000.0;
constexpr double kSpeed = 12.0;  // metres per second, one fix per second

// The streets and the receiver of a benchmark world.
struct GridShape {
    int junctions;      // junctions per side
    double block;       // metres between junctions
    int linksPerBlock;  // links per street between two junctions (shape nodes between)
    double noise;       // GPS noise, metres (standard deviation per axis)

    auto key() const { return std::tie(junctions, block, linksPerBlock, noise); }
    bool operator<(const GridShape& o) const { return key() < o.key(); }
};

// A small grid digitised with shape nodes every 25 m and a good receiver: the candidates of a
// point settle quickly and a drive is matched as one piece.
constexpr GridShape kCleanGrid{10, 200.0, 8, 3.0};
// A dense city grid (30 x 30 junctions 110 m apart, one link per block, so some hundred branches
// per candidate) and a noisy receiver that still seldom strays 20 m off: the drive is matched in a
// few long pieces, along which the candidates' averages draw within the order's tolerance of each
// other and exact ties at a link's lowest average are frequent.
constexpr GridShape kDenseNoisyGrid{30, 110.0, 1, 4.0};

inline _position toPosition(double x, double y) {
    const GPSPoint g = GPSPoint::convertUTMToWGS84(kE0 + x, kN0 + y, 29, 'T');
    return {g.latitude, g.longitude};
}

// A two-way street grid of the given shape, built once per shape.
inline mapRepresentation::Map& gridMap(const GridShape& shape = kCleanGrid) {
    static std::map<GridShape, std::unique_ptr<mapRepresentation::Map>> built;
    std::unique_ptr<mapRepresentation::Map>& slot = built[shape];
    if (slot) return *slot;
    auto m = std::make_unique<mapRepresentation::Map>();
    std::map<std::pair<int, int>, uint32_t> ids;  // keyed by position in shape-node steps
    uint32_t next = 1;
    const double step = shape.block / shape.linksPerBlock;
    auto node = [&](int i, int j) {
        const auto [it, added] = ids.try_emplace({i, j}, next);
        if (added) {
            const _position p = toPosition(i * step, j * step);
            m->addNode(next++, p.lat, p.lon, 0, 0);
        }
        return it->second;
    };
    const int last = (shape.junctions - 1) * shape.linksPerBlock;
    for (int line = 0; line <= last; line += shape.linksPerBlock) {
        for (int k = 0; k < last; ++k) {
            const uint32_t a = node(k, line), b = node(k + 1, line);  // east-west street
            m->addLinkToNode(a, b, 0, 0);
            m->addLinkToNode(b, a, 0, 0);
            const uint32_t c = node(line, k), d = node(line, k + 1);  // north-south street
            m->addLinkToNode(c, d, 0, 0);
            m->addLinkToNode(d, c, 0, 0);
        }
    }
    slot = std::move(m);
    return *slot;
}

// A drive of `points` fixes through a grid, turning at random at junctions (never back).
inline Route gridDrive(int points, const GridShape& shape = kCleanGrid) {
    std::mt19937 rng(12345u);  // the shorter drives are prefixes of the longer ones
    std::normal_distribution<double> noise(0.0, shape.noise);
    const double size = (shape.junctions - 1) * shape.block;
    double x = 0.0, y = 0.0;
    int dx = 1, dy = 0;
    double toJunction = shape.block;
    Route route;
    for (int i = 0; i < points; ++i) {
        _node n;
        const _position p = toPosition(x + noise(rng), y + noise(rng));
        n.position = p;
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(p.lat, p.lon);
        n.easting = g.easting;
        n.northing = g.northing;
        n.arrivalTime = n.leaveTime = 1000u + static_cast<uint32_t>(i);
        route.addNode(n, true);

        double travel = kSpeed;
        while (travel > 0.0) {
            const double move = std::min(travel, toJunction);
            x += dx * move;
            y += dy * move;
            travel -= move;
            toJunction -= move;
            if (toJunction <= 1e-9) {
                // Choose among straight, left and right, staying inside the grid.
                const int options[3][2] = {{dx, dy}, {-dy, dx}, {dy, -dx}};
                int choice[3], count = 0;
                for (int o = 0; o < 3; ++o) {
                    const double nx = x + options[o][0] * shape.block, ny = y + options[o][1] * shape.block;
                    if (nx > -1 && ny > -1 && nx < size + 1 && ny < size + 1) choice[count++] = o;
                }
                const int o = choice[std::uniform_int_distribution<int>(0, count - 1)(rng)];
                dx = options[o][0];
                dy = options[o][1];
                toJunction = shape.block;
            }
        }
    }
    route.name = "grid";
    return route;
}

}  // namespace bench_grid
