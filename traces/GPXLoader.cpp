#include "traces/GPXLoader.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <ostream>
#include <vector>

#include "geometry/GPSPoint.h"
#include "traces/NMEALoader.h"
#include "traces/input_file.h"
#include "traces/trace_time.h"

using traces::kNmeaNoHdop;

namespace {

// The log is read as a stream of parser events: memory stays flat for long logs, and every event
// knows its exact line (a tree's nodes keep only 16 bits of it).

struct ContextDeleter {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct DocumentDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

// Bounds on what one file may ask of the reader, far above any real log: a longer tag (hundreds of
// thousands of attributes cost libxml2 quadratic time) or a longer point value is refused.
constexpr size_t kMaxTagBytes = 16 * 1024;
constexpr size_t kMaxValueBytes = 4096;

// Why a file was refused and where; line 0 when the place is not known.
struct Refusal {
    long line = 0;
    std::string reason;
};

// What the file says about one point beyond its position and time.
struct PointExtras {
    std::optional<double> speed;    // m/s
    std::optional<double> heading;  // radians
};

// Where the reading stands.
struct Reading {
    Route route;
    std::vector<PointExtras> extras;
    Refusal refusal;
    std::vector<std::string> open;  // names of the open elements, outermost first
    _node point;                    // the <trkpt> being read
    PointExtras extra;
    std::string text;  // character data of the open child of a <trkpt>
    long textLine = 0;
};

// A whole-field decimal number (blanks around it allowed); nothing for text, overflow or NaN.
std::optional<double> number(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    if (*end != '\0') return std::nullopt;
    return v;
}

std::string str(const xmlChar* s) {
    return s != nullptr ? reinterpret_cast<const char*>(s) : "";
}

// Attributes come as (name, prefix, URI, value start, value end) for each.
std::optional<double> attribute(const xmlChar** attributes, int count, const char* name) {
    for (int i = 0; i < count; ++i) {
        const xmlChar** a = attributes + 5 * i;
        if (str(a[0]) == name)
            return number(
                std::string(reinterpret_cast<const char*>(a[3]), reinterpret_cast<const char*>(a[4])));
    }
    return std::nullopt;
}

Reading& readingOf(void* ctx) {
    return *static_cast<Reading*>(static_cast<xmlParserCtxt*>(ctx)->_private);
}

void refuse(void* ctx, long line, const std::string& reason) {
    Reading& r = readingOf(ctx);
    if (r.refusal.reason.empty()) r.refusal = {line, reason};
    xmlStopParser(static_cast<xmlParserCtxt*>(ctx));
}

long lineOf(void* ctx) {
    return xmlSAX2GetLineNumber(ctx);
}

bool inTrackPoint(const Reading& r) {
    return r.open.size() >= 4 && r.open[1] == "trk" && r.open[2] == "trkseg" && r.open[3] == "trkpt";
}

void startPoint(void* ctx, const xmlChar** attributes, int count) {
    Reading& r = readingOf(ctx);
    const std::optional<double> lat = attribute(attributes, count, "lat");
    const std::optional<double> lon = attribute(attributes, count, "lon");
    if (!lat || !lon || std::fabs(*lat) > 90.0 || std::fabs(*lon) > 180.0)
        return refuse(ctx, lineOf(ctx), "track point without a valid lat and lon");
    _node& p = r.point;
    p = _node{};
    p.position = _position{*lat, *lon};
    const GPSPoint utm = GPSPoint::convertWGS84ToUTM(*lat, *lon);
    p.northing = utm.northing;
    p.easting = utm.easting;
    p.arrivalTime = p.leaveTime = traces::kTraceNoTime;
    p.hdop = kNmeaNoHdop;
    p.averageSnr = std::numeric_limits<double>::quiet_NaN();
    p.valid = true;
    r.extra = PointExtras{};
}

// A child of a <trkpt> the trace keeps: <time>, GPX 1.0 <speed> and <course>, <hdop>, <fix>.
void endPointChild(void* ctx, const std::string& name) {
    Reading& r = readingOf(ctx);
    if (name == "time") {
        const std::optional<uint32_t> t = traces::parseIsoTime(r.text);
        if (!t) return refuse(ctx, r.textLine, "unreadable time \"" + inputFile::printable(r.text) + "\"");
        r.point.arrivalTime = r.point.leaveTime = *t;
    } else if (name == "speed") {
        r.extra.speed = number(r.text);
    } else if (name == "course") {
        if (const auto degrees = number(r.text))
            r.extra.heading = deg2rad(std::fmod(std::fmod(*degrees, 360.0) + 360.0, 360.0));
    } else if (name == "hdop") {
        if (const auto hdop = number(r.text)) r.point.hdop = *hdop;
    } else if (name == "fix") {
        r.point.valid = r.text != "none";
    }
}

void startElement(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar*, int, const xmlChar**,
                  int count, int, const xmlChar** attributes) {
    Reading& r = readingOf(ctx);
    r.open.push_back(str(localname));
    if (r.open.size() == 1 && r.open[0] != "gpx") return refuse(ctx, lineOf(ctx), "not a GPX document");
    if (r.open.size() == 4 && inTrackPoint(r)) startPoint(ctx, attributes, count);
    if (r.open.size() == 5 && inTrackPoint(r)) {
        r.text.clear();
        r.textLine = lineOf(ctx);
    }
}

void endElement(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    Reading& r = readingOf(ctx);
    if (r.open.size() == 5 && inTrackPoint(r)) endPointChild(ctx, r.open.back());
    if (r.open.size() == 4 && inTrackPoint(r) && r.refusal.reason.empty()) {
        // No exception may cross libxml2's C frames: memory running out ends this file only.
        try {
            r.route.addNode(r.point, true);
            r.extras.push_back(r.extra);
        } catch (const std::bad_alloc&) {
            return refuse(ctx, lineOf(ctx), "out of memory");
        }
    }
    r.open.pop_back();
}

void characters(void* ctx, const xmlChar* ch, int length) {
    Reading& r = readingOf(ctx);
    if (r.open.size() != 5 || !inTrackPoint(r)) return;
    if (r.text.size() + static_cast<size_t>(length) > kMaxValueBytes)
        return refuse(ctx, r.textLine,
                      "<" + inputFile::printable(r.open.back()) + "> longer than " +
                          std::to_string(kMaxValueBytes) + " bytes");
    r.text.append(reinterpret_cast<const char*>(ch), length);
}

// Entity declarations (nested ones take minutes to expand) and external subsets need a DOCTYPE; a
// track log has no use for one.
void refuseDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    refuse(ctx, lineOf(ctx), "a DOCTYPE is not accepted");
}

std::string trimmed(const char* message) {
    std::string s = message != nullptr ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The first error the parser meets: later ones are mostly echoes of it.
void keepFirstError(void* ctx, xmlError* error) {
    if (error == nullptr || error->level < XML_ERR_ERROR) return;
    Reading& r = readingOf(ctx);
    if (r.refusal.reason.empty())
        r.refusal = {error->line, "broken XML: " + inputFile::printable(trimmed(error->message), 200)};
}

// The derived speeds without a time at both ends are unknown; the receiver's own values win.
void settleDerived(Route& route, const std::vector<PointExtras>& extras) {
    traces::forgetUntimedSpeeds(route);
    std::vector<_node>& nodes = route.nodes;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (extras[i].speed) nodes[i].speed = nodes[i].reportedSpeed = *extras[i].speed;
        if (extras[i].heading) nodes[i].heading = nodes[i].reportedCourse = *extras[i].heading;
    }
}

// Watches the raw bytes before libxml2 sees them, for what would cost it unbounded time or memory
// before any callback could object: an overlong tag, a DOCTYPE, a compressed file (libxml2 would
// unpack it silently, to any size).
class ByteGuard {
public:
    // Empty while the bytes are acceptable; the reason (and line) once they are not.
    Refusal check(const char* bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (magic.size() < 2) {
                magic.push_back(bytes[i]);
                if (magic == "\x1f\x8b") return fail("a compressed file (unpack it first)");
            }
            if (bytes[i] == '\n') ++line;
            if (!step(bytes[i])) return refusal;
        }
        return {};
    }

private:
    enum class State { Text, Tag, Quoted, Comment, CData, Instruction };
    State state = State::Text;
    char quote = 0;
    size_t tagBytes = 0;
    std::string head;  // the first bytes after '<', to tell comments and the like from tags
    std::string tail;  // the last bytes, to find the end of a comment, CDATA or instruction
    std::string magic;
    long line = 1;
    Refusal refusal;

