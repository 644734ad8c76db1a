// Road attributes through the whole chain, on the real GPX logs and the OSM extracts under them:
// karvel-osm2map writes the link table, karvel-match reports ways that libosmium finds in the
// extract with the link's two OSM nodes next to each other, the GeoPackage opens in ogrinfo with
// the same rows as the CSVs, karvel's report of the logs exports to GeoJSON, and karvel-mapbuild
// carries the table on when it adds drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <osmium/io/any_input.hpp>
#include <osmium/osm/way.hpp>
#include <string>
#include <vector>

#include "app/geojson_check.h"
#include "map/link_table.h"
#include "map/maps.h"
#include "nmea_writer.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using karvel_test::binaryPath;
using karvel_test::csvRows;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using nlohmann::json;

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
    const auto pair = [&](int64_t x, int64_t y) { return (x == a && y == b) || (x == b && y == a); };
    return std::ranges::adjacent_find(nodes, pair) != nodes.end();
}

// Imports the extract into dir/data/map.txt and puts the log into dir/gpx.
void prepare(const TempDir& dir, const std::string& extract, const std::string& gpx) {
    fs::create_directories(dir / "gpx");
    fs::copy_file(gpx, dir / ("gpx/" + fs::path(gpx).filename().string()));
    const auto r = dir.run("$O -q -d . " + extract + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
}

// Both real logs on the maps imported from the extracts under them. karvel-match reports ways that
// libosmium finds in the extract with the link's two OSM nodes next to each other. karvel matches every
// fix within 60 m, and karvel-export finds each log from the report's trace name in the folder given.
TEST(LinkAttributes, MatchedWaysJoinBackToTheExtractAndKarvelsReportExports) {
    const struct {
        const char* extract;
        const char* gpx;
        size_t points;
        int seconds;
    } pairs[] = {{"issue-70.osm.gz", "issue-70", 17, 60}, {"map-issue13.osm.gz", "issue-13", 29, 1}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.gpx);
        KARVEL_REQUIRE_SHARED(extract, std::string("graphhopper-osm-extracts/") + pair.extract);
        const std::string gpx =
            karvel_test::sharedData(std::string("graphhopper-osm-extracts/") + pair.gpx + ".gpx");
        TempDir dir;
        prepare(dir, extract, gpx);
        const auto r = dir.run("$M -t gpx --format csv -o out.csv 2>&1");
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

        // karvel reads NMEA only: the fixes `seconds` apart (equal GPX times would merge into one epoch).
        ASSERT_EQ(fixes.size(), pair.points);
        std::vector<karvel_test::Fix> nmea;
        for (const auto& row : fixes)
            nmea.push_back({std::stod(row.at("latitude")), std::stod(row.at("longitude"))});
        karvel_test::writeFile(dir / ("data/nmea/" + std::string(pair.gpx) + ".txt"),
                               karvel_test::nmeaLog(nmea, pair.seconds));
        ASSERT_EQ(runCommand(binaryPath() + " > report.txt", dir.str()).exitCode, 0);
        const auto geo = dir.run("$E --report report.txt --map data/map.txt -t gpx --format geojson");
        ASSERT_EQ(geo.exitCode, 0) << geo.out;
        const std::vector<std::string> faults = karvel_test::geoJsonFaults(geo.out);
        EXPECT_TRUE(faults.empty()) << faults.front();
        size_t points = 0;
        const json doc = json::parse(geo.out);
        for (const json& f : doc["features"]) {
            if (f["properties"]["kind"] != "fix") continue;
            EXPECT_FALSE(f["properties"]["link"].is_null()) << "point " << f["properties"]["point"];
            EXPECT_LT(f["properties"]["distance_m"].get<double>(), 60.0);
            ++points;
        }
        EXPECT_EQ(points, pair.points);
    }
}

