// The general KML writer: golden maps (also with records the map lacks), traces and diagnostics, and
// how a document replaces an earlier one only when complete; the quadtree picture; and the escaping of
// outside text into an ISO-8859-1 document that every KML document shares.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kml/KmlWriter.h"
#include "kml/kml_conventions.h"
#include "kml_test_util.h"
#include "map/quadtree.h"

using kml_test::WorkDir;
using mapRepresentation::Map;
namespace fs = std::filesystem;

namespace {

// The whole document a writer makes (checked for well-formed XML).
template <typename Body>
std::string writeDocument(const WorkDir& wd, Body body) {
    const std::string path = wd.file("doc.kml");
    {
        KmlWriter w(path);
        body(w);
        EXPECT_TRUE(w.closeDocument());
    }
    EXPECT_TRUE(kml_test::wellFormedXml(path));
    return karvel_test::readFile(path);
}

// The small map with node 2 made a junction, so that link information is drawn.
Map junctionMap() {
    Map map;
    kml_test::buildSmallMap(map);
    map.addNode(4, 41.151800, -8.610000, 25.0, 2.0);
    map.addLinkToNode(2, 4, 9.0, 2);
    return map;
}

// 11 nodes in the north-east quarter, spread over its four sub-quarters (3, 3, 3, 2), and one
// node in the south-west quarter.
Map crowdedQuarter() {
    Map m;
    const double at[12][2] = {{50, 10}, {60, 20}, {70, 30}, {50, 100}, {60, 110},    {70, 120},
                              {10, 10}, {20, 20}, {30, 30}, {10, 100}, {20, 110.25}, {-33.5, -70.75}};
    for (uint32_t i = 0; i < 12; ++i) m.addNode(i + 1, at[i][0], at[i][1], 0, 0);
    return m;
}

}  // namespace

// Without a junction the link information folder is empty; colour indices wrap. With records the map
// lacks, every node and link is still drawn.
TEST(KmlWriter, MapsMatchGoldenDocumentsAlsoWithMissingRecords) {
    WorkDir wd;
    Map map = junctionMap();
    map.deleteLink(3);
    kml_test::expectGolden(writeDocument(wd, [&](KmlWriter& w) { w.buildMap(map, "Roads", 9); }),
                           "kmlwriter_map_plain.kml");
    map = junctionMap();
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
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/map.kml")));
    kml_test::expectGolden(karvel_test::readFile(wd.file("data/map.kml")), "kmlwriter_map_missing.kml");
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
    const std::string text = writeDocument(wd, [&](KmlWriter& w) {
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
    kml_test::expectGolden(text, "kmlwriter_diagnostics.kml");
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
        EXPECT_TRUE(w.closeDocument() && !w.closeDocument());
    }
    EXPECT_TRUE(karvel_test::readFile(path).ends_with("</kml>\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(wd.file("data")), fs::directory_iterator()), 1);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(map.saveToKml(wd.file("missing/map.kml")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: could not write KML file " +
                                                          wd.file("missing/map.kml") +
                                                          "; the previous file is unchanged.\n");
}

// The whole text: head, the four folders (12 node placemarks; per leaf a border ring, two
// diagonals and a centre spot), end.
TEST(QuadTreeKml, PictureMatchesGoldenDocument) {
    kml_test::expectGolden(crowdedQuarter().quadTree->getQuadTreeKML(), "quadtree.kml");
}

TEST(KmlConventions, EscapesOutsideTextIntoLatin1) {
    using namespace std::string_literals;
    const std::pair<std::string, std::string> cases[] = {
        {"a&b<c>\"d'", "a&amp;b&lt;c&gt;&quot;d&apos;"},
        // UTF-8 within Latin-1 becomes one byte; beyond it a character reference.
        {"caf\xC3\xA9", "caf\xE9"},
        {"\xE2\x82\xAC 5", "&#8364; 5"},
        {"\xF0\x9F\x9A\x97", "&#128663;"},
        // Bytes that are not UTF-8 are already Latin-1 (a truncated sequence, an overlong form).
        {"caf\xE9", "caf\xE9"},
        {"\xC3", "\xC3"},
        {"\xC0\xAF", "\xC0\xAF"},
        // Characters XML forbids, also an encoded surrogate (taken byte by byte, the lead byte is fine).
        {"a\001b\0c"s, "a?b?c"},
        {"\xEF\xBF\xBE", "?"},
        {"t\tn\n", "t\tn\n"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(kmlMatch::kmlEscapeText(text), escaped) << text;
}
