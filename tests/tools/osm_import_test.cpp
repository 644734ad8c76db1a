// The OpenStreetMap importer on small hand-written files: road filter, directions, imperfect data,
// bounding box, input formats and unreadable input.
#include "tools/osm/osm_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <osmium/io/any_input.hpp>
#include <osmium/io/any_output.hpp>
#include <set>
#include <sstream>
#include <utility>

#include "map/maps.h"
#include "test_support.h"

namespace {

using karvel_test::TempDir;
using karvel_test::testFile;
using LinkSet = std::set<std::pair<int64_t, int64_t>>;

struct Imported {
    osmImport::ImportResult result;
    mapRepresentation::Map map;
    std::map<uint32_t, int64_t> osmId;  // map node -> its smallest OSM node id
};

void importInto(Imported& out, const std::string& path, const osmImport::ImportOptions& options = {}) {
    out.result = osmImport::importOsm(path, options, out.map);
    for (const auto& [mapNode, osmNode] : out.result.nodeIds) out.osmId.try_emplace(mapNode, osmNode);
}

// The links as pairs of OSM node ids.
LinkSet osmLinks(const Imported& in) {
    LinkSet links;
    for (const auto& [id, link] : in.map.links)
        links.emplace(in.osmId.at(link.origin), in.osmId.at(link.destination));
    return links;
}

LinkSet bothWays(const LinkSet& oneWay) {
    LinkSet links;
    for (const auto& [a, b] : oneWay) links.insert({{a, b}, {b, a}});
    return links;
}

// The links between nodes numbered way*step + 1, way*step + 2, ...
LinkSet linksOfWay(const LinkSet& all, int64_t way, int64_t step) {
    LinkSet out;
    for (const auto& l : all)
        if (l.first / step == way && l.second / step == way) out.insert(l);
    return out;
}

TEST(OsmImport, DirectionRules) {
    Imported in;
    importInto(in, testFile("tools/data/directions.osm"));
    ASSERT_TRUE(in.result.ok) << in.result.error;
    const LinkSet all = osmLinks(in);
    auto way = [&](int64_t w) { return linksOfWay(all, w, 100); };

    EXPECT_EQ(way(1), bothWays({{101, 102}, {102, 103}, {103, 104}}));
    EXPECT_EQ(way(2), (LinkSet{{201, 202}}));                          // oneway=yes
    EXPECT_EQ(way(3), (LinkSet{{301, 302}}));                          // oneway=true
    EXPECT_EQ(way(4), (LinkSet{{401, 402}}));                          // oneway=1
    EXPECT_EQ(way(5), (LinkSet{{502, 501}}));                          // oneway=-1
    EXPECT_EQ(way(6), (LinkSet{{602, 601}}));                          // oneway=reverse
    EXPECT_EQ(way(7), (LinkSet{{701, 702}}));                          // motorway implies one-way
    EXPECT_EQ(way(8).size(), 4u);                                      // ... unless oneway=no
    EXPECT_EQ(way(9), (LinkSet{{901, 902}, {902, 903}, {903, 901}}));  // roundabout: one-way ring
    EXPECT_EQ(way(10).size(), 6u);                                     // roundabout, oneway=no
    EXPECT_EQ(way(11).size(), 4u);                                     // oneway=false
    EXPECT_EQ(way(12).size(), 4u);                                     // reversible: both ways
    EXPECT_TRUE(all.count({1301, 901}) && all.count({901, 1301}));     // the road into the roundabout

    const osmImport::ImportSummary& s = in.result.summary;
    EXPECT_EQ(s.osmWays, 13u);
    EXPECT_EQ(s.waysKept, 13u);
    EXPECT_EQ(s.osmNodes, 32u);
    EXPECT_EQ(s.links, 35u);
    EXPECT_EQ(in.map.links.size(), all.size());  // no link refused, none repeated

    // Ids are 1..N in the order links reach the nodes, and link geometry is the nodes' own.
    EXPECT_EQ(in.map.nodes.rbegin()->first, 32u);
    EXPECT_EQ(in.osmId.at(2), 102);
    EXPECT_NEAR(in.map.links.begin()->second.length, 74.6,
                0.5);  // 0.001 degree of longitude at 48 degrees north
}

TEST(OsmImport, RoadFilterAndOptions) {
    auto keptWays = [](const osmImport::ImportOptions& options) {
        Imported in;
        importInto(in, testFile("tools/data/filters.osm"), options);
        EXPECT_TRUE(in.result.ok) << in.result.error;
        std::set<int64_t> ways;
        for (const auto& l : osmLinks(in)) ways.insert(l.first / 10);
        return ways;
    };
    // Kept: service, access=no overridden by motor_vehicle=yes, access=destination, living_street,
    // trunk_link. Dropped: footway, private, access=no, area, construction (either tagging),
    // proposed, motor_vehicle=no, cycleway, private service road, a building.
    EXPECT_EQ(keptWays({}), (std::set<int64_t>{2, 10, 11, 13, 14}));

    osmImport::ImportOptions noService;
    noService.keepService = false;
    EXPECT_EQ(keptWays(noService), (std::set<int64_t>{10, 11, 13, 14}));

    osmImport::ImportOptions keepPrivate;
    keepPrivate.keepPrivate = true;
    EXPECT_EQ(keptWays(keepPrivate), (std::set<int64_t>{2, 3, 10, 11, 13, 14, 15}));
}

// Progress goes to the given stream (large files only, here forced on), and both passes finish.
TEST(OsmImport, ImperfectDataKeepsWhatIsThere) {
    std::ostringstream progress;
    osmImport::ImportOptions options;
    options.progress = &progress;
    options.progressMinBytes = 0;
    Imported in;
    importInto(in, testFile("tools/data/clipped.osm"), options);
    EXPECT_NE(progress.str().find("reading ways 100%\n"), std::string::npos) << progress.str();
    EXPECT_NE(progress.str().find("reading nodes 100%\n"), std::string::npos) << progress.str();
    ASSERT_TRUE(in.result.ok) << in.result.error;
    const osmImport::ImportSummary& s = in.result.summary;

    // Way 1 lost node 3: its two present parts stay. Way 2 names node 7 twice. Nodes 9 and 10 share
    // a position and become one map node. Way 4 repeats 1->2. Ways 6 and 7 are rings on their own.
    EXPECT_EQ(osmLinks(in), bothWays({{1, 2}, {2, 21}, {4, 5}, {5, 22}, {6, 7}, {7, 8}, {9, 11}, {11, 12}}));
    EXPECT_EQ(s.missingNodeRefs, 3u);  // node 3 of way 1, nodes 30 and 31 of way 5
    EXPECT_EQ(s.waysWithMissingNodes, 2u);
    EXPECT_EQ(s.repeatedNodes, 1u);
    EXPECT_EQ(s.zeroLengthSegments, 1u);
    EXPECT_EQ(s.sharedPositionNodes, 1u);
    EXPECT_EQ(s.repeatedLinks, 1u);
    EXPECT_EQ(s.isolatedRings, 2u);
    EXPECT_EQ(s.isolatedRingLinks, 5u);
    EXPECT_EQ(s.roadWays, 7u);
    EXPECT_EQ(s.waysKept, 3u);  // way 4 added nothing new, way 5 nothing at all, 6 and 7 were left out
    EXPECT_EQ(in.map.nodes.size(), 12u);

    // Both OSM ids of the shared position name the same map node in the id table.
    std::map<int64_t, uint32_t> mapIdOf;
    for (const auto& [m, o] : in.result.nodeIds) mapIdOf[o] = m;
    ASSERT_TRUE(mapIdOf.count(9) && mapIdOf.count(10));
    EXPECT_EQ(mapIdOf[9], mapIdOf[10]);
    EXPECT_EQ(in.result.nodeIds.size(), 13u);
    for (const auto& [id, link] : in.map.links) EXPECT_GT(link.length, 1.0);

    // The summary the program prints accounts for what was left out.
    const std::string summary = osmImport::formatSummary("clipped.osm", s, 0.5);
    for (const char* part : {"map nodes: 12, links: 16", "3 references to missing nodes in 2 ways",
                             "2 isolated rings (5 links)"})
        EXPECT_NE(summary.find(part), std::string::npos) << summary;
}

TEST(OsmImport, BoundingBoxKeepsTheInsideParts) {
    osmImport::BoundingBox box;
    ASSERT_TRUE(osmImport::parseBoundingBox("10.9995,47.9995,11.0025,48.0005", box));
    osmImport::ImportOptions options;
    options.bbox = box;
    Imported in;
    importInto(in, testFile("tools/data/directions.osm"), options);
    ASSERT_TRUE(in.result.ok);
    EXPECT_EQ(osmLinks(in), bothWays({{101, 102}, {102, 103}}));  // 104 lies east
    EXPECT_EQ(in.result.summary.outsideBoxRefs, 32u);             // every way reference but 101, 102 and 103
    EXPECT_EQ(in.result.summary.missingNodeRefs, 0u);

    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "11,48,10,49", "a,b,c,d", "0,-91,1,1", "0,0,181,1",
                            "1,2,3,4x", "nan,1,2,3"})
        EXPECT_FALSE(osmImport::parseBoundingBox(bad, box)) << bad;
    EXPECT_TRUE(osmImport::parseBoundingBox("-180,-90,180,90", box));
}

