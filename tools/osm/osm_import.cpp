#include "tools/osm/osm_import.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <limits>
#include <osmium/io/any_input.hpp>
#include <osmium/osm/location.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/way.hpp>
#include <sstream>
#include <unordered_map>

#include "geometry/plane_frame.h"
#include "map/atomic_file.h"
#include "map/compact_map.h"
#include "map/map_text.h"

using mapRepresentation::AtomicFile;

namespace osmImport {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Which ways a link is made for, per segment of a kept way.
enum Direction : uint8_t { kForward = 1, kBackward = 2, kBoth = 3 };

bool isOneOf(const char* value, std::initializer_list<const char*> options) {
    if (value == nullptr) return false;
    for (const char* o : options)
        if (std::strcmp(value, o) == 0) return true;
    return false;
}

// The road classes a car may use.
bool isCarHighway(const char* highway, bool keepService) {
    if (keepService && std::strcmp(highway, "service") == 0) return true;
    return isOneOf(highway, {"motorway", "trunk", "primary", "secondary", "tertiary", "unclassified",
                             "residential", "living_street", "motorway_link", "trunk_link", "primary_link",
                             "secondary_link", "tertiary_link"});
}

// Car access: the most specific of the access keys present decides, so that
// access=no + motor_vehicle=yes stays open and motor_vehicle=no closes a residential street.
bool carMayUse(const osmium::TagList& tags, bool keepPrivate) {
    for (const char* key : {"motorcar", "motor_vehicle", "vehicle", "access"}) {
        const char* value = tags.get_value_by_key(key);
        if (value == nullptr) continue;
        if (std::strcmp(value, "no") == 0) return false;
        if (std::strcmp(value, "private") == 0) return keepPrivate;
        return true;
    }
    return true;
}

// 0 when the way is no car road, else the directions it may be driven in.
uint8_t roadDirection(const osmium::TagList& tags, const ImportOptions& options) {
    const char* highway = tags.get_value_by_key("highway");
    if (highway == nullptr || !isCarHighway(highway, options.keepService)) return 0;
    if (isOneOf(tags.get_value_by_key("area"), {"yes"})) return 0;
    // Roads being built or planned keep their future class with one of these tags.
    for (const char* key : {"construction", "proposed"}) {
        const char* value = tags.get_value_by_key(key);
        if (value != nullptr && !isOneOf(value, {"no", "minor"})) return 0;
    }
    if (!carMayUse(tags, options.keepPrivate)) return 0;

    const char* oneway = tags.get_value_by_key("oneway");
    if (isOneOf(oneway, {"yes", "true", "1"})) return kForward;
    if (isOneOf(oneway, {"-1", "reverse"})) return kBackward;
    if (isOneOf(oneway, {"no", "false", "0"})) return kBoth;
    // Implied one-way; other values (reversible, alternating) leave the road two-way.
    if (isOneOf(tags.get_value_by_key("junction"), {"roundabout", "circular"}) ||
        std::strcmp(highway, "motorway") == 0)
        return kForward;
    return kBoth;
}

// Progress of one pass through the file, as a percentage of the bytes read.
class Progress {
public:
    Progress(const ImportOptions& options, const char* phase, std::size_t fileSize)
        : out(fileSize >= options.progressMinBytes ? options.progress : nullptr),
          inPlace(options.progressInPlace),
          phase(phase),
          size(fileSize) {}

    void update(std::size_t offset) {
        if (out == nullptr || size == 0) return;
        const int percent = static_cast<int>(std::min<std::size_t>(100, offset * 100 / size));
        const int step = inPlace ? 1 : 10;
        if (percent / step <= shown / step) return;
        print(percent - percent % step);
    }

    void finish() {
        if (out == nullptr) return;
        if (shown < 100) print(100);
        if (inPlace) *out << '\n';
        out->flush();
    }

private:
    void print(int percent) {
        if (inPlace) *out << '\r';
        *out << "karvel-osm2map: " << phase << ' ' << percent << '%';
        if (!inPlace) *out << '\n';
        out->flush();
        shown = percent;
    }

