// A match document for a real trace (Brisbane, southern and eastern hemisphere) on a map drawn
// through every tenth point of that trace.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "kml/kml.h"
#include "kml_test_util.h"
#include "traces/NMEALoader.h"

TEST(KmlRealTrace, MatchDocumentOfARealTraceIsWellFormed) {
    KARVEL_REQUIRE_SHARED(log, "qt-nmealog-brisbane/nmealog.txt");
    kml_test::useUtc();
    kml_test::WorkDir wd;

    const NMEALoader loader(log);
    const Route route = loader.getRoute();
    const int n = static_cast<int>(route.nodes.size());
    ASSERT_GT(n, 100);

    mapRepresentation::Map map;
    uint32_t nodeId = 0;
    for (int i = 0; i < n; i += 10) {
        const _node& p = route.nodes[static_cast<size_t>(i)];
        map.addNode(++nodeId, p.position.lat, p.position.lon, p.averageSnr, p.hdop);
        if (nodeId > 1) map.addLinkToNode(nodeId - 1, nodeId, p.speed, 1);
    }
    const int linkCount = static_cast<int>(map.links.size());

    // Each point on the link of its stretch; every 13th point unmatched; two segments.
    std::vector<int> links(static_cast<size_t>(n));
    int matched = 0;
    for (int i = 0; i < n; ++i) {
        links[static_cast<size_t>(i)] = i % 13 == 5 ? -1 : std::min(i / 10 + 1, linkCount);
        if (links[static_cast<size_t>(i)] > 0) ++matched;
    }
    kmlMatch::KMLBuilder builder(&map, &route, links, {{0, n / 2 - 1}, {n / 2, n - 1}}, "ostrand");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(builder.buildKML());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::string path = wd.file("data/match_ostrand_" + route.name + ".kml");
    ASSERT_TRUE(kml_test::wellFormedXml(path));
    const std::string text = karvel_test::readFile(path);
    EXPECT_TRUE(kml_test::plainLatin1(text));
    for (const char* folder : {"MAP", "TRACE", "MATCH", "UNMATCH", "SEGMENTS"}) {
        EXPECT_NE(text.find("<Folder id=\"" + std::string(folder) + "\">"), std::string::npos) << folder;
    }
    EXPECT_EQ(kml_test::countOf(text, "<name>Match: "), static_cast<size_t>(matched));

    // Positions converted back from UTM (arrows, match ends, the break marker) stay in the
    // trace's area, south of the equator.
    size_t checked = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t start = line.find_first_not_of('\t');
        if (start == std::string::npos) continue;
        if (line.compare(start, 13, "<coordinates>") == 0) start += 13;
        double lon = 0, lat = 0;
        if (sscanf(line.c_str() + start, "%lf,%lf,0", &lon, &lat) != 2) continue;
        EXPECT_NEAR(lat, -27.577, 0.01) << line;
        EXPECT_NEAR(lon, 153.095, 0.01) << line;
        ++checked;
    }
    EXPECT_GT(checked, static_cast<size_t>(3 * n));
}
