// The super-link layer: upkeep on insertion, split, merge, removal, rebuild and the report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maps_invariants.h"

using mapRepresentation::Map;

namespace {

// Nodes 1..n close together, then the links in order (ids 1, 2, ...).
Map makeMap(int n, const std::vector<std::pair<uint32_t, uint32_t>>& linkList) {
    Map m;
    for (int i = 1; i <= n; ++i) m.addNode(i, 41.1 + 0.001 * (i % 3), -8.6 + 0.001 * (i / 3), 0, 0);
    for (const auto& [o, d] : linkList) m.addLinkToNode(o, d, 10, 1);
    return m;
}

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
    testing::internal::CaptureStdout();
    m.validateMap();
    return testing::internal::GetCapturedStdout();
}

TEST(SuperLinks, LayerAfterInsertions) {
    using Links = std::vector<std::pair<uint32_t, uint32_t>>;
    const Links loop{{1, 2}, {2, 3}, {3, 4}, {4, 1}};
    auto with = [](Links links, std::pair<uint32_t, uint32_t> extra) {
        links.push_back(extra);
        return links;
    };
    const struct {
        int nodes;
        Links links;
        std::string layer;
    } cases[] = {
        {3, {{1, 2}, {2, 3}}, "1>3:[1,2] | 1 3"},
        {3, {{2, 3}, {1, 2}}, "1>3:[2,1] | 1 3"},  // the second link is put in front
        // Chains growing towards each other are joined by the link between them.
        {5, {{1, 2}, {4, 5}, {3, 4}, {2, 3}}, "1>5:[1,4,3,2] | 1 5"},
        {4, {{2, 3}, {1, 2}, {2, 4}}, "1>2:[2] 2>3:[1] 2>4:[3] | 1 2 3 4"},  // a new junction splits
        {3, {{1, 2}, {2, 1}, {2, 3}, {3, 2}}, "2>2:[2,1] 2>2:[3,4] | 2"},    // two-way: turns at its ends
        {3, {{1, 2}, {2, 3}, {3, 1}}, "1>1:[1,2,3] | 1"},                    // a closed loop is anchored
        // Both ends of a chord are about to become junctions, so neither may lose the loop's anchor;
        // a link leaving the loop re-anchors it at the junction.
        {4, with(loop, {1, 3}), "1>3:[1,2] 3>1:[3,4] 1>3:[5] | 1 3"},
        {4, with(loop, {3, 1}), "1>3:[1,2] 3>1:[3,4] 3>1:[5] | 1 3"},
        {4, with(loop, {2, 4}), "2>4:[2,3] 4>2:[4,1] 2>4:[5] | 2 4"},
        {5, with(loop, {3, 5}), "3>3:[3,4,1,2] 3>5:[5] | 3 5"},
    };
    for (const auto& c : cases) {
        const Map m = makeMap(c.nodes, c.links);
        EXPECT_EQ(layer(m), c.layer);
        EXPECT_EQ(karvel_test::checkMapInvariants(m), "") << c.layer;
    }
    EXPECT_EQ(validate(makeMap(3, {{1, 2}, {2, 3}})),
              "Validating map...\nNodes: 3  graph: 3  super-nodes: 2\n");
}

TEST(SuperLinks, ClosedLoopRebuiltAndReported) {
    Map m = makeMap(3, {{1, 2}, {2, 3}, {3, 1}});
    m.buildSuperMap();  // the rebuild anchors a loop without junctions the same way, under a new id
    EXPECT_EQ(layer(m), "1>1:[1,2,3] | 1");
    EXPECT_EQ(m.superLinks.begin()->first, 2);
    EXPECT_EQ(
        validate(m),
        "Validating map...\nNodes: 3  graph: 3  super-nodes: 1\n"
        "This node 1 shouldn't be a super-node.\nBoth layers are inconsistent.\nERROR: Validating map.\n");
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(SuperLinks, SplitAndMergeByHand) {
    Map m = makeMap(4, {{1, 2}, {2, 3}, {3, 4}});
    testing::internal::CaptureStdout();
    m.splitSuperLink(99, 2);
    m.splitSuperLink(1, 1);  // already an end: nothing to cut
    m.mergeSuperLinks(1);    // not pass-through: nothing to join
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid Link: 99\n");
    m.splitSuperLink(1, 3);
    EXPECT_EQ(layer(m), "1>3:[1,2] 3>4:[3] | 1 3 4");
    m.mergeSuperLinks(3);
    EXPECT_EQ(layer(m), "1>4:[1,2,3] | 1 4");
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(SuperLinks, RemovingLinks) {
    Map branch = makeMap(4, {{1, 2}, {2, 3}, {2, 4}});
    karvel_test::removeLinkForTest(branch, 3);  // the chain merges again; 4 stays, isolated
    EXPECT_EQ(layer(branch), "1>3:[1,2] | 1 3 4");
    Map chain = makeMap(6, {{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}});
    karvel_test::removeLinkForTest(chain, 1);
    EXPECT_EQ(layer(chain), "2>6:[2,3,4,5] | 1 2 6");
    karvel_test::removeLinkForTest(chain, 5);
    karvel_test::removeLinkForTest(chain, 3);
    EXPECT_EQ(layer(chain), "2>3:[2] 4>5:[4] | 1 2 3 4 5 6");
    Map loop = makeMap(4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}});
    karvel_test::removeLinkForTest(loop, 2);  // opens into one chain from behind the gap to before it
    EXPECT_EQ(layer(loop), "3>2:[3,4,1] | 2 3");
    for (const Map* m : {&branch, &chain, &loop}) EXPECT_EQ(karvel_test::checkMapInvariants(*m), "");
}

TEST(SuperLinks, ReportFindsBrokenLayers) {
    Map m = makeMap(3, {{1, 2}, {2, 3}});
    m.superNodes[2];
    m.links.at(1).superLinkKey = 42;
    EXPECT_EQ(
        validate(m),
        "Validating map...\nNodes: 3  graph: 3  super-nodes: 3\nThis node 2 shouldn't be a super-node.\n"
        "Both layers are inconsistent.\nSuper-Link 42 not found.\nERROR: Validating map.\n");
}

}  // namespace