    std::ostream* out;
    bool inPlace;
    const char* phase;
    std::size_t size;
    int shown = 0;
};

struct KeptWay {
    std::size_t first;  // index of its first reference
    std::size_t count;  // number of references
    uint8_t direction;
};

// What the link table says of the links of one kept way. Texts are kept once in a pool: names and
// classes repeat over thousands of ways.
struct WayTags {
    int64_t osmId = 0;
    uint32_t name = 0, ref = 0, highway = 0;          // indices into the pool; 0 is ""
    float maxspeedForward = 0, maxspeedBackward = 0;  // km/h, 0: unknown
};

class TextPool {
public:
    TextPool() : texts(1) {}
    uint32_t add(const char* text) {
        if (text == nullptr || *text == '\0') return 0;
        const auto [it, inserted] = index.try_emplace(text, static_cast<uint32_t>(texts.size()));
        if (inserted) texts.emplace_back(text);
        return it->second;
    }
    const std::string& operator[](uint32_t i) const { return texts[i]; }

private:
    std::vector<std::string> texts;
    std::unordered_map<std::string, uint32_t> index;
};

float maxspeedTag(const osmium::TagList& tags, const char* key) {
    const char* value = tags.get_value_by_key(key);
    if (value == nullptr) return 0;
    return static_cast<float>(mapRepresentation::parseMaxspeed(value).value_or(0.0));
}

WayTags wayTags(const osmium::Way& way, TextPool& pool) {
    const osmium::TagList& tags = way.tags();
    WayTags w;
    w.osmId = way.id();
    w.name = pool.add(tags.get_value_by_key("name"));
    w.ref = pool.add(tags.get_value_by_key("ref"));
    w.highway = pool.add(tags.get_value_by_key("highway"));
    const float both = maxspeedTag(tags, "maxspeed");
    const float forward = maxspeedTag(tags, "maxspeed:forward");
    const float backward = maxspeedTag(tags, "maxspeed:backward");
    w.maxspeedForward = forward > 0 ? forward : both;
    w.maxspeedBackward = backward > 0 ? backward : both;
    return w;
}

struct NodePosition {
    int64_t id;
    osmium::Location location;
};

// One pass over the file: the car roads with their node references, and the position of every node.
// Which nodes the roads need is known only after the ways, which follow the nodes in a sorted file;
// keeping all positions costs far less than decoding the whole file a second time. `sorted` says
// whether the node ids came in ascending order.
void readFile(const osmium::io::File& file, const ImportOptions& options, ImportSummary& summary,
              std::vector<KeptWay>& ways, std::vector<WayTags>& tags, TextPool& pool,
              std::vector<int64_t>& refs, std::vector<NodePosition>& positions, bool& sorted) {
    osmium::io::Reader reader{file, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way,
                              osmium::io::read_meta::no};
    Progress progress(options, "reading", reader.file_size());
    sorted = true;
    while (osmium::memory::Buffer buffer = reader.read()) {
        for (const osmium::OSMObject& object : buffer.select<osmium::OSMObject>()) {
            if (object.type() == osmium::item_type::node) {
                ++summary.osmNodes;
                const osmium::Location location = static_cast<const osmium::Node&>(object).location();
                if (!location.valid()) continue;
                if (!positions.empty() && object.id() <= positions.back().id) sorted = false;
                positions.push_back({object.id(), location});
                continue;
            }
            if (object.type() != osmium::item_type::way) continue;
            const osmium::Way& way = static_cast<const osmium::Way&>(object);
            ++summary.osmWays;
            const osmium::WayNodeList& nodes = way.nodes();
            if (nodes.size() < 2) continue;
            const uint8_t direction = roadDirection(way.tags(), options);
            if (direction == 0) continue;
            ++summary.roadWays;
            ways.push_back({refs.size(), nodes.size(), direction});
            tags.push_back(wayTags(way, pool));
            for (const osmium::NodeRef& ref : nodes) refs.push_back(ref.ref());
        }
        progress.update(reader.offset());
    }
    reader.close();
    progress.finish();
}

// The position of every needed node (sorted ids); a node given twice takes its last valid position.
void locateNeeded(std::vector<NodePosition>& positions, bool sorted, const std::vector<int64_t>& needed,
                  std::vector<osmium::Location>& locations) {
    if (!sorted)
        std::stable_sort(positions.begin(), positions.end(),
                         [](const NodePosition& a, const NodePosition& b) { return a.id < b.id; });
    locations.assign(needed.size(), osmium::Location{});
    std::size_t p = 0;
    for (std::size_t i = 0; i < needed.size(); ++i) {
        while (p < positions.size() && positions[p].id < needed[i]) ++p;
        while (p < positions.size() && positions[p].id == needed[i]) locations[i] = positions[p++].location;
    }
}

// A set of 64-bit keys with a number for each, by open addressing: the standard unordered
// containers allocate every entry on its own, which at millions of entries costs more than the rest
// of the import together.
class FlatIndex {
public:
    explicit FlatIndex(std::size_t expected) {
        std::size_t capacity = 16;
        while (capacity < expected * 2) capacity *= 2;
        keys.resize(capacity);
        values.assign(capacity, kEmpty);
        mask = capacity - 1;
    }
    // The number stored under `key`, or `value` stored now (second: whether it was stored now).
    // At most the expected number of keys may be stored.
    std::pair<uint32_t, bool> tryInsert(uint64_t key, uint32_t value) {
        for (std::size_t i = mix(key) & mask;; i = (i + 1) & mask) {
            if (values[i] == kEmpty) {
                keys[i] = key;
                values[i] = value;
                return {value, true};
            }
            if (keys[i] == key) return {values[i], false};
        }
    }

private:
    static constexpr uint32_t kEmpty = std::numeric_limits<uint32_t>::max();
    static std::size_t mix(uint64_t k) {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        return static_cast<std::size_t>(k);
    }
    std::vector<uint64_t> keys;
    std::vector<uint32_t> values;
    std::size_t mask = 0;
};

uint64_t positionKey(const osmium::Location& l) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(l.x())) << 32) | static_cast<uint32_t>(l.y());
}

