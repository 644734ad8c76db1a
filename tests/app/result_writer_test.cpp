// The result writer on a small hand-made run: CSV and GeoJSON against golden files, the GeoJSON read
// back (types, longitude first, every fix once, driven lines that follow the map's links) and the
// report format.
#include "app/result_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "local_world.h"
#include "test_support.h"
#include "traces/trace_time.h"

namespace {

using local_world::World;
using nlohmann::json;

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

std::string golden(const std::string& name) {
    return karvel_test::readFile(karvel_test::testFile("app/data/" + name));
}

// Compares with a golden file; KARVEL_UPDATE_GOLDEN=1 rewrites it instead (then read the diff).
void expectGolden(const std::string& actual, const std::string& name) {
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr)
        karvel_test::writeFile(karvel_test::testFile("app/data/" + name), actual);
    EXPECT_EQ(actual, golden(name)) << name;
}

// The map node at a GeoJSON position, or 0.
uint32_t nodeAt(const mapRepresentation::Map& map, const json& lonLat) {
    for (const auto& [id, n] : map.nodes)
        if (std::fabs(n.longitude - lonLat[0].get<double>()) < 1e-7 &&
            std::fabs(n.latitude - lonLat[1].get<double>()) < 1e-7)
            return id;
    return 0;
}

}  // namespace

TEST(ResultWriter, EveryFormatOfASmallRun) {
    const SmallRun run;
    expectGolden(run.written(ResultFormat::Csv), "small_run.csv");
    expectGolden(run.written(ResultFormat::GeoJson), "small_run.geojson");
    EXPECT_EQ(run.written(ResultFormat::Report).rfind("\tRoute #0: run \"7\", north\nPaths: \nScore: ", 0),
              0u);
}

TEST(ResultWriter, GeoJsonReadsBackWithEveryFixOnceAndDrivenLinesAlongTheLinks) {
    const SmallRun run;
    const json doc = json::parse(run.written(ResultFormat::GeoJson));
    ASSERT_EQ(doc["type"], "FeatureCollection");
    std::multiset<int> fixes;
    int lines = 0;
    for (const json& f : doc["features"]) {
        ASSERT_EQ(f["type"], "Feature");
        const json& g = f["geometry"];
        const json& p = f["properties"];
        EXPECT_EQ(p["trace"], run.route.name);
        if (g["type"] == "Point") {
            const int i = p["point"];
            fixes.insert(i);
            // Longitude first: the points lie in Portugal, about 9 degrees west and 41 north.
            const _position& at = run.route.nodes[i].position;
            EXPECT_NEAR(g["coordinates"][0].get<double>(), at.lon, 1e-3);
            EXPECT_NEAR(g["coordinates"][1].get<double>(), at.lat, 1e-3);
            EXPECT_EQ(p["link"].is_null(), i == 4);
            continue;
        }
        ASSERT_EQ(g["type"], "LineString");
        ++lines;
        const json& coords = g["coordinates"];
        const std::vector<int> links = p["links"];
        ASSERT_EQ(coords.size(), links.size() + 1) << "ends cut inside the first and last link";
        for (size_t k = 1; k + 1 < coords.size(); ++k) {
            const auto& link = run.world.map.links.at(links[k - 1]);
            EXPECT_EQ(nodeAt(run.world.map, coords[k]), link.destination);
            EXPECT_EQ(run.world.map.links.at(links[k]).origin, link.destination) << "consecutive links meet";
        }
    }
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(fixes, (std::multiset<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(doc["features"][0]["properties"]["links"], json({1, 2, 3}));
}

TEST(ResultWriter, LinksThatCannotBeJoinedSplitTheLineAndUnknownOnesAreLeftOut) {
    SmallRun run;
    run.paths.clear();
    run.addPath({{0, 1}, {1, 99}, {5, 6}});  // 99 is no link; 1 and 6 do not connect
    const json doc = json::parse(run.written(ResultFormat::GeoJson));
    const json& g = doc["features"][0]["geometry"];
    EXPECT_EQ(g["type"], "MultiLineString");
    ASSERT_EQ(g["coordinates"].size(), 2u);
    EXPECT_EQ(g["coordinates"][0].size(), 2u);  // fix 0 to the end of link 1
    EXPECT_EQ(nodeAt(run.world.map, g["coordinates"][1][0]), run.world.map.links.at(6).origin);
    EXPECT_TRUE(doc["features"][2]["properties"]["link"].is_null());  // fix 1
}
