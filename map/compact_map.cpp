#include "map/compact_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <mutex>
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

using Section = CompactMap::Section;
constexpr size_t kSections = CompactMap::kSections;
constexpr std::array<size_t, kSections> kElementSize = {
    4, sizeof(CompactNode), sizeof(CompactLink), 4, 4, 8, 4, 4};
// How the values of a section follow each other: ids and cell keys rise strictly, the offsets into
// another array never fall, the rest is in no order.
enum class Order { None, Strict, Rising };
constexpr std::array<Order, kSections> kOrder = {Order::Strict, Order::None,   Order::Strict, Order::Rising,
                                                 Order::None,   Order::Strict, Order::Rising, Order::None};
constexpr size_t kAlign = 64;
constexpr size_t kHeaderArea = 512;  // the header, padded; the body starts here
// Each section is cut into slices of a power of two bytes, from a page up to 64 KiB: a query that
// reaches one link of a slice pays for checking the slice, and the drive of one street reaches links
// scattered over the whole file (ids follow the ways, not the ground). A country's table is then a
// megabyte or two, read at the open in a millisecond.
constexpr size_t kMinSlice = size_t{1} << 12, kMaxSlice = size_t{1} << 16;
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
    uint64_t sliceBytes;
    uint64_t tableOffset;  // the slice table: one entry per slice, section by section
    CompactArea area;
    uint64_t fileSize;
    uint64_t tableChecksum;
    uint64_t headerChecksum;  // of every byte above
};
static_assert(sizeof(Header) <= kHeaderArea && std::is_trivially_copyable_v<Header>);

// What the table holds of a slice.
struct SliceFacts {
    uint64_t checksum = 0;
    int64_t first = 0, last = 0;  // its first and last value, in a section with an order
    bool operator==(const SliceFacts&) const = default;
};
static_assert(sizeof(SliceFacts) == 24 && std::is_trivially_copyable_v<SliceFacts>);

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

int64_t keyAt(Section s, const std::byte* element) {
    switch (s) {
        case CompactMap::kNodeIds:
        case CompactMap::kOutStart:
        case CompactMap::kCellStart: {
            uint32_t v;
            std::memcpy(&v, element, 4);
            return v;
        }
        case CompactMap::kLinks: {
            int32_t id;
            std::memcpy(&id, element + offsetof(CompactLink, id), 4);
            return id;
        }
        case CompactMap::kCellKeys: {
            int64_t v;
            std::memcpy(&v, element, 8);
            return v;
        }
        default:
            return 0;
    }
}

// The facts of a slice of section s: n bytes, whole elements.
SliceFacts factsOf(Section s, const std::byte* data, size_t n) {
    SliceFacts f;
    f.checksum = checksumBytes(data, n);
    if (kOrder[s] != Order::None && n > 0) {
        f.first = keyAt(s, data);
        f.last = keyAt(s, data + n - kElementSize[s]);
    }
    return f;
}

size_t sectionBytes(const Header& h, size_t s) {
    return h.count[s] * kElementSize[s];
}

size_t slicesOf(const Header& h, size_t s) {
    return (sectionBytes(h, s) + h.sliceBytes - 1) / h.sliceBytes;
}

size_t sliceCount(const Header& h) {
    size_t n = 0;
    for (size_t s = 0; s < kSections; ++s) n += slicesOf(h, s);
    return n;
}

