// The link table beside a map: speed limits read as OSM writes them, rows that survive a round trip
// through CSV (quoted names included), and rows that do not fit the map's links left out.
#include "map/link_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "map/maps.h"

namespace {

using namespace std::string_literals;
using mapRepresentation::LinkAttributes;
using mapRepresentation::LinkTable;
using mapRepresentation::Map;
using mapRepresentation::parseMaxspeed;

TEST(LinkTable, MaxspeedIsANumberInKmhOrNothing) {
    EXPECT_EQ(parseMaxspeed("50"), 50.0);
    EXPECT_EQ(parseMaxspeed("50 km/h"), 50.0);
    EXPECT_EQ(parseMaxspeed("80kmh"), 80.0);
    EXPECT_NEAR(*parseMaxspeed("30 mph"), 48.28, 0.01);
    EXPECT_NEAR(*parseMaxspeed("20mph"), 32.19, 0.01);
    EXPECT_NEAR(*parseMaxspeed("10 knots"), 18.52, 0.01);
    for (const char* other : {"", "none", "walk", "signals", "RU:urban", "DE:zone30", "50;30", "50 mph x",
                              "-30", "0", "mph", " 50"})
        EXPECT_FALSE(parseMaxspeed(other)) << other;
}

// Three nodes in a row, links 1 (1->2), 2 (2->3) and 3 (3->2).
Map threeNodes() {
    Map map;
    map.addNode(1, 48.0, 11.0, 0, 0);
    map.addNode(2, 48.0, 11.001, 0, 0);
    map.addNode(3, 48.0, 11.002, 0, 0);
    map.addLinkToNode(1, 2, 0, 0);
    map.addLinkToNode(2, 3, 0, 0);
    map.addLinkToNode(3, 2, 0, 0);
    map.nextNodeId = 4;
    return map;
}

LinkAttributes highStreet() {
    LinkAttributes a;
    a.wayId = 4000000001;
    a.fromNode = 7;
    a.toNode = 8;
    a.name = "Rue \"Grande\", Nord";
    a.ref = "D 6007";
    a.highway = "primary";
    a.maxspeed = 48.28032;
    a.oneway = true;
    return a;
}

std::string written(const LinkTable& table, const Map& map) {
    std::ostringstream out;
    table.write(out, map);
    return out.str();
}

TEST(LinkTable, WritesEveryLinkAndReadsBackWhatFits) {
    const Map map = threeNodes();
    LinkTable table;
    table.set(1, highStreet());
    LinkAttributes plain;
    plain.wayId = 12;
    plain.oneway = false;
    table.set(3, plain);
    const std::string text = written(table, map);
    EXPECT_EQ(text,
              "link,origin,destination,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,oneway,"
              "length_m\n"
              "1,1,2,4000000001,7,8,\"Rue \"\"Grande\"\", Nord\",D 6007,primary,48.28,yes,74.62\n"
              "2,2,3,,,,,,,,,74.62\n"
              "3,3,2,12,,,,,,,no,74.62\n");

    std::istringstream in(text);
    LinkTable::Reading reading;
    const LinkTable back = LinkTable::read(in, map, reading);
    ASSERT_EQ(reading.error, "");
    EXPECT_EQ(reading.rows, 3u);  // the empty row of link 2 is a row too
    ASSERT_NE(back.find(1), nullptr);
    EXPECT_EQ(back.find(1)->name, "Rue \"Grande\", Nord");
    EXPECT_EQ(back.find(1)->wayId, 4000000001);
    EXPECT_NEAR(*back.find(1)->maxspeed, 48.28, 1e-9);
    EXPECT_EQ(back.find(1)->oneway, true);
    EXPECT_EQ(back.find(2)->wayId, 0);
    EXPECT_FALSE(back.find(2)->maxspeed);
    EXPECT_EQ(back.find(3)->oneway, false);
    EXPECT_EQ(back.find(4), nullptr);

    // The same table read against a map that numbered its links in another order: links 1 and 2
    // run between other nodes than their rows say, so only row 3 is kept.
    Map other;
    for (uint32_t n = 1; n <= 3; ++n) other.addNode(n, 48.0, 11.0 + 0.001 * (n - 1), 0, 0);
    other.addLinkToNode(2, 3, 0, 0);
    other.addLinkToNode(1, 2, 0, 0);
    other.addLinkToNode(3, 2, 0, 0);
    std::istringstream again(text);
    const LinkTable partial = LinkTable::read(again, other, reading);
    EXPECT_EQ(reading.dropped, 2u);
    EXPECT_EQ(partial.find(1), nullptr);
    EXPECT_EQ(partial.find(2), nullptr);
    EXPECT_NE(partial.find(3), nullptr);
}

TEST(LinkTable, RowsFollowTheIdsTheSavedMapWillHave) {
    Map map = threeNodes();
    LinkTable table;
    table.set(3, highStreet());
    map.deleteLink(2);  // link 3 is the second link of the saved map file
    EXPECT_EQ(written(table, map).substr(written(table, map).find('\n') + 1, 30),
              "1,1,2,,,,,,,,,74.62\n2,3,2,4000");
}

TEST(LinkTable, AMovedEndLosesItsOsmNode) {
    Map map = threeNodes();
    std::istringstream in(written(
        [] {
            LinkTable t;
            t.set(1, highStreet());
            t.set(2, highStreet());
            t.set(3, highStreet());
            return t;
        }(),
        map));
    LinkTable::Reading reading;
    const LinkTable table = LinkTable::read(in, map, reading);
    const uint32_t middle = map.addNodeInLink(1, 48.0, 11.0005, 0, 0);  // link 1 now ends there
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
    const std::string header =
        "link,origin,destination,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,oneway,"
        "length_m\n";
    for (const std::string& bad :
         {std::string(), "map_id,osm_node_id\n1,2\n"s, header + "1,1,2,x,,,,,,,,1\n",
          header + "1,1,2,,,,,,,,maybe,1\n", header + "99999999999,1,2,,,,,,,,,1\n"}) {
        std::istringstream in(bad);
        const LinkTable t = LinkTable::read(in, map, reading);
        EXPECT_NE(reading.error, "") << bad;
        EXPECT_TRUE(t.empty()) << bad;
    }
}

}  // namespace
