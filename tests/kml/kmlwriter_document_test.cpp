// The general KML writer: golden maps (also with records the map lacks), traces and diagnostics, how a
// document replaces an earlier one only when complete, and a map built by karvel-mapbuild.

#include <gtest/gtest.h>

#include <filesystem>

#include "kml/KmlWriter.h"
#include "kml_test_util.h"

using kml_test::WorkDir;
using mapRepresentation::Map;
namespace fs = std::filesystem;

namespace {

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kml xmlns=\"http://earth.google.com/kml/2.0\">\n"
    "<Document>\n\t<open>1</open>\n";
const std::string kEnd = "</Document>\n</kml>\n";

// The text a writer puts between the document head and end.
template <typename Body>
std::string writeBody(const WorkDir& wd, Body body) {
    const std::string path = wd.file("doc.kml");
    {
        KmlWriter w(path);
        body(w);
        EXPECT_TRUE(w.closeDocument());
    }
    const std::string text = karvel_test::readFile(path);
    EXPECT_TRUE(text.starts_with(kHead) && text.ends_with(kEnd)) << text;
    EXPECT_TRUE(kml_test::wellFormedXml(path)) << text;
    return text.substr(kHead.size(), text.size() - kHead.size() - kEnd.size());
}

// The small map with node 2 made a junction, so that link information is drawn.
Map junctionMap() {
    Map map;
    kml_test::buildSmallMap(map);
    map.addNode(4, 41.151800, -8.610000, 25.0, 2.0);
    map.addLinkToNode(2, 4, 9.0, 2);
    return map;
}

}  // namespace