    Refusal fail(const std::string& reason) {
        refusal = {line, reason};
        return refusal;
    }

    bool endsWith(char c, const char* end) {
        tail.push_back(c);
        if (tail.size() > 3) tail.erase(0, 1);
        return tail.size() >= std::strlen(end) &&
               tail.compare(tail.size() - std::strlen(end), std::string::npos, end) == 0;
    }

    bool step(char c) {
        switch (state) {
            case State::Text:
                if (c == '<') {
                    state = State::Tag;
                    tagBytes = 0;
                    head.clear();
                }
                return true;
            case State::Comment:
                if (endsWith(c, "-->")) state = State::Text;
                return true;
            case State::CData:
                if (endsWith(c, "]]>")) state = State::Text;
                return true;
            case State::Instruction:
                if (endsWith(c, "?>")) state = State::Text;
                return true;
            case State::Tag:
            case State::Quoted:
                break;
        }
        if (++tagBytes > kMaxTagBytes) {
            fail("a tag longer than " + std::to_string(kMaxTagBytes) + " bytes");
            return false;
        }
        if (state == State::Quoted) {
            if (c == quote) state = State::Tag;
            return true;
        }
        if (head.size() < 9) {
            head.push_back(c);
            tail.clear();
            if (head == "!DOCTYPE") {
                fail("a DOCTYPE is not accepted");
                return false;
            }
            if (head == "!--") state = State::Comment;
            if (head == "![CDATA[") state = State::CData;
            if (head == "?") state = State::Instruction;
            if (state != State::Tag) return true;
        }
        if (c == '"' || c == '\'') {
            state = State::Quoted;
            quote = c;
        } else if (c == '>') {
            state = State::Text;
        }
        return true;
    }
};

