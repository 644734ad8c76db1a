// Marchal matching of a real drive on the road network it was recorded on (Kubicka et al. 2015,
// track 46: 1401 fixes in France on a 299-node OpenStreetMap extract with a hand-checked route).
#include <gtest/gtest.h>

#include "kubicka_drive.h"
#include "matching/matching_marchal.h"
#include "support/test_support.h"

TEST(MarchalRealData, MatchesMostOfARealDriveOntoItsRoute) {
    KARVEL_REQUIRE_SHARED(dir, "kubicka2015-mapmatching/sample/00000046");
    karvel_test::KubickaDrive d;
    ASSERT_TRUE(karvel_test::loadKubickaDrive(dir, "00000046", d));
    const std::size_t n = d.route.nodes.size();
    ASSERT_EQ(n, 1401u);

    MapMatching::MarchalBMatching m(&d.map, &d.route);
    for (bool forward : {true, false}) {
        m.run(forward, false);
        std::size_t matchedPoints = 0, onRoute = 0;
        int previous = -1;
        for (const auto& piece : m.getShortMatched()) {
            for (const auto& [index, link] : piece->links) {
                EXPECT_GT(index, previous);  // pieces and pairs in trace order, each point once
                previous = index;
                ++matchedPoints;
                onRoute += d.truth.count(link);
            }
        }
        EXPECT_GT(matchedPoints, n * 9 / 10) << (forward ? "forward" : "backward");
        EXPECT_GT(onRoute, matchedPoints * 97 / 100) << (forward ? "forward" : "backward");
    }
}
