// The super-link layer: where loops are anchored after insertions and removals, the rebuild and the
// report. Random maps check the layer against every invariant and a full rebuild after every change in
// maps_property_test.cpp; these cases fix the choices those leave open.
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

// The map's own consistency report, without its text.
bool valid(const Map& m) {
    bool ok = false;
    karvel_test::printed([&] { ok = m.validateMap(); });
    return ok;
}

TEST(SuperLinks, LayerAfterInsertionsAndRemovals) {
    using Links = std::initializer_list<std::pair<uint32_t, uint32_t>>;
    const struct {
        int nodes;
        Links links;
        std::vector<int> removed;
        std::string layer;
    } cases[] = {
        {3, {{2, 3}, {1, 2}}, {}, "1>3:[2,1] | 1 3"},          // the second link is put in front
        {3, {{1, 2}, {2, 3}, {3, 1}}, {}, "1>1:[1,2,3] | 1"},  // a closed loop is anchored
        // Both ends of a chord are about to become junctions, so neither may lose the loop's anchor.
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {1, 3}}, {}, "1>3:[1,2] 3>1:[3,4] 1>3:[5] | 1 3"},
        // A link leaving the loop re-anchors it at the junction.
        {5, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {3, 5}}, {}, "3>3:[3,4,1,2] 3>5:[5] | 3 5"},
        // A removal opens a loop into one chain from behind the gap to before it.
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}}, {2}, "3>2:[3,4,1] | 2 3"},
    };
    for (const auto& c : cases) {
        Map m = graphOf(c.nodes, c.links);
        for (int l : c.removed) karvel_test::removeLinkForTest(m, l);
        EXPECT_EQ(layer(m), c.layer);
        EXPECT_EQ(karvel_test::checkMapInvariants(m), "") << c.layer;
    }
}

// The rebuild anchors a loop without junctions the same way, under a new id; the report calls the
// anchor inconsistent.
TEST(SuperLinks, RebuildAndReport) {
    Map loop = graphOf(3, {{1, 2}, {2, 3}, {3, 1}});
    loop.buildSuperMap();
    EXPECT_EQ(std::tuple(layer(loop), loop.superLinks.begin()->first, valid(loop)),
              std::tuple("1>1:[1,2,3] | 1", 2, false));
    EXPECT_EQ(karvel_test::checkMapInvariants(loop), "");

    // Splits and merges are checked after every random edit; a layer broken by hand is reported.
    Map m = graphOf(4, {{1, 2}, {2, 3}, {3, 4}});
    EXPECT_TRUE(valid(m));
    m.links.at(1).superLinkKey = 42;
    EXPECT_FALSE(valid(m));
}

}  // namespace
