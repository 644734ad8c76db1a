// A generated two-way street grid and seeded drives through it, shared by the matching benchmarks.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <random>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "traces/route.h"

namespace bench_grid {

constexpr double kE0 = 500000.0;  // UTM origin of the grid (zone 29, northern Portugal)
constexpr double kN0 = 4550000.0;
constexpr int kJunctions = 10;     // junctions per side
constexpr double kBlock = 200.0;   // metres between junctions
constexpr int kLinksPerBlock = 8;  // shape nodes every 25 m, as on a digitised street
constexpr double kSpeed = 12.0;    // metres per second, one fix per second
constexpr double kNoise = 3.0;     // GPS noise, metres (standard deviation per axis)

inline _position toPosition(double x, double y) {
    const GPSPoint g = GPSPoint::convertUTMToWGS84(kE0 + x, kN0 + y, 29, 'T');
    return {g.latitude, g.longitude};
}

// A two-way street grid.
inline mapRepresentation::Map& gridMap() {
    static std::unique_ptr<mapRepresentation::Map> map = [] {
        auto m = std::make_unique<mapRepresentation::Map>();
        std::map<std::pair<int, int>, uint32_t> ids;  // keyed by position in 25 m units
        uint32_t next = 1;
        auto node = [&](int i, int j) {
            const auto [it, added] = ids.try_emplace({i, j}, next);
            if (added) {
                const double step = kBlock / kLinksPerBlock;
                const _position p = toPosition(i * step, j * step);
                m->addNode(next++, p.lat, p.lon, 0, 0);
            }
            return it->second;
        };
        const int last = (kJunctions - 1) * kLinksPerBlock;
        for (int line = 0; line <= last; line += kLinksPerBlock) {
            for (int k = 0; k < last; ++k) {
                const uint32_t a = node(k, line), b = node(k + 1, line);  // east-west street
                m->addLinkToNode(a, b, 0, 0);
                m->addLinkToNode(b, a, 0, 0);
                const uint32_t c = node(line, k), d = node(line, k + 1);  // north-south street
                m->addLinkToNode(c, d, 0, 0);
                m->addLinkToNode(d, c, 0, 0);
            }
        }
        return m;
    }();
    return *map;
}

// A drive of `points` fixes through the grid, turning at random at junctions (never back).
inline Route gridDrive(int points) {
    std::mt19937 rng(12345u);  // the shorter drives are prefixes of the longer ones
    std::normal_distribution<double> noise(0.0, kNoise);
    const double size = (kJunctions - 1) * kBlock;
    double x = 0.0, y = 0.0;
    int dx = 1, dy = 0;
    double toJunction = kBlock;
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
                    const double nx = x + options[o][0] * kBlock, ny = y + options[o][1] * kBlock;
                    if (nx > -1 && ny > -1 && nx < size + 1 && ny < size + 1) choice[count++] = o;
                }
                const int o = choice[std::uniform_int_distribution<int>(0, count - 1)(rng)];
                dx = options[o][0];
                dy = options[o][1];
                toJunction = kBlock;
            }
        }
    }
    route.name = "grid";
    return route;
}

}  // namespace bench_grid
