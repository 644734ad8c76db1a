// The read-only form of a map for the programs that only match against it or read results on it:
// node positions, links with their planar geometry, the links leaving each node and a grid over the
// link segments, as flat arrays in one block of bytes. The block is either built in memory from a
// loaded Map or mapped from a file beside the text map ("<map>.compact"), so a program that starts on
// a country parses nothing and keeps resident only the pages its queries touch.
//
// The file is a cache of the text map, which stays the file of record: it carries the size, time,
// inode and a checksum of the text it was built from, and is used only while the text is unchanged.
// Each section is cut into slices, and a table at the file's end holds every slice's checksum and the
// first and last of its ordered values. Opening checks the header and the table only (a country opens
// in a millisecond); a slice is checked, checksum and every index in it, the first time a query
// reaches it, and a slice that fails is never served: the damage handler ends the program (or, in a
// library, throws) with a message that says to delete the file.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/plane_frame.h"

namespace mapRepresentation {

class Map;
struct CompactParts;
struct BulkNode;
struct BulkLink;

// One node: as read from the map file, and measured in the map's plane.
struct CompactNode {
    double latitude = 0.0;
    double longitude = 0.0;
    double easting = 0.0;
    double northing = 0.0;
};

// One directed link between two nodes, by dense node index (the position in ascending node id).
struct CompactLink {
    static constexpr uint32_t kNoLink = 0xFFFFFFFFu;
    int32_t id = -1;      // the map's link id
    uint32_t origin = 0;  // dense node index
    uint32_t destination = 0;
    uint32_t padding = 0;       // the record's holes are named and zero, so its bytes are all defined
    Point a{}, b{};             // planar end points, origin then destination
    double length = 0.0;        // metres, |b - a|
    uint32_t mirror = kNoLink;  // dense index of the link from destination back to origin, if any
    uint32_t tailPadding = 0;
};

// What a map file was when its compact form was made; the form serves only that file.
struct SourceStamp {
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t inode = 0;
    uint64_t checksum = 0;
    int64_t takenNs = 0;  // when the stamp was taken: a file changed within its time tick looks alike
};

// A 64-bit checksum of bytes (a fast multiply-rotate hash; a guard against damage, not against intent).
uint64_t checksumBytes(const void* data, size_t size);
// The stamp of the file at `path` now, its contents checksummed; nothing when it cannot be read.
std::optional<SourceStamp> stampFile(const std::string& path);

// The nodes' extent in latitude and longitude.
struct CompactArea {
    double south = 0.0, west = 0.0, north = 0.0, east = 0.0;
};

class CompactMap {
public:
    static constexpr uint32_t kFormatVersion = 2;
    // The arrays of the form, in the order the file holds them.
    enum Section : uint8_t {
        kNodeIds,
        kNodes,
        kLinks,
        kOutStart,
        kOutLinks,
        kCellKeys,
        kCellStart,
        kCellLinks
    };
    static constexpr size_t kSections = 8;
    static constexpr double kCellSize = 100.0;  // metres per grid cell

    // "<map>.compact": the map path with ".compact" appended.
    static std::string pathBeside(const std::string& mapPath);

    // The compact form of a loaded map (every node, every link whose ends are nodes), in memory.
    static CompactMap build(const Map& map, const SourceStamp& source = {});
    // Maps the file and checks it; nothing (and `why` says what is wrong) when it is no sound
    // compact map of this program's format.
    static std::optional<CompactMap> open(const std::string& path, std::string& why);
    // Writes the form to `path`, replacing it only when complete. False (with `why`) on failure.
    bool save(const std::string& path, std::string& why) const;
    // Whether the form was made from the file at `mapPath` as it is now.
    bool servesFile(const std::string& mapPath) const;

    // Called with the message (no "ERROR: ") when a slice of a mapped file fails its check; it must
    // not return. The default prints an ERROR line on standard output and ends the program with
    // status 1: the results so far cannot be trusted, and the next start would meet the same damage.
    using DamageHandler = void (*)(const std::string& message);
    static void onDamage(DamageHandler handler);
    // Checks every slice not checked yet, without calling the handler: "" when all are sound, else
    // what the handler would be told of the first damaged one.
    std::string checkAll() const;

