// The super-link layer: upkeep on insertion, split, merge, removal, rebuild and the report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::graphOf;
using mapRepresentation::Map;

namespace {

// "origin>destination:[links]" per super-link in key order, then "|" and the super-node ids.
// Sequence numbers and keys of the links are covered by checkMapInvariants.
std::string layer(const Map& m) {
    std::string out;
    for (const auto& [key, s] : m.superLinks) {
        out += std::to_string(s.origin) + ">" + std::to_string(s.destination) + ":[";
        for (int l : s.links) out += std::to_string(l) + (l == s.links.back() ? "] " : ",");
    }
    out += "|";
    for (const auto& [id, e] : m.superNodes) out += " " + std::to_string(id);
    return out;
}

std::string validate(const Map& m) {
    return karvel_test::printed([&] { m.validateMap(); });
}

TEST(SuperLinks, LayerAfterInsertionsAndRemovals) {
    using Links = std::initializer_list<std::pair<uint32_t, uint32_t>>;
    const struct {
        int nodes;
        Links links;
        std::vector<int> removed;
        std::string layer;
    } cases[] = {
        {3, {{1, 2}, {2, 3}}, {}, "1>3:[1,2] | 1 3"},
        {3, {{2, 3}, {1, 2}}, {}, "1>3:[2,1] | 1 3"},  // the second link is put in front
        // Chains growing towards each other are joined by the link between them.
        {5, {{1, 2}, {4, 5}, {3, 4}, {2, 3}}, {}, "1>5:[1,4,3,2] | 1 5"},
        {4, {{2, 3}, {1, 2}, {2, 4}}, {}, "1>2:[2] 2>3:[1] 2>4:[3] | 1 2 3 4"},  // a new junction splits
        {3, {{1, 2}, {2, 1}, {2, 3}, {3, 2}}, {}, "2>2:[2,1] 2>2:[3,4] | 2"},    // two-way: turns at its ends
        {3, {{1, 2}, {2, 3}, {3, 1}}, {}, "1>1:[1,2,3] | 1"},                    // a closed loop is anchored
        // Both ends of a chord are about to become junctions, so neither may lose the loop's anchor;
        // a link leaving the loop re-anchors it at the junction.
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {1, 3}}, {}, "1>3:[1,2] 3>1:[3,4] 1>3:[5] | 1 3"},
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {3, 1}}, {}, "1>3:[1,2] 3>1:[3,4] 3>1:[5] | 1 3"},
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {2, 4}}, {}, "2>4:[2,3] 4>2:[4,1] 2>4:[5] | 2 4"},
        {5, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {3, 5}}, {}, "3>3:[3,4,1,2] 3>5:[5] | 3 5"},
        // Removals: the chain merges again and 4 stays, isolated; chains are cut; a loop opens into
        // one chain from behind the gap to before it.
        {4, {{1, 2}, {2, 3}, {2, 4}}, {3}, "1>3:[1,2] | 1 3 4"},
        {6, {{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}}, {1}, "2>6:[2,3,4,5] | 1 2 6"},
        {6, {{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}}, {1, 5, 3}, "2>3:[2] 4>5:[4] | 1 2 3 4 5 6"},
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}}, {2}, "3>2:[3,4,1] | 2 3"},
    };
    for (const auto& c : cases) {
        Map m = graphOf(c.nodes, c.links);
        for (int l : c.removed) karvel_test::removeLinkForTest(m, l);
        EXPECT_EQ(layer(m), c.layer);
        EXPECT_EQ(karvel_test::checkMapInvariants(m), "") << c.layer;
    }
    EXPECT_EQ(validate(graphOf(3, {{1, 2}, {2, 3}})),
              "Validating map...\nNodes: 3  graph: 3  super-nodes: 2\n");
}

TEST(SuperLinks, ClosedLoopRebuiltAndReported) {
    Map m = graphOf(3, {{1, 2}, {2, 3}, {3, 1}});
    m.buildSuperMap();  // the rebuild anchors a loop without junctions the same way, under a new id
    EXPECT_EQ(layer(m), "1>1:[1,2,3] | 1");
    EXPECT_EQ(m.superLinks.begin()->first, 2);
    EXPECT_EQ(
        validate(m),
        "Validating map...\nNodes: 3  graph: 3  super-nodes: 1\n"
        "This node 1 shouldn't be a super-node.\nBoth layers are inconsistent.\nERROR: Validating map.\n");
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(SuperLinks, SplitMergeAndBrokenLayers) {
    Map m = graphOf(4, {{1, 2}, {2, 3}, {3, 4}});
    EXPECT_EQ(karvel_test::printed([&] {
                  m.splitSuperLink(99, 2);
                  m.splitSuperLink(1, 1);  // already an end: nothing to cut
                  m.mergeSuperLinks(1);    // not pass-through: nothing to join
              }),
              "Invalid Link: 99\n");
    m.splitSuperLink(1, 3);
    EXPECT_EQ(layer(m), "1>3:[1,2] 3>4:[3] | 1 3 4");
    m.mergeSuperLinks(3);
    EXPECT_EQ(layer(m), "1>4:[1,2,3] | 1 4");
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");

    m.superNodes[2];
    m.links.at(1).superLinkKey = 42;
    EXPECT_EQ(
        validate(m),
        "Validating map...\nNodes: 4  graph: 4  super-nodes: 3\nThis node 2 shouldn't be a super-node.\n"
        "Both layers are inconsistent.\nSuper-Link 42 not found.\nERROR: Validating map.\n");
}

}  // namespace
