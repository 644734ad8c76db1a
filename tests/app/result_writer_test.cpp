// The result writer on a small hand-made run: CSV and GeoJSON against golden files (longitude first,
// every fix once, driven lines through the nodes of the map's links), and the report format.
#include "app/result_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "app/trace_rows.h"
#include "geojson_check.h"
#include "small_run.h"
#include "test_support.h"
#include "traces/trace_time.h"

using traces::DrivenRoutes;

using matchApp::ResultFormat;
using matchApp::ResultWriter;

namespace {

namespace fs = std::filesystem;

struct SmallRun : karvel_test::SmallRun {
    std::string written(ResultFormat format, const mapRepresentation::LinkTable* table = nullptr,
                        bool linkRows = false) const {
        ResultWriter writer(format, world.map);
        writer.useLinkTable(table);
        writer.add(route, paths, unmatched);
        std::ostringstream out;
        if (linkRows)
            writer.writeLinkRows(out);
        else
            writer.write(out);
        return out.str();
    }
};

// Link 1 with every attribute, by default a name that needs quoting and escaping.
mapRepresentation::LinkTable attributeTable(const std::string& name = "Main \"Street\", Canòlich") {
    mapRepresentation::LinkTable table;
    mapRepresentation::LinkAttributes a;
    a.wayId = 77;
    a.fromNode = 5;
    a.toNode = 6;
    a.name = name;
    a.highway = "primary";
    a.maxspeed = 50;
    a.oneway = true;
    table.set(1, a);
    return table;
}

// The column `name` of every row after the header.
std::vector<std::string> column(const std::string& csv, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& row : karvel_test::csvRows(csv)) values.push_back(row.count(name) ? row.at(name) : "?");
    return values;
}

void expectGolden(const std::string& actual, const std::string& name) {
    karvel_test::expectGolden(actual, "app/data/" + name);
}

}  // namespace

TEST(ResultWriter, EveryFormatOfASmallRun) {
    const SmallRun run;
    expectGolden(run.written(ResultFormat::Csv), "small_run.csv");
    expectGolden(run.written(ResultFormat::GeoJson), "small_run.geojson");
    EXPECT_EQ(run.written(ResultFormat::Report).rfind("\tRoute #0: run \"7\", north\nPaths: \nScore: ", 0),
              0u);
}

// 99 is no link and links 1 and 6 do not connect: the driven line is cut in two (fix 0 to the end of
// link 1, then from the start of link 6), and fix 1 has no link.
TEST(ResultWriter, LinksThatCannotBeJoinedSplitTheLineAndUnknownOnesAreLeftOut) {
    SmallRun run;
    run.paths.clear();
    run.addPath({{0, 1}, {1, 99}, {5, 6}});
    expectGolden(run.written(ResultFormat::GeoJson), "split_run.geojson");
}

// Along the route 0 -> 1 -> 2 -> 3 the fixes stand at 10, 60, 250 and 290 m, one a second; the second
// piece starts where the first one's distance ended. Link 1 has attributes, the others none.
TEST(ResultWriter, DistancesSpeedsAndDrivenLinksFollowTheRoute) {
    const SmallRun run;
    const mapRepresentation::LinkTable table = attributeTable("Main Street, East");
    EXPECT_EQ(
        run.written(ResultFormat::Csv, &table, true),
        "trace,piece,link,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,oneway,entered,"
        "left,driven_m,speed_kmh\n"
        "\"run \"\"7\"\", north\",0,1,77,5,6,\"Main Street, East\",,primary,50.00,yes,"
        "2020-06-01T12:00:00.0Z,2020-06-01T12:00:01.2Z,90.00,267.65\n"
        "\"run \"\"7\"\", north\",0,2,,,,,,,,,2020-06-01T12:00:01.2Z,2020-06-01T12:00:01.7Z,100.00,684.00\n"
        "\"run \"\"7\"\", north\",0,3,,,,,,,,,2020-06-01T12:00:01.7Z,2020-06-01T12:00:03.0Z,90.00,256.50\n"
        "\"run \"\"7\"\", north\",1,6,,,,,,,,,2020-06-01T12:00:05.0Z,2020-06-01T12:00:06.0Z,60.00,216.00\n");
    const std::string csv = run.written(ResultFormat::Csv, &table);
    // offset, route distance and speed close every matched row; the unmatched fix 4 has none.
    for (const char* row :
         {",0,1,77,5,6,\"Main Street, East\",,primary,50.00,10.00,0.00,\n",
          ",0,1,77,5,6,\"Main Street, East\",,primary,50.00,60.00,50.00,180.00\n",
          ",0,1,,,,,,,,50.00,240.00,684.00\n", ",0,1,,,,,,,,90.00,280.00,144.00\n", ",,,,,0,,,,,,,,,,\n",
          ",1,1,,,,,,,,20.00,280.00,\n", ",1,1,,,,,,,,80.00,340.00,216.00\n"})
        EXPECT_NE(csv.find(row), std::string::npos) << row << "\n" << csv;
}