// The bytes of an image in order, to `put`: the header area first (zeros until `finish` gives the
// header), then the sections, each cut into slices whose facts are gathered as they pass, then the
// table of those facts.
class ImageWriter {
public:
    using Put = std::function<void(const std::byte*, size_t)>;
    ImageWriter(Put put, size_t sliceBytes) : put(std::move(put)), sliceBytes(sliceBytes) {
        const std::vector<std::byte> area(kHeaderArea);
        this->put(area.data(), area.size());
    }
    template <typename T>
    void section(Section s, std::vector<T>& v) {
        const auto* data = reinterpret_cast<const std::byte*>(v.data());
        const size_t n = v.size() * sizeof(T);
        for (size_t from = 0; from < n; from += sliceBytes) {
            const size_t take = std::min(sliceBytes, n - from);
            table.push_back(factsOf(s, data + from, take));
            put(data + from, take);
        }
        written += n;
        std::vector<T>().swap(v);  // written: its memory goes before the next section is copied
        pad();
    }
    // Writes the table, once every section is written; its checksum.
    uint64_t finish() {
        const auto* data = reinterpret_cast<const std::byte*>(table.data());
        const size_t n = table.size() * sizeof(SliceFacts);
        put(data, n);
        written += n;
        pad();
        return checksumBytes(data, n);
    }

private:
    void pad() {
        static constexpr std::byte zeros[kAlign] = {};
        put(zeros, alignUp(written) - written);
        written = alignUp(written);
    }

    Put put;
    size_t sliceBytes;
    std::vector<SliceFacts> table;
    size_t written = kHeaderArea;
};

// The header of the parts' image, but for the table's checksum and the header's own.
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
    h.sliceBytes = std::clamp(std::bit_ceil((at - kHeaderArea) / 4096 + 1), kMinSlice, kMaxSlice);
    h.tableOffset = at;
    h.fileSize = alignUp(at + sliceCount(h) * sizeof(SliceFacts));
    for (size_t i = 0; i < p.nodes.size(); ++i) {
        const CompactNode& n = p.nodes[i];
        if (i == 0) h.area = CompactArea{n.latitude, n.longitude, n.latitude, n.longitude};
        h.area.south = std::min(h.area.south, n.latitude);
        h.area.north = std::max(h.area.north, n.latitude);
        h.area.west = std::min(h.area.west, n.longitude);
        h.area.east = std::max(h.area.east, n.longitude);
    }
    return h;
}