struct PendingLink {
    uint32_t origin;       // position group
    uint32_t destination;  // position group
    uint32_t way;          // index of the kept way that gave it
    uint32_t from, to;     // the OSM nodes at its ends, as indices into the needed nodes
    bool againstWay;       // runs against the order of the way's nodes
};

// A connected piece in which every node has exactly one link in and one out is a closed ring with
// no way on or off: a two-node street whose other ends are footpaths, a roundabout whose approaches
// the extract cut off. No trace can drive onto it, and the map can only anchor it at a node that is
// no junction, which the map's consistency check reports as an error; such rings are left out.
void dropIsolatedRings(std::vector<PendingLink>& links, std::size_t groups, ImportSummary& summary) {
    std::vector<uint8_t> in(groups, 0), out(groups, 0);
    for (const PendingLink& l : links) {
        if (out[l.origin] < 2) ++out[l.origin];
        if (in[l.destination] < 2) ++in[l.destination];
    }
    std::vector<uint32_t> parent(groups);
    for (std::size_t g = 0; g < groups; ++g) parent[g] = static_cast<uint32_t>(g);
    auto find = [&](uint32_t g) {
        while (parent[g] != g) g = parent[g] = parent[parent[g]];
        return g;
    };
    for (const PendingLink& l : links) parent[find(l.origin)] = find(l.destination);

    std::vector<uint8_t> hasJunction(groups, 0);
    for (std::size_t g = 1; g < groups; ++g)
        if ((in[g] | out[g]) != 0 && (in[g] != 1 || out[g] != 1))
            hasJunction[find(static_cast<uint32_t>(g))] = 1;
    std::vector<uint8_t> counted(groups, 0);
    std::size_t kept = 0;
    for (const PendingLink& l : links) {
        const uint32_t root = find(l.origin);
        if (hasJunction[root]) {
            links[kept++] = l;
            continue;
        }
        ++summary.isolatedRingLinks;
        if (!counted[root]) {
            counted[root] = 1;
            ++summary.isolatedRings;
        }
    }
    links.resize(kept);
}

}  // namespace

bool parseBoundingBox(const std::string& text, BoundingBox& box) {
    double v[4];
    const char* p = text.c_str();
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        v[i] = std::strtod(p, &end);
        if (end == p || !std::isfinite(v[i])) return false;
        p = end;
        if (i < 3) {
            if (*p != ',') return false;
            ++p;
        }
    }
    if (*p != '\0') return false;
    const BoundingBox b{v[0], v[1], v[2], v[3]};
    if (b.minLon < -180 || b.maxLon > 180 || b.minLat < -90 || b.maxLat > 90) return false;
    if (b.minLon > b.maxLon || b.minLat > b.maxLat) return false;
    box = b;
    return true;
}

