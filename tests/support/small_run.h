// A small hand-made run for the result writers: a road west to east (links 1, 2, 3 through nodes at
// x = 0, 100, 200, 300), a branch north from x = 200 (link 4), the way back from 300 to 200 (link 5),
// a lone road at y = 300 (link 6) and one 5 km away (link 7). Fixes 0-3 lie along the first road,
// fix 4 far off it, fixes 5 and 6 on the lone road, `step` seconds apart from 2020-06-01T12:00:00Z.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "local_world.h"
#include "traces/path.h"
#include "traces/route.h"
#include "traces/trace_time.h"

namespace karvel_test {

struct SmallRun {
    local_world::World world;
    Route route;
    std::vector<std::unique_ptr<Path>> paths;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;

    explicit SmallRun(const std::string& name = "run \"7\", north", uint32_t step = 1) {
        const uint32_t a = world.node(0, 0), b = world.node(100, 0), c = world.node(200, 0),
                       d = world.node(300, 0), e = world.node(200, 100), f = world.node(0, 300),
                       g = world.node(100, 300), far1 = world.node(5000, 0), far2 = world.node(5100, 0);
        world.road({a, b, c, d}), world.link(c, e), world.link(d, c), world.link(f, g),
            world.link(far1, far2);
        const double xy[][2] = {{10, 5}, {60, -3}, {250, 4}, {290, 2}, {500, 500}, {20, 303}, {80, 298}};
        const uint32_t start = *traces::parseIsoTime("2020-06-01T12:00:00Z");
        route.name = name;
        for (size_t i = 0; i < std::size(xy); ++i) {
            _node n = local_world::point(xy[i][0], xy[i][1]);
            n.arrivalTime = n.leaveTime = start + step * static_cast<uint32_t>(i);
            route.nodes.push_back(n);
        }
        // The short form karvel prints: link 2, crossed between fixes 1 and 2, is not listed.
        addPath({{0, 1}, {1, 1}, {2, 3}, {3, 3}});
        addPath({{5, 6}, {6, 6}});
        unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{4, 4, 3, 6, 0, 1}));
    }
    void addPath(std::vector<std::pair<int, int>> links) {
        paths.push_back(local_world::pathOf(std::move(links)));
    }
};

}  // namespace karvel_test
