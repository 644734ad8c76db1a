// karvel-osm2map end to end, and the importer on real extracts: the written map reloads into the
// same graph through the map loader and passes the map's own consistency check.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "map/maps.h"
#include "test_support.h"
#include "tools/osm/osm_import.h"

namespace {

using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using karvel_test::testFile;

std::string osm2map() {
    return binaryPath("karvel-osm2map");
}

TEST(Osm2MapTool, WritesTheWorkingDirectoryMapAndIdTable) {
    TempDir dir;
    const auto r = runCommand(
        osm2map() + " -d work --ids ids.csv " + testFile("tools/data/directions.osm") + " 2>&1", dir.str());
    ASSERT_EQ(r.exitCode, 0) << r.out;

    mapRepresentation::Map map(dir / "work/data/map.txt");
    EXPECT_EQ(map.nodes.size(), 32u);
    EXPECT_EQ(map.links.size(), 35u);
    const std::string csv = readFile(dir / "ids.csv");
    EXPECT_EQ(csv.rfind("map_id,osm_node_id\n1,101\n2,102\n", 0), 0u) << csv;

    // -o names the file itself; -q keeps standard error quiet.
    const auto quiet = runCommand(
        osm2map() + " -q -o out/roads.txt " + testFile("tools/data/directions.osm") + " 2>&1", dir.str());
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(readFile(dir / "out/roads.txt"), readFile(dir / "work/data/map.txt"));
}

TEST(Osm2MapTool, FailuresPrintAnErrorLineAndWriteNothing) {
    TempDir dir;
    const std::string roads = testFile("tools/data/directions.osm");
    karvel_test::writeFile(
        dir / "paths.osm",
        "<osm version=\"0.6\"><node id=\"1\" lat=\"48\" lon=\"11\"/><node id=\"2\" lat=\"48\" "
        "lon=\"11.001\"/><way id=\"1\"><nd ref=\"1\"/><nd ref=\"2\"/><tag k=\"highway\" "
        "v=\"footway\"/></way></osm>");
    // Command lines that cannot run exit with 2, inputs that fail with 1.
    const std::tuple<std::string, std::string, int> cases[] = {
        {"", "ERROR: no input file", 2},
        {"missing.osm", "ERROR: cannot read OpenStreetMap file missing.osm", 1},
        {"--bbox 1,2,3 " + roads, "ERROR: --bbox needs", 2},
        {"--bogus " + roads, "ERROR: unknown option --bogus", 2},
        {"-d a -o b " + roads, "ERROR: -d and -o exclude each other", 2},
        {"paths.osm", "ERROR: no drivable road in paths.osm", 1},
        {roads + " " + roads, "ERROR: more than one input file", 2},
    };
    for (const auto& [args, message, status] : cases) {
        const auto r = runCommand(osm2map() + " -q " + args + " 2>&1", dir.str());
        EXPECT_EQ(r.exitCode, status) << args;
        EXPECT_NE(r.out.find(message), std::string::npos) << args << "\n" << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "data"));
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

// Imports `path`, saves, reloads through the map loader and checks the reloaded map.
void importReloadAndValidate(const std::string& path) {
    TempDir dir;
    mapRepresentation::Map imported;
    const osmImport::ImportResult result = osmImport::importOsm(path, {}, imported);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_GT(result.summary.mapNodes, 100u);
    // Straight segments between consecutive way nodes: short, never empty.
    for (const auto& [id, link] : imported.links)
        EXPECT_TRUE(link.length > 0.0 && link.length < 2000.0) << "link " << id << ": " << link.length;
    ASSERT_TRUE(imported.saveMap(dir / "map.txt"));
    const mapRepresentation::Map reloaded(dir / "map.txt");
    ASSERT_EQ(reloaded.links.size(), imported.links.size());
    for (const auto& [id, link] : imported.links)
        EXPECT_EQ(reloaded.links.at(id).origin * 1000003ull + reloaded.links.at(id).destination,
                  link.origin * 1000003ull + link.destination);
    testing::internal::CaptureStdout();
    reloaded.validateMap();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Validating map...\nNodes: " + std::to_string(reloaded.nodes.size()) +
                  "  graph: " + std::to_string(reloaded.graph.size()) +
                  "  super-nodes: " + std::to_string(reloaded.superNodes.size()) + "\n");
}

class OsmExtract : public ::testing::TestWithParam<const char*> {};

TEST_P(OsmExtract, ImportsReloadsAndValidates) {
    KARVEL_REQUIRE_SHARED(path, std::string("graphhopper-osm-extracts/") + GetParam());
    importReloadAndValidate(path);
}

// The extract behind the bundled sample street map (a Debian package installs it).
TEST(OsmExtractSample, WestOaklandImportsReloadsAndValidates) {
    const std::string path = "/usr/share/doc/python-osmnx-doc/examples/tests/input_data/West-Oakland.osm.bz2";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "python-osmnx-doc is not installed";
    importReloadAndValidate(path);
}

INSTANTIATE_TEST_SUITE_P(Graphhopper, OsmExtract,
                         ::testing::Values("monaco.osm.gz", "andorra.osm.pbf", "krems.osm.gz"),
                         [](const auto& info) {
                             return std::string(info.param).substr(0, std::string(info.param).find('.'));
                         });

}  // namespace
