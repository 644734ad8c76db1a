// The match document: exact golden text, file names, bad result input and a missing folder. (How a
// failed write keeps the earlier document is the write-failure regression test's.)

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "kml/kml.h"
#include "kml_test_util.h"

using kml_test::WorkDir;
using kmlMatch::KMLBuilder;
namespace fs = std::filesystem;

namespace {

// Point 2 unmatched, two segments with a break between points 2 and 3.
KMLBuilder smallBuilder(const mapRepresentation::Map& map, const Route& route, const std::string& name) {
    return KMLBuilder(&map, &route, {1, 1, -1, 2, 2}, {{0, 2}, {3, 4}}, name);
}

// The small map and its five-point trace.
class KmlDocument : public ::testing::Test {
protected:
    KmlDocument() { kml_test::buildSmallMap(map); }
    mapRepresentation::Map map;
    const Route route = kml_test::smallRoute();
};

}  // namespace

TEST_F(KmlDocument, MatchesGoldenDocument) {
    kml_test::useUtc();
    WorkDir wd;

    testing::internal::CaptureStdout();
    KMLBuilder builder = smallBuilder(map, route, "ostrand");
    ASSERT_TRUE(builder.buildKML());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::string written = karvel_test::readFile(wd.file("data/match_ostrand_abc.kml"));
    const std::string golden = karvel_test::testFile("kml/data/match_small.kml");
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) karvel_test::writeFile(golden, written);
    EXPECT_EQ(written, karvel_test::readFile(golden));

    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/match_ostrand_abc.kml")));
    EXPECT_TRUE(kml_test::plainLatin1(written));
}

TEST_F(KmlDocument, BadResultInputIsDrawnSafely) {
    // Too few entries, a link the map lacks, break points outside the trace.
    KMLBuilder builder(&map, &route, {1, 99}, {{0, 7}, {-3, 9}, {4, 4}, {8, 9}}, "");
    std::ostringstream out;
    testing::internal::CaptureStdout();
    builder.buildMatched(out);
    builder.buildUnmatched(out);
    builder.buildSegments(out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: non existing link. (99)\n");
    EXPECT_EQ(kml_test::countOf(out.str(), "<name>Match: "), 1u);
    EXPECT_EQ(kml_test::countOf(out.str(), "#flexSegIcon</styleUrl>"), 0u);

    // A builder without map or route writes nothing and says so through its result.
    KMLBuilder empty;
    WorkDir wd;
    EXPECT_FALSE(empty.buildKML());
    EXPECT_TRUE(fs::is_empty(wd.file("data")));
}

TEST_F(KmlDocument, FileNameFollowsDocumentAndRouteName) {
    WorkDir wd;

    KMLBuilder named = smallBuilder(map, route, "ostrand");
    EXPECT_EQ(named.getFileName(), "data/match_ostrand_abc.kml");
    KMLBuilder unnamed = smallBuilder(map, route, "");
    ASSERT_TRUE(unnamed.buildKML());
    EXPECT_TRUE(fs::exists(wd.file("data/match_abc.kml")));

    // A name with markup characters still gives a well-formed document (names stay out of the text).
    const Route odd = kml_test::smallRoute("a&b<c>");
    KMLBuilder oddBuilder = smallBuilder(map, odd, "marchal_back");
    ASSERT_TRUE(oddBuilder.buildKML());
    EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/match_marchal_back_a&b<c>.kml")));
}

// A document that cannot be written is reported, not passed over in silence.
TEST_F(KmlDocument, MissingDataFolderGivesFalseAndAnError) {
    WorkDir wd(false);
    KMLBuilder builder = smallBuilder(map, route, "ostrand");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(builder.buildKML());
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "ERROR: could not create KML file data/match_ostrand_abc.kml; the previous file is unchanged.\n");
}