    const geo::PlaneFrame& planeFrame() const { return frame; }
    Point toPlane(double lat, double lon) const { return frame.toPlane(_position{lat, lon}); }
    const SourceStamp& source() const;

    uint32_t nodeCount() const { return static_cast<uint32_t>(nodeIds.size()); }
    uint32_t linkCount() const { return static_cast<uint32_t>(links.size()); }
    // The nodes' extent; nothing for a map without nodes.
    std::optional<CompactArea> area() const;
    // Dense access, index below the count.
    uint32_t nodeId(uint32_t index) const { return at(kNodeIds, nodeIds, index); }
    const CompactNode& node(uint32_t index) const { return at(kNodes, nodes, index); }
    const CompactLink& link(uint32_t index) const { return at(kLinks, links, index); }
    // By map id: null or -1 when the map has no such node or link.
    const CompactNode* findNode(uint32_t id) const;
    int64_t nodeIndexOf(uint32_t id) const;
    int64_t linkIndexOf(int32_t id) const;
    const CompactLink* findLink(int32_t id) const;
    bool hasLink(int32_t id) const { return linkIndexOf(id) >= 0; }
    // A node's position; (0, 0) for an unknown node.
    _position nodePosition(uint32_t id) const;
    // The map node ids at a link's ends.
    uint32_t originId(const CompactLink& l) const { return nodeId(l.origin); }
    uint32_t destinationId(const CompactLink& l) const { return nodeId(l.destination); }

    // Links leaving dense node n, in ascending link id.
    std::span<const uint32_t> linksFrom(uint32_t node) const {
        return ranged(kOutStart, outStart, kOutLinks, outLinks, node);
    }

    // The segment grid: cells of kCellSize metres, each with the links touching it. The links of the
    // cell with this key (see cellKey), none when no link touches it.
    std::span<const uint32_t> gridLinksAt(int64_t key) const;
    bool gridEmpty() const { return cellKeys.empty(); }
    static int64_t cellOf(double v);
    static int64_t cellKey(int64_t cx, int64_t cy);

    // Recomputes the slice table and the checksums of an image laid out in place, as the writer makes
    // them. An image whose header or layout is unsound is left as it is.
    static void seal(std::span<std::byte> image);

    // The bytes of the form, as the file holds them.
    std::span<const std::byte> bytes() const { return image; }

private:
    friend class CompactBuilder;
    static constexpr uint8_t kUnchecked = 0, kSound = 1;
    struct Slices;  // the table, each slice's state, and what to call the file

    // Element i of a section, its slice checked first (once: afterwards a single load).
    template <typename T>
    const T& at(Section s, std::span<const T> items, size_t i) const {
        touch(s, i * sizeof(T), (i + 1) * sizeof(T));
        return items[i];
    }
    // The stretch of `items` that offsets[i] .. offsets[i + 1] names.
    std::span<const uint32_t> ranged(Section so, std::span<const uint32_t> offsets, Section si,
                                     std::span<const uint32_t> items, size_t i) const {
        touch(so, i * 4, (i + 2) * 4);
        const uint32_t from = offsets[i], to = offsets[i + 1];
        if (to > from) touch(si, size_t{from} * 4, size_t{to} * 4);
        return items.subspan(from, to - from);
    }
    // Checks the slices of section s that hold its bytes [from, to), unless checked already.
    void touch(Section s, size_t from, size_t to) const {
        const size_t first = sliceBase[s] + (from >> sliceShift),
                     last = sliceBase[s] + ((to - 1) >> sliceShift);
        for (size_t k = first; k <= last; ++k)
            if (state[k].load(std::memory_order_acquire) != kSound) checkSlice(k);
    }
    // Checks slice k; the damage handler is called when it fails.
    void checkSlice(size_t k) const;
    // "" when slice k is sound, else what is wrong with it.
    std::string sliceProblem(size_t k) const;
    // The slice of section s whose last ordered value is the first not below `key`; sliceBase[s + 1]
    // when there is none.
    size_t sliceFor(Section s, int64_t key) const;
    std::pair<size_t, size_t> sliceHolding(Section s, int64_t key, size_t count) const;
    // Lays the parts out in memory, emptying them.
    static CompactMap inMemory(CompactParts& parts, const SourceStamp& source);

