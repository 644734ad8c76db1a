// Randomized check of the two map layers: after every change the link graph, the super-link layer
// and the index satisfy all their invariants, and the layer kept link by link chains exactly the
// links that a full rebuild chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "maps_invariants.h"

using mapRepresentation::Map;

namespace {

// The chains as link sequences; a closed loop of pass-through nodes is rotated to its smallest link.
std::vector<std::vector<int>> chains(const Map& m) {
    std::vector<std::vector<int>> out;
    for (const auto& [key, s] : m.superLinks) {
        std::vector<int> c(s.links.begin(), s.links.end());
        const auto& g = m.graph.at(s.origin);
        if (s.origin == s.destination && g.backwardLinks.size() == 1 && g.forwardLinks.size() == 1)
            std::rotate(c.begin(), std::min_element(c.begin(), c.end()), c.end());
        out.push_back(std::move(c));
    }
    std::sort(out.begin(), out.end());
    return out;
}

void runSeeds(uint32_t first, uint32_t count, karvel_test::RandomMapOptions options, bool vary) {
    for (uint32_t seed = first; seed < first + count; ++seed) {
        if (vary) {
            options.nodeCount = 3 + static_cast<int>(seed % 8);
            options.steps = 12 + static_cast<int>(seed % 25);
        }
        Map m;
        std::string failure, lastStep;
        testing::internal::CaptureStdout();  // refused self-loops print their error line
        karvel_test::buildRandomMap(m, seed, options, [&](const Map& map, const std::string& step) {
            if (!failure.empty()) return;
            lastStep = step;
            failure = karvel_test::checkMapInvariants(map);
            Map rebuilt(map);
            rebuilt.buildSuperMap();
            if (failure.empty() && chains(rebuilt) != chains(map))
                failure = "layer differs from a full rebuild\n";
            if (failure.empty()) failure = karvel_test::checkMapInvariants(rebuilt);
        });
        const std::string output = testing::internal::GetCapturedStdout();
        ASSERT_EQ(failure, "") << "seed " << seed << " after " << lastStep;
        // The layer's own messages appear only when the layers already disagree.
        for (const char* text : {"Super Link", "not found", "Invalid Link"})
            ASSERT_EQ(output.find(text), std::string::npos) << "seed " << seed << ": " << output;
    }
}

TEST(MapLayersProperty, SmallDenseMapsAfterEveryInsertion) {
    runSeeds(1, 400, {}, true);
}

TEST(MapLayersProperty, InsertionsMixedWithRemovals) {
    karvel_test::RandomMapOptions options;
    options.deleteLinks = true;
    runSeeds(1000, 300, options, true);
}

TEST(MapLayersProperty, LargerMapWithASplitIndex) {
    karvel_test::RandomMapOptions options;
    options.nodeCount = 60;
    options.steps = 150;
    options.spreadDegrees = 0.002;
    runSeeds(5000, 3, options, false);
}

}  // namespace
