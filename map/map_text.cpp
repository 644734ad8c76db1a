#include "map/map_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "map/atomic_file.h"
#include "map/maps.h"

using mapRepresentation::AtomicFile;

namespace mapRepresentation {

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

    // A count of lines, cut to what the rest of the file can hold (a line of four numbers with their
    // blanks and line end has eight bytes at least): a count alone never makes room for more.
    uint64_t linesAtMost(long long count) const {
        struct stat st {};
        const long long rest = fstat(fileno(file), &st) == 0 ? st.st_size - consumed : 0;
        return static_cast<uint64_t>(std::max(0LL, std::min(count, rest / 8)));
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
void readNodeLines(MapTextSink& sink, MapFileReader& in, long long count) {
    sink.expectNodes(in.linesAtMost(count));
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
        if (sink.hasNode(nodeId)) {
            sink.addNode(nodeId, lat, lon, snr, hdop);  // says that the first node stays
            in.refuse("node id " + std::to_string(id) + " given twice");
            continue;
        }
        sink.addNode(nodeId, lat, lon, snr, hdop);
        if (!haveNode || nodeId > largestId) largestId = nodeId;
        haveNode = true;
    }
    sink.nodesRead(haveNode ? largestId + 1 : 1);
}

// The link count and M link lines, then nothing but blank lines. Every line takes the next link id,
// refused lines included, so the links after a refused line keep the ids of their file position.
void readLinkLines(MapTextSink& sink, MapFileReader& in) {
    if (!in.next(false, "link count")) return;
    long long linkCount = 0;
    if (!in.readCount(INT32_MAX - 1, linkCount, "link count")) return;
    sink.expectLinks(in.linesAtMost(linkCount));
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
            sink.skipLinkId();
            in.refuse("a node id or the sample count does not fit");
            continue;
        }
        if (!sink.addLink(static_cast<uint32_t>(origin), static_cast<uint32_t>(destination), speed,
                          static_cast<uint32_t>(samples)))
            in.refuse("link " + std::to_string(origin) + " -> " + std::to_string(destination) + " refused");
    }
    in.expectNoMoreLines();
}

}  // namespace

bool readMapText(const std::string& path, MapTextSink& sink, std::ostream& messages) {
    bool failed = false;
    std::unique_ptr<FILE, FileCloser> file = openMapFile(path, failed, messages);
    if (!file) return failed;
    MapFileReader in(file.get(), path, messages);
    // A file that stops right after its nodes simply has no links; an empty file is an empty map.
    if (in.next(false, "node count")) {
        long long nodeCount = 0;
        if (in.readCount(kLargestNodeId + 1, nodeCount, "node count")) {
            readNodeLines(sink, in, nodeCount);
            if (!in.stopped) readLinkLines(sink, in);
        }
    }
    return in.failed;
}

namespace {
constexpr size_t kChunk = 1 << 16;
}  // namespace

MapTextWriter::MapTextWriter(std::ostream& out) : out(out) {
    buf.reserve(kChunk + 256);
}

MapTextWriter::~MapTextWriter() {
    flush();
}

void MapTextWriter::flush() {
    out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
    buf.clear();
}

void MapTextWriter::number(double v) {
    char tmp[400];  // fixed notation of the largest double with 9 decimals fits
    const auto r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::fixed, 9);
    buf.append(tmp, r.ptr);
}

void MapTextWriter::number(uint64_t v) {
    char tmp[24];
    buf.append(tmp, std::to_chars(tmp, tmp + sizeof tmp, v).ptr);
}

void MapTextWriter::number(int64_t v) {
    char tmp[24];
    buf.append(tmp, std::to_chars(tmp, tmp + sizeof tmp, v).ptr);
}

void MapTextWriter::endLine() {
    buf += '\n';
    if (buf.size() >= kChunk) flush();
}

void MapTextWriter::count(uint64_t n) {
    number(n);
    endLine();
}

void MapTextWriter::node(uint32_t id, double lat, double lon, double averageSnr, double hdop) {
    number(uint64_t{id});
    buf += "  ";
    number(lon);
    buf += "  ";
    number(lat);
    buf += ' ';
    number(averageSnr);
    buf += ' ';
    number(hdop);
    endLine();
}

void MapTextWriter::link(uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    number(uint64_t{origin});
    buf += "  ";
    number(uint64_t{destination});
    buf += ' ';
    number(speed);
    buf += ' ';
    number(uint64_t{samples});
    endLine();
}

void MapTextWriter::link(int32_t id, uint32_t origin, uint32_t destination, double heading, double length,
                         double speed, uint32_t samples) {
    number(int64_t{id});
    buf += ' ';
    number(uint64_t{origin});
    buf += "  ";
    number(uint64_t{destination});
    for (const double v : {heading, length, speed}) {
        buf += ' ';
        number(v);
    }
    buf += ' ';
    number(uint64_t{samples});
    endLine();
}

bool saveMapText(const std::string& path, const std::vector<BulkNode>& nodes,
                 const std::vector<BulkLink>& links, std::ostream& messages) {
    AtomicFile file(path);
    if (!file.isOpen()) {
        messages << "ERROR: could not create map file " << path << "; the previous file is unchanged."
                 << std::endl;
        return false;
    }
    {
        MapTextWriter out(file.stream());
        out.count(nodes.size());
        for (const BulkNode& n : nodes) out.node(n.id, n.lat, n.lon, n.averageSnr, n.hdop);
        out.count(links.size());
        for (const BulkLink& l : links) out.link(l.origin, l.destination, l.speed, l.samples);
    }
    if (file.commit()) return true;
    messages << "ERROR: could not write map file " << path << "; the previous file is unchanged."
             << std::endl;
    return false;
}

}  // namespace mapRepresentation
