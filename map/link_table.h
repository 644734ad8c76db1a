// What a map link is in OpenStreetMap: the way it was cut from, the OSM nodes at its ends, the road's
// name, number, class, speed limit and one-way flag. The importer writes it beside the map file as
// CSV (<map>.links.csv); the map file itself knows nothing of it, so a map without the table (drawn
// by hand, built from drives) simply has no attributes.
//
// Every row names the link's two map nodes too. Writing the table and the map cannot be one atomic
// step, and a map edited later may give an id other ends; a row whose link is not in the map with
// the same ends is therefore dropped when the table is read, instead of lending its way to a
// different road.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "map/compact_map.h"
#include "map/maps.h"

namespace mapRepresentation {

struct LinkAttributes {
    int64_t wayId = 0;     // 0: no OSM way (a link added from drives, or no table)
    int64_t fromNode = 0;  // OSM node at the link's origin; 0: none
    int64_t toNode = 0;    // OSM node at the link's destination
    std::string name;
    std::string ref;
    std::string highway;
    std::optional<double> maxspeed;  // km/h
    std::optional<bool> oneway;      // the road may be driven only in this link's direction
};

// OSM's maxspeed in km/h: a plain number, or a number followed by "mph", "km/h", "kmh", "kph" or
// "knots". Anything else ("none", "walk", "RU:urban", "50;30") gives nothing.
std::optional<double> parseMaxspeed(const std::string& text);

// The table's text, row by row, for writers with or without a Map: the header line when made, then
// a row per link in ascending id order, gathered in a buffer that goes to `out` in large pieces.
class LinkTableWriter {
public:
    explicit LinkTableWriter(std::ostream& out);
    ~LinkTableWriter();
    LinkTableWriter(const LinkTableWriter&) = delete;
    LinkTableWriter& operator=(const LinkTableWriter&) = delete;
    // `attributes` null for a link without any; `length` in metres.
    void row(int id, uint32_t origin, uint32_t destination, const LinkAttributes* attributes, double length);
    void flush();

private:
    std::ostream& out;
    std::string buf;
};

class LinkTable {
public:
    // "<map>.links.csv": the map path with ".links.csv" appended.
    static std::string pathBeside(const std::string& mapPath);

    void set(int link, LinkAttributes attributes);
    // The attributes of a link, or null when the table has none for it.
    const LinkAttributes* find(int link) const;
    size_t size() const { return count; }
    bool empty() const { return count == 0; }

    // A row per link of the map in ascending id order, with the map's ends and length; links the
    // table lacks get empty attribute columns. A link read from a table whose end has moved since
    // (a map edited after reading, e.g. a link split at a new node) keeps its way but loses the OSM
    // node of that end, and loses everything when both ends moved.
    void write(std::ostream& out, const Map& map) const;
    // Replaces `path` only when the whole table is written.
    bool save(const std::string& path, const Map& map, std::string& error) const;

    // What reading a table gave.
    struct Reading {
        bool found = false;  // the file exists
        size_t rows = 0;     // rows kept
        size_t dropped = 0;  // rows whose link is not in the map with those ends
        std::string error;   // set when the file exists but is no link table
    };
    static LinkTable read(std::istream& in, const CompactMap& map, Reading& reading);
    static LinkTable read(std::istream& in, const Map& map, Reading& reading);
    // A missing file is no error: the table is empty and reading.found is false.
    static LinkTable load(const std::string& path, const CompactMap& map, Reading& reading);
    static LinkTable load(const std::string& path, const Map& map, Reading& reading);

private:
    struct Entry {
        LinkAttributes attributes;
        uint32_t origin = 0, destination = 0;  // the map nodes when read; 0: not known
    };
    std::vector<std::optional<Entry>> byId;  // index: link id
    std::optional<LinkAttributes> attributesFor(int id, const _mLink& link) const;
    size_t count = 0;
};

}  // namespace mapRepresentation
