#include "map/maps.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <type_traits>

#include "geometry/GPSPoint.h"
#include "map/atomic_file.h"
#include "map/quadtree.h"

namespace mapRepresentation {

Map::Map() : quadTree(std::make_unique<QuadTree>(this)) {}

Map::Map(std::string path) : Map() {
    initMap(path);
}

Map::Map(const Map& other) {
    copyFrom(other);
}

Map& Map::operator=(const Map& other) {
    if (this != &other) copyFrom(other);
    return *this;
}

Map::Map(Map&& other) {
    moveFrom(other);
}

Map& Map::operator=(Map&& other) {
    if (this != &other) moveFrom(other);
    return *this;
}

Map::~Map() = default;

void Map::copyFrom(const Map& other) {
    superNodes = other.superNodes;
    superLinks = other.superLinks;
    graph = other.graph;
    nodes = other.nodes;
    links = other.links;
    nextNodeId = other.nextNodeId;
    nextLinkId = other.nextLinkId;
    nextSuperLinkId = other.nextSuperLinkId;
    loadError = other.loadError;
    rebuildIndex();
}

void Map::moveFrom(Map& other) {
    superNodes = std::move(other.superNodes);
    superLinks = std::move(other.superLinks);
    graph = std::move(other.graph);
    nodes = std::move(other.nodes);
    links = std::move(other.links);
    nextNodeId = other.nextNodeId;
    nextLinkId = other.nextLinkId;
    nextSuperLinkId = other.nextSuperLinkId;
    loadError = other.loadError;
    // The index describes exactly the nodes that moved, so it moves with them and is re-pointed
    // at its new owner; the emptied source gets a fresh empty index of its own.
    quadTree = std::move(other.quadTree);
    if (quadTree)
        quadTree->map = this;
    else
        rebuildIndex();
    other.superNodes.clear();
    other.superLinks.clear();
    other.graph.clear();
    other.nodes.clear();
    other.links.clear();
    other.nextNodeId = 1;
    other.nextLinkId = 1;
    other.nextSuperLinkId = 1;
    other.loadError = false;
    other.rebuildIndex();
}

void Map::rebuildIndex() {
    quadTree.reset();
    quadTree = std::make_unique<QuadTree>(this);
}

// ---------------------------------------------------------------------------------------------
// Map file

namespace {

// A latitude and longitude that name a place (NaN and out-of-range values do not).
bool isOnGlobe(double lat, double lon) {
    return std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0;
}

// Longest accepted line, without its line end.
constexpr size_t kMaxLineLength = 1022;

enum class LineStatus { Ok, End, TooLong, ReadError };

// Reads one line into buf (line end stripped). A last line without a line end is accepted.
LineStatus readLine(FILE* f, char (&buf)[kMaxLineLength + 2]) {
    if (std::fgets(buf, sizeof buf, f) == nullptr)
        return std::ferror(f) ? LineStatus::ReadError : LineStatus::End;
    size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') {
        buf[len - 1] = '\0';
        return LineStatus::Ok;
    }
    if (std::ferror(f)) return LineStatus::ReadError;
    // No line end: either the last line of the file, or a line longer than the buffer.
    if (std::feof(f) && len <= kMaxLineLength) return LineStatus::Ok;
    return LineStatus::TooLong;
}

// Reads the fields of one line as sscanf's " %u", " %d" and " %lf" would (same accepted text,
// same values), without sscanf's per-call overhead, which dominates the loading of big maps.
class FieldReader {
public:
    explicit FieldReader(const char* line) : p(line) {}

    bool read(unsigned& v) {
        if (!skipSpace()) return false;
        char* end = nullptr;
        const unsigned long x = std::strtoul(p, &end, 10);
        if (end == p) return false;
        v = static_cast<unsigned>(x);  // %u keeps the low bits, as scanf does
        p = end;
        return true;
    }

    bool read(int& v) {
        if (!skipSpace()) return false;
        char* end = nullptr;
        const long x = std::strtol(p, &end, 10);
        if (end == p) return false;
        v = static_cast<int>(x);
        p = end;
        return true;
    }

    bool read(double& v) {
        if (!skipSpace()) return false;
        // The fast path covers plain decimal numbers; anything else (a sign '+', hexadecimal,
        // out-of-range values, a number running into letters) takes strtod, which scanf uses too.
        const auto r = std::from_chars(p, p + std::strlen(p), v);
        if (r.ec == std::errc() && !continuesNumber(*r.ptr)) {
            p = r.ptr;
            return true;
        }
        char* end = nullptr;
        v = std::strtod(p, &end);
        if (end == p) return false;
        p = end;
        return true;
    }

