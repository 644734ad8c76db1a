// Ids a map lacks: every trace point still shows in the match document (as matched or unmatched),
// and the map document still draws a node or link whose record is missing. Golden documents.

#include <gtest/gtest.h>

#include <cstdlib>

#include "kml/KmlWriter.h"
#include "kml/kml.h"
#include "kml_test_util.h"

using kml_test::WorkDir;

namespace {

void expectGolden(const std::string& written, const std::string& goldenName) {
    const std::string golden = karvel_test::testFile("kml/data/" + goldenName);
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) karvel_test::writeFile(golden, written);
    EXPECT_EQ(written, karvel_test::readFile(golden));
}

}  // namespace

TEST(KmlMissingIds, EveryPointShowsAsMatchedOrUnmatched) {
    kml_test::useUtc();
    WorkDir wd;
    mapRepresentation::Map map;
    kml_test::buildSmallMap(map);
    const Route route = kml_test::smallRoute("gaps");
    // Point 1 names a link the map lacks; point 4 has no entry at all.
    kmlMatch::KMLBuilder builder(&map, &route, {1, 99, -1, 2}, {}, "ostrand");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(builder.buildKML());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: non existing link. (99)\n");
    const std::string kml = karvel_test::readFile(wd.file("data/match_ostrand_gaps.kml"));
    EXPECT_EQ(kml_test::countOf(kml, "<name>Match: ") + kml_test::countOf(kml, "#unmatchIcon</styleUrl>"),
              route.nodes.size());
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/match_ostrand_gaps.kml")));
    expectGolden(kml, "match_missing_links.kml");
}

TEST(KmlMissingIds, MapDocumentDrawsNodesAndLinksWithMissingRecords) {
    WorkDir wd;
    mapRepresentation::Map map;
    kml_test::buildSmallMap(map);
    map.addNode(4, 41.151800, -8.610000, 25.0, 2.0);
    map.addLinkToNode(2, 4, 9.0, 2);  // node 2 becomes a junction: link information is drawn
    // Tables made to disagree: node 9 only in the adjacency table, link 50 from junction 2 to a
    // node 42 the map lacks.
    map.graph[9];
    map.links[50] = mapRepresentation::_mLink{2, 42, 1, 0, 0.5, 30.0, 10.0, 1};
    map.graph[2].forwardLinks.insert(50);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(map.saveToKml(wd.file("data/map.kml")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: non existing node. (9)\n"       // its node placemark
              "ERROR: non existing node. (42)\n"      // link 50's line
              "ERROR: non existing graph node 42.\n"  // the walk from junction 2
              "ERROR: non existing node. (42)\n");    // link 50's arrow
    const std::string kml = karvel_test::readFile(wd.file("data/map.kml"));
    EXPECT_EQ(kml_test::countOf(kml, "#mapNodeIcon</styleUrl>"), map.graph.size());
    EXPECT_EQ(kml_test::countOf(kml, "<name>Link: "), map.links.size());
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/map.kml")));
    expectGolden(kml, "kmlwriter_map_missing.kml");
}

TEST(KmlMissingIds, WriterIsOpenOnlyWhileTheDocumentTakesText) {
    WorkDir wd;
    KmlWriter writer(wd.file("data/a.kml"));
    EXPECT_TRUE(writer.is_open());
    EXPECT_TRUE(writer.closeDocument());
    EXPECT_FALSE(writer.is_open());
    KmlWriter nowhere(wd.file("no/such/folder/a.kml"));
    EXPECT_FALSE(nowhere.is_open());
    EXPECT_FALSE(nowhere.closeDocument());
    EXPECT_FALSE(nowhere.is_open());
}
