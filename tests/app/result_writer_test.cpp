// The result writer on a small hand-made run: CSV and GeoJSON against golden files (longitude first,
// every fix once, driven lines through the nodes of the map's links), and the report format. The HTML
// view: the figures and data a page carries, the roads it draws, the files of several traces, and the
// page opened in headless Chromium (no script error, the numbers it drew, a screenshot that shows the
// route). The
// GeoJSON text writer lays values out exactly as nlohmann::json's dump(2) does (results of earlier
// runs compare byte for byte). The GeoPackage's packed spatial index is one SQLite itself accepts: its
// own check passes, a window query finds exactly the boxes a plain scan finds (also points whose
// coordinates single precision cannot hold), and SQLite can go on inserting into and deleting from it.
#include "app/result_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "app/geojson_writer.h"
#include "app/gpkg/gpkg_rtree.h"
#include "app/html_writer.h"
#include "app/trace_rows.h"
#include "geojson_check.h"
#include "headless_browser.h"
#include "small_run.h"
#include "test_support.h"
#include "traces/trace_time.h"

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
    // No fix has a time.
    static SmallRun untimed() {
        SmallRun run;
        for (_node& n : run.route.nodes) n.arrivalTime = n.leaveTime = traces::kTraceNoTime;
        return run;
    }
    // The same fixes matched as the given pieces.
    static SmallRun withPaths(std::initializer_list<std::vector<std::pair<int, int>>> pieces) {
        SmallRun run;
        run.paths.clear();
        for (const auto& piece : pieces) run.addPath(piece);
        return run;
    }
    // Fix 0 without a time, fixes 2 and 3 in one second.
    static SmallRun mixedTimes() {
        SmallRun run;
        run.route.nodes[0].arrivalTime = traces::kTraceNoTime;
        run.route.nodes[3].arrivalTime = run.route.nodes[2].arrivalTime;
        return run;
    }
};

// Link 1 with every attribute, by default a name that needs quoting and escaping.
mapRepresentation::LinkTable attributeTable(const std::string& name = "Main \"Street\", Canòlich") {
    mapRepresentation::LinkTable table;
    table.set(1, {.wayId = 77,
                  .fromNode = 5,
                  .toNode = 6,
                  .name = name,
                  .ref = "",
                  .highway = "primary",
                  .maxspeed = 50,
                  .oneway = true});
    return table;
}

// The column `name` of every row after the header.
std::vector<std::string> column(const std::string& csv, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& row : karvel_test::csvRows(csv)) values.push_back(row.count(name) ? row.at(name) : "?");
    return values;
}

}  // namespace

// Also where 99 is no link and links 1 and 6 do not connect: the driven line is cut in two (fix 0 to
// the end of link 1, then from the start of link 6), and fix 1 has no link.
TEST(ResultWriter, EveryFormatOfASmallRunAndItsDistancesSpeedsAndDrivenLinks) {
    const SmallRun run;
    karvel_test::expectGolden(run.written(ResultFormat::Csv), "app/data/small_run.csv");
    karvel_test::expectGolden(run.written(ResultFormat::GeoJson), "app/data/small_run.geojson");
    EXPECT_EQ(run.written(ResultFormat::Report).rfind("\tRoute #0: run \"7\", north\nPaths: \nScore: ", 0),
              0u);
    karvel_test::expectGolden(SmallRun::withPaths({{{0, 1}, {1, 99}, {5, 6}}}).written(ResultFormat::GeoJson),
                              "app/data/split_run.geojson");

    // Along the route 0 -> 1 -> 2 -> 3 the fixes stand at 10, 60, 250 and 290 m, one a second; the
    // second piece starts where the first one's distance ended. Link 1 has attributes, the others none.
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
    // The fixes on link 1 carry its attributes before offset, route distance and speed (the rest of
    // each row is the golden file's).
    const std::string csv = run.written(ResultFormat::Csv, &table);
    for (const char* row : {",0,1,77,5,6,\"Main Street, East\",,primary,50.00,10.00,0.00,\n",
                            ",0,1,77,5,6,\"Main Street, East\",,primary,50.00,60.00,50.00,180.00\n"})
        EXPECT_NE(csv.find(row), std::string::npos) << row << "\n" << csv;
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
    const SmallRun run = SmallRun::withPaths({{{0, 1}, {3, 4}}});
    const traces::DrivenRoutes routes{{1, 2, 3, 5, 4}};
    std::ostringstream report, geoJson;
    for (auto [format, out] :
         {std::pair{ResultFormat::Report, &report}, std::pair{ResultFormat::GeoJson, &geoJson}}) {
        ResultWriter writer(format, run.world.map);
        writer.add(run.route, run.paths, run.unmatched, routes);
        writer.write(*out);
    }
    EXPECT_NE(report.str().find("Links: (0, 1)  (3, 4)  \n\nDriven links: 1 2 3 5 4\n\n\n\nUnmatched"),
              std::string::npos)
        << report.str();
    const auto first = nlohmann::json::parse(geoJson.str())["features"][0];
    EXPECT_EQ(first["properties"]["links"], nlohmann::json({1, 2, 3, 5, 4}));
    // Through the nodes at x = 100, 200, 300, back to 200, then to the fix's foot on link 4.
    EXPECT_EQ(first["geometry"]["coordinates"].size(), 6u);
    EXPECT_EQ(run.written(ResultFormat::Report).find("Driven links"), std::string::npos);
}

