// A checker of GeoJSON documents: RFC 7946's rules for the document, its features and the geometries
// KARVEL writes (and what simple-features readers need of a line: two distinct positions), then the
// conventions of KARVEL's results (times are ISO 8601 UTC or null, never empty text; absent attributes are
// null).
#pragma once

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

namespace karvel_test {

namespace geojson_detail {

using nlohmann::json;

struct Walk {
    std::vector<std::string> faults;
    void fault(const std::string& where, const std::string& what) { faults.push_back(where + ": " + what); }

    bool position(const json& p, const std::string& where) {
        if (!p.is_array() || p.size() < 2 || p.size() > 3 ||
            !std::all_of(p.begin(), p.end(), [](const json& n) { return n.is_number(); })) {
            fault(where, "a position is an array of two or three numbers");
            return false;
        }
        const double lon = p[0].get<double>(), lat = p[1].get<double>();
        if (!(std::fabs(lon) <= 180.0) || !(std::fabs(lat) <= 90.0))
            fault(where, "longitude first, within [-180, 180], latitude within [-90, 90]");
        return true;
    }
    void line(const json& c, const std::string& where) {
        if (!c.is_array() || c.size() < 2) return fault(where, "a line needs two or more positions");
        bool distinct = false;
        for (const json& p : c) {
            if (!position(p, where)) return;
            distinct = distinct || p != c.front();
        }
        if (!distinct) fault(where, "a line whose positions are all one point");
    }
    // The geometry types KARVEL writes; any other is a fault here.
    void geometry(const json& g, const std::string& where) {
        if (g.is_null()) return;
        if (!g.is_object() || !g.contains("type") || !g["type"].is_string() || !g.contains("coordinates") ||
            !g["coordinates"].is_array())
            return fault(where, "a geometry is an object with a type and coordinates");
        const std::string type = g["type"];
        const json& c = g["coordinates"];
        if (type == "Point") {
            position(c, where);
        } else if (type == "LineString") {
            line(c, where);
        } else if (type == "MultiLineString") {
            for (const json& l : c) line(l, where);
        } else {
            fault(where, "no geometry type KARVEL writes: " + type);
        }
    }
    // KARVEL's own conventions for the properties.
    void properties(const json& p, const std::string& where) {
        static const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d)?Z)");
        for (const char* key : {"time", "entered", "left"})
            if (p.contains(key) && !p[key].is_null() &&
                !(p[key].is_string() && std::regex_match(p[key].get<std::string>(), time)))
                fault(where, std::string(key) + " is an ISO 8601 UTC time or null: " + p[key].dump());
        for (const char* key : {"name", "ref", "highway"})
            if (p.contains(key) && !p[key].is_null() &&
                (!p[key].is_string() || p[key].get<std::string>().empty()))
                fault(where, std::string(key) + " is text or null");
        for (const char* key : {"speed_kmh", "distance_m", "offset_m", "route_distance_m", "driven_m"})
            if (p.contains(key) && !p[key].is_null() && !(p[key].is_number() && p[key].get<double>() >= 0))
                fault(where, std::string(key) + " is a number of zero or more, or null");
    }
};

}  // namespace geojson_detail

// Every fault of `text` as a GeoJSON document, one line each; none for a valid one.
inline std::vector<std::string> geoJsonFaults(const std::string& text) {
    using nlohmann::json;
    geojson_detail::Walk walk;
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        return {std::string("not JSON: ") + e.what()};
    }
    if (!doc.is_object() || doc.value("type", "") != "FeatureCollection" || !doc.contains("features") ||
        !doc["features"].is_array())
        return {"the document is a FeatureCollection with an array of features"};
    if (doc.contains("crs")) walk.fault("document", "RFC 7946 has no crs member");
    for (size_t i = 0; i < doc["features"].size(); ++i) {
        const json& f = doc["features"][i];
        const std::string where = "feature " + std::to_string(i);
        if (!f.is_object() || f.value("type", "") != "Feature" || !f.contains("geometry") ||
            !f.contains("properties")) {
            walk.fault(where, "a Feature has a type, a geometry and properties");
            continue;
        }
        walk.geometry(f["geometry"], where);
        if (f["properties"].is_object())
            walk.properties(f["properties"], where);
        else if (!f["properties"].is_null())
            walk.fault(where, "properties are an object or null");
    }
    return walk.faults;
}

}  // namespace karvel_test
