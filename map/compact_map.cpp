#include "map/compact_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "map/atomic_file.h"
#include "map/map_text.h"
#include "map/maps.h"

using mapRepresentation::AtomicFile;

namespace mapRepresentation {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
static_assert(sizeof(CompactNode) == 32 && std::is_trivially_copyable_v<CompactNode>);
static_assert(sizeof(CompactLink) == 64 && std::is_trivially_copyable_v<CompactLink>);

namespace {

enum Section { kNodeIds, kNodes, kLinks, kOutStart, kOutLinks, kCellKeys, kCellStart, kCellLinks, kSections };
constexpr std::array<size_t, kSections> kElementSize = {
    4, sizeof(CompactNode), sizeof(CompactLink), 4, 4, 8, 4, 4};
constexpr size_t kAlign = 64;
constexpr size_t kHeaderArea = 256;  // the header, padded; the body starts here
// The body is checksummed, and a mapped file checked, in slices of this size.
constexpr size_t kSliceBytes = size_t{1} << 22;
constexpr char kMagic[8] = {'K', 'A', 'R', 'V', 'E', 'L', 'C', 'M'};
constexpr uint32_t kByteOrder = 0x01020304;
// A map file whose time lies this close to the moment it was stamped may change again within the
// same tick of the file system's clock without its time showing it: only its checksum tells.
constexpr int64_t kRacyNs = 2'000'000'000;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t byteOrder;
    SourceStamp source;
    int32_t zone;
    uint32_t south;
    double cellSize;
    uint64_t count[kSections];
    uint64_t offset[kSections];
    uint64_t fileSize;
    uint64_t bodyChecksum;
    uint64_t headerChecksum;  // of every byte above
};
static_assert(sizeof(Header) <= kHeaderArea && std::is_trivially_copyable_v<Header>);

size_t alignUp(size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull, kP2 = 0xC2B2AE3D27D4EB4Full, kP3 = 0x165667B19E3779F9ull;

uint64_t mixIn(uint64_t acc, uint64_t word) {
    return std::rotl(acc + word * kP2, 31) * kP1;
}

uint64_t load64(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

// Everything the form holds, as arrays, before it is laid out as bytes.
struct CompactParts {
    geo::PlaneFrame frame;
    std::vector<uint32_t> nodeIds;
    std::vector<CompactNode> nodes;
    std::vector<CompactLink> links;
    std::vector<uint32_t> outStart, outLinks;
    std::vector<int64_t> cellKeys;
    std::vector<uint32_t> cellStart, cellLinks;
};

namespace {

using Parts = CompactParts;

CompactLink linkBetween(const Parts& p, int32_t id, uint32_t origin, uint32_t destination) {
    CompactLink x;
    x.id = id;
    x.origin = origin;
    x.destination = destination;
    x.a = Point{p.nodes[origin].easting, p.nodes[origin].northing};
    x.b = Point{p.nodes[destination].easting, p.nodes[destination].northing};
    x.length = distance2Points(x.a, x.b);
    return x;
}

void readNodesAndLinks(const Map& map, Parts& p) {
    p.frame = map.planeFrame();
    std::unordered_map<uint32_t, uint32_t> nodeIndex;
    nodeIndex.reserve(map.nodes.size());
    p.nodeIds.reserve(map.nodes.size());
    p.nodes.reserve(map.nodes.size());
    for (const auto& [id, n] : map.nodes) {
        nodeIndex.emplace(id, static_cast<uint32_t>(p.nodes.size()));
        p.nodeIds.push_back(id);
        p.nodes.push_back(CompactNode{n.latitude, n.longitude, n.easting, n.northing});
    }
    p.links.reserve(map.links.size());
    for (const auto& [id, l] : map.links) {
        const auto o = nodeIndex.find(l.origin);
        const auto d = nodeIndex.find(l.destination);
        if (o == nodeIndex.end() || d == nodeIndex.end()) continue;  // a link to nowhere cannot be driven
        p.links.push_back(linkBetween(p, id, o->second, d->second));
    }
}

// The arrays straight from the map text, as the map loader would fill the map and the form would be
// read off it. Only a text the loader reads without a word, its nodes in ascending id order, is
// taken: anything else (a refused line, a repeated or unordered id) makes the reading unusable and is
// left to the loader, which reports it.
class PartsSink final : public MapTextSink {
public:
    explicit PartsSink(Parts& p) : p(p) {}
    mutable bool usable = true;

    void expectNodes(uint64_t count) override {
        p.nodeIds.reserve(count);
        p.nodes.reserve(count);
    }
    void expectLinks(uint64_t count) override { p.links.reserve(count); }
    bool hasNode(uint32_t id) const override {
        if (!p.nodeIds.empty() && id <= p.nodeIds.back()) usable = false;
        return false;
    }
    void addNode(uint32_t id, double lat, double lon, double, double) override {
        p.nodeIds.push_back(id);
        p.nodes.push_back(CompactNode{lat, lon, 0.0, 0.0});
        box.add(_position{lat, lon});
    }
    void nodesRead(uint32_t) override {
        p.frame = box.frame();
        for (CompactNode& n : p.nodes) {
            const Point q = p.frame.toPlane(_position{n.latitude, n.longitude});
            n.easting = q.x;
            n.northing = q.y;
        }
        dense = !p.nodeIds.empty() && p.nodeIds.front() == 1 && p.nodeIds.back() == p.nodeIds.size();
    }
    void skipLinkId() override { ++nextLinkId; }
    bool addLink(uint32_t origin, uint32_t destination, double, uint32_t) override {
        const int32_t id = nextLinkId++;
        const int64_t o = indexOf(origin), d = indexOf(destination);
        if (o < 0 || d < 0 || o == d) return false;
        p.links.push_back(linkBetween(p, id, static_cast<uint32_t>(o), static_cast<uint32_t>(d)));
        return true;
    }

private:
    int64_t indexOf(uint32_t id) const {
        if (dense) return id >= 1 && id <= p.nodeIds.size() ? int64_t{id} - 1 : -1;
        const auto it = std::lower_bound(p.nodeIds.begin(), p.nodeIds.end(), id);
        return it == p.nodeIds.end() || *it != id ? -1 : it - p.nodeIds.begin();
    }

    Parts& p;
    geo::GeoBox box;
    bool dense = false;
    int32_t nextLinkId = 1;
};
// Links leaving each node, in ascending link id, as one flat array; and each link's way back.
void linkNodes(Parts& p) {
    p.outStart.assign(p.nodes.size() + 1, 0);
    for (const CompactLink& l : p.links) ++p.outStart[l.origin + 1];
    for (size_t i = 1; i < p.outStart.size(); ++i) p.outStart[i] += p.outStart[i - 1];
    p.outLinks.resize(p.links.size());
    std::vector<uint32_t> fill(p.outStart.begin(), p.outStart.end() - 1);
    for (uint32_t i = 0; i < p.links.size(); ++i) p.outLinks[fill[p.links[i].origin]++] = i;
    for (CompactLink& l : p.links)
        for (uint32_t j = p.outStart[l.destination]; j < p.outStart[l.destination + 1]; ++j)
            if (p.links[p.outLinks[j]].destination == l.origin) l.mirror = p.outLinks[j];
}

// Every cell the segment passes through: the cells of its bounding box whose centre lies within half
// a cell diagonal of the segment.
template <typename Visit>
void forEachCell(const CompactLink& l, Visit visit) {
    const double size = CompactMap::kCellSize;
    const double reach = size * 0.7072;
    const int64_t x0 = CompactMap::cellOf(std::min(l.a.x, l.b.x)),
                  x1 = CompactMap::cellOf(std::max(l.a.x, l.b.x));
    const int64_t y0 = CompactMap::cellOf(std::min(l.a.y, l.b.y)),
                  y1 = CompactMap::cellOf(std::max(l.a.y, l.b.y));
    for (int64_t cx = x0; cx <= x1; ++cx)
        for (int64_t cy = y0; cy <= y1; ++cy) {
            const Point c{(static_cast<double>(cx) + 0.5) * size, (static_cast<double>(cy) + 0.5) * size};
            if (getNearestPointFromLink(l.a, l.b, c).second <= reach) visit(CompactMap::cellKey(cx, cy));
        }
}

void buildGrid(Parts& p) {
    // Counted first: a country's entries are a gigabyte, and a growing vector would need twice that.
    size_t count = 0;
    for (const CompactLink& l : p.links) forEachCell(l, [&](int64_t) { ++count; });
    std::vector<std::pair<int64_t, uint32_t>> entries;
    entries.reserve(count);
    for (uint32_t i = 0; i < p.links.size(); ++i)
        forEachCell(p.links[i], [&](int64_t key) { entries.emplace_back(key, i); });
    std::sort(entries.begin(), entries.end());
    p.cellLinks.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (p.cellKeys.empty() || p.cellKeys.back() != entries[i].first) {
            p.cellKeys.push_back(entries[i].first);
            p.cellStart.push_back(static_cast<uint32_t>(i));
        }
        p.cellLinks.push_back(entries[i].second);
    }
    p.cellStart.push_back(static_cast<uint32_t>(p.cellLinks.size()));
}

uint64_t headerChecksum(const Header& h) {
    return checksumBytes(&h, offsetof(Header, headerChecksum));
}

// The bytes of an image in order, to `put`: the header area first (zeros until `finish` gives the
// header), then the body, whose checksum is folded slice by slice as it passes, as bodyChecksum folds it.
class ImageWriter {
public:
    using Put = std::function<void(const std::byte*, size_t)>;
    explicit ImageWriter(Put put) : put(std::move(put)) {
        pending.reserve(kSliceBytes);
        const std::vector<std::byte> area(kHeaderArea);
        this->put(area.data(), area.size());
    }
    template <typename T>
    void section(std::vector<T>& v) {
        bytes(reinterpret_cast<const std::byte*>(v.data()), v.size() * sizeof(T));
        std::vector<T>().swap(v);  // written: its memory goes before the next section is copied
        static constexpr std::byte zeros[kAlign] = {};
        bytes(zeros, alignUp(written) - written);
    }
    // The body's checksum, once every section is written.
    uint64_t finish() {
        if (!pending.empty()) slice();
        return folded ^ written;
    }

private:
    void bytes(const std::byte* data, size_t n) {
        while (n > 0) {
            const size_t take = std::min(n, kSliceBytes - pending.size());
            pending.insert(pending.end(), data, data + take);
            data += take;
            n -= take;
            written += take;
            if (pending.size() == kSliceBytes) slice();
        }
    }
    void slice() {
        folded = mixIn(folded, checksumBytes(pending.data(), pending.size()));
        put(pending.data(), pending.size());
        pending.clear();
    }

    Put put;
    std::vector<std::byte> pending;
    uint64_t folded = kP3;
    size_t written = 0;  // body bytes
};

// The header of the parts' image, but for the body checksum and the header's own.
Header headerOf(const Parts& p, const SourceStamp& source) {
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = CompactMap::kFormatVersion;
    h.byteOrder = kByteOrder;
    h.source = source;
    h.zone = p.frame.zone();
    h.south = p.frame.south() ? 1 : 0;
    h.cellSize = CompactMap::kCellSize;
    const std::array<size_t, kSections> counts = {p.nodeIds.size(),   p.nodes.size(),    p.links.size(),
                                                  p.outStart.size(),  p.outLinks.size(), p.cellKeys.size(),
                                                  p.cellStart.size(), p.cellLinks.size()};
    size_t at = kHeaderArea;
    for (size_t s = 0; s < kSections; ++s) {
        h.offset[s] = at;
        h.count[s] = counts[s];
        at = alignUp(at + counts[s] * kElementSize[s]);
    }
    h.fileSize = at;
    return h;
}

// Writes the image of the parts to `put` and empties them section by section; the header, sealed,
// goes last to `putHeader` (which places it at the image's start).
void writeImage(Parts& p, const SourceStamp& source, const ImageWriter::Put& put,
                const std::function<void(const Header&)>& putHeader) {
    Header h = headerOf(p, source);
    ImageWriter out(put);
    out.section(p.nodeIds);
    out.section(p.nodes);
    out.section(p.links);
    out.section(p.outStart);
    out.section(p.outLinks);
    out.section(p.cellKeys);
    out.section(p.cellStart);
    out.section(p.cellLinks);
    h.bodyChecksum = out.finish();
    h.headerChecksum = headerChecksum(h);
    putHeader(h);
}

// The image in memory, in a buffer aligned for every element type the form holds.
std::shared_ptr<std::vector<std::byte>> layOut(Parts& p, const SourceStamp& source) {
    auto image = std::make_shared<std::vector<std::byte>>();
    image->reserve(headerOf(p, source).fileSize);
    writeImage(
        p, source, [&](const std::byte* data, size_t n) { image->insert(image->end(), data, data + n); },
        [&](const Header& h) { std::memcpy(image->data(), &h, sizeof h); });
    return image;
}

template <typename T>
std::span<const T> sectionOf(std::span<const std::byte> image, const Header& h, Section s) {
    return {reinterpret_cast<const T*>(image.data() + h.offset[s]), static_cast<size_t>(h.count[s])};
}

// The header's promises about sizes and places, before anything they point at is read.
bool layoutSound(const Header& h, size_t imageSize, std::string& why) {
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return (why = "not a compact map"), false;
    if (h.version != CompactMap::kFormatVersion || h.byteOrder != kByteOrder)
        return (why = "a compact map of another format or machine"), false;
    if (h.headerChecksum != headerChecksum(h)) return (why = "its header is damaged"), false;
    if (h.fileSize != imageSize) return (why = "it is cut short or overlong"), false;
    if (h.cellSize != CompactMap::kCellSize || h.zone < 0 || h.zone > 60 || h.south > 1)
        return (why = "its frame or grid is unknown"), false;
    uint64_t end = kHeaderArea;
    for (size_t s = 0; s < kSections; ++s) {
        if (h.offset[s] % kAlign != 0 || h.offset[s] < end || h.offset[s] > imageSize ||
            h.count[s] > (imageSize - h.offset[s]) / kElementSize[s])
            return (why = "a section lies outside the file"), false;
        end = h.offset[s] + h.count[s] * kElementSize[s];
    }
    const uint64_t nodes = h.count[kNodeIds], links = h.count[kLinks];
    if (h.count[kNodes] != nodes || h.count[kOutStart] != nodes + 1 || h.count[kOutLinks] != links ||
        h.count[kCellStart] != h.count[kCellKeys] + 1 || nodes >= CompactLink::kNoLink ||
        links >= CompactLink::kNoLink || h.count[kCellLinks] >= CompactLink::kNoLink)
        return (why = "its sections do not fit together"), false;
    return true;
}

// Gives the pages of a mapped file back once they are checked: a check of the whole file must not
// leave the whole file resident, only what the queries touch later. (Clean file pages: they come
// back from the page cache when read again.)
void release(const void* from, size_t bytes) {
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<uintptr_t>(from) / page * page;
    const auto end = reinterpret_cast<uintptr_t>(from) + bytes;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

// check(i) for every element, slice by slice, each slice released after its check when mapped.
template <typename T, typename Check>
bool scan(std::span<const T> items, bool mapped, Check check) {
    const size_t slice = kSliceBytes / sizeof(T);
    for (size_t from = 0; from < items.size(); from += slice) {
        const size_t to = std::min(items.size(), from + slice);
        for (size_t i = from; i < to; ++i)
            if (!check(i)) return false;
        if (mapped) release(items.data() + from, (to - from) * sizeof(T));
    }
    return true;
}

// Offsets into another array: start at 0, never fall, end at `total`.
bool offsetsSound(std::span<const uint32_t> starts, uint64_t total, bool mapped) {
    if (starts.empty() || starts.front() != 0 || starts.back() != total) return false;
    return scan(starts, mapped, [&](size_t i) { return i == 0 || starts[i] >= starts[i - 1]; });
}

// The body's checksum: a checksum per slice, folded (so the body can be read slice by slice).
uint64_t bodyChecksum(std::span<const std::byte> image, bool mapped) {
    uint64_t h = kP3;
    const std::span<const std::byte> body = image.subspan(kHeaderArea);
    scan(body, false, [](size_t) { return true; });  // (no per-byte check)
    for (size_t from = 0; from < body.size(); from += kSliceBytes) {
        const size_t n = std::min(kSliceBytes, body.size() - from);
        h = mixIn(h, checksumBytes(body.data() + from, n));
        if (mapped) release(body.data() + from, n);
    }
    return h ^ body.size();
}

struct FileCloser {
    void operator()(const int* fd) const {
        if (*fd >= 0) close(*fd);
    }
};

}  // namespace

uint64_t checksumBytes(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::array<uint64_t, 4> lane = {kP1 + kP2, kP2, 0, kP3};
    size_t i = 0;
    for (; i + 32 <= size; i += 32)
        for (size_t k = 0; k < 4; ++k) lane[k] = mixIn(lane[k], load64(p + i + 8 * k));
    uint64_t h =
        std::rotl(lane[0], 1) + std::rotl(lane[1], 7) + std::rotl(lane[2], 12) + std::rotl(lane[3], 18);
    for (; i + 8 <= size; i += 8) h = mixIn(h, load64(p + i));
    for (; i < size; ++i) h = mixIn(h, p[i]);
    h ^= size;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    return h;
}

std::optional<SourceStamp> stampFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    const std::unique_ptr<const int, FileCloser> closer(&fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    SourceStamp s;
    s.takenNs = nowNs();
    s.size = static_cast<uint64_t>(st.st_size);
    s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    s.inode = static_cast<uint64_t>(st.st_ino);
    // Chunk by chunk, each chunk's checksum folded in: the whole file never sits in memory.
    std::vector<unsigned char> chunk(1 << 20);
    uint64_t h = kP3, read = 0;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        h = mixIn(h, checksumBytes(chunk.data(), static_cast<size_t>(n)));
        read += static_cast<uint64_t>(n);
    }
    if (read != s.size) return std::nullopt;  // it changed while it was read
    s.checksum = h;
    return s;
}

void CompactMap::seal(std::span<std::byte> image) {
    if (image.size() < kHeaderArea) return;
    Header h;
    std::memcpy(&h, image.data(), sizeof h);
    h.bodyChecksum = bodyChecksum(image, false);
    h.headerChecksum = headerChecksum(h);
    std::memcpy(image.data(), &h, sizeof h);
}

std::string CompactMap::pathBeside(const std::string& mapPath) {
    return mapPath + ".compact";
}

int64_t CompactMap::cellOf(double v) {
    return static_cast<int64_t>(std::floor(v / kCellSize));
}

int64_t CompactMap::cellKey(int64_t cx, int64_t cy) {
    // Two 32-bit halves: plane metres divided by the cell size fit easily.
    constexpr int64_t kCellBias = int64_t{1} << 31;
    return ((cx + kCellBias) << 32) | (cy + kCellBias);
}

CompactMap CompactMap::inMemory(CompactParts& parts, const SourceStamp& source) {
    auto image = layOut(parts, source);
    std::string why;
    const std::span<const std::byte> bytes(image->data(), image->size());
    std::optional<CompactMap> made = over(std::move(image), bytes, why, false);
    return std::move(*made);  // what was just laid out passes its own checks
}

CompactMap CompactMap::build(const Map& map, const SourceStamp& source) {
    CompactParts parts;
    readNodesAndLinks(map, parts);
    linkNodes(parts);
    buildGrid(parts);
    return inMemory(parts, source);
}

CompactBuilder::CompactBuilder() = default;
CompactBuilder::~CompactBuilder() = default;

bool CompactBuilder::readText(const std::string& mapPath) {
    parts = std::make_unique<CompactParts>();
    PartsSink sink(*parts);
    std::ostream silent(nullptr);  // the loader says it again when it reads what this refuses
    try {
        if (!readMapText(mapPath, sink, silent) && sink.usable) {
            linkNodes(*parts);
            buildGrid(*parts);
            return true;
        }
    } catch (const std::bad_alloc&) {
        // Room the file's counts promised but memory could not give: the loader decides.
    }
    parts.reset();
    return false;
}

void CompactBuilder::readArrays(std::vector<BulkNode>&& nodes, std::vector<BulkLink>&& links) {
    parts = std::make_unique<CompactParts>();
    PartsSink sink(*parts);
    sink.expectNodes(nodes.size());
    for (const BulkNode& n : nodes) sink.addNode(n.id, n.lat, n.lon, n.averageSnr, n.hdop);
    sink.nodesRead(0);
    std::vector<BulkNode>().swap(nodes);
    sink.expectLinks(links.size());
    for (const BulkLink& l : links) sink.addLink(l.origin, l.destination, l.speed, l.samples);
    std::vector<BulkLink>().swap(links);
    linkNodes(*parts);
    buildGrid(*parts);
}

CompactMap CompactBuilder::inMemory(const SourceStamp& source) {
    CompactMap made = CompactMap::inMemory(*parts, source);
    parts.reset();
    return made;
}

bool CompactBuilder::save(const std::string& path, const SourceStamp& source, std::string& why) {
    if (!parts) return (why = "no map was read"), false;
    AtomicFile file(path);
    if (!file.isOpen()) {
        parts.reset();
        return (why = file.error()), false;
    }
    std::ofstream& out = file.stream();
    writeImage(
        *parts, source,
        [&](const std::byte* data, size_t n) {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
        },
        [&](const Header& h) {
            out.seekp(0);
            out.write(reinterpret_cast<const char*>(&h), sizeof h);
        });
    parts.reset();
    if (!file.commit()) return (why = file.error().empty() ? "could not write " + path : file.error()), false;
    return true;
}

std::optional<CompactMap> CompactMap::open(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return (why = std::strerror(errno)), std::nullopt;
    const std::unique_ptr<const int, FileCloser> closer(&fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return (why = "not a regular file"), std::nullopt;
    const auto size = static_cast<size_t>(st.st_size);
    if (size < kHeaderArea) return (why = "it is cut short or overlong"), std::nullopt;
    void* at = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) return (why = std::strerror(errno)), std::nullopt;
    std::shared_ptr<const void> mapping(at, [size](const void* p) { munmap(const_cast<void*>(p), size); });
    return over(std::move(mapping), {static_cast<const std::byte*>(at), size}, why, true);
}

std::optional<CompactMap> CompactMap::over(std::shared_ptr<const void> owner,
                                           std::span<const std::byte> image, std::string& why, bool mapped) {
    Header h;
    if (image.size() < kHeaderArea) return (why = "it is cut short or overlong"), std::nullopt;
    std::memcpy(&h, image.data(), sizeof h);
    if (!layoutSound(h, image.size(), why)) return std::nullopt;
    if (std::any_of(image.begin() + sizeof h, image.begin() + kHeaderArea,
                    [](std::byte b) { return b != std::byte{0}; }))
        return (why = "its header is damaged"), std::nullopt;
    if (bodyChecksum(image, mapped) != h.bodyChecksum)
        return (why = "its contents are damaged"), std::nullopt;
    CompactMap m;
    m.owner = std::move(owner);
    m.image = image;
    m.frame = h.zone == 0 ? geo::PlaneFrame() : geo::PlaneFrame::ofZone(h.zone, h.south != 0);
    m.nodeIds = sectionOf<uint32_t>(image, h, kNodeIds);
    m.nodes = sectionOf<CompactNode>(image, h, kNodes);
    m.links = sectionOf<CompactLink>(image, h, kLinks);
    m.outStart = sectionOf<uint32_t>(image, h, kOutStart);
    m.outLinks = sectionOf<uint32_t>(image, h, kOutLinks);
    m.cellKeys = sectionOf<int64_t>(image, h, kCellKeys);
    m.cellStart = sectionOf<uint32_t>(image, h, kCellStart);
    m.cellLinks = sectionOf<uint32_t>(image, h, kCellLinks);
    if (!m.indicesSound(why, mapped)) return std::nullopt;
    return m;
}

// Every index the form holds points inside the array it indexes, and the ordered arrays are ordered:
// no lookup or walk can then leave the mapping, whatever the file says.
bool CompactMap::indicesSound(std::string& why, bool mapped) const {
    const uint64_t n = nodes.size(), l = links.size();
    if (!scan(nodeIds, mapped, [&](size_t i) { return i == 0 || nodeIds[i] > nodeIds[i - 1]; }))
        return (why = "its nodes are out of order"), false;
    if (!scan(links, mapped, [&](size_t i) {
            const CompactLink& x = links[i];
            return (i == 0 || x.id > links[i - 1].id) && x.origin < n && x.destination < n &&
                   (x.mirror == CompactLink::kNoLink || x.mirror < l);
        }))
        return (why = "a link names what is not there"), false;
    if (!offsetsSound(outStart, l, mapped) ||
        !scan(outLinks, mapped, [&](size_t i) { return outLinks[i] < l; }))
        return (why = "the links of a node are not there"), false;
    if (!scan(cellKeys, mapped, [&](size_t i) { return i == 0 || cellKeys[i] > cellKeys[i - 1]; }))
        return (why = "its grid is out of order"), false;
    if (!offsetsSound(cellStart, cellLinks.size(), mapped) ||
        !scan(cellLinks, mapped, [&](size_t i) { return cellLinks[i] < l; }))
        return (why = "the links of a grid cell are not there"), false;
    return true;
}

bool CompactMap::save(const std::string& path, std::string& why) const {
    AtomicFile file(path);
    if (!file.isOpen()) return (why = file.error()), false;
    file.stream().write(reinterpret_cast<const char*>(image.data()),
                        static_cast<std::streamsize>(image.size()));
    if (!file.commit()) return (why = file.error().empty() ? "could not write " + path : file.error()), false;
    return true;
}

const SourceStamp& CompactMap::source() const {
    return reinterpret_cast<const Header*>(image.data())->source;
}

bool CompactMap::servesFile(const std::string& mapPath) const {
    const SourceStamp& made = source();
    struct stat st {};
    if (stat(mapPath.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != made.size) return false;
    const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    const bool racy = made.mtimeNs + kRacyNs > made.takenNs;
    if (mtime == made.mtimeNs && static_cast<uint64_t>(st.st_ino) == made.inode && !racy) return true;
    // Copied, touched, or written too close to the stamp for its time to tell: the contents decide.
    const std::optional<SourceStamp> now = stampFile(mapPath);
    return now && now->size == made.size && now->checksum == made.checksum;
}

int64_t CompactMap::nodeIndexOf(uint32_t id) const {
    const auto it = std::lower_bound(nodeIds.begin(), nodeIds.end(), id);
    return it == nodeIds.end() || *it != id ? -1 : it - nodeIds.begin();
}

const CompactNode* CompactMap::findNode(uint32_t id) const {
    const int64_t i = nodeIndexOf(id);
    return i < 0 ? nullptr : &nodes[static_cast<size_t>(i)];
}

int64_t CompactMap::linkIndexOf(int32_t id) const {
    const auto it = std::ranges::lower_bound(links, id, {}, &CompactLink::id);
    return it == links.end() || it->id != id ? -1 : it - links.begin();
}

const CompactLink* CompactMap::findLink(int32_t id) const {
    const int64_t i = linkIndexOf(id);
    return i < 0 ? nullptr : &links[static_cast<size_t>(i)];
}

_position CompactMap::nodePosition(uint32_t id) const {
    const CompactNode* n = findNode(id);
    return n ? _position{n->latitude, n->longitude} : _position{0.0, 0.0};
}

}  // namespace mapRepresentation