    std::shared_ptr<const void> owner;  // keeps the bytes alive (a mapping or a buffer)
    std::span<const std::byte> image;
    geo::PlaneFrame frame;
    std::span<const uint32_t> nodeIds;
    std::span<const CompactNode> nodes;
    std::span<const CompactLink> links;
    std::span<const uint32_t> outStart;
    std::span<const uint32_t> outLinks;
    std::span<const int64_t> cellKeys;
    std::span<const uint32_t> cellStart;
    std::span<const uint32_t> cellLinks;
    std::shared_ptr<Slices> slices;
    std::atomic<uint8_t>* state = nullptr;  // per slice, owned by `slices`
    std::array<size_t, kSections + 1> sliceBase{};
    unsigned sliceShift = 0;

    // Lays the spans over an image whose header and slice table pass their checks; nothing (with
    // `why`) otherwise. `name`: the file's path for messages, or empty for an image just laid out in
    // memory, whose slices are taken as sound.
    static std::optional<CompactMap> over(std::shared_ptr<const void> owner, std::span<const std::byte> image,
                                          std::string& why, const std::string& name);
};

// The compact form read straight from a map text, never holding the editable map: for a country,
// the form's own arrays instead of a map several times their size, laid out into the file section by
// section. Only a text the map loader reads without a word, its nodes in ascending id order (as every
// program writes them), is taken; anything else is the loader's to read and report.
class CompactBuilder {
public:
    CompactBuilder();
    ~CompactBuilder();
    // False (and nothing kept) for a text the loader would refuse part of, or one out of order.
    bool readText(const std::string& mapPath);
    // What readText gives for the text saveMapText writes of these arrays, without writing or reading
    // it: sound arrays (as buildInBulk takes them) whose positions have at most 9 decimals, which the
    // text keeps exactly (OpenStreetMap's have 7). The arrays are emptied as they are read.
    void readArrays(std::vector<BulkNode>&& nodes, std::vector<BulkLink>&& links);
    // The form of what was read, in memory or written to `path` (replaced only when complete). Either
    // leaves the builder empty, whether it succeeds or not.
    CompactMap inMemory(const SourceStamp& source);
    bool save(const std::string& path, const SourceStamp& source, std::string& why);

private:
    std::unique_ptr<CompactParts> parts;
};

// What loading a map for reading gave.
struct ReadOnlyMap {
    std::optional<CompactMap> map;  // set unless the text could not be read at all
    bool loadError = false;         // the text was read only in part (its loader said where)
    bool fromFile = false;          // the form beside the text served it
    std::string note;               // why the form beside the text was not used or not written
};

// The compact form of the text map at `mapPath`: the file beside it when that was made from this
// very text; otherwise the text is read (its loader's messages go to standard output as usual), and
// the form built from it is saved beside it for the next start, under the map's lock. A folder that
// cannot take the file, or a map another program holds, leaves the form in memory only; a text read
// only in part is never saved.
ReadOnlyMap loadReadOnlyMap(const std::string& mapPath);

// Reads the text map at `mapPath` as the programs will read it and saves its compact form beside it,
// for a program that has just written the map and still holds its lock. False (with `why`) when the
// text cannot be read completely or the form cannot be written.
bool writeCompactBeside(const std::string& mapPath, std::string& why);
// The same for a program that has just written the map from these arrays with saveMapText: the form
// is made from the arrays (emptied on the way) instead of reading the text back.
bool writeCompactBeside(const std::string& mapPath, std::vector<BulkNode>&& nodes,
                        std::vector<BulkLink>&& links, std::string& why);

}  // namespace mapRepresentation