// Writes the image of the parts to `put` and empties them section by section; the header, sealed,
// goes last to `putHeader` (which places it at the image's start).
void writeImage(Parts& p, const SourceStamp& source, const ImageWriter::Put& put,
                const std::function<void(const Header&)>& putHeader) {
    Header h = headerOf(p, source);
    ImageWriter out(put, h.sliceBytes);
    out.section(CompactMap::kNodeIds, p.nodeIds);
    out.section(CompactMap::kNodes, p.nodes);
    out.section(CompactMap::kLinks, p.links);
    out.section(CompactMap::kOutStart, p.outStart);
    out.section(CompactMap::kOutLinks, p.outLinks);
    out.section(CompactMap::kCellKeys, p.cellKeys);
    out.section(CompactMap::kCellStart, p.cellStart);
    out.section(CompactMap::kCellLinks, p.cellLinks);
    h.tableChecksum = out.finish();
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

std::span<const SliceFacts> tableOf(std::span<const std::byte> image, const Header& h) {
    return {reinterpret_cast<const SliceFacts*>(image.data() + h.tableOffset), sliceCount(h)};
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
    if (!std::has_single_bit(h.sliceBytes) || h.sliceBytes < kMinSlice || h.sliceBytes > kMaxSlice)
        return (why = "its slices are unknown"), false;
    uint64_t end = kHeaderArea;
    for (size_t s = 0; s < kSections; ++s) {
        if (h.offset[s] % kAlign != 0 || h.offset[s] < end || h.offset[s] > imageSize ||
            h.count[s] > (imageSize - h.offset[s]) / kElementSize[s])
            return (why = "a section lies outside the file"), false;
        end = h.offset[s] + h.count[s] * kElementSize[s];
    }
    if (h.tableOffset % kAlign != 0 || h.tableOffset < end || h.tableOffset > imageSize ||
        sliceCount(h) > (imageSize - h.tableOffset) / sizeof(SliceFacts))
        return (why = "its slice table lies outside the file"), false;
    const uint64_t nodes = h.count[CompactMap::kNodeIds], links = h.count[CompactMap::kLinks];
    if (h.count[CompactMap::kNodes] != nodes || h.count[CompactMap::kOutStart] != nodes + 1 ||
        h.count[CompactMap::kOutLinks] != links ||
        h.count[CompactMap::kCellStart] != h.count[CompactMap::kCellKeys] + 1 ||
        nodes >= CompactLink::kNoLink || links >= CompactLink::kNoLink ||
        h.count[CompactMap::kCellLinks] >= CompactLink::kNoLink)
        return (why = "its sections do not fit together"), false;
    return true;
}

// The table's promises, which the slices are held to when they are checked: within each section the
// ordered values keep their order from slice to slice, and the offsets run from 0 to the length of
// the array they index. A slice that keeps its own order and matches its facts then keeps the order
// of the whole section.
bool tableSound(const Header& h, std::span<const SliceFacts> table, std::string& why) {
    size_t k = 0;
    for (size_t s = 0; s < kSections; ++s) {
        const size_t n = slicesOf(h, s);
        for (size_t i = k; i < k + n; ++i) {
            const SliceFacts& f = table[i];
            const bool ordered = kOrder[s] == Order::None
                                     ? f.first == 0 && f.last == 0
                                     : f.first <= f.last && (i == k || (kOrder[s] == Order::Strict
                                                                            ? table[i - 1].last < f.first
                                                                            : table[i - 1].last <= f.first));
            if (!ordered) return (why = "its slice table is out of order"), false;
        }
        if (kOrder[s] == Order::Rising) {
            const uint64_t total =
                h.count[s == CompactMap::kOutStart ? CompactMap::kOutLinks : CompactMap::kCellLinks];
            if (n == 0 || table[k].first != 0 || static_cast<uint64_t>(table[k + n - 1].last) != total)
                return (why = "its offsets do not span their arrays"), false;
        }
        k += n;
    }
    return true;
}

// The name of a section in messages.
const char* sectionName(size_t s) {
    static constexpr std::array<const char*, kSections> names = {
        "node ids",          "nodes",          "links", "node link offsets", "node links", "grid cells",
        "grid cell offsets", "grid cell links"};
    return names[s];
}

// The damage handler in force; null for the default.
std::atomic<CompactMap::DamageHandler> damageHandler{nullptr};

[[noreturn]] void endOnDamage(const std::string& message) {
    // The first thread to meet the damage says so; any other waits here for the end.
    static std::mutex speaking;
    speaking.lock();
    std::cout << "ERROR: " << message << std::endl;
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(1);
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
    h.headerChecksum = headerChecksum(h);
    if (std::string why; !layoutSound(h, image.size(), why)) return;
    std::vector<SliceFacts> table;
    for (size_t s = 0; s < kSections; ++s)
        for (size_t from = 0; from < sectionBytes(h, s); from += h.sliceBytes)
            table.push_back(factsOf(static_cast<Section>(s), image.data() + h.offset[s] + from,
                                    std::min<size_t>(h.sliceBytes, sectionBytes(h, s) - from)));
    std::memcpy(image.data() + h.tableOffset, table.data(), table.size() * sizeof(SliceFacts));
    h.tableChecksum = checksumBytes(table.data(), table.size() * sizeof(SliceFacts));
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
    std::optional<CompactMap> made = over(std::move(image), bytes, why, "");
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
    return over(std::move(mapping), {static_cast<const std::byte*>(at), size}, why, path);
}

// The table, each slice's state (unchecked, sound) and the file's name, shared by the copies of a map.
struct CompactMap::Slices {
    Header header;
    std::span<const SliceFacts> table;
    std::unique_ptr<std::atomic<uint8_t>[]> state;
    std::string name;
};

std::optional<CompactMap> CompactMap::over(std::shared_ptr<const void> owner,
                                           std::span<const std::byte> image, std::string& why,
                                           const std::string& name) {
    Header h;
    if (image.size() < kHeaderArea) return (why = "it is cut short or overlong"), std::nullopt;
    std::memcpy(&h, image.data(), sizeof h);
    if (!layoutSound(h, image.size(), why)) return std::nullopt;
    if (std::any_of(image.begin() + sizeof h, image.begin() + kHeaderArea,
                    [](std::byte b) { return b != std::byte{0}; }))
        return (why = "its header is damaged"), std::nullopt;
    const std::span<const SliceFacts> table = tableOf(image, h);
    if (checksumBytes(table.data(), table.size_bytes()) != h.tableChecksum)
        return (why = "its slice table is damaged"), std::nullopt;
    if (!tableSound(h, table, why)) return std::nullopt;
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
    for (size_t s = 0; s < kSections; ++s) m.sliceBase[s + 1] = m.sliceBase[s] + slicesOf(h, s);
    m.sliceShift = static_cast<unsigned>(std::countr_zero(h.sliceBytes));
    m.slices = std::make_shared<Slices>();
    m.slices->header = h;
    m.slices->table = table;
    m.slices->state = std::make_unique<std::atomic<uint8_t>[]>(table.size());
    m.slices->name = name;
    m.state = m.slices->state.get();
    // What was just laid out in memory is sound by construction.
    if (name.empty())
        for (size_t k = 0; k < table.size(); ++k) m.state[k].store(kSound, std::memory_order_relaxed);
    return m;
}

std::string CompactMap::sliceProblem(size_t k) const {
    const size_t s =
        static_cast<size_t>(std::upper_bound(sliceBase.begin(), sliceBase.end(), k) - sliceBase.begin()) - 1;
    const Header& h = slices->header;
    const size_t from = (k - sliceBase[s]) << sliceShift;
    const size_t n = std::min<size_t>(h.sliceBytes, sectionBytes(h, s) - from);
    const std::byte* data = image.data() + h.offset[s] + from;
    const std::string where = "slice " + std::to_string(k - sliceBase[s] + 1) + " of its " + sectionName(s);
    const SliceFacts facts = factsOf(static_cast<Section>(s), data, n);
    if (facts.checksum != slices->table[k].checksum) return "the contents of " + where + " are damaged";
    if (facts != slices->table[k]) return where + " is not what its table says";
    const size_t size = kElementSize[s], count = n / size;
    const uint64_t nodeCount = nodes.size(), linkCount = links.size();
    for (size_t i = 0; i < count; ++i) {
        const std::byte* e = data + i * size;
        if (i > 0 && kOrder[s] != Order::None) {
            const int64_t before = keyAt(static_cast<Section>(s), e - size),
                          now = keyAt(static_cast<Section>(s), e);
            if (kOrder[s] == Order::Strict ? now <= before : now < before) return where + " is out of order";
        }
        if (s == kLinks) {
            CompactLink l;
            std::memcpy(&l, e, sizeof l);
            if (l.origin >= nodeCount || l.destination >= nodeCount ||
                (l.mirror != CompactLink::kNoLink && l.mirror >= linkCount))
                return "a link in " + where + " names what is not there";
        } else if (s == kOutLinks || s == kCellLinks) {
            uint32_t v;
            std::memcpy(&v, e, 4);
            if (v >= linkCount) return where + " names a link that is not there";
        }
    }
    return "";
}

void CompactMap::checkSlice(size_t k) const {
    // Two threads may check one slice at once: both come to the same answer.
    const std::string problem = sliceProblem(k);
    if (problem.empty()) {
        state[k].store(kSound, std::memory_order_release);
        return;
    }
    const std::string message = "the compact map " + slices->name + " is damaged (" + problem +
                                "); delete it, and the next start makes it again from the map";
    if (const DamageHandler handler = damageHandler.load()) handler(message);
    endOnDamage(message);  // a handler that returned cannot be served either
}

void CompactMap::onDamage(DamageHandler handler) {
    damageHandler = handler;
}

std::string CompactMap::checkAll() const {
    for (size_t k = 0; k < sliceBase[kSections]; ++k) {
        if (state[k].load(std::memory_order_acquire) == kSound) continue;
        if (std::string problem = sliceProblem(k); !problem.empty())
            return "the compact map " + slices->name + " is damaged (" + problem + ")";
        state[k].store(kSound, std::memory_order_release);
    }
    return "";
}

size_t CompactMap::sliceFor(Section s, int64_t key) const {
    const auto begin = slices->table.begin() + static_cast<std::ptrdiff_t>(sliceBase[s]);
    const auto end = slices->table.begin() + static_cast<std::ptrdiff_t>(sliceBase[s + 1]);
    return sliceBase[s] +
           static_cast<size_t>(
               std::lower_bound(begin, end, key, [](const SliceFacts& f, int64_t v) { return f.last < v; }) -
               begin);
}

// The elements [from, to) of the slice of section s that holds `key` if any does, that slice checked.
std::pair<size_t, size_t> CompactMap::sliceHolding(Section s, int64_t key, size_t count) const {
    const size_t k = sliceFor(s, key);
    if (k == sliceBase[s + 1]) return {count, count};
    const size_t per = (size_t{1} << sliceShift) / kElementSize[s];
    const size_t from = (k - sliceBase[s]) * per, to = std::min(count, from + per);
    touch(s, from * kElementSize[s], to * kElementSize[s]);
    return {from, to};
}

std::span<const uint32_t> CompactMap::gridLinksAt(int64_t key) const {
    const auto [from, to] = sliceHolding(kCellKeys, key, cellKeys.size());
    const auto it = std::lower_bound(cellKeys.begin() + static_cast<std::ptrdiff_t>(from),
                                     cellKeys.begin() + static_cast<std::ptrdiff_t>(to), key);
    if (it == cellKeys.begin() + static_cast<std::ptrdiff_t>(to) || *it != key) return {};
    return ranged(kCellStart, cellStart, kCellLinks, cellLinks, static_cast<size_t>(it - cellKeys.begin()));
}

std::optional<CompactArea> CompactMap::area() const {
    if (nodes.empty()) return std::nullopt;
    return slices->header.area;
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
    const auto [from, to] = sliceHolding(kNodeIds, id, nodeIds.size());
    const auto end = nodeIds.begin() + static_cast<std::ptrdiff_t>(to);
    const auto it = std::lower_bound(nodeIds.begin() + static_cast<std::ptrdiff_t>(from), end, id);
    return it == end || *it != id ? -1 : it - nodeIds.begin();
}

const CompactNode* CompactMap::findNode(uint32_t id) const {
    const int64_t i = nodeIndexOf(id);
    return i < 0 ? nullptr : &node(static_cast<uint32_t>(i));
}

int64_t CompactMap::linkIndexOf(int32_t id) const {
    const auto [from, to] = sliceHolding(kLinks, id, links.size());
    const auto end = links.begin() + static_cast<std::ptrdiff_t>(to);
    const auto it = std::lower_bound(links.begin() + static_cast<std::ptrdiff_t>(from), end, id,
                                     [](const CompactLink& l, int32_t v) { return l.id < v; });
    return it == end || it->id != id ? -1 : it - links.begin();
}

const CompactLink* CompactMap::findLink(int32_t id) const {
    const int64_t i = linkIndexOf(id);
    return i < 0 ? nullptr : &link(static_cast<uint32_t>(i));
}

_position CompactMap::nodePosition(uint32_t id) const {
    const CompactNode* n = findNode(id);
    return n ? _position{n->latitude, n->longitude} : _position{0.0, 0.0};
}

}  // namespace mapRepresentation
