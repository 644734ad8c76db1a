// KARVEL as a library: load a road map once, match GPS traces held in memory onto it with the
// hidden-Markov matcher of karvel-match (the same code, so the two agree), and read per fix and per
// driven link what was matched, with the roads' OpenStreetMap attributes when the map has them.
//
//     karvel::Map map("data/map.txt");
//     karvel::Result r = map.match({.time = t, .latitude = lat, .longitude = lon});
//     for (const karvel::DrivenLink& l : r.route()) std::cout << l.name << "\n";
//
// A Map is immutable once loaded: any number of threads may match on one at the same time. Failures
// are thrown as karvel::Error, whose text is what the programs print after "ERROR: ".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "matching/hmm_params.h"

namespace karvel {

class MatchEngine;

// The matcher's parameters (see matching/hmm_params.h); withRadius keeps the wider searches in
// proportion, as karvel-match's --radius does.
using Params = MapMatching::HmmParams;
inline constexpr Params kDefaultParams = MapMatching::kHmmDefaults;

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// An argument that cannot be used: a parameter out of its range, columns that do not fit together.
class ArgumentError : public Error {
public:
    using Error::Error;
};
// A map or trace file that cannot be read, or not completely.
class FileError : public Error {
public:
    using Error::Error;
};

// A trace in memory, one entry per fix in every column, in the order driven. Speed and course are
// what the receiver reported; they may be left empty, and a NaN entry is one it did not report (the
// matcher takes a vehicle reported standing as standing, and weighs the course while it moves). A
// NaN time is an unknown one.
struct TraceView {
    std::span<const double> time{};       // seconds since 1970-01-01 UTC
    std::span<const double> latitude{};   // degrees, WGS84
    std::span<const double> longitude{};  // degrees, WGS84
    std::span<const double> speed{};      // m/s
    std::span<const double> course{};     // degrees clockwise from north
    std::string name = "trace";
};

// A trace read from a file, with its columns owned.
struct Trace {
    std::vector<double> time, latitude, longitude, speed, course;
    std::string name;
    TraceView view() const { return {time, latitude, longitude, speed, course, name}; }
};

// Reads a GPX log (".gpx") or an NMEA 0183 log (any other name) as karvel-match does.
Trace loadTrace(const std::string& path);

// Where one fix was matched. Unmatched fixes have link -1 and NaN positions and distances.
struct Fix {
    int32_t link = -1;                       // the map's link id
    int64_t wayId = 0;                       // the OSM way of the link, 0 when unknown
    double latitude = 0.0, longitude = 0.0;  // snapped onto the link
    double distance = 0.0;                   // metres from the fix to the link
    double offset = 0.0;                     // metres from the link's origin to the snapped position
    int32_t piece = -1;                      // the matched piece of the trace it belongs to
    double routeDistance = 0.0;              // metres driven since the first matched fix (NaN: none)
    double speed = 0.0;                      // km/h along the route since the piece's previous fix
    bool matched() const { return link >= 0; }
};

// One link of the decided route, in driving order, with the road it belongs to.
struct DrivenLink {
    int32_t piece = 0;
    int32_t link = 0;
    int64_t wayId = 0;  // 0: unknown
    std::string name, ref, highway;
    std::optional<double> maxspeed;  // km/h
    std::optional<bool> oneway;
    double entered = 0.0, left = 0.0;  // trace seconds (NaN untimed)
    double metres = 0.0;               // driven on it
    double speed = 0.0;                // km/h (NaN unknown)
};

class Result {
public:
    // The trace's fixes: fixes() has a row for each. The rows of fixes() and route() are made at the
    // first call of either, once, also when threads share the result.
    size_t size() const;
    const std::vector<Fix>& fixes() const;
    const std::vector<DrivenLink>& route() const;
    size_t matchedCount() const;
    // Why nothing was matched when no fix lies near a road ("" otherwise): the trace and the map do
    // not meet. karvel-match reports this as an error.
    const std::string& problem() const;
    // The GeoJSON FeatureCollection karvel-match --format geojson writes for this one trace.
    std::string toGeoJson() const;

private:
    friend class Map;
    struct Data;
    std::shared_ptr<const Data> data;
};

class Map {
public:
    // A map file (data/map.txt) with the link table beside it when there is one.
    explicit Map(const std::string& path);
    // The car roads of an OpenStreetMap extract (.osm, .osm.gz, .osm.bz2, .osm.pbf), imported as
    // karvel-osm2map does.
    static Map fromOsm(const std::string& path);

    size_t nodeCount() const;
    size_t linkCount() const;

    Result match(const TraceView& trace, const Params& params = kDefaultParams) const;

private:
    explicit Map(std::shared_ptr<const MatchEngine> engine);
    std::shared_ptr<const MatchEngine> engine;
};

}  // namespace karvel
