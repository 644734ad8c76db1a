// The OpenStreetMap importer on small hand-written files (road filter, directions, imperfect data,
// bounding box and unreadable input) and on real extracts of each format, whose written map reloads
// into the same graph through the map loader and passes the map's own consistency check; and
// karvel-osm2map end to end.
#include "tools/osm/osm_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "map/compact_map.h"
#include "map/link_table.h"
#include "map/maps.h"
#include "test_support.h"

namespace {

using karvel_test::readFile;
using karvel_test::TempDir;
using karvel_test::testFile;
using LinkSet = std::set<std::pair<int64_t, int64_t>>;

// An import of `path`, with its links as pairs of OSM node ids (a map node's smallest).
struct Imported {
    explicit Imported(const std::string& path, const osmImport::ImportOptions& options = {})
        : result(osmImport::importOsm(path, options, map)) {
        std::map<uint32_t, int64_t> osmId;
        for (const auto& [mapNode, osmNode] : result.nodeIds) osmId.try_emplace(mapNode, osmNode);
        for (const auto& [id, link] : map.links)
            links.emplace(osmId.at(link.origin), osmId.at(link.destination));
    }
    mapRepresentation::Map map;
    osmImport::ImportResult result;
    LinkSet links;
};

// Links written "a-b" (both ways) or "a>b" (one way), blank-separated.
LinkSet linksOf(const std::string& text) {
    LinkSet links;
    std::istringstream in(text);
    for (std::string l; in >> l;) {
        const size_t at = l.find_first_of("->");
        const int64_t a = std::stoll(l.substr(0, at)), b = std::stoll(l.substr(at + 1));
        links.insert({a, b});
        if (l[at] == '-') links.insert({b, a});
    }
    return links;
}

TEST(OsmImport, DirectionRulesAndTheBoundingBoxAndTheProgram) {
    Imported in(testFile("tools/data/directions.osm"));
    ASSERT_TRUE(in.result.ok) << in.result.error;
    // Way w has the nodes 100w + 1, 100w + 2, ... ("a-b" both ways, "a>b" one way): a two-way road;
    // oneway=yes, true, 1, -1, reverse; a motorway (one-way) and one with oneway=no; a roundabout
    // (one-way) and one with oneway=no; oneway=false; reversible (both ways); a road into the roundabout.
    EXPECT_EQ(in.links, linksOf("101-102 102-103 103-104 201>202 301>302 401>402 502>501 602>601 701>702 "
                                "801-802 802-803 901>902 902>903 903>901 1001-1002 1002-1003 1003-1001 "
                                "1101-1102 1102-1103 1201-1202 1202-1203 1301-901"));
    EXPECT_NEAR(in.map.links.begin()->second.length, 74.6, 0.5);  // 0.001 degree of longitude at 48 N

    // A bounding box keeps the inside parts.
    osmImport::BoundingBox box;
    ASSERT_TRUE(osmImport::parseBoundingBox("10.9995,47.9995,11.0025,48.0005", box));
    Imported inside(testFile("tools/data/directions.osm"), {.bbox = box});
    ASSERT_TRUE(inside.result.ok);
    EXPECT_EQ(inside.links, linksOf("101-102 102-103"));   // 104 lies east
    EXPECT_EQ(inside.result.summary.outsideBoxRefs, 32u);  // every way reference but 101, 102 and 103
    EXPECT_EQ(inside.result.summary.missingNodeRefs, 0u);

    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "11,48,10,49", "a,b,c,d", "0,-91,1,1", "0,0,181,1",
                            "1,2,3,4x", "nan,1,2,3"})
        EXPECT_FALSE(osmImport::parseBoundingBox(bad, box)) << bad;
    EXPECT_TRUE(osmImport::parseBoundingBox("-180,-90,180,90", box));

    // karvel-osm2map writes the same map into a working folder, and the id table.
    TempDir dir;
    const auto r = dir.run("$O -d work --ids ids.csv " + testFile("tools/data/directions.osm") + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const mapRepresentation::Map map(dir / "work/data/map.txt");
    EXPECT_EQ(std::pair(map.nodes.size(), map.links.size()),
              std::pair(in.map.nodes.size(), in.map.links.size()));
    const std::string csv = dir.read("ids.csv");
    EXPECT_EQ(csv.rfind("map_id,osm_node_id\n1,101\n2,102\n", 0), 0u) << csv;
}

TEST(OsmImport, RoadFilterAndOptions) {
    // Kept: service, access=no overridden by motor_vehicle=yes, access=destination, living_street,
    // trunk_link. Dropped: footway, private, access=no, area, construction (either tagging),
    // proposed, motor_vehicle=no, cycleway, private service road, a building.
    const std::vector<std::pair<osmImport::ImportOptions, std::set<int64_t>>> cases{
        {{}, {2, 10, 11, 13, 14}},
        {{.keepService = false}, {10, 11, 13, 14}},
        {{.keepPrivate = true}, {2, 3, 10, 11, 13, 14, 15}}};
    for (const auto& [options, kept] : cases) {
        Imported in(testFile("tools/data/filters.osm"), options);
        std::set<int64_t> ways;
        for (const auto& l : in.links) ways.insert(l.first / 10);
        EXPECT_EQ(ways, kept);
    }
}