// GDAL reads both traces of a batch from the GeoPackage: a row and a geometry per CSV row (a fix where
// it was placed, or found if unmatched; a link a line, in a layer declared for lines), the OSM ways,
// and the spatial index of both layers (from the file's own R-tree tables). Then the same folder's map
// grown by karvel-mapbuild keeps its link table, and one built afresh drops it.
TEST(LinkAttributes, GeoPackageHoldsBothTracesAndMapbuildCarriesTheTableOn) {
    if (runCommand("command -v ogrinfo").exitCode != 0) GTEST_SKIP() << "needs ogrinfo (gdal-bin)";
    KARVEL_REQUIRE_SHARED(extract, "graphhopper-osm-extracts/issue-70.osm.gz");
    TempDir dir;
    prepare(dir, extract, karvel_test::sharedData("graphhopper-osm-extracts/issue-70.gpx"));
    // The same log twice under two names: two traces in one file.
    fs::copy_file(dir / "gpx/issue-70.gpx", dir / "gpx/issue-70b.gpx");
    for (const char* format : {"csv -o out.csv", "gpkg -o out.gpkg"}) {
        const auto r = dir.run("$M -t gpx --format " + std::string(format) + " 2>&1");
        ASSERT_EQ(r.exitCode, 0) << r.out;
    }
    const auto gdal = runCommand(
        "ogrinfo -q out.gpkg -sql \"SELECT (SELECT count(*) FROM fixes WHERE ST_MinX(geom) = "
        "coalesce(snapped_longitude, longitude) AND ST_MinY(geom) = coalesce(snapped_latitude, latitude)) AS "
        "fixes, (SELECT count(*) FROM links WHERE ST_GeometryType(geom) = 'LINESTRING') AS links, (SELECT "
        "COUNT(DISTINCT trace) FROM fixes WHERE way_id IS NOT NULL) AS traces, HasSpatialIndex('fixes', "
        "'geom') + HasSpatialIndex('links', 'geom') AS indexed, (SELECT group_concat(name) FROM "
        "pragma_table_info('fixes')) AS fixfields, (SELECT group_concat(name) FROM pragma_table_info("
        "'links')) AS linkfields, (SELECT group_concat(table_name || ' ' || geometry_type_name) FROM "
        "gpkg_geometry_columns) AS types\"",
        dir.str());
    const std::string links = dir.read("out.links.csv");
    // The links layer's fields are the CSV's columns; the fixes layer orders them its own way.
    for (const std::string& value :
         {"fixes (Integer) = " + std::to_string(csvRows(dir.read("out.csv")).size()),
          "links (Integer) = " + std::to_string(csvRows(links).size()), std::string("traces (Integer) = 2"),
          std::string("indexed (Integer) = 2"),
          std::string("types (String) = fixes POINT,links LINESTRING\n"),
          std::string("fixfields (String) = fid,geom,trace,point,time,latitude,longitude,matched,link,way_id,"
                      "from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,snapped_latitude,"
                      "snapped_longitude,distance_m,offset_m,route_distance_m,speed_kmh,piece\n"),
          "linkfields (String) = fid,geom," + links.substr(0, links.find('\n') + 1)})
        EXPECT_NE(gdal.out.find(value), std::string::npos) << value << "\n" << gdal.out << gdal.err;

    // karvel-mapbuild carries the link table on; the links the drives add have no way.
    const std::string table = dir / "data/map.txt.links.csv";
    const size_t importedLinks = csvRows(readFile(table)).size();
    const auto r = dir.run("$B -a -k pic.kml gpx");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const mapRepresentation::Map map(dir / "data/map.txt");
    mapRepresentation::LinkTable::Reading reading;
    const auto rows = mapRepresentation::LinkTable::load(table, map, reading);
    ASSERT_EQ(std::tuple(reading.error, reading.dropped, rows.size()), std::tuple("", 0u, map.links.size()));
    ASSERT_GT(map.links.size(), importedLinks) << "the drive added no link";
    size_t withWay = 0;
    for (const auto& [id, link] : map.links) withWay += rows.find(id)->wayId != 0 ? 1 : 0;
    EXPECT_GT(withWay, importedLinks * 9 / 10);
    EXPECT_LT(withWay, map.links.size());

    // A map built afresh over it leaves no table of the old map behind.
    ASSERT_EQ(dir.run("$B -k pic.kml gpx").exitCode, 0);
    EXPECT_FALSE(fs::exists(table));
}

}  // namespace
