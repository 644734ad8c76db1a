#include "map/maps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
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
    frame = other.frame;
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
    frame = other.frame;
    // The index describes exactly the nodes that moved, so it moves with them and is re-pointed
    // at its new owner; the emptied source gets a fresh empty index of its own.
    quadTree = std::move(other.quadTree);
    if (quadTree)
        quadTree->map = this;
    else
        rebuildIndex();
    other.frame = geo::PlaneFrame();
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

Map& keepUntilExit(Map&& map) {
    static std::vector<Map*>& kept = *std::make_unique<std::vector<Map*>>().release();
    kept.push_back(std::make_unique<Map>(std::move(map)).release());
    return *kept.back();
}

void Map::rebuildIndex() {
    quadTree.reset();
    quadTree = std::make_unique<QuadTree>(this);
}

// ---------------------------------------------------------------------------------------------
// Map file

bool isOnGlobe(double lat, double lon) {
    return std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0;
}

namespace {

// Longest accepted line, without its line end.
constexpr size_t kMaxLineLength = 1022;

enum class LineStatus { Ok, End, TooLong, NulByte, ReadError };

// Reads one line into buf (line end stripped). A last line without a line end is accepted.
// `consumed` counts the bytes of the lines read so far; with it a NUL byte inside a line, which
// would hide the rest of the line from every string function, is told apart from a line end.
LineStatus readLine(FILE* f, char (&buf)[kMaxLineLength + 2], long long& consumed) {
    if (std::fgets(buf, sizeof buf, f) == nullptr)
        return std::ferror(f) ? LineStatus::ReadError : LineStatus::End;
    const size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') {
        buf[len - 1] = '\0';
        consumed += static_cast<long long>(len);
        return LineStatus::Ok;
    }
    if (std::ferror(f)) return LineStatus::ReadError;
    // No line end: the last line of the file, a line longer than the buffer, or a NUL byte.
    if (std::feof(f)) {
        if (ftello(f) - consumed != static_cast<long long>(len)) return LineStatus::NulByte;
        consumed += static_cast<long long>(len);
        return len <= kMaxLineLength ? LineStatus::Ok : LineStatus::TooLong;
    }
    return len == kMaxLineLength + 1 ? LineStatus::TooLong : LineStatus::NulByte;
}

bool isBlank(const char* p) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    return *p == '\0';
}

// Reads the fields of one line as sscanf's " %lld" and " %lf" would (same accepted text, same
// values), without sscanf's per-call overhead, which dominates the loading of big maps. Integers are
// read wide, so that a negative or oversized id is seen as such instead of wrapping.
class FieldReader {
public:
    explicit FieldReader(const char* line) : p(line) {}

