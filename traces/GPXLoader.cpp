#include "traces/GPXLoader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <vector>

#include "geometry/GPSPoint.h"
#include "traces/NMEALoader.h"
#include "traces/trace_time.h"

namespace {

struct DocumentDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ContextDeleter {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct TextDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using Text = std::unique_ptr<xmlChar, TextDeleter>;

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

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::string textOf(const xmlNode* node) {
    const Text content(xmlNodeGetContent(node));
    return content ? reinterpret_cast<const char*>(content.get()) : "";
}

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

std::optional<double> attribute(const xmlNode* node, const char* name) {
    const Text value(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)));
    if (!value) return std::nullopt;
    return number(reinterpret_cast<const char*>(value.get()));
}

// Reads the children of a <trkpt> that the trace keeps; false with the reason when one is unusable.
bool readPointChildren(const xmlNode* trkpt, _node& point, PointExtras& extras, Refusal& refusal) {
    for (const xmlNode* child = trkpt->children; child != nullptr; child = child->next) {
        const long line = xmlGetLineNo(child);
        if (named(child, "time")) {
            const std::optional<uint32_t> t = parseIsoTime(textOf(child));
            if (!t) {
                refusal = {line, "unreadable time \"" + textOf(child) + "\""};
                return false;
            }
            point.arrivalTime = point.leaveTime = *t;
        } else if (named(child, "speed")) {
            extras.speed = number(textOf(child));
        } else if (named(child, "course")) {
            if (const auto degrees = number(textOf(child)))
                extras.heading = deg2rad(std::fmod(std::fmod(*degrees, 360.0) + 360.0, 360.0));
        } else if (named(child, "hdop")) {
            if (const auto hdop = number(textOf(child))) point.hdop = *hdop;
        } else if (named(child, "fix")) {
            point.valid = textOf(child) != "none";
        }
    }
    return true;
}

bool readPoint(const xmlNode* trkpt, _node& point, PointExtras& extras, Refusal& refusal) {
    const std::optional<double> lat = attribute(trkpt, "lat");
    const std::optional<double> lon = attribute(trkpt, "lon");
    if (!lat || !lon || std::fabs(*lat) > 90.0 || std::fabs(*lon) > 180.0) {
        refusal = {xmlGetLineNo(trkpt), "track point without a valid lat and lon"};
        return false;
    }
    point.position = _position{*lat, *lon};
    const GPSPoint utm = GPSPoint::convertWGS84ToUTM(*lat, *lon);
    point.northing = utm.northing;
    point.easting = utm.easting;
    point.arrivalTime = point.leaveTime = kTraceNoTime;
    point.hdop = kNmeaNoHdop;
    point.averageSnr = std::numeric_limits<double>::quiet_NaN();
    point.valid = true;
    return readPointChildren(trkpt, point, extras, refusal);
}

// Speed needs a time on both ends of the move: without one it is unknown (0), not distance / 0.5 s.
void settleDerived(Route& route, const std::vector<PointExtras>& extras) {
    std::vector<_node>& nodes = route.nodes;
    for (size_t i = 1; i < nodes.size(); ++i)
        if (nodes[i].arrivalTime == kTraceNoTime || nodes[i - 1].leaveTime == kTraceNoTime)
            nodes[i].speed = 0.0;
    if (nodes.size() >= 2) nodes[0].speed = nodes[1].speed;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (extras[i].speed) nodes[i].speed = *extras[i].speed;
        if (extras[i].heading) nodes[i].heading = *extras[i].heading;
    }
}

// Every <trkpt> of every <trk>/<trkseg> in document order. Routes (<rte>) and waypoints are not
// recordings of a drive and are left out.
bool readTracks(const xmlNode* root, Route& route, Refusal& refusal) {
    std::vector<PointExtras> extras;
    for (const xmlNode* trk = root->children; trk != nullptr; trk = trk->next) {
        if (!named(trk, "trk")) continue;
        for (const xmlNode* seg = trk->children; seg != nullptr; seg = seg->next) {
            if (!named(seg, "trkseg")) continue;
            for (const xmlNode* pt = seg->children; pt != nullptr; pt = pt->next) {
                if (!named(pt, "trkpt")) continue;
                _node point;
                PointExtras extra;
                if (!readPoint(pt, point, extra, refusal)) return false;
                route.addNode(point, true);
                extras.push_back(extra);
            }
        }
    }
    settleDerived(route, extras);
    return true;
}

std::string trimmed(const char* message) {
    std::string s = message != nullptr ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The first error the parser meets: later ones are mostly echoes of it.
void keepFirstError(void* data, xmlError* error) {
    auto* first = static_cast<Refusal*>(static_cast<xmlParserCtxt*>(data)->_private);
    if (error == nullptr || error->level < XML_ERR_ERROR || !first->reason.empty()) return;
    *first = {error->line, "broken XML: " + trimmed(error->message)};
}

// Parses the file without network access, DTD loading or entity substitution; libxml2 prints
// nothing itself.
std::unique_ptr<xmlDoc, DocumentDeleter> parse(const std::string& file, Refusal& refusal) {
    const std::unique_ptr<xmlParserCtxt, ContextDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt || ctxt->sax == nullptr) {
        refusal = {0, "out of memory"};
        return nullptr;
    }
    ctxt->_private = &refusal;
    ctxt->sax->serror = keepFirstError;
    std::unique_ptr<xmlDoc, DocumentDeleter> doc(
        xmlCtxtReadFile(ctxt.get(), file.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOWARNING));
    if (!refusal.reason.empty()) return nullptr;
    if (!doc) refusal = {0, "broken XML"};
    return doc;
}

void report(std::ostream& log, const std::string& file, const Refusal& refusal) {
    log << "ERROR: " << file << ":" << refusal.line << ": " << refusal.reason << "\n";
}

}  // namespace

Route loadGpxRoute(const std::string& file, std::ostream& log) {
    // libxml2 sets up its globals once, before threads of a batch parse side by side.
    static std::once_flag initialised;
    std::call_once(initialised, xmlInitParser);
    Route route;
    route.setOriginalFilename(file, true);
    if (!std::ifstream(file)) {
        log << "ERROR: " << file << ": cannot be read\n";
        return route;
    }
    Refusal refusal;
    const auto doc = parse(file, refusal);
    if (!doc) {
        report(log, file, refusal);
        return route;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr || !named(root, "gpx")) {
        report(log, file, {root != nullptr ? xmlGetLineNo(root) : 1, "not a GPX document"});
        return route;
    }
    if (!readTracks(root, route, refusal)) {
        report(log, file, refusal);
        route.nodes.clear();
    }
    return route;
}
