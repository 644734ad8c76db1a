// The result writer on a small hand-made run: CSV and GeoJSON against golden files (longitude first,
// every fix once, driven lines through the nodes of the map's links), and the report format.
#include "app/result_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "local_world.h"
#include "test_support.h"
#include "traces/trace_time.h"

namespace {

using local_world::World;

// A road west to east (links 1, 2, 3 through nodes at x = 0, 100, 200, 300), a branch north from
// x = 200 (link 4), the way back from 300 to 200 (link 5) and a lone road at y = 300 (link 6).
struct SmallRun {
    World world;
    Route route;
    std::vector<std::unique_ptr<Path>> paths;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;

    SmallRun() {
        const uint32_t a = world.node(0, 0), b = world.node(100, 0), c = world.node(200, 0),
                       d = world.node(300, 0), e = world.node(200, 100), f = world.node(0, 300),
                       g = world.node(100, 300);
        world.link(a, b), world.link(b, c), world.link(c, d), world.link(c, e), world.link(d, c),
            world.link(f, g);
        const double xy[][2] = {{10, 5}, {60, -3}, {250, 4}, {290, 2}, {500, 500}, {20, 303}, {80, 298}};
        const uint32_t start = *parseIsoTime("2020-06-01T12:00:00Z");
        route.name = "run \"7\", north";
        for (size_t i = 0; i < std::size(xy); ++i) {
            _node n = local_world::point(xy[i][0], xy[i][1]);
            n.arrivalTime = n.leaveTime = start + static_cast<uint32_t>(i);
            route.nodes.push_back(n);
        }
        // The short form karvel prints: link 2, crossed between fixes 1 and 2, is not listed.
        addPath({{0, 1}, {1, 1}, {2, 3}, {3, 3}});
        addPath({{5, 6}, {6, 6}});
        unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{4, 4, 3, 6, 0, 1}));
    }
    void addPath(std::vector<std::pair<int, int>> links) {
        auto p = std::make_unique<Path>();
        p->links = std::move(links);
        p->startIndex = p->links.front().first;
        p->lastIndex = p->links.back().first;
        paths.push_back(std::move(p));
    }
    std::string written(ResultFormat format) const {
        ResultWriter writer(format, world.map);
        writer.add(route, paths, unmatched);
        std::ostringstream out;
        writer.write(out);
        return out.str();
    }
};

// Compares with a golden file; KARVEL_UPDATE_GOLDEN=1 rewrites it instead (then read the diff).
void expectGolden(const std::string& actual, const std::string& name) {
    const std::string path = karvel_test::testFile("app/data/" + name);
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) karvel_test::writeFile(path, actual);
    EXPECT_EQ(actual, karvel_test::readFile(path)) << name;
}

}  // namespace

TEST(ResultWriter, EveryFormatOfASmallRun) {
    const SmallRun run;
    expectGolden(run.written(ResultFormat::Csv), "small_run.csv");
    expectGolden(run.written(ResultFormat::GeoJson), "small_run.geojson");
    EXPECT_EQ(run.written(ResultFormat::Report).rfind("\tRoute #0: run \"7\", north\nPaths: \nScore: ", 0),
              0u);
}

// 99 is no link and links 1 and 6 do not connect: the driven line is cut in two (fix 0 to the end of
// link 1, then from the start of link 6), and fix 1 has no link.
TEST(ResultWriter, LinksThatCannotBeJoinedSplitTheLineAndUnknownOnesAreLeftOut) {
    SmallRun run;
    run.paths.clear();
    run.addPath({{0, 1}, {1, 99}, {5, 6}});
    expectGolden(run.written(ResultFormat::GeoJson), "split_run.geojson");
}

// The drive karvel-match decided (east past link 4, round by link 5 and up link 4) is what every
// writer shows, not the fewest links between the fixes' links; the report adds it after its path,
// and a result without decided routes prints exactly the hybrid's block.
TEST(ResultWriter, EveryFormatCarriesTheDecidedRoute) {
    SmallRun run;
    run.paths.clear();
    run.addPath({{0, 1}, {3, 4}});
    const DrivenRoutes routes{{1, 2, 3, 5, 4}};
    for (const ResultFormat format : {ResultFormat::Report, ResultFormat::GeoJson}) {
        ResultWriter writer(format, run.world.map);
        writer.add(run.route, run.paths, run.unmatched, routes);
        std::ostringstream out;
        writer.write(out);
        if (format == ResultFormat::Report) {
            EXPECT_NE(out.str().find("Links: (0, 1)  (3, 4)  \n\nDriven links: 1 2 3 5 4\n\n\n\nUnmatched"),
                      std::string::npos)
                << out.str();
            continue;
        }
        const auto doc = nlohmann::json::parse(out.str());
        EXPECT_EQ(doc["features"][0]["properties"]["links"], nlohmann::json({1, 2, 3, 5, 4}));
        // Through the nodes at x = 100, 200, 300, back to 200, then to the fix's foot on link 4.
        EXPECT_EQ(doc["features"][0]["geometry"]["coordinates"].size(), 6u);
    }
    EXPECT_EQ(run.written(ResultFormat::Report).find("Driven links"), std::string::npos);
}
