// Whole runs of the genetic-only matcher: a seeded run on a small map whose answer is known, its log
// and KML files, degenerate traces, and the start of a real drive.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "kubicka_drive.h"
#include "local_world.h"
#include "matching/GenMapMatching.h"
#include "support/test_support.h"

using MapMatching::GenMapMatching;
using namespace local_world;

namespace {

// Two-way roads: main (east, three links to the junction at (300, 0)), side (north from the
// junction) and the main road's continuation east; a one-way road 16 m north of main. The drive
// goes east along main, 2 m off it, and turns north up side.
struct Junction {
    World w;
    std::vector<int> main, side;
    Route route;

    Junction() {
        auto twoWay = [&](const std::vector<uint32_t>& nodes, std::vector<int>* forward) {
            for (size_t k = 0; k + 1 < nodes.size(); ++k) {
                const int link = w.link(nodes[k], nodes[k + 1]);
                if (forward) forward->push_back(link);
                w.link(nodes[k + 1], nodes[k]);
            }
        };
        const uint32_t j = w.node(300, 0);
        twoWay({w.node(0, 0), w.node(100, 0), w.node(200, 0), j}, &main);
        twoWay({j, w.node(300, 100), w.node(300, 200), w.node(300, 300)}, &side);
        twoWay({j, w.node(400, 0), w.node(500, 0)}, nullptr);
        const uint32_t d = w.node(150, 16);
        w.link(w.node(0, 16), d);
        w.link(d, w.node(300, 16));
        std::vector<_node> pts;
        for (int i = 0; i < 30; ++i) pts.push_back(point(5.0 + 10 * i, 2.0, kEast));
        for (int i = 0; i < 30; ++i) pts.push_back(point(298.0, 5.0 + 10 * i, kNorth));
        route = Route(pts, "junction", "junction.txt");
    }
};

}  // namespace

TEST(GenOnlyRun, SeededRunWithMarchalSetsFindsTheDrivenLinks) {
    for (const unsigned seed : {3u, 6u}) {
        Junction j;
        MapMatching::setFixedRandomSeed(seed);
        GenMapMatching g(&j.w.map, &j.route, false);
        g.runWithMarchal(false);
        MapMatching::setFixedRandomSeed(std::nullopt);
        const auto paths = g.getMatched();
        ASSERT_EQ(paths.size(), 1u) << seed;
        EXPECT_EQ(paths[0]->links, (std::vector<std::pair<int, int>>{{0, j.main[0]},
                                                                     {10, j.main[1]},
                                                                     {20, j.main[2]},
                                                                     {30, j.side[0]},
                                                                     {40, j.side[1]},
                                                                     {50, j.side[2]}}))
            << seed;
        EXPECT_EQ(paths[0]->lastIndex, 59);
        EXPECT_TRUE(records(g).empty());
    }
}

TEST(GenOnlyRun, LogShowsTheSegmentsAndTheOverlapPointKeepsItsLink) {
    karvel_test::WorkDir dir;
    Junction j;
    MapMatching::setFixedRandomSeed(5u);
    {
        GenMapMatching g(&j.w.map, &j.route, true);
        g.runWithMarchal(true);
    }
    MapMatching::setFixedRandomSeed(std::nullopt);

    EXPECT_TRUE(std::filesystem::exists(dir.file("data/match_genetic_junction.kml")));
    std::ifstream log(dir.file("data/junction_genetic_log.txt"));
    std::string line;
    std::vector<std::string> segments;
    bool initial = false;
    int individuals = 0;
    while (std::getline(log, line)) {
        if (line.rfind("Segment Match from ", 0) == 0) segments.push_back(line);
        if (line == "## Initial population: ##") initial = segments.size() == 2;
        if (line.empty()) initial = false;
        if (initial && line.rfind("maxMinDist = ", 0) == 0) {
            // Every first individual of the second segment starts on the link chosen for point 49.
            std::istringstream genes(line.substr(line.find("    ") + 4));
            int first = 0;
            genes >> first;
            EXPECT_EQ(first, j.side[1]);
            ++individuals;
        }
    }
    EXPECT_EQ(segments,
              (std::vector<std::string>{"Segment Match from 0 to 49", "Segment Match from 50 to 59"}));
    EXPECT_EQ(individuals, 200);
}

TEST(GenOnlyRun, EmptyTinyAndMaplessTracesAreSafe) {
    Junction j;
    for (int n : {0, 1, 2}) {
        Route r(std::vector<_node>(j.route.nodes.begin(), j.route.nodes.begin() + n), "t", "t.txt");
        GenMapMatching g(&j.w.map, &r, false);
        g.runWithMarchal(false);
    }
    mapRepresentation::Map empty;
    GenMapMatching g(&empty, &j.route, false);
    g.runWithMarchal(false);
    EXPECT_EQ(records(g), (Records{{0, 59, -1, -1, -1, -1}}));
}

// The first 300 fixes of Kubicka et al. 2015 track 46 (France) on its road network.
TEST(GenOnlyRun, RealDriveStaysOnItsRoute) {
    KARVEL_REQUIRE_SHARED(dir, "kubicka2015-mapmatching/sample/00000046");
    karvel_test::KubickaDrive d;
    ASSERT_TRUE(karvel_test::loadKubickaDrive(dir, "00000046", d, 300));
    Route& drive = d.route;
    const std::set<int>& truth = d.truth;
    ASSERT_EQ(drive.nodes.size(), 300u);

    MapMatching::setFixedRandomSeed(46u);
    GenMapMatching g(&d.map, &drive, false);
    g.runWithMarchal(false);
    MapMatching::setFixedRandomSeed(std::nullopt);
    size_t matchedPoints = 0, onRoute = 0;
    for (const auto& path : g.getShortMatched())
        for (const auto& pair : path->links) {
            ++matchedPoints;
            onRoute += truth.count(pair.second);
        }
    EXPECT_GT(matchedPoints, 300u * 85 / 100);
    EXPECT_GT(onRoute, matchedPoints * 97 / 100);
}