// Every document the writer makes is valid GeoJSON, whatever the run: one-fix pieces, pieces whose
// links do not meet, fixes without time or sharing a second, no trace at all. Speed needs two timed
// fixes at different moments; link times need timed fixes around them.
TEST(ResultWriter, EveryGeoJsonDocumentIsValidAndSpeedsAndTimesAreOnlyWhereTheFixesHaveTimes) {
    const mapRepresentation::LinkTable table = attributeTable();
    const SmallRun untimed = SmallRun::untimed(), mixed = SmallRun::mixedTimes();
    std::vector<std::pair<std::string, std::string>> documents;
    const auto add = [&](const std::string& what, const SmallRun& run) {
        documents.emplace_back(what, run.written(ResultFormat::GeoJson, &table));
    };
    add("timed", SmallRun());
    add("split", SmallRun::withPaths({{{0, 1}, {1, 99}, {5, 6}}}));
    add("one-fix piece", SmallRun::withPaths({{{0, 1}, {1, 1}}, {{5, 6}}}));
    add("untimed", untimed);
    add("first fix untimed, two fixes in one second", mixed);
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

    const std::string fixes = untimed.written(ResultFormat::Csv);
    for (const char* k : {"time", "speed_kmh"})
        EXPECT_EQ(column(fixes, k), std::vector<std::string>(7, "")) << fixes;
    EXPECT_EQ(column(fixes, "route_distance_m"),
              (std::vector<std::string>{"0.00", "50.00", "240.00", "280.00", "", "280.00", "340.00"}));
    const std::string links = untimed.written(ResultFormat::Csv, nullptr, true);
    for (const char* k : {"entered", "left", "speed_kmh"})
        EXPECT_EQ(column(links, k), std::vector<std::string>(4, "")) << links;

    // Fix 0 without a time, fixes 2 and 3 in one second: fixes 1 and 3 have no speed.
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
        const std::string target = dir / name;
        streamed.writeAsYouGo(target);
        // Enough traces for several megabyte pieces of either format.
        Route route = run.route;
        for (ResultWriter* writer : {&held, &streamed}) {
            writer->useLinkTable(&table);
            for (int i = 0; i < 1500; ++i) {
                route.name = "run " + std::to_string(i);
                writer->add(route, run.paths, run.unmatched);
            }
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
        EXPECT_TRUE(format != ResultFormat::GeoJson || karvel_test::geoJsonFaults(text).empty());
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

// What GIS programs read besides the rows: a spatial index holding every geometry, the layers'
// extents and feature counts, and the triggers that keep the index when the file is edited; also
// in a file with no trace, and across whole and part batches of inserts (8 traces of 7 fixes, some
// untimed or in one second). The file is built in the target's temporary file and put in place
// whole. Its rows hold what the CSV's rows hold (read back with the sqlite3 program).
TEST(ResultWriter, GeoPackageKeepsItsIndexMetadataAndTheCsvRows) {
    if (karvel_test::runCommand("command -v sqlite3").exitCode != 0) GTEST_SKIP() << "needs sqlite3";
    SmallRun run = SmallRun::mixedTimes();
    const mapRepresentation::LinkTable table = attributeTable();
    karvel_test::TempDir dir;
    ResultWriter full(ResultFormat::Gpkg, run.world.map), asCsv(ResultFormat::Csv, run.world.map),
        empty(ResultFormat::Gpkg, run.world.map);
    full.writeAsYouGo(dir / "full.gpkg");
    for (ResultWriter* writer : {&full, &asCsv}) {
        writer->useLinkTable(&table);
        for (int i = 0; i < 8; ++i) {
            run.route.name = "trace " + std::to_string(i);
            writer->add(run.route, run.paths, run.unmatched);
        }
    }
    std::string error;
    ASSERT_TRUE(full.writeFile(dir / "full.gpkg", error)) << error;
    ASSERT_TRUE(empty.writeFile(dir / "empty.gpkg", error)) << error;
    EXPECT_FALSE(empty.writeFile(dir / "no/such/folder/r.gpkg", error));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 2);
    ASSERT_TRUE(asCsv.writeFile(dir / "r.csv", error)) << error;
    const auto query = [&](const std::string& file, const std::string& sql, const char* options = "-csv") {
        const auto r = karvel_test::runCommand(
            "sqlite3 " + std::string(options) + " " + file + " \"" + sql + "\"", dir.path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    };
    // A row per fix, in order; an unmatched fix has nothing of the matched one whose place it took in a
    // batch.
    EXPECT_EQ(query("full.gpkg",
                    "SELECT count(*), count(DISTINCT fid), min(fid), max(fid), count(DISTINCT trace), "
                    "(SELECT group_concat(point) FROM fixes WHERE trace = 'trace 7'), "
                    "(SELECT count(*) FROM fixes WHERE NOT matched AND "
                    "coalesce(link, piece, distance_m) IS NOT NULL) FROM fixes"),
              "56,56,1,56,8,\"0,1,2,3,4,5,6\",0\n");
    // Each index is whole, counts what its layer and the layer's metadata count, and has its triggers.
    for (const char* file : {"full.gpkg", "empty.gpkg"})
        for (const std::string layer : {"fixes", "links"}) {
            SCOPED_TRACE(std::string(file) + " " + layer);
            const std::string index = "rtree_" + layer + "_geom";
            EXPECT_EQ(query(file, "SELECT rtreecheck('" + index + "'), (SELECT count(*) FROM " + index +
                                      ") = (SELECT count(geom) FROM " + layer +
                                      "), (SELECT feature_count FROM gpkg_ogr_contents WHERE table_name = '" +
                                      layer + "') = (SELECT count(*) FROM " + layer +
                                      "), (SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND "
                                      "name IN ('" +
                                      index + "_insert', '" + index + "_delete'))"),
                      "ok,1,1,2\n");
        }
    // The extent is the geometries': the snapped position of a matched fix, the fix's own otherwise.
    EXPECT_EQ(query("full.gpkg",
                    "SELECT min_x = min(coalesce(snapped_longitude, longitude)), "
                    "max_x = max(coalesce(snapped_longitude, longitude)), "
                    "min_y = min(coalesce(snapped_latitude, latitude)), "
                    "max_y = max(coalesce(snapped_latitude, latitude)) "
                    "FROM gpkg_contents, fixes WHERE table_name = 'fixes'"),
              "1,1,1,1\n");
    EXPECT_EQ(query("empty.gpkg", "SELECT count(min_x) FROM gpkg_contents"), "0\n");
    // Times as seconds, to the tenth the CSV gives; -1 for an empty field.
    const auto seconds = [](const std::vector<std::string>& times) {
        std::vector<double> values;
        for (const std::string& t : times)
            values.push_back(t.size() < 20 ? -1
                                           : std::round(10 * (*traces::parseIsoTime(t.substr(0, 19) + "Z") +
                                                              std::atof(t.substr(19).c_str()))) /
                                                 10);
        return values;
    };
    const auto rows = [&](const std::string& columns, const std::string& layer) {
        return query("full.gpkg", "select " + columns + " from " + layer + " order by fid", "-csv -header");
    };
    const std::string csv = dir.read("r.csv"), links = dir.read("r.links.csv");
    const std::string fixRows = rows("trace, point, time, link, way_id, name, speed_kmh", "fixes");
    for (const char* k : {"trace", "link", "way_id", "name"})
        EXPECT_EQ(column(fixRows, k), column(csv, k)) << k;
    EXPECT_EQ(seconds(column(fixRows, "time")), seconds(column(csv, "time")));
    // A speed where the CSV has one (its values are the CSV test's).
    std::vector<std::string> noSpeed;
    for (const std::string& v : column(csv, "speed_kmh")) noSpeed.push_back(v.empty() ? "1" : "0");
    EXPECT_EQ(column(rows("speed_kmh is null AS none", "fixes"), "none"), noSpeed);
    const std::string linkRows = rows("link, entered, left", "links");
    EXPECT_EQ(column(linkRows, "link"), column(links, "link"));
    for (const char* k : {"entered", "left"})
        EXPECT_EQ(seconds(column(linkRows, k)), seconds(column(links, k)));
    EXPECT_EQ(std::ranges::count(column(linkRows, "entered"), ""), 8) << "entered before the first timed fix";
}

namespace {

using nlohmann::ordered_json;

// Writes `value` through PrettyJson, member by member.
void writeValue(matchApp::PrettyJson& json, const ordered_json& value) {
    if (value.is_object()) {
        json.beginObject();
        for (const auto& [key, member] : value.items()) {
            json.key(key);
            writeValue(json, member);
        }
        json.endObject();
    } else if (value.is_array()) {
        json.beginArray();
        for (const ordered_json& element : value) writeValue(json, element);
        json.endArray();
    } else if (value.is_string()) {
        json.string(value.get<std::string>());
    } else if (value.is_boolean()) {
        json.boolean(value.get<bool>());
    } else if (value.is_number_float()) {
        json.number(value.get<double>());
    } else if (value.is_number()) {
        json.integer(value.get<int64_t>());
    } else {
        json.null();
    }
}

}  // namespace

TEST(GeoJsonWriter, TextIsLaidOutAsTheLibraryDumpsItAndJoinsAnArrayAlreadyBegun) {
    ordered_json doc;
    doc["empty object"] = ordered_json::object();
    doc["empty array"] = ordered_json::array();
    // Shortest digits, exponents for the very small and large, ".0" on whole numbers, signed zero.
    doc["numbers"] = {0.0,     -0.0,  5.0,      -8.9939224, 41.1463182, 1e-7,      0.0001,
                      123.456, 1e300, -2.5e-12, 1e15,       1e16,       0.1 + 0.2, 179.9999999};
    doc["integers"] = {0, -1, int64_t{9007199254740993}, int64_t{-4000000000}};
    // Quotes, backslashes, control characters, UTF-8 and bytes that are no UTF-8.
    doc["strings"] = {"", "plain", "we\"ird\\", "tab\tline\nbell\x07", "Canòlich", "bad\xff tail", "\x7f"};
    doc["nested"] = {
        {"a", {{"b", {1, {2, 3}, ordered_json::object()}}}}, {"t", true}, {"f", false}, {"n", nullptr}};
    std::string text;
    matchApp::PrettyJson json(text);
    writeValue(json, doc);
    EXPECT_EQ(text, doc.dump(2, ' ', false, ordered_json::error_handler_t::replace));

    // Numbers that are no numbers are null; values go on in another string between them.
    std::string first, second;
    matchApp::PrettyJson split(first);
    split.beginArray();
    split.number(std::numeric_limits<double>::quiet_NaN());
    split.continueIn(second);
    split.number(std::numeric_limits<double>::infinity());
    split.endArray();
    EXPECT_EQ(first + second, "[\n  null,\n  null\n]");

    // The features of a trace join the collection's array after the ones already there.
    std::string joined = "[";
    matchApp::PrettyJson begun(joined, 1, true, 0);
    begun.integer(1);
    matchApp::PrettyJson more(joined, 1, true, 1);
    more.beginObject();
    more.endObject();
    EXPECT_EQ(joined, "[\n  1,\n  {}");

    matchApp::TextChunks chunks;
    std::ostringstream drained;
    chunks.drainInto(&drained);
    const std::string piece(600000, 'x');
    for (int i = 0; i < 5; ++i) chunks.last() += piece;
    std::ostringstream rest;
    chunks.writeTo(rest);
    EXPECT_FALSE(drained.str().empty());
    EXPECT_EQ(drained.str() + rest.str(), std::string(5 * piece.size(), 'x'));
}

namespace {

using matchApp::RtreeBox;

struct Db {
    sqlite3* db = nullptr;
    Db() {
        sqlite3_open(":memory:", &db);
        exec("CREATE VIRTUAL TABLE t USING rtree(id, minx, maxx, miny, maxy)");
    }
    ~Db() { sqlite3_close(db); }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    }
    std::string text(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        return out;
    }
    std::set<int64_t> ids(double x0, double x1, double y0, double y1) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "SELECT id FROM t WHERE maxx >= ? AND minx <= ? AND maxy >= ? AND miny <= ?",
                           -1, &s, nullptr);
        for (int i = 0; const double v : {x0, x1, y0, y1}) sqlite3_bind_double(s, ++i, v);
        std::set<int64_t> found;
        while (sqlite3_step(s) == SQLITE_ROW) found.insert(sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
        return found;
    }
};

// Fixes of a drive that goes back and forth over a few streets (ids as a layer gives them), and
// lines' boxes, at coordinates with more digits than single precision keeps.
std::vector<RtreeBox> boxes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> at(0.0, 0.004), size(0.0, 0.0005);
    std::vector<RtreeBox> out;
    for (size_t i = 0; i < n; ++i) {
        const double x = -122.2871234567 + at(random), y = 37.8112345678 + at(random) * 0.75;
        const double w = i % 3 == 0 ? size(random) : 0.0, h = i % 3 == 0 ? size(random) : 0.0;
        out.push_back({static_cast<int64_t>(i + 1), x, x + w, y, y + h});
    }
    return out;
}

