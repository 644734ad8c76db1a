// The text map file, read and written in one place for every form a map takes in memory: the
// editable Map, and the flat arrays of the compact form, which a country's map is built into without
// ever holding the editable one.
//
// Layout: the node count, then a line per node "id  longitude  latitude averageSnr hdop"; the link
// count, then a line per link "origin  destination speed samples" (links are numbered 1, 2, ... in
// file order); nothing after but blank lines.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace mapRepresentation {

struct BulkNode;
struct BulkLink;

// What the reader hands over, line by line. Refusals are the reader's: the sink only says whether
// a node is there already and whether a link could be added.
class MapTextSink {
public:
    virtual ~MapTextSink() = default;
    // How many node or link lines are to come, as far as the file can hold them: room worth keeping.
    virtual void expectNodes(uint64_t) {}
    virtual void expectLinks(uint64_t) {}
    virtual bool hasNode(uint32_t id) const = 0;
    // Called for a repeated id too (after hasNode said so); the sink keeps the first.
    virtual void addNode(uint32_t id, double lat, double lon, double averageSnr, double hdop) = 0;
    // After the node lines, before any link: every node is known.
    virtual void nodesRead(uint32_t nextNodeId) = 0;
    // A link line refused before it reached the sink still takes its id.
    virtual void skipLinkId() = 0;
    // False when the link cannot be added (its ends are one node, or an end is no node).
    virtual bool addLink(uint32_t origin, uint32_t destination, double speed, uint32_t samples) = 0;
};

// Reads the map file at `path` into `sink`; its faults go to `messages` as ERROR lines. Returns true
// when something of the file could not be read or was refused (the sink then holds only part of
// it). A missing file is an empty map and no fault.
bool readMapText(const std::string& path, MapTextSink& sink, std::ostream& messages);

// Formats the map file: doubles in fixed notation with 9 decimals (the same text as a stream set to
// std::fixed and precision 9), collected in a buffer that goes to `out` in large pieces.
class MapTextWriter {
public:
    explicit MapTextWriter(std::ostream& out);
    ~MapTextWriter();
    MapTextWriter(const MapTextWriter&) = delete;
    MapTextWriter& operator=(const MapTextWriter&) = delete;

    void count(uint64_t n);
    void node(uint32_t id, double lat, double lon, double averageSnr, double hdop);
    void link(uint32_t origin, uint32_t destination, double speed, uint32_t samples);
    // The extended dump's link line: its id, heading and length too (its node lines carry the
    // planar position where the others carry averageSnr and hdop).
    void link(int32_t id, uint32_t origin, uint32_t destination, double heading, double length, double speed,
              uint32_t samples);
    void flush();

private:
    void number(double v);
    void number(uint64_t v);
    void number(int64_t v);
    void endLine();

    std::ostream& out;
    std::string buf;
};

// Writes a map file of `nodes` (ascending ids) and `links` (ids 1, 2, ... in order) the way
// Map::saveMap writes the same map, replacing `path` only when complete. False (with an ERROR line
// on `messages`) on failure.
bool saveMapText(const std::string& path, const std::vector<BulkNode>& nodes,
                 const std::vector<BulkLink>& links, std::ostream& messages);

}  // namespace mapRepresentation
