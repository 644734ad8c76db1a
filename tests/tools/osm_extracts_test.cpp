// karvel-osm2map end to end, and the importer on real extracts: the written map reloads into the
// same graph through the map loader and passes the map's own consistency check.
#include <gtest/gtest.h>

#include <filesystem>

#include "map/maps.h"
#include "test_support.h"
#include "tools/osm/osm_import.h"

namespace {

using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using karvel_test::testFile;

TEST(Osm2MapTool, WritesTheWorkingDirectoryMapAndIdTable) {
    const std::string osm2map = karvel_test::binaryPath("karvel-osm2map");
    TempDir dir;
    const auto r = runCommand(
        osm2map + " -d work --ids ids.csv " + testFile("tools/data/directions.osm") + " 2>&1", dir.str());
    ASSERT_EQ(r.exitCode, 0) << r.out;

    mapRepresentation::Map map(dir / "work/data/map.txt");
    EXPECT_EQ(std::pair(map.nodes.size(), map.links.size()), std::pair(size_t{32}, size_t{35}));
    const std::string csv = dir.read("ids.csv");
    EXPECT_EQ(csv.rfind("map_id,osm_node_id\n1,101\n2,102\n", 0), 0u) << csv;

    // -o names the file itself; -q keeps standard error quiet.
    const auto quiet = runCommand(
        osm2map + " -q -o out/roads.txt " + testFile("tools/data/directions.osm") + " 2>&1", dir.str());
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(dir.read("out/roads.txt"), dir.read("work/data/map.txt"));
}

// Imports a real extract (a path under the shared extracts, or an absolute one), saves, reloads
// through the map loader and checks the reloaded map.
class OsmExtract : public ::testing::TestWithParam<std::string> {};

TEST_P(OsmExtract, ImportsReloadsAndValidates) {
    std::string path = GetParam();
    if (path.front() != '/') path = karvel_test::sharedData("graphhopper-osm-extracts/" + path);
    if (path.empty() || !std::filesystem::exists(path))
        GTEST_SKIP() << "needs "
                     << (GetParam().front() == '/' ? "" : "../shared/data/graphhopper-osm-extracts/")
                     << GetParam();
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
    ASSERT_TRUE(reloaded.saveMap(dir / "again.txt"));
    EXPECT_EQ(dir.read("again.txt"), dir.read("map.txt"));
    karvel_test::printed([&] { EXPECT_TRUE(reloaded.validateMap()); });  // its chatter swallowed
}

// The last is the extract behind the bundled sample street map (a Debian package installs it).
INSTANTIATE_TEST_SUITE_P(
    Extracts, OsmExtract,
    ::testing::Values("monaco.osm.gz", "andorra.osm.pbf", "krems.osm.gz",
                      "/usr/share/doc/python-osmnx-doc/examples/tests/input_data/West-Oakland.osm.bz2"));

}  // namespace