namespace {

// Group 0 marks a node absent from the file, kOutside one outside the box.
constexpr uint32_t kOutside = std::numeric_limits<uint32_t>::max();

// What the two passes over the file give: the kept ways, their node references as indices into
// `needed` (the sorted distinct OSM ids of road nodes) and the location of each needed node.
struct RoadRefs {
    std::vector<KeptWay> ways;
    std::vector<WayTags> tags;  // per kept way
    TextPool texts;
    std::vector<int64_t> needed;
    std::vector<uint32_t> refIndex;  // per way reference: index into `needed`
    std::vector<osmium::Location> locations;
};

// Reads the ways, then the nodes they need; false with `error` set when the file cannot be read.
bool readRoads(const std::string& path, const ImportOptions& options, ImportSummary& summary, RoadRefs& roads,
               std::string& error) {
    try {
        const osmium::io::File file{path};
        std::vector<int64_t> refs;
        std::vector<NodePosition> positions;
        bool sorted = true;
        readFile(file, options, summary, roads.ways, roads.tags, roads.texts, refs, positions, sorted);

        roads.needed = refs;
        std::sort(roads.needed.begin(), roads.needed.end());
        roads.needed.erase(std::unique(roads.needed.begin(), roads.needed.end()), roads.needed.end());
        if (roads.needed.size() >= std::numeric_limits<uint32_t>::max()) {
            error = "too many road nodes in " + path;
            return false;
        }
        FlatIndex indexOf(roads.needed.size());
        for (std::size_t i = 0; i < roads.needed.size(); ++i)
            indexOf.tryInsert(static_cast<uint64_t>(roads.needed[i]), static_cast<uint32_t>(i));
        roads.refIndex.resize(refs.size());
        for (std::size_t k = 0; k < refs.size(); ++k)
            roads.refIndex[k] = indexOf.tryInsert(static_cast<uint64_t>(refs[k]), 0).first;
        std::vector<int64_t>().swap(refs);

        locateNeeded(positions, sorted, roads.needed, roads.locations);
    } catch (const std::exception& e) {
        error = "cannot read OpenStreetMap file " + path + ": " + e.what();
        return false;
    }
    return true;
}

// Distinct OSM nodes at one position become one map node, so that a zero-length segment never cuts a
// road in two. Groups are numbered in ascending order of their smallest OSM id because `needed` is
// sorted. Returns the group of every needed node; `groupLocation` is indexed by group.
std::vector<uint32_t> groupByPosition(const RoadRefs& roads, const ImportOptions& options,
                                      std::vector<osmium::Location>& groupLocation) {
    std::vector<uint32_t> group(roads.needed.size(), 0);
    groupLocation.assign(1, osmium::Location{});
    FlatIndex byPosition(roads.needed.size());
    for (std::size_t i = 0; i < roads.needed.size(); ++i) {
        const osmium::Location& l = roads.locations[i];
        if (!l.valid()) continue;
        if (options.bbox && !options.bbox->contains(l.lat(), l.lon())) {
            group[i] = kOutside;
            continue;
        }
        const auto [g, inserted] =
            byPosition.tryInsert(positionKey(l), static_cast<uint32_t>(groupLocation.size()));
        if (inserted) groupLocation.push_back(l);
        group[i] = g;
    }
    return group;
}

// Counts the references of one way that are missing or outside the box.
void countLostRefs(const KeptWay& way, const RoadRefs& roads, const std::vector<uint32_t>& group,
                   ImportSummary& summary) {
    bool missing = false;
    for (std::size_t k = way.first; k < way.first + way.count; ++k) {
        const uint32_t g = group[roads.refIndex[k]];
        if (g == 0) {
            ++summary.missingNodeRefs;
            missing = true;
        } else if (g == kOutside) {
            ++summary.outsideBoxRefs;
        }
    }
    if (missing) ++summary.waysWithMissingNodes;
}

// Links between groups, way by way, segment by segment, each directed link once.
std::vector<PendingLink> linksBetweenGroups(const RoadRefs& roads, const std::vector<uint32_t>& group,
                                            ImportSummary& summary) {
    std::vector<PendingLink> linkList;
    std::size_t segments = 0;
    for (const KeptWay& way : roads.ways) segments += (way.count - 1) * (way.direction == kBoth ? 2 : 1);
    FlatIndex seen(segments);
    auto addLink = [&](uint32_t a, uint32_t b, uint32_t way, uint32_t from, uint32_t to, bool against) {
        if (!seen.tryInsert((static_cast<uint64_t>(a) << 32) | b, 0).second) {
            ++summary.repeatedLinks;
            return;
        }
        linkList.push_back({a, b, way, from, to, against});
    };
    for (std::size_t w = 0; w < roads.ways.size(); ++w) {
        const KeptWay& way = roads.ways[w];
        countLostRefs(way, roads, group, summary);
        for (std::size_t k = way.first; k + 1 < way.first + way.count; ++k) {
            const uint32_t i = roads.refIndex[k];
            const uint32_t j = roads.refIndex[k + 1];
            const uint32_t a = group[i];
            const uint32_t b = group[j];
            if (a == 0 || b == 0 || a == kOutside || b == kOutside) continue;
            if (i == j) {
                ++summary.repeatedNodes;
                continue;
            }
            if (a == b) {
                ++summary.zeroLengthSegments;
                continue;
            }
            if (way.direction & kForward) addLink(a, b, static_cast<uint32_t>(w), i, j, false);
            if (way.direction & kBackward) addLink(b, a, static_cast<uint32_t>(w), j, i, true);
        }
    }
    return linkList;
}

// Numbers the nodes 1, 2, ... in the order the links first reach them and gives the map's nodes and
// links. Returns the map id of every group (0 for groups no link reaches).
std::vector<uint32_t> numberNodes(const std::vector<PendingLink>& linkList,
                                  const std::vector<osmium::Location>& groupLocation,
                                  std::vector<mapRepresentation::BulkNode>& nodes,
                                  std::vector<mapRepresentation::BulkLink>& links) {
    std::vector<uint32_t> mapId(groupLocation.size(), 0);
    for (const PendingLink& link : linkList)
        for (const uint32_t g : {link.origin, link.destination})
            if (mapId[g] == 0) {
                const osmium::Location& l = groupLocation[g];
                mapId[g] = static_cast<uint32_t>(nodes.size() + 1);
                nodes.push_back({mapId[g], l.lat(), l.lon(), 0.0, 0.0});
            }
    links.reserve(linkList.size());
    for (const PendingLink& link : linkList)
        links.push_back({mapId[link.origin], mapId[link.destination], 0.0, 0});
    return mapId;
}

// (map node id, OSM node id) pairs in ascending map id, then OSM id: placed by map id, and `needed`
// is in ascending OSM id already.
std::vector<std::pair<uint32_t, int64_t>> nodeIdTable(const RoadRefs& roads,
                                                      const std::vector<uint32_t>& group,
                                                      const std::vector<uint32_t>& mapId,
                                                      std::size_t mapNodes) {
    auto mapIdOf = [&](std::size_t i) {
        const uint32_t g = group[i];
        return g != 0 && g != kOutside ? mapId[g] : 0u;
    };
    std::vector<std::size_t> start(mapNodes + 2, 0);
    for (std::size_t i = 0; i < roads.needed.size(); ++i) ++start[mapIdOf(i) + 1];
    start[1] = 0;  // nodes without a map node are left out
    for (std::size_t m = 1; m <= mapNodes; ++m) start[m + 1] += start[m];
    std::vector<std::pair<uint32_t, int64_t>> table(start[mapNodes + 1]);
    for (std::size_t i = 0; i < roads.needed.size(); ++i)
        if (const uint32_t m = mapIdOf(i); m != 0) table[start[m]++] = {m, roads.needed[i]};
    return table;
}

// What the link table says of link k (0-based, in list order).
mapRepresentation::LinkAttributes attributesOf(const PendingLink& link, const RoadRefs& roads) {
    const WayTags& w = roads.tags[link.way];
    mapRepresentation::LinkAttributes a;
    a.wayId = w.osmId;
    a.fromNode = roads.needed[link.from];
    a.toNode = roads.needed[link.to];
    a.name = roads.texts[w.name];
    a.ref = roads.texts[w.ref];
    a.highway = roads.texts[w.highway];
    // maxspeed:forward and :backward follow the order of the way's nodes.
    const float speed = link.againstWay ? w.maxspeedBackward : w.maxspeedForward;
    if (speed > 0) a.maxspeed = speed;
    a.oneway = roads.ways[link.way].direction != kBoth;
    return a;
}

}  // namespace