// What GIS programs read besides the rows: a spatial index holding every geometry, the layers'
// extents and feature counts, and the triggers that keep the index when the file is edited; also
// in a file with no trace, and across whole and part batches of inserts (8 traces of 7 fixes). The
// file is built in the target's temporary file and put in place whole.
TEST(ResultWriter, GeoPackageKeepsItsIndexAndMetadata) {
    if (karvel_test::runCommand("command -v sqlite3").exitCode != 0) GTEST_SKIP() << "needs sqlite3";
    SmallRun run;
    karvel_test::TempDir dir;
    ResultWriter full(ResultFormat::Gpkg, run.world.map), empty(ResultFormat::Gpkg, run.world.map);
    full.writeAsYouGo(dir / "full.gpkg");
    for (int i = 0; i < 8; ++i) {
        run.route.name = "trace " + std::to_string(i);
        full.add(run.route, run.paths, run.unmatched);
    }
    std::string error;
    ASSERT_TRUE(full.writeFile(dir / "full.gpkg", error)) << error;
    ASSERT_TRUE(empty.writeFile(dir / "empty.gpkg", error)) << error;
    EXPECT_FALSE(empty.writeFile(dir / "no/such/folder/r.gpkg", error));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 2);
    EXPECT_EQ(matchApp::resultFormatNamed("gpkg"), ResultFormat::Gpkg);
    const auto query = [&](const std::string& file, const std::string& sql) {
        const auto r = karvel_test::runCommand("sqlite3 -csv " + file + " \"" + sql + "\"", dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    };
    EXPECT_EQ(query("full.gpkg",
                    "SELECT count(*), count(DISTINCT fid), min(fid), max(fid), count(DISTINCT trace) "
                    "FROM fixes"),
              "56,56,1,56,8\n");
    EXPECT_EQ(query("full.gpkg", "SELECT group_concat(point) FROM fixes WHERE trace = 'trace 7'"),
              "\"0,1,2,3,4,5,6\"\n");
    // An unmatched fix has nothing of the matched one whose place it took in a batch.
    EXPECT_EQ(query("full.gpkg",
                    "SELECT count(*) FROM fixes WHERE NOT matched AND coalesce(link, piece, distance_m) "
                    "IS NOT NULL"),
              "0\n");
    for (const char* file : {"full.gpkg", "empty.gpkg"})
        for (const std::string table : {"fixes", "links"}) {
            SCOPED_TRACE(std::string(file) + " " + table);
            const std::string index = "rtree_" + table + "_geom";
            EXPECT_EQ(query(file, "SELECT rtreecheck('" + index + "'), (SELECT count(*) FROM " + index +
                                      ") = (SELECT count(geom) FROM " + table +
                                      "), (SELECT feature_count FROM "
                                      "gpkg_ogr_contents WHERE table_name = '" +
                                      table + "') = (SELECT count(*) FROM " + table + ")"),
                      "ok,1,1\n");
            EXPECT_EQ(query(file, "SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND name IN ('" +
                                      index + "_insert', '" + index + "_delete')"),
                      "2\n");
        }
    // The extent is the geometries': the snapped position of a matched fix, the fix's own otherwise.
    EXPECT_EQ(
        query(
            "full.gpkg",
            "SELECT min_x = min(coalesce(snapped_longitude, longitude)), max_x = "
            "max(coalesce(snapped_longitude, "
            "longitude)), min_y = min(coalesce(snapped_latitude, latitude)), max_y = "
            "max(coalesce(snapped_latitude, latitude)) FROM gpkg_contents, fixes WHERE table_name = 'fixes'"),
        "1,1,1,1\n");
    EXPECT_EQ(query("empty.gpkg", "SELECT count(min_x) FROM gpkg_contents"), "0\n");
}