// Progress goes to the given stream (large files only, here forced on), and the pass finishes.
TEST(OsmImport, ImperfectDataKeepsWhatIsThere) {
    std::ostringstream progress;
    const osmImport::ImportOptions options{.progress = &progress, .progressMinBytes = 0};
    Imported in(testFile("tools/data/clipped.osm"), options);
    EXPECT_NE(progress.str().find("reading 100%\n"), std::string::npos) << progress.str();
    ASSERT_TRUE(in.result.ok) << in.result.error;
    const osmImport::ImportSummary& s = in.result.summary;

    // Way 1 lost node 3: its two present parts stay. Way 2 names node 7 twice. Nodes 9 and 10 share
    // a position and become one map node. Way 4 repeats 1->2. Ways 6 and 7 are rings on their own.
    EXPECT_EQ(in.links, linksOf("1-2 2-21 4-5 5-22 6-7 7-8 9-11 11-12"));
    // Lost references (node 3 of way 1, nodes 30 and 31 of way 5) and the ways they hit, repeated
    // nodes, zero-length segments, merged nodes, repeated links, rings and their links, roads, and
    // kept ways (way 4 added nothing new, way 5 nothing at all, 6 and 7 were left out), id table rows.
    EXPECT_EQ(
        (std::vector<uint64_t>{s.missingNodeRefs, s.waysWithMissingNodes, s.repeatedNodes,
                               s.zeroLengthSegments, s.sharedPositionNodes, s.repeatedLinks, s.isolatedRings,
                               s.isolatedRingLinks, s.roadWays, s.waysKept, in.result.nodeIds.size()}),
        (std::vector<uint64_t>{3, 2, 1, 1, 1, 1, 2, 5, 7, 3, 13}));

    // Both OSM ids of the shared position name the same map node in the id table.
    std::map<int64_t, uint32_t> mapIdOf;
    for (const auto& [m, o] : in.result.nodeIds) mapIdOf[o] = m;
    EXPECT_EQ(mapIdOf.at(9), mapIdOf.at(10));

    // The summary the program prints accounts for what was left out.
    const std::string summary = osmImport::formatSummary("clipped.osm", s, 0.5);
    for (const char* part : {"map nodes: 12, links: 16", "3 references to missing nodes in 2 ways",
                             "2 isolated rings (5 links)"})
        EXPECT_NE(summary.find(part), std::string::npos) << summary;
}

TEST(OsmImport, UnreadableInputIsReportedNotThrown) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> files{
        {"missing.osm", ""},
        {"garbage.osm.pbf", std::string(5000, '\x17')},
        {"broken.osm", "<osm version=\"0.6\"><node id=\"1\" lat=\"48\""}};
    for (const auto& [name, content] : files) {
        if (name != "missing.osm") karvel_test::writeFile(dir / name, content);
        mapRepresentation::Map map;
        const osmImport::ImportResult result = osmImport::importOsm(dir / name, {}, map);  // never throws
        EXPECT_FALSE(result.ok) << name;
        EXPECT_NE(result.error.find(name), std::string::npos) << result.error;
        EXPECT_TRUE(map.nodes.empty() && map.links.empty()) << name;
    }

    // A map that already holds roads is not mixed with another import.
    mapRepresentation::Map map;
    map.addNode(1, 48.0, 11.0, 0, 0);
    EXPECT_FALSE(osmImport::importOsm(testFile("tools/data/clipped.osm"), {}, map).ok);
    EXPECT_EQ(map.nodes.size(), 1u);
    // The id table, written here too: the program ends without exit handlers, so its runs leave
    // no line coverage of the table.
    ASSERT_TRUE(osmImport::writeNodeIdTable(dir / "ids.csv", {{1, 2}, {3, 4}}));
    EXPECT_EQ(dir.read("ids.csv"), "map_id,osm_node_id\n1,2\n3,4\n");
    EXPECT_FALSE(osmImport::writeNodeIdTable(dir / "no/such/dir/ids.csv", {{1, 2}}));
}

