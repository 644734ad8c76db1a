// Road attributes through the whole chain, on the real GPX logs and the OSM extracts under them:
// karvel-osm2map writes the link table, karvel-match reports ways that libosmium finds in the
// extract with the link's two OSM nodes next to each other, the GeoPackage opens in ogrinfo with
// the same rows as the CSVs, and karvel-mapbuild carries the table on when it adds drives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <osmium/io/any_input.hpp>
#include <osmium/osm/way.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/geojson_check.h"
#include "map/link_table.h"
#include "map/maps.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using karvel_test::binaryPath;
using karvel_test::csvRows;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

// Every way of an extract by id, with its node ids in order.
std::map<int64_t, std::vector<int64_t>> waysOf(const std::string& path) {
    std::map<int64_t, std::vector<int64_t>> ways;
    osmium::io::Reader reader{path, osmium::osm_entity_bits::way};
    while (osmium::memory::Buffer buffer = reader.read())
        for (const osmium::Way& way : buffer.select<osmium::Way>()) {
            auto& nodes = ways[way.id()];
            for (const osmium::NodeRef& ref : way.nodes()) nodes.push_back(ref.ref());
        }
    reader.close();
    return ways;
}

bool nextToEachOther(const std::vector<int64_t>& nodes, int64_t a, int64_t b) {
    for (size_t k = 0; k + 1 < nodes.size(); ++k)
        if ((nodes[k] == a && nodes[k + 1] == b) || (nodes[k] == b && nodes[k + 1] == a)) return true;
    return false;
}

struct RealPair {
    const char* extract;
    const char* gpx;
};
const RealPair kPairs[] = {{"issue-70.osm.gz", "issue-70.gpx"}, {"map-issue13.osm.gz", "issue-13.gpx"}};

// Imports the extract into dir/data/map.txt and puts the log into dir/data/nmea.
void prepare(const TempDir& dir, const std::string& extract, const std::string& gpx) {
    fs::create_directories(dir / "data/nmea");
    fs::copy_file(gpx, dir / ("data/nmea/" + fs::path(gpx).filename().string()));
    const auto r = dir.run("$O -q -d . " + extract + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
}

TEST(LinkAttributes, MatchedWaysJoinBackToTheExtract) {
    for (const RealPair& pair : kPairs) {
        SCOPED_TRACE(pair.gpx);
        KARVEL_REQUIRE_SHARED(extract, std::string("graphhopper-osm-extracts/") + pair.extract);
        const std::string gpx = karvel_test::sharedData(std::string("graphhopper-osm-extracts/") + pair.gpx);
        TempDir dir;
        prepare(dir, extract, gpx);
        const auto r = dir.run("$M --format csv -o out.csv 2>&1");
        ASSERT_EQ(r.exitCode, 0) << r.out;

        const auto ways = waysOf(extract);
        const auto fixes = csvRows(dir.read("out.csv"));
        const auto driven = csvRows(dir.read("out.links.csv"));
        size_t matched = 0;
        for (const auto* rows : {&fixes, &driven})
            for (const auto& row : *rows) {
                if (row.at("link").empty()) continue;
                ++matched;
                const auto way = ways.find(std::stoll(row.at("way_id")));
                ASSERT_NE(way, ways.end()) << "way " << row.at("way_id");
                EXPECT_TRUE(nextToEachOther(way->second, std::stoll(row.at("from_osm_node")),
                                            std::stoll(row.at("to_osm_node"))))
                    << "way " << row.at("way_id") << " link " << row.at("link");
                EXPECT_FALSE(row.at("highway").empty());
            }
        EXPECT_GT(matched, fixes.size() / 2) << "too few matched fixes to prove anything";
        ASSERT_FALSE(driven.empty());
        // The route distance of the last fix is what the per-link rows drove.
        double metres = 0, last = 0;
        for (const auto& row : driven) metres += std::stod(row.at("driven_m"));
        for (const auto& row : fixes)
            if (!row.at("route_distance_m").empty()) last = std::stod(row.at("route_distance_m"));
        EXPECT_NEAR(last, metres, 0.05 * driven.size());
    }
}

// ogrinfo's summary of one layer: its feature count and the names of its fields.
struct LayerSummary {
    long features = -1;
    std::vector<std::string> fields;
};

std::string joined(const std::vector<std::string>& fields) {
    std::string text;
    for (const std::string& f : fields) text += (text.empty() ? "" : ",") + f;
    return text;
}

LayerSummary ogrSummary(const std::string& output, const std::string& layer) {
    LayerSummary s;
    const size_t at = output.find("Layer name: " + layer + "\n");
    if (at == std::string::npos) return s;
    std::istringstream in(output.substr(at + 1));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && line.rfind("Layer name: ", 0) != 0) {
        if (line.rfind("Feature Count: ", 0) == 0) s.features = std::stol(line.substr(15));
        const size_t colon = line.find(": ");
        if (colon != std::string::npos && line.find(" (") != std::string::npos &&
            line.find_first_of(" ") > colon && line.rfind("Geometry", 0) != 0 &&
            line.rfind("Feature", 0) != 0 && line.rfind("Extent", 0) != 0 && line.rfind("FID", 0) != 0)
            s.fields.push_back(line.substr(0, colon));
    }
    return s;
}