// The kept minute gives the same text as the full conversion, also in a zone whose offset was no
// whole number of minutes (Monrovia until 1972) and across a daylight saving change.
TEST(ResultWriter, FastTimeTextAgreesWithTheFullConversion) {
    const char* before = std::getenv("TZ");
    const std::string saved = before != nullptr ? before : "";
    for (const auto& [zone, from] :
         {std::pair{"Africa/Monrovia", uint32_t{31000000}},
          std::pair{"Europe/Berlin", *traces::parseIsoTime("2020-03-29T00:00:00Z")}}) {
        setenv("TZ", zone, 1);
        tzset();
        for (uint32_t t = from; t < from + 2 * 86400; t += 7)
            ASSERT_EQ(matchApp::isoUtcSeconds(t), traces::isoUtcText(t)) << zone;
    }
    if (before != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(matchApp::isoUtcSeconds(traces::kTraceNoTime), "");
    EXPECT_EQ(matchApp::isoUtcTenths(std::nullopt), "");
    EXPECT_EQ(matchApp::isoUtcTenths(*traces::parseIsoTime("2020-06-01T12:00:59Z") + 0.96),
              "2020-06-01T12:01:00.0Z");
}

// The drive karvel-match decided (east past link 4, round by link 5 and up link 4) is what every
// writer shows, not the fewest links between the fixes' links; the report adds it after its path,
// and a result without decided routes prints exactly the hybrid's block.
TEST(ResultWriter, EveryFormatCarriesTheDecidedRoute) {
    SmallRun run;
    run.paths.clear();
    run.addPath({{0, 1}, {3, 4}});
    const DrivenRoutes routes{{1, 2, 3, 5, 4}};
    for (const ResultFormat format : {ResultFormat::Report, ResultFormat::GeoJson}) {
        ResultWriter writer(format, run.world.map);
        writer.add(run.route, run.paths, run.unmatched, routes);
        std::ostringstream out;
        writer.write(out);
        if (format == ResultFormat::Report) {
            EXPECT_NE(out.str().find("Links: (0, 1)  (3, 4)  \n\nDriven links: 1 2 3 5 4\n\n\n\nUnmatched"),
                      std::string::npos)
                << out.str();
            continue;
        }
        const auto doc = nlohmann::json::parse(out.str());
        EXPECT_EQ(doc["features"][0]["properties"]["links"], nlohmann::json({1, 2, 3, 5, 4}));
        // Through the nodes at x = 100, 200, 300, back to 200, then to the fix's foot on link 4.
        EXPECT_EQ(doc["features"][0]["geometry"]["coordinates"].size(), 6u);
    }
    EXPECT_EQ(run.written(ResultFormat::Report).find("Driven links"), std::string::npos);
}

// Every document the writer makes is valid GeoJSON, whatever the run: one-fix pieces, pieces whose
// links do not meet, fixes without time or sharing a second, no trace at all.
TEST(ResultWriter, EveryGeoJsonDocumentIsValid) {
    const mapRepresentation::LinkTable table = attributeTable();
    std::vector<std::pair<std::string, std::string>> documents;
    const auto add = [&](const std::string& what, const SmallRun& run) {
        documents.emplace_back(what, run.written(ResultFormat::GeoJson, &table));
    };
    add("timed", SmallRun());
    SmallRun split;
    split.paths.clear();
    split.addPath({{0, 1}, {1, 99}, {5, 6}});
    add("split", split);
    SmallRun single;
    single.paths.clear();
    single.addPath({{0, 1}, {1, 1}});
    single.addPath({{5, 6}});
    add("one-fix piece", single);
    SmallRun untimed;
    for (_node& n : untimed.route.nodes) n.arrivalTime = n.leaveTime = traces::kTraceNoTime;
    add("untimed", untimed);
    SmallRun sameSecond;
    sameSecond.route.nodes[0].arrivalTime = traces::kTraceNoTime;
    sameSecond.route.nodes[3].arrivalTime = sameSecond.route.nodes[2].arrivalTime;
    add("first fix untimed, two fixes in one second", sameSecond);
    std::ostringstream none;
    ResultWriter(ResultFormat::GeoJson, SmallRun().world.map).write(none);
    documents.emplace_back("no trace", none.str());
    for (const auto& [what, text] : documents) {
        const std::vector<std::string> faults = karvel_test::geoJsonFaults(text);
        EXPECT_TRUE(faults.empty()) << what << ": " << faults.front() << "\n" << text;
    }
    EXPECT_NE(
        documents[2].second.find("\"type\": \"Point\",\n        \"coordinates\": [\n          -8.993803,"),
        std::string::npos)
        << "the piece of fix 5 alone is a Point";
    EXPECT_EQ(documents.back().second, "{\n  \"type\": \"FeatureCollection\",\n  \"features\": []\n}\n");
}

// Speed needs two timed fixes at different moments; link times need timed fixes around them.
TEST(ResultWriter, SpeedsAndTimesOnlyWhereTheFixesHaveTimes) {
    SmallRun untimed;
    for (_node& n : untimed.route.nodes) n.arrivalTime = n.leaveTime = traces::kTraceNoTime;
    const std::string fixes = untimed.written(ResultFormat::Csv);
    for (const char* k : {"time", "speed_kmh"})
        EXPECT_EQ(column(fixes, k), std::vector<std::string>(7, "")) << fixes;
    EXPECT_EQ(column(fixes, "route_distance_m"),
              (std::vector<std::string>{"0.00", "50.00", "240.00", "280.00", "", "280.00", "340.00"}));
    const std::string links = untimed.written(ResultFormat::Csv, nullptr, true);
    for (const char* k : {"entered", "left", "speed_kmh"})
        EXPECT_EQ(column(links, k), std::vector<std::string>(4, "")) << links;

    // Fix 0 without a time, fixes 2 and 3 in one second: fixes 1 and 3 have no speed.
    SmallRun mixed;
    mixed.route.nodes[0].arrivalTime = traces::kTraceNoTime;
    mixed.route.nodes[3].arrivalTime = mixed.route.nodes[2].arrivalTime;
    EXPECT_EQ(column(mixed.written(ResultFormat::Csv), "speed_kmh"),
              (std::vector<std::string>{"", "", "684.00", "", "", "", "216.00"}));
}

// With writeAsYouGo the text goes to the file as it is made; the file is the one writeFile makes from
// the held text, and it appears only once complete.
TEST(ResultWriter, DocumentWrittenAsItComesIsTheHeldOne) {
    const SmallRun run;
    const mapRepresentation::LinkTable table = attributeTable();
    karvel_test::TempDir dir;
    for (const auto& [format, name] :
         {std::pair{ResultFormat::GeoJson, "r.geojson"}, std::pair{ResultFormat::Csv, "r.csv"}}) {
        ResultWriter held(format, run.world.map), streamed(format, run.world.map);
        held.useLinkTable(&table);
        streamed.useLinkTable(&table);
        const std::string target = dir / name;
        streamed.writeAsYouGo(target);
        // Enough traces for several megabyte pieces of either format.
        Route route = run.route;
        for (int i = 0; i < 1500; ++i) {
            route.name = "run " + std::to_string(i);
            held.add(route, run.paths, run.unmatched);
            streamed.add(route, run.paths, run.unmatched);
        }
        EXPECT_FALSE(std::filesystem::exists(target));
        std::string error;
        ASSERT_TRUE(held.writeFile(dir / ("held-" + std::string(name)), error)) << error;
        ASSERT_TRUE(streamed.writeFile(target, error)) << error;
        const std::string text = karvel_test::readFile(target);
        EXPECT_GT(text.size(), size_t{1} << 20);
        EXPECT_TRUE(text == karvel_test::readFile(dir / ("held-" + std::string(name)))) << name;
        std::ostringstream out;
        streamed.write(out);
        EXPECT_TRUE(out.fail()) << "the document went to the file";
        if (format == ResultFormat::GeoJson) {
            EXPECT_TRUE(karvel_test::geoJsonFaults(text).empty());
        }
    }
    EXPECT_EQ(karvel_test::readFile(dir / "r.links.csv"), karvel_test::readFile(dir / "held-r.links.csv"));

    // A target that cannot be written: the text is held, and writeFile says so.
    ResultWriter writer(ResultFormat::GeoJson, run.world.map);
    writer.writeAsYouGo(dir / "no/such/folder/r.geojson");
    writer.add(run.route, run.paths, run.unmatched);
    std::string error;
    EXPECT_FALSE(writer.writeFile(dir / "no/such/folder/r.geojson", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    std::ostringstream out;
    writer.write(out);
    EXPECT_TRUE(karvel_test::geoJsonFaults(out.str()).empty());
}

// The GeoPackage's rows hold what the CSV's rows hold (read back with the sqlite3 program).
TEST(ResultWriter, GeoPackageRowsAreTheCsvRows) {
    if (karvel_test::runCommand("command -v sqlite3").exitCode != 0) GTEST_SKIP() << "needs sqlite3";
    SmallRun run;
    run.route.nodes[0].arrivalTime = traces::kTraceNoTime;
    run.route.nodes[3].arrivalTime = run.route.nodes[2].arrivalTime;
    const mapRepresentation::LinkTable table = attributeTable();
    karvel_test::TempDir dir;
    for (const char* name : {"r.gpkg", "r.csv"}) {
        ResultWriter writer(name[2] == 'g' ? ResultFormat::Gpkg : ResultFormat::Csv, run.world.map);
        writer.useLinkTable(&table);
        writer.add(run.route, run.paths, run.unmatched);
        run.route.name = "second";
        writer.add(run.route, run.paths, run.unmatched);
        run.route.name = "run \"7\", north";
        std::string error;
        ASSERT_TRUE(writer.writeFile(dir / name, error)) << error;
    }
    const auto rows = [&](const std::string& columns, const std::string& layer) {
        const auto result = karvel_test::runCommand(
            "sqlite3 -csv -header r.gpkg \"select " + columns + " from " + layer + " order by fid\"",
            dir.path());
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    };
    // Times as seconds, to the tenth the CSV gives; none for an empty field.
    const auto seconds = [](const std::vector<std::string>& times) {
        std::vector<std::optional<double>> values;
        static const std::regex iso(R"((.*:\d\d)(\.\d+)?Z)");
        for (const std::string& t : times) {
            std::smatch m;
            if (!std::regex_match(t, m, iso)) {
                values.emplace_back();
                continue;
            }
            const double fraction = m[2].matched ? std::stod("0" + m[2].str()) : 0.0;
            values.emplace_back(std::round(10.0 * (*traces::parseIsoTime(m[1].str() + "Z") + fraction)) /
                                10.0);
        }
        return values;
    };
    const std::string csv = karvel_test::readFile(dir / "r.csv"),
                      links = karvel_test::readFile(dir / "r.links.csv");
    const std::string fixRows = rows("trace, point, time, link, way_id, name, speed_kmh", "fixes");
    for (const char* k : {"trace", "link", "way_id", "name"})
        EXPECT_EQ(column(fixRows, k), column(csv, k)) << k;
    EXPECT_EQ(seconds(column(fixRows, "time")), seconds(column(csv, "time")));
    EXPECT_EQ(
        column(rows("speed_kmh is null AS none", "fixes"), "none"),
        (std::vector<std::string>{"1", "1", "0", "1", "1", "1", "0", "1", "1", "0", "1", "1", "1", "0"}));
    const std::string linkRows = rows("link, entered, left", "links");
    EXPECT_EQ(column(linkRows, "link"), column(links, "link"));
    for (const char* k : {"entered", "left"})
        EXPECT_EQ(seconds(column(linkRows, k)), seconds(column(links, k)));
    const std::vector<std::string> entered = column(linkRows, "entered");
    EXPECT_EQ(std::count(entered.begin(), entered.end(), ""), 2) << "entered before the first timed fix";
}