    template <typename... T>
    bool readAll(T&... fields) {
        return (read(fields) && ...);
    }

private:
    bool skipSpace() {
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        return *p != '\0';
    }
    static bool continuesNumber(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.'; }

    const char* p;
};

class MapFileReader {
public:
    MapFileReader(FILE* f, const std::string& path) : file(f), path(path) {}

    // Reads the next line; on a fault prints the error and returns false. `endIsError` makes a
    // missing line a fault (the counts promised more lines).
    bool next(bool endIsError, const char* expected) {
        ++lineNumber;
        switch (readLine(file, line)) {
            case LineStatus::Ok:
                return true;
            case LineStatus::End:
                if (endIsError) report(std::string("file ends before the expected ") + expected);
                return false;
            case LineStatus::TooLong:
                report("line longer than " + std::to_string(kMaxLineLength) + " characters");
                return false;
            case LineStatus::ReadError: {
                const int err = errno;
                report(std::string("read failed: ") + std::strerror(err));
                return false;
            }
        }
        return false;
    }

    void report(const std::string& what) {
        std::cout << "ERROR: map file " << path << ", line " << lineNumber << ": " << what
                  << "; loading stopped." << std::endl;
        failed = true;
    }

    FILE* file;
    const std::string& path;
    char line[kMaxLineLength + 2];
    unsigned long lineNumber = 0;
    bool failed = false;
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

void Map::initMap(std::string path) {
    loadError = false;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
    if (!file) {
        // A missing map simply means an empty map; any other reason to fail is worth a word.
        const int err = errno;
        if (err != ENOENT) {
            std::cout << "ERROR: map file " << path << ", line 1: cannot open: " << std::strerror(err)
                      << std::endl;
            loadError = true;
        }
        return;
    }
    MapFileReader in(file.get(), path);

    if (!in.next(false, "node count")) {
        loadError = in.failed;
        return;
    }
    unsigned nodeCount = 0;
    if (!FieldReader(in.line).readAll(nodeCount)) {
        in.report("expected the node count");
        loadError = true;
        return;
    }

    // The counts only bound the loops: a bogus count must not reserve memory.
    bool haveNode = false;
    uint32_t largestId = 0;
    for (unsigned i = 0; i < nodeCount; ++i) {
        if (!in.next(true, "node line")) break;
        unsigned id = 0;
        double lon = 0, lat = 0, snr = 0, hdop = 0;
        if (!FieldReader(in.line).readAll(id, lon, lat, snr, hdop)) {
            in.report("expected 5 fields: id longitude latitude averageSnr hdop");
            break;
        }
        if (!isOnGlobe(lat, lon)) {
            in.report("position outside the globe (longitude then latitude expected)");
            break;
        }
        addNode(id, lat, lon, snr, hdop);
        if (!haveNode || id > largestId) largestId = id;
        haveNode = true;
    }
    nextNodeId = haveNode ? largestId + 1 : 1;
    if (in.failed) {
        loadError = true;
        return;
    }

    // A file that stops right after its nodes simply has no links.
    if (!in.next(false, "link count")) {
        loadError = in.failed;
        return;
    }
    int linkCount = 0;
    if (!FieldReader(in.line).readAll(linkCount)) {
        in.report("expected the link count");
        loadError = true;
        return;
    }
    for (int i = 0; i < linkCount; ++i) {
        if (!in.next(true, "link line")) break;
        unsigned origin = 0, destination = 0, samples = 0;
        double speed = 0;
        if (!FieldReader(in.line).readAll(origin, destination, speed, samples)) {
            in.report("expected 4 fields: origin destination speed samples");
            break;
        }
        addLinkToNode(origin, destination, speed, samples);
    }
    loadError = in.failed;
}

namespace {

// Formats the dumps: doubles in fixed notation with 9 decimals (the same text as a stream set to
// std::fixed and precision 9), collected in a buffer that goes to the file in large pieces.
class DumpWriter {
public:
    explicit DumpWriter(std::ostream& out) : out(out) { buf.reserve(kChunk + 256); }
    ~DumpWriter() { flush(); }

