// The link table beside a map: speed limits read as OSM writes them, rows that survive a round trip
// through CSV (quoted names included), and rows that do not fit the map's links left out.
#include "map/link_table.h"

#include <gtest/gtest.h>

#include <sstream>

#include "map/maps.h"
#include "maps_invariants.h"

namespace {

using namespace std::string_literals;
using mapRepresentation::LinkAttributes;
using mapRepresentation::LinkTable;
using mapRepresentation::Map;
using mapRepresentation::parseMaxspeed;

TEST(LinkTable, MaxspeedIsANumberInKmhOrNothing) {
    const std::pair<const char*, double> speeds[] = {
        {"50", 50}, {"50 km/h", 50}, {"80kmh", 80}, {"30 mph", 48.28}, {"20mph", 32.19}, {"10 knots", 18.52}};
    for (const auto& [text, kmh] : speeds) EXPECT_NEAR(parseMaxspeed(text).value_or(0), kmh, 0.01) << text;
    for (const char* other : {"", "none", "walk", "signals", "RU:urban", "DE:zone30", "50;30", "50 mph x",
                              "-30", "0", "mph", " 50"})
        EXPECT_FALSE(parseMaxspeed(other)) << other;
}

// Three nodes, links 1 (1->2), 2 (2->3) and 3 (3->2).
Map threeNodes() {
    Map map = karvel_test::graphOf(3, {{1, 2}, {2, 3}, {3, 2}});
    map.nextNodeId = 4;
    return map;
}

const LinkAttributes kHighStreet{.wayId = 4000000001,
                                 .fromNode = 7,
                                 .toNode = 8,
                                 .name = "Rue \"Grande\", Nord",
                                 .ref = "D 6007",
                                 .highway = "primary",
                                 .maxspeed = 48.28032,
                                 .oneway = true};

const std::string kHeader =
    "link,origin,destination,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,oneway,length_"
    "m\n";

std::string written(const LinkTable& table, const Map& map) {
    std::ostringstream out;
    table.write(out, map);
    return out.str();
}

TEST(LinkTable, WritesEveryLinkAndReadsBackWhatFits) {
    const Map map = threeNodes();
    LinkTable table;
    table.set(1, kHighStreet);
    LinkAttributes plain;
    plain.wayId = 12;
    plain.oneway = false;
    table.set(3, plain);
    const std::string text = written(table, map);
    EXPECT_EQ(text, kHeader +
                        "1,1,2,4000000001,7,8,\"Rue \"\"Grande\"\", Nord\",D 6007,primary,48.28,yes,139.27\n"
                        "2,2,3,,,,,,,,,237.42\n"
                        "3,3,2,12,,,,,,,no,237.42\n");
    // Read back, the rows give the same text again; the empty row of link 2 is a row too.
    std::istringstream in(text);
    LinkTable::Reading reading;
    const LinkTable back = LinkTable::read(in, map, reading);
    EXPECT_EQ(std::tuple(reading.error, reading.rows, written(back, map)), std::tuple("", 3u, text));

    // Against a map that numbered its links in another order, links 1 and 2 run between other nodes
    // than their rows say: only row 3 is kept.
    std::istringstream again(text);
    const LinkTable partial =
        LinkTable::read(again, karvel_test::graphOf(3, {{2, 3}, {1, 2}, {3, 2}}), reading);
    EXPECT_EQ(std::tuple(reading.dropped, partial.size(), partial.find(3) != nullptr),
              std::tuple(2u, 1u, true));
}

TEST(LinkTable, RowsFollowTheIdsTheSavedMapWillHave) {
    Map map = threeNodes();
    LinkTable table;
    table.set(3, kHighStreet);
    map.deleteLink(2);  // link 3 is the second link of the saved map file
    EXPECT_EQ(written(table, map).substr(written(table, map).find('\n') + 1, 31),
              "1,1,2,,,,,,,,,139.27\n2,3,2,4000");
}

TEST(LinkTable, AMovedEndLosesItsOsmNode) {
    Map map = threeNodes();
    LinkTable all;
    for (const int link : {1, 2, 3}) all.set(link, kHighStreet);
    std::istringstream in(written(all, map));
    LinkTable::Reading reading;
    const LinkTable table = LinkTable::read(in, map, reading);
    const uint32_t middle = map.addNodeInLink(1, 41.0015, -8.5985, 0, 0);  // link 1 now ends there
    ASSERT_NE(middle, 0u);
    map.updateLink(2, middle, 2);  // both ends of link 2 moved: nothing of its row holds
    map.updateLink(3, 1, 2);       // only the origin of link 3
    const std::string text = written(table, map);
    EXPECT_NE(text.find("\n1,1," + std::to_string(middle) + ",4000000001,7,,"), std::string::npos) << text;
    EXPECT_NE(text.find("\n2," + std::to_string(middle) + ",2,,,,"), std::string::npos) << text;
    EXPECT_NE(text.find("\n3,1,2,4000000001,,8,"), std::string::npos) << text;
}

TEST(LinkTable, BadTablesAreRefusedAndMissingOnesAreEmpty) {
    const Map map = threeNodes();
    LinkTable::Reading reading;
    EXPECT_TRUE(LinkTable::load("/nonexistent/map.txt.links.csv", map, reading).empty());
    EXPECT_FALSE(reading.found);
    EXPECT_EQ(reading.error, "");
    for (const std::string& bad :
         {std::string(), "map_id,osm_node_id\n1,2\n"s, kHeader + "1,1,2,x,,,,,,,,1\n",
          kHeader + "1,1,2,,,,,,,,maybe,1\n", kHeader + "99999999999,1,2,,,,,,,,,1\n"}) {
        std::istringstream in(bad);
        const LinkTable t = LinkTable::read(in, map, reading);
        EXPECT_NE(reading.error, "") << bad;
        EXPECT_TRUE(t.empty()) << bad;
    }
}

}  // namespace
