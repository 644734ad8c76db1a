// karvel-osm2map end to end, and the importer on real extracts: the written map reloads into the
// same graph through the map loader and passes the map's own consistency check.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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

// Imports a real extract (a path under the shared extracts, or an absolute one), saves, reloads
// through the map loader and checks the reloaded map.
class OsmExtract : public ::testing::TestWithParam<std::string> {};

TEST_P(OsmExtract, ImportsReloadsAndValidates) {
    std::string path = GetParam();
    if (path.front() != '/') path = karvel_test::sharedData("graphhopper-osm-extracts/" + path);
    if (path.empty() || !std::filesystem::exists(path)) GTEST_SKIP() << GetParam() << " is not available";
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
        EXPECT_EQ(std::pair(reloaded.links.at(id).origin, reloaded.links.at(id).destination),
                  std::pair(link.origin, link.destination));
    EXPECT_EQ(karvel_test::printed([&] { reloaded.validateMap(); }),
              "Validating map...\nNodes: " + std::to_string(reloaded.nodes.size()) +
                  "  graph: " + std::to_string(reloaded.graph.size()) +
                  "  super-nodes: " + std::to_string(reloaded.superNodes.size()) + "\n");
}

// The last is the extract behind the bundled sample street map (a Debian package installs it).
INSTANTIATE_TEST_SUITE_P(
    Extracts, OsmExtract,
    ::testing::Values("monaco.osm.gz", "andorra.osm.pbf", "krems.osm.gz",
                      "/usr/share/doc/python-osmnx-doc/examples/tests/input_data/West-Oakland.osm.bz2"),
    [](const auto& info) {
        std::string name = std::filesystem::path(info.param).filename().string();
        name = name.substr(0, name.find('.'));
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

}  // namespace
