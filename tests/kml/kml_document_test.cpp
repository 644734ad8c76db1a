// The match document: golden texts (also for ids the map lacks), file names, bad result input, a
// missing folder, a real trace south of the equator, and (a regression test) a document that fails
// part-way: reported with an "ERROR: " line, it never replaces the earlier document.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>

#include "kml/kml.h"
#include "kml_test_util.h"
#include "traces/NMEALoader.h"

using karvel_test::occurrences;
using kml_test::WorkDir;
using kmlMatch::KMLBuilder;

namespace {

// The small map and its five-point trace.
class KmlDocument : public ::testing::Test {
protected:
    KmlDocument() { kml_test::buildSmallMap(map); }
    mapRepresentation::Map map;
    const Route route = kml_test::smallRoute();

    // Point 2 unmatched, two segments with a break between points 2 and 3.
    KMLBuilder smallBuilder(const Route& r, const std::string& name) const {
        return KMLBuilder(&map, &r, {1, 1, -1, 2, 2}, {{0, 2}, {3, 4}}, name);
    }
};

}  // namespace

// Every trace point shows as matched or unmatched, also where the result names a link the map
// lacks (point 1) or has no entry at all (point 4).
TEST_F(KmlDocument, MatchesGoldenDocuments) {
    kml_test::useUtc();
    WorkDir wd;
    const Route gaps = kml_test::smallRoute("gaps");
    const struct {
        KMLBuilder builder;
        std::string file, golden, printed;
    } cases[] = {
        {smallBuilder(route, "ostrand"), "match_ostrand_abc.kml", "match_small.kml", ""},
        {KMLBuilder(&map, &gaps, {1, 99, -1, 2}, {}, "ostrand"), "match_ostrand_gaps.kml",
         "match_missing_links.kml", "ERROR: non existing link. (99)\n"},
    };
    for (auto c : cases) {
        testing::internal::CaptureStdout();
        ASSERT_TRUE(c.builder.buildKML());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        const std::string written = karvel_test::readFile(wd.file("data/" + c.file));
        EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/" + c.file)));
        kml_test::expectGolden(written, c.golden);
    }
}

// A document that cannot be written is reported, not passed over in silence.
TEST_F(KmlDocument, FileNamesBadResultInputAndAMissingFolder) {
    {
        WorkDir wd;
        // A builder without map or route writes nothing and says so through its result.
        EXPECT_FALSE(KMLBuilder().buildKML());
        EXPECT_TRUE(std::filesystem::is_empty(wd.file("data")));
        ASSERT_TRUE(smallBuilder(route, "").buildKML());
        EXPECT_TRUE(std::filesystem::exists(wd.file("data/match_abc.kml")));
        // A name with markup characters still gives a well-formed document (names stay out of the text).
        const Route odd = kml_test::smallRoute("a&b<c>");
        ASSERT_TRUE(smallBuilder(odd, "marchal_back").buildKML());
        EXPECT_TRUE(kml_test::wellFormedXml(wd.file("data/match_marchal_back_a&b<c>.kml")));
    }
    WorkDir wd(false);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(smallBuilder(route, "ostrand").buildKML());
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "ERROR: could not create KML file data/match_ostrand_abc.kml; the previous file is unchanged.\n");

    // Too few entries, a link the map lacks, break points outside the trace.
    KMLBuilder builder(&map, &route, {1, 99}, {{0, 7}, {-3, 9}, {4, 4}, {8, 9}}, "");
    std::ostringstream out;
    testing::internal::CaptureStdout();
    builder.buildMatched(out);
    builder.buildUnmatched(out);
    builder.buildSegments(out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: non existing link. (99)\n");
    EXPECT_EQ(occurrences(out.str(), "<name>Match: "), 1u);
    EXPECT_EQ(occurrences(out.str(), "#flexSegIcon</styleUrl>"), 0u);
}

// The Brisbane trace on a map drawn through every tenth of its points: positions converted back
// from UTM (arrows, match ends, the break marker) stay in the trace's area, south of the equator.
TEST(KmlRealTrace, MatchDocumentOfARealTraceIsWellFormed) {
    KARVEL_REQUIRE_SHARED(log, "qt-nmealog-brisbane/nmealog.txt");
    kml_test::useUtc();
    WorkDir wd;
    const Route route = NMEALoader(log).getRoute();
    const int n = static_cast<int>(route.nodes.size());
    ASSERT_GT(n, 100);
    mapRepresentation::Map map;
    for (uint32_t i = 0; i < static_cast<uint32_t>(n); i += 10) {
        const _node& p = route.nodes[i];
        map.addNode(i / 10 + 1, p.position.lat, p.position.lon, p.averageSnr, p.hdop);
        if (i > 0) map.addLinkToNode(i / 10, i / 10 + 1, p.speed, 1);
    }
    // Each point on the link of its stretch; every 13th point unmatched; two segments.
    std::vector<int> links;
    for (int i = 0; i < n; ++i) links.push_back(i % 13 == 5 ? -1 : std::min(i / 10 + 1, (n - 1) / 10));
    KMLBuilder builder(&map, &route, links, {{0, n / 2 - 1}, {n / 2, n - 1}}, "ostrand");
    ASSERT_TRUE(builder.buildKML());

    const std::string path = wd.file("data/match_ostrand_" + route.name + ".kml");
    ASSERT_TRUE(kml_test::wellFormedXml(path));
    const std::string text = karvel_test::readFile(path);
    // Every vertex and point: "longitude,latitude,0".
    const std::regex vertex(R"(([-0-9.]+),([-0-9.]+),0\b)");
    size_t checked = 0;
    for (auto v = std::sregex_iterator(text.begin(), text.end(), vertex); v != std::sregex_iterator(); ++v) {
        EXPECT_NEAR(std::stod((*v)[2]), -27.577, 0.01) << v->str();
        EXPECT_NEAR(std::stod((*v)[1]), 153.095, 0.01) << v->str();
        ++checked;
    }
    EXPECT_GT(checked, static_cast<size_t>(3 * n));
}

TEST(KmlWriteFailure, FailedWriteKeepsTheEarlierDocument) {
    WorkDir dir;
    const std::string doc = dir.file("data/match_ostrand_abc.kml");
    karvel_test::writeFile(doc, "earlier\n");
    mapRepresentation::Map map;
    const Route route = kml_test::smallRoute();
    kmlMatch::KMLBuilder builder(&map, &route, {-1, -1}, {}, "ostrand");
    // Printed text is kept in memory: a captured-output file would fall under the file-size limit.
    std::ostringstream out;
    std::streambuf* const console = std::cout.rdbuf(out.rdbuf());

    // Nothing may grow past one byte: the document fails part-way (a limit stops root as well).
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 1;
    setrlimit(RLIMIT_FSIZE, &tiny);
    const bool writtenUnderLimit = builder.buildKML();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    const std::string printedUnderLimit = out.str();
    EXPECT_EQ(karvel_test::readFile(doc), "earlier\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("data")),
                            std::filesystem::directory_iterator()),
              1);

    // With room again the same builder writes, silently.
    const bool written = builder.buildKML();
    std::cout.rdbuf(console);
    EXPECT_FALSE(writtenUnderLimit);
    EXPECT_EQ(
        printedUnderLimit,
        "ERROR: could not write KML file data/match_ostrand_abc.kml; the previous file is unchanged.\n");
    EXPECT_TRUE(written);
    EXPECT_EQ(out.str(), printedUnderLimit);
    EXPECT_NE(karvel_test::readFile(doc), "earlier\n");
}