// The road network of an import before it becomes a map or files: the map's nodes and links, and
// what the link table and the node id table need, in compact arrays.
struct RoadNetwork {
    RoadRefs roads;               // ways, tags and needed OSM ids (no references or locations left)
    std::vector<uint32_t> group;  // per needed node
    std::vector<uint32_t> mapId;  // per group
    std::vector<PendingLink> linkList;
    std::vector<mapRepresentation::BulkNode> nodes;
    std::vector<mapRepresentation::BulkLink> links;
};

namespace {

// Reads the file into `network`; false with `error` set on failure.
bool readNetwork(const std::string& path, const ImportOptions& options, ImportSummary& summary,
                 RoadNetwork& network, std::string& error) {
    RoadRefs& roads = network.roads;
    const Clock::time_point readStart = Clock::now();
    if (!readRoads(path, options, summary, roads, error)) return false;
    summary.readSeconds = secondsSince(readStart);

    const Clock::time_point buildStart = Clock::now();
    std::vector<osmium::Location> groupLocation;
    network.group = groupByPosition(roads, options, groupLocation);
    std::vector<osmium::Location>().swap(roads.locations);
    if (groupLocation.size() >= std::numeric_limits<uint32_t>::max()) {
        error = "too many road nodes in " + path;
        return false;
    }
    network.linkList = linksBetweenGroups(roads, network.group, summary);
    std::vector<uint32_t>().swap(roads.refIndex);
    dropIsolatedRings(network.linkList, groupLocation.size(), summary);
    for (std::size_t k = 0; k < network.linkList.size(); ++k)
        if (k == 0 || network.linkList[k].way != network.linkList[k - 1].way) ++summary.waysKept;
    if (network.linkList.size() >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        error = "too many road links in " + path;
        return false;
    }
    network.mapId = numberNodes(network.linkList, groupLocation, network.nodes, network.links);
    summary.mapNodes = network.nodes.size();
    summary.links = network.links.size();
    summary.buildSeconds = secondsSince(buildStart);
    return true;
}

}  // namespace