    DumpWriter& operator<<(double v) { return put(v, std::chars_format::fixed, 9); }
    DumpWriter& operator<<(const char* text) {
        buf += text;
        return *this;
    }
    DumpWriter& operator<<(char c) {
        buf += c;
        if (c == '\n' && buf.size() >= kChunk) flush();
        return *this;
    }
    template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int>>>
    DumpWriter& operator<<(Int v) {
        char tmp[24];
        const auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        buf.append(tmp, r.ptr);
        return *this;
    }
    void flush() {
        out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
        buf.clear();
    }

private:
    DumpWriter& put(double v, std::chars_format format, int precision) {
        char tmp[400];  // fixed notation of the largest double with 9 decimals fits
        const auto r = std::to_chars(tmp, tmp + sizeof tmp, v, format, precision);
        buf.append(tmp, r.ptr);
        return *this;
    }

    static constexpr size_t kChunk = 1 << 16;
    std::ostream& out;
    std::string buf;
};

bool finishSave(AtomicFile& file, const std::string& path) {
    if (file.commit()) return true;
    std::cout << "ERROR: could not write map file " << path << "; the previous file is unchanged."
              << std::endl;
    return false;
}

bool openForSave(const AtomicFile& file, const std::string& path) {
    if (file.isOpen()) return true;
    std::cout << "ERROR: could not create map file " << path << "; the previous file is unchanged."
              << std::endl;
    return false;
}

}  // namespace

bool Map::saveMap(std::string path) const {
    AtomicFile file(path);
    if (!openForSave(file, path)) return false;
    {
        DumpWriter out(file.stream());
        out << nodes.size() << '\n';
        for (const auto& [id, n] : nodes)
            out << id << "  " << n.longitude << "  " << n.latitude << ' ' << n.averageSnr << ' ' << n.hdop
                << '\n';
        out << links.size() << '\n';
        for (const auto& [id, l] : links)
            out << l.origin << "  " << l.destination << ' ' << l.speed << ' ' << l.samples << '\n';
    }
    return finishSave(file, path);
}

bool Map::saveMapForPelorn(std::string path) const {
    AtomicFile file(path);
    if (!openForSave(file, path)) return false;
    {
        DumpWriter out(file.stream());
        out << nodes.size() << '\n';
        for (const auto& [id, n] : nodes)
            out << id << "  " << n.longitude << "  " << n.latitude << ' ' << n.easting << ' ' << n.northing
                << '\n';
        out << links.size() << '\n';
        for (const auto& [id, l] : links)
            out << id << ' ' << l.origin << "  " << l.destination << ' ' << l.heading << ' ' << l.length
                << ' ' << l.speed << ' ' << l.samples << '\n';
    }
    return finishSave(file, path);
}

void Map::showGraph() const {
    std::ostream& out = std::cout;
    out << "\n\n";
    out << "Node's Location : " << nodes.size() << '\n';
    for (const auto& [id, n] : nodes)
        out << "ID: " << id << "   Lat: " << n.latitude << "  Lon: " << n.longitude << '\n';
    out << "\nGraph connections: " << graph.size() << '\n';
    for (const auto& [id, e] : graph) {
        out << "ID: " << id << "  Forward links: ";
        for (int l : e.forwardLinks) out << l << ' ';
        out << " Backward links: ";
        for (int l : e.backwardLinks) out << l << ' ';
        out << '\n';
    }
    out << "\nLink information: " << links.size() << '\n';
    for (const auto& [id, l] : links)
        out << "ID: " << id << "  Or: " << l.origin << "  Dest: " << l.destination << '\n';
    out << "\n\n";
    out.flush();
}

void Map::mapInfo() const {
    std::cout << quadTree->getQuadTreeStatistics();
}

// ---------------------------------------------------------------------------------------------
// Graph building

uint32_t Map::addNode(uint32_t id, double lat, double lon, double averageSnr, double hdop) {
    // The spatial index covers the globe only; a node it cannot hold would be invisible to the
    // nearest searches while the graph still used it.
    if (!isOnGlobe(lat, lon)) {
        std::cout << "ERROR: node " << id << " lies outside the globe (" << lat << ", " << lon
                  << "); not added." << std::endl;
        return id;
    }
    const GPSPoint utm = GPSPoint::convertWGS84ToUTM(lat, lon);
    auto it = nodes.lower_bound(id);
    if (it != nodes.end() && it->first == id) {
        std::cout << "ERROR: trying to add a node with an existing key : " << id << std::endl;
        return id;
    }
    nodes.emplace_hint(it, id, _mNode{lat, lon, utm.northing, utm.easting, averageSnr, hdop});
    // Files list nodes in ascending id, so the end is the usual insertion point.
    graph.try_emplace(graph.end(), id);
    superNodes.try_emplace(superNodes.end(), id);
    quadTree->addNode(id);
    return id;
}

int Map::addLinkToNode(uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    const int id = nextLinkId++;
    return addLink(id, origin, destination, speed, samples);
}

int Map::addLink(int id, uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    if (origin == destination) {
        std::cout << "ERROR: trying to add a link with the same start and end node." << std::endl;
        return -1;
    }
    // Re-using an id would orphan the old link in the adjacency sets and the super-link layer.
    if (links.count(id) != 0) {
        std::cout << "ERROR: trying to add a link with an existing key : " << id << std::endl;
        return -1;
    }
    // A link to a node that is not in the map would leave half-filled adjacency entries behind.
    const auto oNode = nodes.find(origin);
    const auto dNode = nodes.find(destination);
    if (oNode == nodes.end() || dNode == nodes.end()) {
        std::cout << "ERROR: non existing node. (" << (oNode == nodes.end() ? origin : destination) << ")"
                  << std::endl;
        return -1;
    }
    const Point a{oNode->second.easting, oNode->second.northing};
    const Point b{dNode->second.easting, dNode->second.northing};

    _mLink link;
    link.origin = origin;
    link.destination = destination;
    link.superLinkKey = -1;
    link.sequenceNumber = -1;
    link.heading = calcHeading(a, b);
    link.length = distance2Points(a, b);
    link.speed = speed;
    link.samples = samples;

    _mEdges& oEdges = graph[origin];
    _mEdges& dEdges = graph[destination];
    const int inO = static_cast<int>(oEdges.backwardLinks.size());
    const int outO = static_cast<int>(oEdges.forwardLinks.size());
    const int inD = static_cast<int>(dEdges.backwardLinks.size());
    const int outD = static_cast<int>(dEdges.forwardLinks.size());

    addLinkToSuperLayer(id, link, inO, outO, inD, outD);

    links.emplace_hint(links.end(), id, link);
    oEdges.forwardLinks.insert(id);
    dEdges.backwardLinks.insert(id);
    return id;
}

// ---------------------------------------------------------------------------------------------
// Lookups

Point Map::getNodePoint(uint32_t id) const {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        std::cout << "ERROR: non existing node. (" << id << ")" << std::endl;
        return Point{};
    }
    return Point{it->second.easting, it->second.northing};
}

_position Map::getNodePosition(uint32_t id) const {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        std::cout << "ERROR: non existing node. (" << id << ")" << std::endl;
        return _position{};
    }
    return _position{it->second.latitude, it->second.longitude};
}

_mLink Map::getLink(int id) const {
    const auto it = links.find(id);
    if (it == links.end()) {
        std::cout << "ERROR: non existing link. (" << id << ")" << std::endl;
        return _mLink{};
    }
    return it->second;
}

namespace {

const _mEdges* findEdges(const std::map<uint32_t, _mEdges>& graph, uint32_t id) {
    const auto it = graph.find(id);
    if (it == graph.end()) {
        std::cout << "ERROR: There's no node in the map with key: " << id << std::endl;
        return nullptr;
    }
    return &it->second;
}

const _mLink* findLinkForKey(const std::map<int32_t, _mLink>& links, int id) {
    const auto it = links.find(id);
    if (it == links.end()) {
        std::cout << "ERROR: There's no link in the map with key: " << id << std::endl;
        return nullptr;
    }
    return &it->second;
}

}  // namespace

int Map::getNodeIndegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id);
    return e ? static_cast<int>(e->backwardLinks.size()) : -1;
}

int Map::getNodeOutdegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id);
    return e ? static_cast<int>(e->forwardLinks.size()) : -1;
}

int Map::getNodeDegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id);
    return e ? static_cast<int>(e->backwardLinks.size() + e->forwardLinks.size()) : -1;
}

int Map::getSuperLinkKey(int linkId) const {
    const _mLink* l = findLinkForKey(links, linkId);
    return l ? l->superLinkKey : -1;
}

int Map::getSequenceNumber(int linkId) const {
    const _mLink* l = findLinkForKey(links, linkId);
    return l ? l->sequenceNumber : -1;
}

}  // namespace mapRepresentation