TEST(GpkgRtree, PackedIndexIsSqlitesOwnAndATableWithoutRootIsRefused) {
    // No box, a root that is a leaf, a full root, one over (two levels) and three levels.
    for (const size_t n : {0, 1, 51, 52, 2602, 20000}) {
        SCOPED_TRACE(n);
        Db db;
        const std::vector<RtreeBox> given = boxes(n, static_cast<unsigned>(n));
        std::string error;
        ASSERT_TRUE(matchApp::fillRtree(db.db, "t", given, error)) << error;
        EXPECT_EQ(db.text("SELECT rtreecheck('t')"), "ok");
        EXPECT_EQ(db.text("SELECT count(*) FROM t"), std::to_string(n));
        EXPECT_EQ(db.text("SELECT count(*) FROM t_rowid"), std::to_string(n));
        // Each box's own corners find it: the stored box is rounded outwards, never inwards.
        for (size_t i = 0; i < given.size(); i += 97) {
            const RtreeBox& b = given[i];
            EXPECT_TRUE(db.ids(b.minX, b.minX, b.minY, b.minY).count(b.id)) << i;
            EXPECT_TRUE(db.ids(b.maxX, b.maxX, b.maxY, b.maxY).count(b.id)) << i;
        }
        // A window finds what a scan finds, give or take what lies within rounding of its edge.
        std::mt19937 random(7);
        for (int w = 0; w < 20; ++w) {
            const double x0 = -122.2871 + std::uniform_real_distribution<double>(0.0, 0.004)(random),
                         y0 = 37.8112 + std::uniform_real_distribution<double>(0.0, 0.003)(random);
            const double x1 = x0 + 0.0007, y1 = y0 + 0.0005, slack = 1e-5;
            const std::set<int64_t> found = db.ids(x0, x1, y0, y1);
            for (const RtreeBox& b : given) {
                const bool inside = b.maxX >= x0 && b.minX <= x1 && b.maxY >= y0 && b.minY <= y1;
                const bool near = b.maxX >= x0 - slack && b.minX <= x1 + slack && b.maxY >= y0 - slack &&
                                  b.minY <= y1 + slack;
                if (inside || !near) {
                    EXPECT_EQ(found.count(b.id), inside ? 1u : 0u) << b.id;
                }
            }
        }
        // SQLite goes on with the tree as if it had built it.
        db.exec("INSERT INTO t VALUES (1000000, -122.285, -122.284, 37.812, 37.813)");
        if (n > 0) db.exec("DELETE FROM t WHERE id = 1");
        for (int64_t id = 2; id < static_cast<int64_t>(n) && id < 400; id += 3)
            db.exec("DELETE FROM t WHERE id = " + std::to_string(id));
        EXPECT_EQ(db.text("SELECT rtreecheck('t')"), "ok");
        EXPECT_EQ(db.ids(-122.2845, -122.2845, 37.8125, 37.8125).count(1000000), 1u);
    }
    // A table without a root is refused.
    Db db;
    db.exec("DELETE FROM t_node");
    std::string error;
    EXPECT_FALSE(matchApp::fillRtree(db.db, "t", boxes(3, 1), error));
    EXPECT_NE(error.find("spatial index t"), std::string::npos) << error;
}

}  // namespace