ImportResult importOsm(const std::string& path, const ImportOptions& options, mapRepresentation::Map& map) {
    ImportResult result;
    ImportSummary& summary = result.summary;
    if (!map.nodes.empty() || !map.links.empty()) {
        result.error = "the map to import into is not empty";
        return result;
    }
    RoadNetwork network;
    if (!readNetwork(path, options, summary, network, result.error)) return result;
    const Clock::time_point buildStart = Clock::now();
    result.nodeIds = nodeIdTable(network.roads, network.group, network.mapId, network.nodes.size());
    for (std::size_t k = 0; k < network.linkList.size(); ++k)
        result.links.set(static_cast<int>(k + 1), attributesOf(network.linkList[k], network.roads));
    // What the map no longer needs goes before the map is filled, so that the map can reuse it.
    std::vector<mapRepresentation::BulkNode> nodes = std::move(network.nodes);
    std::vector<mapRepresentation::BulkLink> links = std::move(network.links);
    network = RoadNetwork{};
    const uint32_t nextNodeId = static_cast<uint32_t>(nodes.size() + 1);
    if (!mapRepresentation::buildInBulk(map, std::move(nodes), std::move(links))) {
        result.error = "the road network of " + path + " does not make a map";
        result.nodeIds.clear();
        result.links = mapRepresentation::LinkTable();
        return result;
    }
    map.nextNodeId = nextNodeId;
    summary.sharedPositionNodes = result.nodeIds.size() - summary.mapNodes;
    summary.buildSeconds += secondsSince(buildStart);
    result.ok = true;
    return result;
}

RoadImport::RoadImport() = default;
RoadImport::~RoadImport() = default;

bool RoadImport::read(const std::string& path, const ImportOptions& options) {
    network = std::make_unique<RoadNetwork>();
    summary_ = ImportSummary{};
    error_.clear();
    if (!readNetwork(path, options, summary_, *network, error_)) {
        network.reset();
        return false;
    }
    std::size_t behindMapNodes = 0;
    for (const uint32_t g : network->group)
        if (g != 0 && g != kOutside && network->mapId[g] != 0) ++behindMapNodes;
    summary_.sharedPositionNodes = behindMapNodes - summary_.mapNodes;
    return true;
}

