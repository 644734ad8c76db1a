// The general KML writer: exact texts of its folders, colours, escaping of outside names, and how a
// document replaces an earlier one only when complete.

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

Route twoPointRoute() {
    Route r;
    r.addNode(kml_test::tracePoint(41.15, -8.61, 1234567890), true);
    r.addNode(kml_test::tracePoint(41.151, -8.609, 1234567891), true);
    return r;
}

}  // namespace

TEST(KmlWriter, MapMatchesGoldenDocument) {
    WorkDir wd;
    Map map;
    kml_test::buildSmallMap(map);
    map.addNode(4, 41.151800, -8.610000, 25.0, 2.0);
    map.addLinkToNode(2, 4, 9.0, 2);  // node 2 becomes a junction: link information is drawn
    testing::internal::CaptureStdout();
    const std::string written =
        kHead + writeBody(wd, [&](KmlWriter& w) { w.buildMap(map, "Map", 0); }) + kEnd;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string golden = karvel_test::testFile("kml/data/kmlwriter_map.kml");
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) karvel_test::writeFile(golden, written);
    EXPECT_EQ(written, karvel_test::readFile(golden));

    // No junction: an empty link information folder. Colour indices wrap; missing nodes are reported.
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

TEST(KmlWriter, TraceAndDiagnosticsMatchGoldenDocument) {
    kml_test::useUtc();
    WorkDir wd;
    const Route route = twoPointRoute();
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
    const std::string golden = karvel_test::testFile("kml/data/kmlwriter_diagnostics.kml");
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) karvel_test::writeFile(golden, kHead + body + kEnd);
    EXPECT_EQ(kHead + body + kEnd, karvel_test::readFile(golden));
    EXPECT_TRUE(kml_test::plainLatin1(body));
}

TEST(KmlWriter, EarlierDocumentIsReplacedOnlyWhenComplete) {
    WorkDir wd;
    const std::string path = wd.file("data/map.kml");
    karvel_test::writeFile(path, "earlier");
    Map map;
    kml_test::buildSmallMap(map);
    {
        KmlWriter w(path);
        w.buildMap(map, "Map", 0);
    }  // never closed: must not replace the earlier document, nor leave a temporary file
    EXPECT_EQ(karvel_test::readFile(path), "earlier");
    {
        KmlWriter w(path);
        w.buildMap(map, "Map", 0);
        EXPECT_TRUE(w.closeDocument());
        w << "late";  // a finished document takes no more text
        EXPECT_FALSE(w.closeDocument());
    }
    EXPECT_TRUE(karvel_test::readFile(path).ends_with("   </Folder>\n</Document>\n</kml>\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(wd.file("data")), fs::directory_iterator()), 1);

    testing::internal::CaptureStdout();
    KmlWriter w(wd.file("no/such/folder/map.kml"));
    EXPECT_TRUE(w.fail());
    w.buildMap(map, "Map", 0);
    EXPECT_FALSE(w.closeDocument());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