TEST(LinkAttributes, GeoPackageHoldsBothTracesInTwoLayers) {
    if (runCommand("command -v ogrinfo").exitCode != 0) GTEST_SKIP() << "needs ogrinfo (gdal-bin)";
    KARVEL_REQUIRE_SHARED(extract, "graphhopper-osm-extracts/issue-70.osm.gz");
    TempDir dir;
    prepare(dir, extract, karvel_test::sharedData("graphhopper-osm-extracts/issue-70.gpx"));
    // The same log twice under two names: two traces in one file.
    fs::copy_file(dir / "data/nmea/issue-70.gpx", dir / "data/nmea/issue-70b.gpx");
    for (const char* format : {"csv -o out.csv", "gpkg -o out.gpkg", "geojson -o out.geojson"}) {
        const auto r = dir.run("$M --format " + std::string(format) + " 2>&1");
        ASSERT_EQ(r.exitCode, 0) << r.out;
    }
    // The GeoJSON of the same run, written as it was made, is valid and has a point per fix.
    const std::string geojson = dir.read("out.geojson");
    const std::vector<std::string> faults = karvel_test::geoJsonFaults(geojson);
    EXPECT_TRUE(faults.empty()) << faults.front();
    size_t fixFeatures = 0;
    for (size_t at = 0; (at = geojson.find("\"kind\": \"fix\"", at)) != std::string::npos; ++at)
        ++fixFeatures;
    EXPECT_EQ(fixFeatures, csvRows(dir.read("out.csv")).size());
    const auto info = runCommand("ogrinfo -so -al out.gpkg", dir.str());
    ASSERT_EQ(info.exitCode, 0) << info.out << info.err;
    const LayerSummary fixes = ogrSummary(info.out, "fixes"), links = ogrSummary(info.out, "links");
    EXPECT_EQ(fixes.features, static_cast<long>(csvRows(dir.read("out.csv")).size())) << info.out;
    EXPECT_EQ(links.features, static_cast<long>(csvRows(dir.read("out.links.csv")).size())) << info.out;
    // The links layer's fields are the CSV's columns; the fixes layer orders them its own way.
    EXPECT_EQ(joined(fixes.fields),
              "trace,point,time,latitude,longitude,matched,link,way_id,from_osm_node,to_osm_node,name,ref,"
              "highway,maxspeed_kmh,snapped_latitude,snapped_longitude,distance_m,offset_m,route_distance_m,"
              "speed_kmh,piece")
        << info.out;
    const std::string linksCsv = dir.read("out.links.csv");
    EXPECT_EQ(joined(links.fields), linksCsv.substr(0, linksCsv.find('\n'))) << info.out;
    EXPECT_NE(info.out.find("Geometry: Point"), std::string::npos);
    EXPECT_NE(info.out.find("Geometry: Line String"), std::string::npos);
    // SQL over the batch: both traces, with their OSM ways.
    const auto sql = runCommand(
        "ogrinfo -q out.gpkg -sql \"SELECT COUNT(DISTINCT trace) AS traces FROM fixes WHERE way_id IS NOT "
        "NULL\"",
        dir.str());
    EXPECT_NE(sql.out.find("traces (Integer) = 2"), std::string::npos) << sql.out << sql.err;
    // GDAL finds the spatial index of both layers (it reads the file's own R-tree tables).
    const auto indexed = runCommand(
        "ogrinfo -q out.gpkg -sql \"SELECT HasSpatialIndex('fixes', 'geom') + HasSpatialIndex('links', "
        "'geom')\"",
        dir.str());
    EXPECT_NE(indexed.out.find("(Integer) = 2"), std::string::npos) << indexed.out << indexed.err;
    // GDAL reads every geometry: a fix where it was placed (or found, if unmatched), a link a line.
    const auto geometries = runCommand(
        "ogrinfo -q out.gpkg -sql \"SELECT (SELECT count(*) FROM fixes WHERE ST_MinX(geom) = "
        "coalesce(snapped_longitude, longitude) AND ST_MinY(geom) = coalesce(snapped_latitude, latitude)) AS "
        "fixes, "
        "(SELECT count(*) FROM links WHERE ST_GeometryType(geom) = 'LINESTRING') AS links\"",
        dir.str());
    EXPECT_NE(geometries.out.find("fixes (Integer) = " + std::to_string(fixes.features)), std::string::npos)
        << geometries.out << geometries.err;
    EXPECT_NE(geometries.out.find("links (Integer) = " + std::to_string(links.features)), std::string::npos)
        << geometries.out << geometries.err;
}

TEST(LinkAttributes, MapbuildCarriesTheTableOnAndNewLinksHaveNoWay) {
    KARVEL_REQUIRE_SHARED(extract, "graphhopper-osm-extracts/issue-70.osm.gz");
    TempDir dir;
    prepare(dir, extract, karvel_test::sharedData("graphhopper-osm-extracts/issue-70.gpx"));
    const std::string table = dir / "data/map.txt.links.csv";
    const size_t importedLinks = csvRows(readFile(table)).size();
    const auto r = dir.run("$B -a -k pic.kml data/nmea");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const mapRepresentation::Map map(dir / "data/map.txt");
    mapRepresentation::LinkTable::Reading reading;
    const auto links = mapRepresentation::LinkTable::load(table, map, reading);
    EXPECT_EQ(reading.error, "");
    EXPECT_EQ(reading.dropped, 0u);
    ASSERT_EQ(links.size(), map.links.size());
    ASSERT_GT(map.links.size(), importedLinks) << "the drive added no link";
    size_t withWay = 0;
    for (const auto& [id, link] : map.links) withWay += links.find(id)->wayId != 0 ? 1 : 0;
    EXPECT_GT(withWay, importedLinks * 9 / 10);
    EXPECT_LT(withWay, map.links.size());

    // A map built afresh over it leaves no table of the old map behind.
    ASSERT_EQ(dir.run("$B -k pic.kml data/nmea").exitCode, 0);
    EXPECT_FALSE(fs::exists(table));
}

}  // namespace