// Every link's row names its way and the OSM nodes at its own ends (a backward link's reversed), with
// the road's name, ref, class, limit in km/h (per direction where tagged) and one-way flag.
TEST(OsmImport, LinkTableCarriesTheWayAndItsAttributes) {
    Imported in(testFile("tools/data/attributes.osm"));
    ASSERT_TRUE(in.result.ok) << in.result.error;
    std::map<uint32_t, int64_t> osmId(in.result.nodeIds.begin(), in.result.nodeIds.end());
    std::map<std::pair<int64_t, int64_t>, const mapRepresentation::LinkAttributes*> byEnds;
    for (const auto& [id, link] : in.map.links) {
        const mapRepresentation::LinkAttributes* a = in.result.links.find(id);
        ASSERT_NE(a, nullptr) << "link " << id;
        EXPECT_EQ(std::pair(a->fromNode, a->toNode),
                  std::pair(osmId.at(link.origin), osmId.at(link.destination)));
        byEnds[{a->fromNode, a->toNode}] = a;
    }
    ASSERT_EQ(byEnds.size(), 8u);  // 11-12-13 both ways, 13>21, 21-31 both ways, 41>31
    const auto* street = byEnds.at({12, 11});
    EXPECT_EQ(std::tuple(street->wayId, street->name, street->highway, *street->oneway),
              std::tuple(int64_t{1}, std::string("Rue \"A\", Nord"), std::string("residential"), false));
    EXPECT_NEAR(*street->maxspeed, 48.28, 0.01);
    const auto* primary = byEnds.at({13, 21});
    EXPECT_EQ(std::tuple(primary->wayId, primary->ref, *primary->maxspeed, *primary->oneway),
              std::tuple(int64_t{2}, std::string("N 7"), 50.0, true));
    EXPECT_EQ(byEnds.at({21, 31})->maxspeed, 70.0);
    EXPECT_EQ(byEnds.at({31, 21})->maxspeed, 50.0);
    EXPECT_EQ(byEnds.at({31, 21})->wayId, int64_t{3000000000});
    const auto* reversed = byEnds.at({41, 31});
    EXPECT_EQ(std::tuple(reversed->wayId, reversed->maxspeed.has_value(), *reversed->oneway, reversed->ref),
              std::tuple(int64_t{4}, false, true, std::string()));
}

// Imports a real extract (a path under the shared extracts, or an absolute one), saves, reloads
// through the map loader and checks the reloaded map.
class OsmExtract : public ::testing::TestWithParam<std::string> {};

TEST_P(OsmExtract, ImportsReloadsAndValidates) {
    std::string path = GetParam();
    if (path.front() != '/') path = karvel_test::sharedData("graphhopper-osm-extracts/" + path);
    if (path.empty() || !std::filesystem::exists(path))
        GTEST_SKIP() << "needs "
                     << (GetParam().front() == '/' ? "" : "../shared/data/graphhopper-osm-extracts/")
                     << GetParam();
    TempDir dir;
    mapRepresentation::Map imported;
    const osmImport::ImportResult result = osmImport::importOsm(path, {}, imported);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_GT(result.summary.mapNodes, 100u);
    // Straight segments between consecutive way nodes: short, never empty.
    for (const auto& [id, link] : imported.links)
        EXPECT_TRUE(link.length > 0.0 && link.length < 2000.0) << "link " << id << ": " << link.length;
    ASSERT_TRUE(imported.saveMap(dir / "map.txt"));
    const mapRepresentation::Map reloaded(dir / "map.txt");
    ASSERT_TRUE(reloaded.saveMap(dir / "again.txt"));
    EXPECT_EQ(dir.read("again.txt"), dir.read("map.txt"));
    karvel_test::printed([&] { EXPECT_TRUE(reloaded.validateMap()); });  // its chatter swallowed

    // Streamed from the import's arrays, the files are the very bytes of the map's: its text, its link
    // table, and the compact form the programs would read from that text.
    std::string error;
    ASSERT_TRUE(
        result.links.save(mapRepresentation::LinkTable::pathBeside(dir / "map.txt"), imported, error));
    osmImport::RoadImport streamed;
    ASSERT_TRUE(streamed.read(path, {})) << streamed.error();
    EXPECT_EQ(streamed.summary().sharedPositionNodes, result.summary.sharedPositionNodes);
    const std::string target = dir / "streamed.txt";
    ASSERT_TRUE(streamed.write(target, std::cout));
    ASSERT_TRUE(streamed.writeCompact(target, error)) << error;
    EXPECT_EQ(readFile(target), readFile(dir / "map.txt"));
    EXPECT_EQ(readFile(mapRepresentation::LinkTable::pathBeside(target)),
              readFile(mapRepresentation::LinkTable::pathBeside(dir / "map.txt")));
    const auto compact =
        mapRepresentation::CompactMap::open(mapRepresentation::CompactMap::pathBeside(target), error);
    ASSERT_TRUE(compact) << error;
    EXPECT_TRUE(compact->servesFile(target));
    mapRepresentation::CompactBuilder fromText;
    ASSERT_TRUE(fromText.readText(target));
    EXPECT_TRUE(std::ranges::equal(fromText.inMemory(compact->source()).bytes(), compact->bytes()));
}

// The last is the extract behind the bundled sample street map (a Debian package installs it).
INSTANTIATE_TEST_SUITE_P(
    Extracts, OsmExtract,
    ::testing::Values("monaco.osm.gz", "andorra.osm.pbf", "krems.osm.gz",
                      "/usr/share/doc/python-osmnx-doc/examples/tests/input_data/West-Oakland.osm.bz2"));

}  // namespace