// (The whole map document is the golden one of the next test, which draws the same map.)
TEST(KmlWriter, MapWithoutJunctionHasAnEmptyLinkInformationFolder) {
    WorkDir wd;
    Map map = junctionMap();
    // Colour indices wrap; missing nodes are reported.
    map.deleteLink(3);
    map.graph[9];  // tables made to disagree
    testing::internal::CaptureStdout();
    const std::string body = writeBody(wd, [&](KmlWriter& w) { w.buildMap(map, "Roads", 9); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: non existing node. (9)\n");
    EXPECT_TRUE(body.starts_with("\t<Folder id=\"Roads\">\n\t\t<name>Roads</name>\n\t\t<open>0</open>\n"));
    EXPECT_TRUE(
        body.ends_with("\t\t\t<name>LinkInfo</name>\n\t\t\t<visibility>1</visibility>\n\t\t\t<open>0</open>\n"
                       "\t\t</Folder>\n   </Folder>\n"));
    EXPECT_NE(body.find("<color>ff0000ff</color>"), std::string::npos);
}

TEST(KmlWriter, MapWithMissingRecordsStillDrawsEveryNodeAndLink) {
    WorkDir wd;
    Map map = junctionMap();
    // Node 9 only in the adjacency table, link 50 from junction 2 to a node 42 the map lacks.
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
    kml_test::expectGolden(kml, "kmlwriter_map_missing.kml");
}

TEST(KmlWriter, TraceAndDiagnosticsMatchGoldenDocument) {
    kml_test::useUtc();
    WorkDir wd;
    Route route;
    route.addNode(kml_test::tracePoint(41.15, -8.61, 1234567890), true);
    route.addNode(kml_test::tracePoint(41.151, -8.609, 1234567891), true);
    _unmatchinfo both{0, 1, -1, -1, -1, -1}, reversed{1, 0, -1, -1, -1, -1}, negative{-1, 1, -1, -1, -1, -1};
    _unmatchinfo pastEnd{1, 1000000, -1, -1, -1, -1};  // drawn up to the last point only
    const GPSPoint a = GPSPoint::convertWGS84ToUTM(41.15, -8.61);
    const std::string body = writeBody(wd, [&](KmlWriter& w) {
        EXPECT_EQ(w.getColor(7), "ffff0000");  // indices wrap around the five colours
        EXPECT_EQ(w.getColor(-1), "ffffffff");
        w.buildTrace(route,
                     "R\xC3\xBC"
                     "di's <drive> & co",
                     7);
        w.buildTrace(Route(), "empty", 0);
        w.buildUnmatchedTrace(route, {&both, &reversed, &negative, nullptr, &pastEnd}, "u");
        w.openFolder("diag");
        w.addMatchInfo({_position{41.15, -8.61}, _position{41.1501, -8.6101}}, 12.5);
        w.addDistanceInfo(3, Point{a.easting, a.northing}, 4, Point{a.easting + 10, a.northing}, 10, a.zone,
                          a.latZone);
        w.closeFolder();
        w.addPointWindow("win", {{Point{a.easting, a.northing}, 2.25}}, a.zone, a.latZone);
    });
    kml_test::expectGolden(kHead + body + kEnd, "kmlwriter_diagnostics.kml");
    EXPECT_TRUE(kml_test::plainLatin1(body));
}

TEST(KmlWriter, EarlierDocumentIsReplacedOnlyWhenComplete) {
    WorkDir wd;
    const std::string path = wd.file("data/map.kml");
    karvel_test::writeFile(path, "earlier");
    const Map map = junctionMap();
    {
        KmlWriter w(path);
        w.buildMap(map, "Map", 0);
    }  // never closed: must not replace the earlier document, nor leave a temporary file
    EXPECT_EQ(karvel_test::readFile(path), "earlier");
    {
        KmlWriter w(path);
        w.buildMap(map, "Map", 0);
        EXPECT_TRUE(w.is_open() && w.closeDocument() && !w.is_open());
        w << "late";  // a finished document takes no more text
        EXPECT_FALSE(w.closeDocument());
    }
    EXPECT_TRUE(karvel_test::readFile(path).ends_with("   </Folder>\n</Document>\n</kml>\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(wd.file("data")), fs::directory_iterator()), 1);

    testing::internal::CaptureStdout();
    KmlWriter w(wd.file("no/such/folder/map.kml"));
    EXPECT_TRUE(w.fail() && !w.is_open());
    w.buildMap(map, "Map", 0);
    EXPECT_FALSE(w.closeDocument() || w.is_open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(map.saveToKml(wd.file("missing/map.kml")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: could not write KML file " +
                                                          wd.file("missing/map.kml") +
                                                          "; the previous file is unchanged.\n");
}

TEST(MapToKml, MapBuildProgramMergesARepeatedDrive) {
    KARVEL_REQUIRE_SHARED(log, "qt-nmealog-brisbane/nmealog.txt");
    const std::string program = karvel_test::binaryPath("karvel-mapbuild");
    if (!fs::exists(program)) GTEST_SKIP() << "karvel-mapbuild is not built";
    WorkDir wd(false);
    // The same drive twice: the second pass folds onto the first one's links.
    const auto run = karvel_test::runCommand("'" + program + "' '" + log + "' '" + log + "'", wd.file(""));
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("shouldn't be"), std::string::npos);

    testing::internal::CaptureStdout();
    const Map map(wd.file("data/map.txt"));
    map.validateMap();  // a sound map's report is its two head lines only
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Validating map...\nNodes: " + std::to_string(map.nodes.size()) +
                  "  graph: " + std::to_string(map.graph.size()) +
                  "  super-nodes: " + std::to_string(map.superNodes.size()) + "\n");
    EXPECT_FALSE(map.hadLoadError());
    ASSERT_GT(map.links.size(), 50u);
    unsigned twice = 0;
    for (const auto& [id, l] : map.links) twice += l.samples >= 2 ? 1 : 0;
    EXPECT_GT(twice * 10, map.links.size() * 9) << "most links should carry both drives";
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/map.kml")));

    // Adding a drive to the saved map keeps it and extends it.
    const auto again = karvel_test::runCommand("'" + program + "' -a '" + log + "'", wd.file(""));
    ASSERT_EQ(again.exitCode, 0) << again.out;
    EXPECT_NE(again.out.find("map data/map.txt: " + std::to_string(map.nodes.size()) + " nodes"),
              std::string::npos)
        << again.out;
}