// The file as libxml2 reads it: straight from the descriptor, through the guard.
struct Source {
    int fd = -1;
    ByteGuard guard;
    Reading* reading = nullptr;
};

int readSource(void* context, char* buffer, int length) {
    Source& source = *static_cast<Source*>(context);
    ssize_t n = 0;
    do {
        n = ::read(source.fd, buffer, static_cast<size_t>(length));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        source.reading->refusal = {0, std::string("read failed: ") + std::strerror(errno)};
        return -1;
    }
    if (const Refusal why = source.guard.check(buffer, static_cast<size_t>(n)); !why.reason.empty()) {
        if (source.reading->refusal.reason.empty()) source.reading->refusal = why;
        return -1;
    }
    return static_cast<int>(n);
}

int closeSource(void*) {
    return 0;
}

// Reads every <trkpt> of every <trk>/<trkseg> in document order, without network access, DTD
// loading or entity substitution; libxml2 prints nothing itself. Routes (<rte>) and waypoints are
// not recordings of a drive and are left out.
void read(const std::string& file, Reading& reading) {
    const std::unique_ptr<xmlParserCtxt, ContextDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt || ctxt->sax == nullptr) {
        reading.refusal = {0, "out of memory"};
        return;
    }
    Source source;
    source.reading = &reading;
    source.fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (source.fd < 0) {
        reading.refusal = {0, std::string("cannot be read: ") + std::strerror(errno)};
        return;
    }
    ctxt->_private = &reading;
    ctxt->sax->startElementNs = startElement;
    ctxt->sax->endElementNs = endElement;
    ctxt->sax->characters = characters;
    ctxt->sax->cdataBlock = characters;
    ctxt->sax->internalSubset = refuseDoctype;
    ctxt->sax->serror = keepFirstError;
    // The guard's refusal comes before the parser's complaint about the input it then lacks.
    const std::unique_ptr<xmlDoc, DocumentDeleter> doc(xmlCtxtReadIO(ctxt.get(), readSource, closeSource,
                                                                     &source, file.c_str(), nullptr,
                                                                     XML_PARSE_NONET | XML_PARSE_NOWARNING));
    ::close(source.fd);
    if (reading.refusal.reason.empty() && !ctxt->wellFormed) reading.refusal = {0, "broken XML"};
}

}  // namespace

namespace traces {

Route loadGpxRoute(const std::string& file, std::ostream& log, bool* refused) {
    // libxml2 sets up its globals once, before threads of a batch parse side by side.
    static std::once_flag initialised;
    std::call_once(initialised, xmlInitParser);
    Reading reading;
    reading.route.setOriginalFilename(file, true);
    if (refused != nullptr) *refused = false;
    if (const std::string why = inputFile::unreadable(file); !why.empty()) {
        log << "ERROR: " << file << ": cannot be read: " << why << "\n";
        if (refused != nullptr) *refused = true;
        return std::move(reading.route);
    }
    try {
        read(file, reading);
    } catch (const std::bad_alloc&) {
        reading.refusal = {0, "out of memory"};
    }
    if (!reading.refusal.reason.empty()) {
        log << "ERROR: " << file << ":" << reading.refusal.line << ": " << reading.refusal.reason << "\n";
        reading.route.nodes.clear();
        return std::move(reading.route);
    }
    settleDerived(reading.route, reading.extras);
    return std::move(reading.route);
}

}  // namespace traces