namespace {

using nlohmann::json;

// The small run with its fixes 10 s apart and a name that must not end the page's script.
struct DrawnRun : karvel_test::SmallRun {
    explicit DrawnRun(const std::string& name = "run \"7\" </script>") : SmallRun(name, 10) {}
    matchApp::TraceOnMap laid() const {
        const auto map = mapRepresentation::CompactMap::build(world.map);
        return matchApp::layOnMap(route, paths, map, mapRepresentation::LinkGraph::fromMap(map));
    }
    std::string page() const {
        const matchApp::TraceOnMap l = laid();
        std::ostringstream out;
        htmlView::writePage(out, htmlView::summarize(route, l),
                            htmlView::pageData(route, l, mapRepresentation::CompactMap::build(world.map)));
        return out.str();
    }
};

// The JSON a page hands its script.
json pageJson(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=\"karvel-data\">";
    const size_t from = page.find(open) + open.size();
    return json::parse(page.substr(from, page.find("</script>", from) - from));
}

}  // namespace

TEST(HtmlView, SummaryRoadsAndNotesThePageCarries) {
    const DrawnRun run;
    const htmlView::TraceSummary s = htmlView::summarize(run.route, run.laid());
    // x = 10 to 290, and 20 to 80 on the lone road.
    EXPECT_EQ(std::tuple(s.fixes, s.placed, s.pieces, std::round(s.lengthMetres), s.seconds, s.start),
              std::tuple(7u, 6u, 2u, 280.0 + 60.0, 60u, "2020-06-01T12:00:00Z"));

    const std::string page = run.page();
    const auto back = htmlView::summaryOfPage(page);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tuple(back->name, back->placed, back->seconds), std::tuple(run.route.name, 6u, 60u));
    EXPECT_NEAR(back->lengthMetres, s.lengthMetres, 0.05);
    EXPECT_FALSE(htmlView::summaryOfPage("<html></html>"));
    // The name's "</script>" ends no element: only the page's four scripts close.
    EXPECT_EQ(karvel_test::occurrences(page, "</script>"), 4u);
    for (const char* shown : {"<h1>run &quot;7&quot; &lt;/script&gt;</h1>", "<td>6 (85.7 %)</td>",
                              "<td>0:01:00</td>", ".leaflet-container"})
        EXPECT_NE(page.find(shown), std::string::npos) << shown;
    // Offline: nothing is loaded from elsewhere, and the library is inline.
    EXPECT_EQ(std::min(page.find(" src="), page.find("<link")), std::string::npos);

    const json data = pageJson(page);
    const auto& fixes = data["fixes"];
    EXPECT_EQ(fixes["link"], json::parse("[1,1,3,3,0,6,6]"));
    EXPECT_EQ(fixes["piece"], json::parse("[0,0,0,0,-1,1,1]"));
    // Seconds since 1970, then the steps; decimetres to the road (5 m off in the fixture's own plane).
    EXPECT_EQ(json::array({fixes["t"][0], fixes["t"][1], fixes["dist"][0], fixes["dist"][4]}),
              json::parse("[1591012800, 10, 51, 0]"));
    // Positions are steps of millionths of a degree: the first two add up to the second fix.
    EXPECT_NEAR((fixes["lat"][0].get<double>() + fixes["lat"][1].get<double>()) / 1e6,
                run.route.nodes[1].position.lat, 1e-6);
    EXPECT_NEAR((fixes["lon"][0].get<double>() + fixes["lon"][1].get<double>()) / 1e6,
                run.route.nodes[1].position.lon, 1e-6);
    EXPECT_EQ(data["pieces"].size(), 2u);

    // Roads within the trace's box and a margin, each drawn once: the two links of the last stretch
    // (3 and 5) are one two-way road; the rest are one-way; the road 5 km away is left out.
    const json links = data["roads"]["links"];
    ASSERT_EQ(links.size(), 5u * 4);  // id, origin, destination, the other way's id (0: one-way)
    std::map<int, int> otherWay;
    for (size_t k = 0; k < links.size(); k += 4) otherWay[links[k].get<int>()] = links[k + 3].get<int>();
    EXPECT_EQ(otherWay, (std::map<int, int>{{1, 0}, {2, 0}, {3, 5}, {4, 0}, {6, 0}}));

    // Through the result writer, the popups of roads with a row in the link table carry its way, name
    // and speed limit; roads without one carry nothing.
    const mapRepresentation::LinkTable table = attributeTable("Rua Nova");
    ResultWriter writer(ResultFormat::Html, run.world.map);
    writer.useLinkTable(&table);
    writer.add(run.route, run.paths, run.unmatched);
    std::ostringstream out;
    writer.write(out);
    const json notes = pageJson(out.str())["notes"];
    EXPECT_EQ(notes, json::parse(R"({"1": {"way": 77, "name": "Rua Nova", "speed": 50.0}})")) << notes.dump();
}

