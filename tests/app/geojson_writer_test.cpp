// The GeoJSON text writer lays values out exactly as nlohmann::json's dump(2) does (results of
// earlier runs compare byte for byte), and the document checker the result tests rely on finds the
// faults it is there for.
#include "app/geojson_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "geojson_check.h"

namespace {

using nlohmann::ordered_json;

// Writes `value` through PrettyJson, member by member.
void writeValue(matchApp::PrettyJson& json, const ordered_json& value) {
    switch (value.type()) {
        case ordered_json::value_t::object:
            json.beginObject();
            for (const auto& [key, member] : value.items()) {
                json.key(key);
                writeValue(json, member);
            }
            json.endObject();
            break;
        case ordered_json::value_t::array:
            json.beginArray();
            for (const ordered_json& element : value) writeValue(json, element);
            json.endArray();
            break;
        case ordered_json::value_t::string:
            json.string(value.get<std::string>());
            break;
        case ordered_json::value_t::boolean:
            json.boolean(value.get<bool>());
            break;
        case ordered_json::value_t::number_float:
            json.number(value.get<double>());
            break;
        case ordered_json::value_t::number_integer:
        case ordered_json::value_t::number_unsigned:
            json.integer(value.get<int64_t>());
            break;
        default:
            json.null();
    }
}

}  // namespace

TEST(GeoJsonWriter, TextIsLaidOutAsTheLibraryDumpsIt) {
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
}

// The features of a trace join the collection's array after the ones already there.
TEST(GeoJsonWriter, FeaturesJoinAnArrayAlreadyBegun) {
    std::string text = "[";
    matchApp::PrettyJson json(text, 1, true, 0);
    json.integer(1);
    matchApp::PrettyJson more(text, 1, true, 1);
    more.beginObject();
    more.endObject();
    EXPECT_EQ(text, "[\n  1,\n  {}");

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

TEST(GeoJsonWriter, CheckerFindsTheFaultsOfADocument) {
    const auto faults = [](const std::string& geometry, const std::string& properties = "{}") {
        return karvel_test::geoJsonFaults(R"({"type": "FeatureCollection", "features": [{"type": "Feature",
            "geometry": )" + geometry + R"(, "properties": )" +
                                          properties + "}]}")
            .size();
    };
    EXPECT_EQ(faults(R"({"type": "LineString", "coordinates": [[1.5, 42.5], [1.6, 42.5]]})"), 0u);
    EXPECT_EQ(faults("null", R"({"time": null, "entered": "2020-06-01T12:00:01.2Z", "name": "A"})"), 0u);
    EXPECT_EQ(faults(R"({"type": "LineString", "coordinates": [[1.5, 42.5]]})"), 1u);
    EXPECT_EQ(faults(R"({"type": "LineString", "coordinates": [[1.5, 42.5], [1.5, 42.5]]})"), 1u);
    EXPECT_EQ(faults(R"({"type": "MultiLineString", "coordinates": [[[1, 2], [1, 3]], [[1, 2]]]})"), 1u);
    EXPECT_EQ(faults(R"({"type": "Point", "coordinates": [42.5, 100.5]})"), 1u);
    EXPECT_EQ(faults(R"({"type": "Point", "coordinates": [1.5]})"), 1u);
    EXPECT_EQ(faults(R"({"type": "Curve", "coordinates": []})"), 1u);
    EXPECT_EQ(faults("null", R"({"time": ""})"), 1u);
    EXPECT_EQ(faults("null", R"({"name": "", "speed_kmh": -1})"), 2u);
    EXPECT_FALSE(karvel_test::geoJsonFaults(R"({"type": "FeatureCollection", "features": [)").empty());
}