    bool read(long long& v) {
        if (!skipSpace()) return false;
        char* end = nullptr;
        errno = 0;
        v = std::strtoll(p, &end, 10);
        if (end == p) return false;
        if (errno == ERANGE) v = v < 0 ? LLONG_MIN : LLONG_MAX;  // out of every range checked below
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
    // Nothing but blanks after the fields read so far.
    bool atEnd() const { return isBlank(p); }

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
    MapFileReader(FILE* f, const std::string& path, std::ostream& messages)
        : file(f), path(path), messages(messages) {}

    // Reads the next line; on a fault prints the error and returns false. `endIsError` makes a
    // missing line a fault (the counts promised more lines).
    bool next(bool endIsError, const char* expected) {
        ++lineNumber;
        switch (readLine(file, line, consumed)) {
            case LineStatus::Ok:
                return true;
            case LineStatus::End:
                if (endIsError) stop(std::string("file ends before the expected ") + expected);
                return false;
            case LineStatus::TooLong:
                stop("line longer than " + std::to_string(kMaxLineLength) + " characters");
                return false;
            case LineStatus::NulByte:
                stop("a NUL byte inside the line");
                return false;
            case LineStatus::ReadError: {
                const int err = errno;
                stop(std::string("read failed: ") + std::strerror(err));
                return false;
            }
        }
        return false;
    }

    // A fault after which nothing more is read.
    void stop(const std::string& what) {
        report(what, "loading stopped");
        stopped = true;
    }
    // A line that is left out while the rest of the file is read; the map then differs from the
    // file, so it counts as a fault all the same.
    void refuse(const std::string& what) { report(what, "line refused"); }

    // A count line: one number in [0, largest].
    bool readCount(long long largest, long long& count, const char* what) {
        FieldReader fields(line);
        if (!fields.readAll(count) || !fields.atEnd()) {
            stop(std::string("expected the ") + what + " (one number)");
            return false;
        }
        if (count < 0 || count > largest) {
            stop(std::string("the ") + what + " " + std::to_string(count) + " is out of range (0 to " +
                 std::to_string(largest) + ")");
            return false;
        }
        return true;
    }

    // Lines after the counted ones would be dropped by a save; blank ones carry nothing.
    void expectNoMoreLines() {
        while (next(false, "")) {
            if (isBlank(line)) continue;
            stop("more lines than the link count says");
            return;
        }
    }

    FILE* file;
    const std::string& path;
    std::ostream& messages;
    char line[kMaxLineLength + 2];
    unsigned long lineNumber = 0;
    long long consumed = 0;  // bytes of the lines read
    bool failed = false;     // something of the file is not in the map
    bool stopped = false;    // and the reading ended there

private:
    void report(const std::string& what, const char* outcome) {
        messages << "ERROR: map file " << path << ", line " << lineNumber << ": " << what << "; " << outcome
                 << "." << std::endl;
        failed = true;
    }
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Opens a map file for reading without blocking on a FIFO or a device; only a regular file (or a
// link to one) is read. Null with a printed error otherwise, except for a missing file.
std::unique_ptr<FILE, FileCloser> openMapFile(const std::string& path, bool& failed, std::ostream& messages) {
    failed = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A missing map simply means an empty map; any other reason to fail is worth a word.
        const int err = errno;
        if (err == ENOENT) return nullptr;
        messages << "ERROR: map file " << path << ", line 1: cannot open: " << std::strerror(err)
                 << std::endl;
        failed = true;
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        messages << "ERROR: map file " << path << " is not a regular file; not read." << std::endl;
        failed = true;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::unique_ptr<FILE, FileCloser> file(::fdopen(fd, "r"));
    if (!file) {
        ::close(fd);
        failed = true;
    }
    return file;
}

// N node lines. A refused line (an id that does not fit, a repeated id, a position off the globe)
// is left out and the reading goes on; a line that cannot be read stops it.
void readNodeLines(Map& map, MapFileReader& in, long long count) {
    bool haveNode = false;
    uint32_t largestId = 0;
    for (long long i = 0; i < count; ++i) {
        if (!in.next(true, "node line")) break;
        long long id = 0;
        double lon = 0, lat = 0, snr = 0, hdop = 0;
        if (!FieldReader(in.line).readAll(id, lon, lat, snr, hdop)) {
            in.stop("expected 5 fields: id longitude latitude averageSnr hdop");
            break;
        }
        if (id < 0 || id > kLargestNodeId) {
            in.refuse("node id " + std::to_string(id) + " does not fit (0 to " +
                      std::to_string(kLargestNodeId) + ")");
            continue;
        }
        if (!isOnGlobe(lat, lon)) {
            in.refuse("position outside the globe (longitude then latitude expected)");
            continue;
        }
        const auto nodeId = static_cast<uint32_t>(id);
        if (map.nodes.count(nodeId) != 0) {
            map.addNode(nodeId, lat, lon, snr, hdop);  // says that the first node stays
            in.refuse("node id " + std::to_string(id) + " given twice");
            continue;
        }
        map.addNode(nodeId, lat, lon, snr, hdop);
        if (!haveNode || nodeId > largestId) largestId = nodeId;
        haveNode = true;
    }
    map.nextNodeId = haveNode ? largestId + 1 : 1;
}

// The link count and M link lines, then nothing but blank lines. Every line takes the next link id,
// refused lines included, so the links after a refused line keep the ids of their file position.
void readLinkLines(Map& map, MapFileReader& in) {
    if (!in.next(false, "link count")) return;
    long long linkCount = 0;
    if (!in.readCount(INT32_MAX - 1, linkCount, "link count")) return;
    for (long long i = 0; i < linkCount; ++i) {
        if (!in.next(true, "link line")) return;
        long long origin = 0, destination = 0, samples = 0;
        double speed = 0;
        if (!FieldReader(in.line).readAll(origin, destination, speed, samples)) {
            in.stop("expected 4 fields: origin destination speed samples");
            return;
        }
        if (origin < 0 || origin > kLargestNodeId || destination < 0 || destination > kLargestNodeId ||
            samples < 0 || samples > static_cast<long long>(UINT32_MAX)) {
            ++map.nextLinkId;
            in.refuse("a node id or the sample count does not fit");
            continue;
        }
        if (map.addLinkToNode(static_cast<uint32_t>(origin), static_cast<uint32_t>(destination), speed,
                              static_cast<uint32_t>(samples)) < 0)
            in.refuse("link " + std::to_string(origin) + " -> " + std::to_string(destination) + " refused");
    }
    in.expectNoMoreLines();
}

// The frame spanning every node, so that a map across zone lines measures in one plane.
void settleFrame(Map& map) {
    geo::GeoBox box;
    for (const auto& [id, n] : map.nodes) box.add(_position{n.latitude, n.longitude});
    if (!box.empty) map.usePlaneFrame(box.frame());
}

}  // namespace

void Map::initMap(std::string path) {
    loadError = false;
    std::unique_ptr<FILE, FileCloser> file = openMapFile(path, loadError, messageStream());
    if (!file) return;
    MapFileReader in(file.get(), path, messageStream());
    // A file that stops right after its nodes simply has no links; an empty file is an empty map.
    if (in.next(false, "node count")) {
        long long nodeCount = 0;
        if (in.readCount(kLargestNodeId + 1, nodeCount, "node count")) {
            readNodeLines(*this, in, nodeCount);
            settleFrame(*this);
            if (!in.stopped) readLinkLines(*this, in);
        }
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

bool finishSave(AtomicFile& file, const std::string& path, std::ostream& messages) {
    if (file.commit()) return true;
    messages << "ERROR: could not write map file " << path << "; the previous file is unchanged."
             << std::endl;
    return false;
}

bool openForSave(const AtomicFile& file, const std::string& path, std::ostream& messages) {
    if (file.isOpen()) return true;
    messages << "ERROR: could not create map file " << path << "; the previous file is unchanged."
             << std::endl;
    return false;
}

}  // namespace

bool Map::saveMap(std::string path) const {
    AtomicFile file(path);
    if (!openForSave(file, path, messageStream())) return false;
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
    return finishSave(file, path, messageStream());
}

bool Map::saveMapForPelorn(std::string path) const {
    AtomicFile file(path);
    if (!openForSave(file, path, messageStream())) return false;
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
    return finishSave(file, path, messageStream());
}

void Map::showGraph() const {
    std::ostream& out = messageStream();
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
    messageStream() << quadTree->getQuadTreeStatistics();
}

// ---------------------------------------------------------------------------------------------
// Graph building

uint32_t Map::addNode(uint32_t id, double lat, double lon, double averageSnr, double hdop) {
    // The spatial index covers the globe only; a node it cannot hold would be invisible to the
    // nearest searches while the graph still used it.
    if (!isOnGlobe(lat, lon)) {
        messageStream() << "ERROR: node " << id << " lies outside the globe (" << lat << ", " << lon
                        << "); not added." << std::endl;
        return id;
    }
    if (!frame.isSet()) frame = geo::PlaneFrame::around(_position{lat, lon});
    const Point utm = toPlane(lat, lon);
    if (!nodes.try_emplace(id, _mNode{lat, lon, utm.y, utm.x, averageSnr, hdop}).second) {
        messageStream() << "ERROR: trying to add a node with an existing key : " << id << std::endl;
        return id;
    }
    graph.try_emplace(id);
    superNodes.try_emplace(id);
    quadTree->addNode(id);
    return id;
}

int Map::addLinkToNode(uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    const int id = nextLinkId++;
    return addLink(id, origin, destination, speed, samples);
}

int Map::addLink(int id, uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    if (origin == destination) {
        messageStream() << "ERROR: trying to add a link with the same start and end node." << std::endl;
        return -1;
    }
    // Re-using an id would orphan the old link in the adjacency sets and the super-link layer.
    if (links.count(id) != 0) {
        messageStream() << "ERROR: trying to add a link with an existing key : " << id << std::endl;
        return -1;
    }
    // A link to a node that is not in the map would leave half-filled adjacency entries behind.
    const auto oNode = nodes.find(origin);
    const auto dNode = nodes.find(destination);
    if (oNode == nodes.end() || dNode == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << (oNode == nodes.end() ? origin : destination)
                        << ")" << std::endl;
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

    links.try_emplace(id, link);
    oEdges.forwardLinks.insert(id);
    dEdges.backwardLinks.insert(id);
    return id;
}

void Map::usePlaneFrame(const geo::PlaneFrame& other) {
    if (other == frame) return;
    frame = other;
    for (auto& [id, n] : nodes) {
        const Point q = toPlane(n.latitude, n.longitude);
        n.easting = q.x;
        n.northing = q.y;
    }
    for (auto& [id, link] : links) {
        const Point from = getNodePoint(link.origin);
        const Point to = getNodePoint(link.destination);
        link.heading = calcHeading(from, to);
        link.length = distance2Points(from, to);
    }
    rebuildIndex();
}

// ---------------------------------------------------------------------------------------------
// Lookups

Point Map::getNodePoint(uint32_t id) const {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << id << ")" << std::endl;
        return Point{};
    }
    return Point{it->second.easting, it->second.northing};
}

_position Map::getNodePosition(uint32_t id) const {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << id << ")" << std::endl;
        return _position{};
    }
    return _position{it->second.latitude, it->second.longitude};
}

_mLink Map::getLink(int id) const {
    const auto it = links.find(id);
    if (it == links.end()) {
        messageStream() << "ERROR: non existing link. (" << id << ")" << std::endl;
        return _mLink{};
    }
    return it->second;
}

namespace {

const _mEdges* findEdges(const IdTable<uint32_t, _mEdges>& graph, uint32_t id, std::ostream& messages) {
    const auto it = graph.find(id);
    if (it == graph.end()) {
        messages << "ERROR: There's no node in the map with key: " << id << std::endl;
        return nullptr;
    }
    return &it->second;
}

const _mLink* findLinkForKey(const IdTable<int32_t, _mLink>& links, int id, std::ostream& messages) {
    const auto it = links.find(id);
    if (it == links.end()) {
        messages << "ERROR: There's no link in the map with key: " << id << std::endl;
        return nullptr;
    }
    return &it->second;
}

}  // namespace

int Map::getNodeIndegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id, messageStream());
    return e ? static_cast<int>(e->backwardLinks.size()) : -1;
}

int Map::getNodeOutdegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id, messageStream());
    return e ? static_cast<int>(e->forwardLinks.size()) : -1;
}

int Map::getNodeDegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id, messageStream());
    return e ? static_cast<int>(e->backwardLinks.size() + e->forwardLinks.size()) : -1;
}

int Map::getSuperLinkKey(int linkId) const {
    const _mLink* l = findLinkForKey(links, linkId, messageStream());
    return l ? l->superLinkKey : -1;
}

int Map::getSequenceNumber(int linkId) const {
    const _mLink* l = findLinkForKey(links, linkId, messageStream());
    return l ? l->sequenceNumber : -1;
}

}  // namespace mapRepresentation