namespace {

// The link table's rows, streamed: lengths are measured as the map measures its links, in the
// frame spanning every node.
void writeLinkRows(std::ostream& out, const RoadNetwork& n) {
    geo::GeoBox box;
    for (const mapRepresentation::BulkNode& node : n.nodes) box.add(_position{node.lat, node.lon});
    const geo::PlaneFrame frame = box.frame();
    std::vector<Point> plane(n.nodes.size());  // by map id - 1: ids are 1, 2, ...
    for (std::size_t i = 0; i < n.nodes.size(); ++i)
        plane[i] = frame.toPlane(_position{n.nodes[i].lat, n.nodes[i].lon});
    mapRepresentation::LinkTableWriter rows(out);
    for (std::size_t k = 0; k < n.links.size(); ++k) {
        const mapRepresentation::BulkLink& l = n.links[k];
        const mapRepresentation::LinkAttributes a = attributesOf(n.linkList[k], n.roads);
        rows.row(static_cast<int>(k + 1), l.origin, l.destination, &a,
                 distance2Points(plane[l.origin - 1], plane[l.destination - 1]));
    }
}

}  // namespace

bool RoadImport::write(const std::string& target, std::ostream& messages) const {
    // The table is written out first and put in place right after the map, so that neither
    // replaces its file unless both could be written; a table that still fails at the last step is
    // removed rather than left describing the previous map.
    const std::string tablePath = mapRepresentation::LinkTable::pathBeside(target);
    AtomicFile table(tablePath);
    if (!table.isOpen()) {
        messages << "ERROR: cannot write the link table " << tablePath << ": " << table.error() << "\n";
        return false;
    }
    writeLinkRows(table.stream(), *network);
    if (!table.stream()) {
        messages << "ERROR: cannot write the link table " << tablePath << "\n";
        return false;
    }
    if (!mapRepresentation::saveMapText(target, network->nodes, network->links, messages)) return false;
    if (table.commit()) return true;
    std::error_code ec;
    std::filesystem::remove(tablePath, ec);
    messages << "ERROR: cannot write the link table " << tablePath << ": " << table.error() << "\n";
    return false;
}

bool RoadImport::writeCompact(const std::string& target, std::string& why) {
    std::vector<mapRepresentation::BulkNode> nodes = std::move(network->nodes);
    std::vector<mapRepresentation::BulkLink> links = std::move(network->links);
    network.reset();  // all the form needs are the nodes and links
    return mapRepresentation::writeCompactBeside(target, std::move(nodes), std::move(links), why);
}

bool RoadImport::writeNodeIds(const std::string& path) const {
    return writeNodeIdTable(
        path, nodeIdTable(network->roads, network->group, network->mapId, network->nodes.size()));
}

bool writeNodeIdTable(const std::string& path, const std::vector<std::pair<uint32_t, int64_t>>& nodeIds) {
    AtomicFile file(path);
    if (!file.isOpen()) return false;
    std::ofstream& out = file.stream();
    out << "map_id,osm_node_id\n";
    for (const auto& [mapNode, osmNode] : nodeIds) out << mapNode << ',' << osmNode << '\n';
    return file.commit();
}

std::string formatSummary(const std::string& input, const ImportSummary& s, double totalSeconds) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(2);
    out << "karvel-osm2map: " << input << '\n'
        << "  ways read: " << s.osmWays << ", roads: " << s.roadWays << ", kept: " << s.waysKept << '\n'
        << "  OSM nodes read: " << s.osmNodes << '\n'
        << "  map nodes: " << s.mapNodes << ", links: " << s.links << '\n';
    if (s.missingNodeRefs > 0)
        out << "  skipped " << s.missingNodeRefs << " references to missing nodes in "
            << s.waysWithMissingNodes << " ways (kept their present parts)\n";
    if (s.outsideBoxRefs > 0)
        out << "  skipped " << s.outsideBoxRefs << " way nodes outside the bounding box\n";
    if (s.repeatedNodes > 0) out << "  skipped " << s.repeatedNodes << " repeated way nodes\n";
    if (s.zeroLengthSegments > 0) out << "  skipped " << s.zeroLengthSegments << " zero-length segments\n";
    if (s.sharedPositionNodes > 0)
        out << "  merged " << s.sharedPositionNodes << " OSM nodes into map nodes at the same position\n";
    if (s.repeatedLinks > 0)
        out << "  skipped " << s.repeatedLinks << " links already given by another way\n";
    if (s.isolatedRings > 0)
        out << "  left out " << s.isolatedRings << " isolated rings (" << s.isolatedRingLinks
            << " links) that no other road reaches\n";
    out << "  time: " << totalSeconds << " s (reading " << s.readSeconds << " s, building " << s.buildSeconds
        << " s, saving " << s.saveSeconds << " s)\n";
    return out.str();
}

}  // namespace osmImport