// Every input format gives the same map as the plain XML.
TEST(OsmImport, CompressedAndPbfInputGiveTheSameMap) {
    TempDir dir;
    const std::string source = testFile("tools/data/clipped.osm");
    Imported reference;
    importInto(reference, source);
    ASSERT_TRUE(reference.result.ok);
    ASSERT_TRUE(reference.map.saveMap(dir / "reference.txt"));

    for (const std::string name : {"copy.osm.gz", "copy.osm.bz2", "copy.osm.pbf"}) {
        {
            osmium::io::Reader reader{source};
            osmium::io::Writer writer{dir / name, reader.header()};
            while (osmium::memory::Buffer buffer = reader.read()) writer(std::move(buffer));
            writer.close();
            reader.close();
        }
        Imported in;
        importInto(in, dir / name);
        ASSERT_TRUE(in.result.ok) << name << ": " << in.result.error;
        ASSERT_TRUE(in.map.saveMap(dir / "other.txt"));
        EXPECT_EQ(karvel_test::readFile(dir / "other.txt"), karvel_test::readFile(dir / "reference.txt"))
            << name;
        EXPECT_EQ(in.result.nodeIds, reference.result.nodeIds) << name;
    }
}

TEST(OsmImport, UnreadableInputIsReportedNotThrown) {
    TempDir dir;
    karvel_test::writeFile(dir / "garbage.osm.pbf", std::string(5000, '\x17'));
    karvel_test::writeFile(dir / "broken.osm", "<osm version=\"0.6\"><node id=\"1\" lat=\"48\"");
    karvel_test::writeFile(dir / "empty.osm.bz2", "");
    karvel_test::writeFile(dir / "roads.unknown", "<osm version=\"0.6\"/>");
    for (const std::string name :
         {"missing.osm", "garbage.osm.pbf", "broken.osm", "empty.osm.bz2", "roads.unknown"}) {
        mapRepresentation::Map map;
        osmImport::ImportResult result;
        EXPECT_NO_THROW(result = osmImport::importOsm(dir / name, {}, map)) << name;
        EXPECT_FALSE(result.ok) << name;
        EXPECT_NE(result.error.find(name), std::string::npos) << result.error;
        EXPECT_TRUE(map.nodes.empty() && map.links.empty()) << name;
    }

    // A map that already holds roads is not mixed with another import.
    mapRepresentation::Map map;
    map.addNode(1, 48.0, 11.0, 0, 0);
    const osmImport::ImportResult result = osmImport::importOsm(testFile("tools/data/clipped.osm"), {}, map);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(map.nodes.size(), 1u);
    // The id table, written here too: the program ends without exit handlers, so its runs leave
    // no line coverage of the table.
    ASSERT_TRUE(osmImport::writeNodeIdTable(dir / "ids.csv", {{1, 2}, {3, 4}}));
    EXPECT_EQ(karvel_test::readFile(dir / "ids.csv"), "map_id,osm_node_id\n1,2\n3,4\n");
    EXPECT_FALSE(osmImport::writeNodeIdTable(dir / "no/such/dir/ids.csv", {{1, 2}}));
}

}  // namespace