// Several traces: a page each beside the index (names made safe and unique), the index last.
TEST(HtmlView, SeveralTracesGetAPageEachAndAnIndex) {
    const DrawnRun a("a/b"), b("a:b");
    karvel_test::TempDir dir;
    ResultWriter writer(ResultFormat::Html, a.world.map);
    writer.add(a.route, a.paths, a.unmatched);
    std::string error;
    ASSERT_TRUE(writer.writeFile(dir / "one.html", error)) << error;
    EXPECT_TRUE(htmlView::summaryOfPage(dir.read("one.html")));

    writer.add(b.route, b.paths, b.unmatched);
    ASSERT_TRUE(writer.writeFile(dir / "run.html", error)) << error;
    const std::string index = dir.read("run.html");
    for (const char* row : {"<a href=\"run-a_b.html\">a/b</a>", "<a href=\"run-a_b-2.html\">a:b</a>",
                            "<td>2 traces</td><td>14</td><td>85.7 %</td>"})
        EXPECT_NE(index.find(row), std::string::npos) << index;
    EXPECT_EQ(htmlView::summaryOfPage(dir.read("run-a_b-2.html"))->name, "a:b");
    EXPECT_FALSE(writer.writeFile(dir / "missing/run.html", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);

    // An index over pages written elsewhere, as a merge of several runs makes it.
    std::filesystem::create_directories(dir / "merged");
    ASSERT_TRUE(htmlView::writeIndexOfPages(dir / "merged/all.html",
                                            {dir / "run-a_b-2.html", dir / "one.html"}, error))
        << error;
    const std::string merged = dir.read("merged/all.html");
    EXPECT_LT(merged.find("<a href=\"../run-a_b-2.html\">a:b</a>"),
              merged.find("<a href=\"../one.html\">a/b</a>"));
}

// Chromium opens the page from disk with no network: the script ran without error and drew every
// fix, placed point and piece; the screenshot shows the first piece's colour and the unmatched fix.
TEST(HtmlView, PageDrawsInARealBrowser) {
    const DrawnRun run;
    karvel_test::TempDir dir;
    dir.write("page.html", run.page());
    const karvel_test::BrowserPage page = karvel_test::renderedDom(dir / "page.html");
    if (!page.ok) {
        if (const auto why = karvel_test::browserUnavailable()) GTEST_SKIP() << *why;
        FAIL() << "Chromium could not show the page: " << page.log;
    }
    std::string drawn;
    for (const char* name : {"data-error", "data-status", "data-fixes", "data-placed", "data-unmatched",
                             "data-pieces", "data-roads", "data-painted"})
        drawn += karvel_test::bodyAttribute(page.dom, name).value_or("-") + " ";
    EXPECT_EQ(drawn, "- drawn 7 6 1 2 5 7 ") << page.log;

    const auto shot = karvel_test::screenshot(dir / "page.html", 900, 600);
    ASSERT_TRUE(shot);
    // Left of the panel (whose legend shows the same colours): the first piece and the unmatched fix.
    EXPECT_GT(shot->count(0xd7, 0x19, 0x1c, 900 - 330), 50u);
    EXPECT_GT(shot->count(0xff, 0x2d, 0x2d, 900 - 330), 10u);
}
