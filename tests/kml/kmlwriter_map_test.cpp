// Maps drawn through the general writer: Map::saveToKml, and a map built by karvel-mapbuild from a
// real drive driven twice.

#include <gtest/gtest.h>

#include <filesystem>

#include "kml/KmlWriter.h"
#include "kml_test_util.h"

using kml_test::WorkDir;
using mapRepresentation::Map;

namespace {

// A sound map's consistency report is its two head lines only.
void expectSound(const Map& map) {
    testing::internal::CaptureStdout();
    map.validateMap();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Validating map...\nNodes: " + std::to_string(map.nodes.size()) +
                  "  graph: " + std::to_string(map.graph.size()) +
                  "  super-nodes: " + std::to_string(map.superNodes.size()) + "\n");
}

}  // namespace

TEST(MapToKml, SaveToKmlWritesTheWritersMapDocument) {
    WorkDir wd;
    Map map;
    kml_test::buildSmallMap(map);
    map.addNode(4, 41.151800, -8.610000, 25.0, 2.0);
    map.addLinkToNode(2, 4, 9.0, 2);
    ASSERT_TRUE(map.saveToKml(wd.file("data/map.kml")));
    EXPECT_EQ(karvel_test::readFile(wd.file("data/map.kml")),
              karvel_test::readFile(karvel_test::testFile("kml/data/kmlwriter_map.kml")));

    testing::internal::CaptureStdout();
    EXPECT_FALSE(map.saveToKml(wd.file("missing/map.kml")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: could not write KML file " +
                                                          wd.file("missing/map.kml") +
                                                          "; the previous file is unchanged.\n");
}

TEST(MapToKml, MapBuildProgramMergesARepeatedDrive) {
    KARVEL_REQUIRE_SHARED(log, "qt-nmealog-brisbane/nmealog.txt");
    const std::string program = karvel_test::binaryPath("karvel-mapbuild");
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "karvel-mapbuild is not built";
    WorkDir wd(false);

    // The same drive twice: the second pass folds onto the first one's links.
    const auto run = karvel_test::runCommand("'" + program + "' '" + log + "' '" + log + "'", wd.file(""));
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("shouldn't be"), std::string::npos);

    testing::internal::CaptureStdout();
    const Map map(wd.file("data/map.txt"));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(map.hadLoadError());
    ASSERT_GT(map.links.size(), 50u);
    unsigned twice = 0;
    for (const auto& [id, l] : map.links) twice += l.samples >= 2 ? 1 : 0;
    EXPECT_GT(twice * 10, map.links.size() * 9) << "most links should carry both drives";
    expectSound(map);
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/map.kml")));

    // Adding a drive to the saved map keeps it and extends it.
    const auto again = karvel_test::runCommand("'" + program + "' -a '" + log + "'", wd.file(""));
    ASSERT_EQ(again.exitCode, 0) << again.out;
    EXPECT_NE(again.out.find("map data/map.txt: " + std::to_string(map.nodes.size()) + " nodes"),
              std::string::npos)
        << again.out;
}
