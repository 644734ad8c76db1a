// The general writer's arrow list: the balanced merge must give exactly what walking the list
// gives, on random samples and on whole random maps.

#include <gtest/gtest.h>

#include <list>
#include <random>
#include <set>

#include "kml/KmlWriter.h"
#include "kml/link_chains.h"

using mapRepresentation::Map;

namespace {

// The ordered-list merge as a plain list walk: quadratic, but obviously the rule.
void listWalkMerge(std::list<int>& result, const std::list<int>& sample) {
    auto r = result.begin();
    auto s = sample.begin();
    while (r != result.end() && s != sample.end()) {
        if (*s < *r)
            result.insert(r, *s++);
        else
            ++r;
    }
    result.insert(result.end(), s, sample.end());
}

std::list<int> randomSample(std::mt19937& rng, int maxLength, int maxValue) {
    std::list<int> sample(std::uniform_int_distribution<int>(0, maxLength)(rng));
    for (int& v : sample) v = std::uniform_int_distribution<int>(0, maxValue)(rng);
    return sample;
}

// getLinksToDraw written with the list walk, from the writer's own walks and sampling.
std::list<int> linksToDrawByListWalk(const Map& map) {
    std::list<int> result;
    std::set<int> visited;
    for (const auto& [node, edges] : map.graph) {
        if (edges.backwardLinks.size() <= 1 && edges.forwardLinks.size() <= 1) continue;
        for (int link : edges.forwardLinks) {
            if (!visited.insert(link).second) continue;
            listWalkMerge(result, KmlWriter::selectLinksFromPath(KmlWriter::navigateForward(map, link)));
        }
        for (int link : edges.backwardLinks) {
            const std::vector<int> chain = KmlWriter::navigateBackward(map, link);
            if (visited.insert(chain.back()).second)
                listWalkMerge(result, KmlWriter::selectLinksFromPath(chain));
        }
    }
    return result;
}

// Random nodes and links with random ids, so that samples fall in every order: chains, forks,
// rings, and links both ways.
Map randomMap(std::mt19937& rng, int nodes, int links) {
    Map map;
    for (int n = 1; n <= nodes; ++n) map.addNode(n, 41.1 + 0.0007 * (n % 17), -8.6 + 0.0009 * (n / 17), 0, 0);
    std::uniform_int_distribution<int> node(1, nodes), id(1, 50 * links);
    for (int i = 0; i < links; ++i) {
        const int a = node(rng);
        // Mostly the next node, so that long chains form between the junctions.
        const int b = std::uniform_int_distribution<int>(0, 5)(rng) > 0 ? a % nodes + 1 : node(rng);
        if (a != b) map.addLink(id(rng), a, b, 10.0, 1);
    }
    return map;
}

}  // namespace

TEST(SampleMerge, GivesTheListWalkOrderOnRandomSamples) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        SampleMergeList merged;
        std::list<int> expected;
        const int maxValue = round % 2 == 0 ? 20 : 100000;  // with many ties, and with few
        for (int k = 0; k < 1 + round % 30; ++k) {
            const std::list<int> sample = randomSample(rng, 12, maxValue);
            merged.merge(sample);
            listWalkMerge(expected, sample);
        }
        ASSERT_EQ(merged.values(), expected) << "round " << round;
    }
    EXPECT_TRUE(SampleMergeList().values().empty());
}

TEST(SampleMerge, WriterDrawsTheSameLinksInTheSameOrderOnRandomMaps) {
    std::mt19937 rng(7);
    for (int round = 0; round < 30; ++round) {
        const Map map = randomMap(rng, 40 + round * 10, 60 + round * 14);
        const std::list<int> drawn = KmlWriter::getLinksToDraw(map);
        ASSERT_EQ(drawn, linksToDrawByListWalk(map)) << "round " << round;
        if (round == 29) {
            EXPECT_GT(drawn.size(), 20u);  // the maps do have junctions
        }
    }
}
