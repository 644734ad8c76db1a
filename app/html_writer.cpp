#include "app/html_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <numbers>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "app/html_assets.h"
#include "geometry/ellipsoid.h"
#include "map/atomic_file.h"
#include "traces/trace_time.h"

using mapRepresentation::AtomicFile;

using matchApp::DrivenPiece;
using matchApp::FixOnMap;
using matchApp::TraceOnMap;

using mapRepresentation::CompactMap;
using nlohmann::json;

namespace htmlView {
namespace {

// Coordinates go to the page as whole millionths of a degree (about 0.1 m), each written as the
// step from the one before: a drive's steps are short numbers, which keeps long traces small.
constexpr double kMicro = 1e6;
// Roads are shown this far around the trace's box, so the streets it could have taken are there.
constexpr double kRoadMarginMetres = 300.0;
constexpr double kMetresPerDegree = wgs84::kEquatorialRadius * std::numbers::pi / 180.0;

long long micro(double degrees) {
    return std::llround(degrees * kMicro);
}

// Appends numbers as a JSON array of the steps between them.
class StepArray {
public:
    explicit StepArray(std::string& text) : out(text) { out += '['; }
    void add(long long value) {
        if (count++ > 0) out += ',';
        out += std::to_string(value - last);
        last = value;
    }
    void close() { out += ']'; }

private:
    std::string& out;
    long long last = 0;
    size_t count = 0;
};

template <typename T, typename F>
void plainArray(std::string& out, const std::vector<T>& items, F value) {
    out += '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        out += value(items[i]);
    }
    out += ']';
}

std::string jsonText(const json& value) {
    // Names are bytes from file names and map files: invalid UTF-8 is replaced rather than refused.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Seconds since 1970 of a trace time.
std::optional<long long> epochSeconds(uint32_t time) {
    if (time == traces::kTraceNoTime) return std::nullopt;
    std::tm utc = traces::utcFromTraceTime(time);
    return static_cast<long long>(timegm(&utc));
}

double metresBetween(const _position& a, const _position& b) {
    const double midLat = (a.lat + b.lat) / 2 * std::numbers::pi / 180.0;
    const double dx = (b.lon - a.lon) * std::cos(midLat) * kMetresPerDegree;
    const double dy = (b.lat - a.lat) * kMetresPerDegree;
    return std::hypot(dx, dy);
}

void addFixes(std::string& out, const Route& route, const TraceOnMap& laid) {
    std::string lat, lon, dlat, dlon;
    StepArray lats(lat), lons(lon);
    std::string times = "[", links, pieces, dist;
    std::optional<long long> lastTime;
    std::vector<const FixOnMap*> fixes;
    for (const FixOnMap& f : laid.fixes) fixes.push_back(&f);
    for (const FixOnMap* f : fixes) {
        const _node& n = route.nodes[f->point];
        lats.add(micro(n.position.lat));
        lons.add(micro(n.position.lon));
        if (times.size() > 1) times += ',';
        if (const auto t = epochSeconds(n.arrivalTime)) {
            times += std::to_string(*t - lastTime.value_or(0));
            lastTime = t;
        } else {
            times += "null";
        }
    }
    lats.close();
    lons.close();
    times += ']';
    const auto placed = [](const FixOnMap* f) { return f->link >= 0; };
    plainArray(links, fixes, [&](const FixOnMap* f) { return std::to_string(placed(f) ? f->link : 0); });
    plainArray(pieces, fixes, [&](const FixOnMap* f) { return std::to_string(placed(f) ? f->piece : -1); });
    // Where a fix was placed, as the offset from where it was recorded.
    plainArray(dlat, fixes, [&](const FixOnMap* f) {
        const double raw = route.nodes[f->point].position.lat;
        return std::to_string(placed(f) ? micro(f->snapped.lat) - micro(raw) : 0);
    });
    plainArray(dlon, fixes, [&](const FixOnMap* f) {
        const double raw = route.nodes[f->point].position.lon;
        return std::to_string(placed(f) ? micro(f->snapped.lon) - micro(raw) : 0);
    });
    plainArray(dist, fixes, [&](const FixOnMap* f) {
        return std::to_string(placed(f) ? std::llround(f->distance * 10) : 0);  // decimetres
    });
    out += "\"fixes\":{\"lat\":" + lat + ",\"lon\":" + lon + ",\"t\":" + times + ",\"link\":" + links +
           ",\"piece\":" + pieces + ",\"dlat\":" + dlat + ",\"dlon\":" + dlon + ",\"dist\":" + dist + "}";
}

void addPieces(std::string& out, const TraceOnMap& laid) {
    out += "\"pieces\":[";
    for (size_t k = 0; k < laid.pieces.size(); ++k) {
        const DrivenPiece& piece = laid.pieces[k];
        if (k > 0) out += ',';
        out += "{\"piece\":" + std::to_string(piece.piece) +
               ",\"first\":" + std::to_string(piece.firstPoint) +
               ",\"last\":" + std::to_string(piece.lastPoint) + ",\"lines\":[";
        for (size_t j = 0; j < piece.lines.size(); ++j) {
            if (j > 0) out += ',';
            std::string lat, lon;
            StepArray lats(lat), lons(lon);
            for (const _position& p : piece.lines[j]) {
                lats.add(micro(p.lat));
                lons.add(micro(p.lon));
            }
            lats.close();
            lons.close();
            out += "{\"lat\":" + lat + ",\"lon\":" + lon + "}";
        }
        out += "]}";
    }
    out += ']';
}

struct Box {
    double south = 90, north = -90, west = 180, east = -180;
    void extend(const _position& p) {
        south = std::min(south, p.lat);
        north = std::max(north, p.lat);
        west = std::min(west, p.lon);
        east = std::max(east, p.lon);
    }
    bool empty() const { return south > north; }
    void widen(double metres) {
        const double dLat = metres / kMetresPerDegree;
        const double latitude = std::min(89.0, std::max(std::fabs(south), std::fabs(north)));
        const double dLon = dLat / std::cos(latitude * std::numbers::pi / 180.0);
        south -= dLat;
        north += dLat;
        west -= dLon;
        east += dLon;
    }
    // The segment's own box meets this one.
    bool meets(const _position& a, const _position& b) const {
        return std::max(a.lat, b.lat) >= south && std::min(a.lat, b.lat) <= north &&
               std::max(a.lon, b.lon) >= west && std::min(a.lon, b.lon) <= east;
    }
};

// The links to draw: those near the trace and every link of the decided route. A road with a link
// each way is drawn once, with the other way's id; a link without one is a one-way road.
std::vector<int> roadLinks(const TraceOnMap& laid, const Route& route, const CompactMap& map, Box& box) {
    for (const _node& n : route.nodes) box.extend(n.position);
    for (const FixOnMap& f : laid.fixes)
        if (f.link >= 0) box.extend(f.snapped);
    if (box.empty()) return {};
    box.widen(kRoadMarginMetres + 0.05 * (box.north - box.south) * kMetresPerDegree);
    std::set<int> wanted;
    for (const DrivenPiece& piece : laid.pieces) wanted.insert(piece.links.begin(), piece.links.end());
    std::vector<int> links;
    for (uint32_t i = 0; i < map.linkCount(); ++i) {
        const int id = map.link(i).id;
        const mapRepresentation::CompactNode& o = map.node(map.link(i).origin);
        const mapRepresentation::CompactNode& d = map.node(map.link(i).destination);
        const _position a{o.latitude, o.longitude};
        const _position b{d.latitude, d.longitude};
        if (box.meets(a, b) || wanted.count(id)) links.push_back(id);
    }
    return links;
}

void addRoads(std::string& out, const TraceOnMap& laid, const Route& route, const CompactMap& map,
              const LinkNotesSource& notes) {
    Box box;
    const std::vector<int> links = roadLinks(laid, route, map, box);
    std::map<std::pair<uint32_t, uint32_t>, int> byEnds;  // first link between two nodes
    for (int id : links) {
        const auto& l = *map.findLink(id);
        byEnds.emplace(std::make_pair(l.origin, l.destination), id);
    }
    std::unordered_map<uint32_t, size_t> nodeIndex;
    std::string lat, lon, table = "[";
    StepArray lats(lat), lons(lon);
    const auto indexOf = [&](uint32_t node) {
        const auto [at, added] = nodeIndex.emplace(node, nodeIndex.size());
        if (added) {
            const auto& n = map.node(node);
            lats.add(micro(n.latitude));
            lons.add(micro(n.longitude));
        }
        return at->second;
    };
    std::set<int> drawn;
    json notesJson = json::object();
    for (int id : links) {
        if (drawn.count(id)) continue;
        const auto& l = *map.findLink(id);
        const auto back = byEnds.find({l.destination, l.origin});
        const int other = back != byEnds.end() && back->second != id ? back->second : 0;
        drawn.insert(id);
        if (other) drawn.insert(other);
        if (table.size() > 1) table += ',';
        table += std::to_string(id) + ',' + std::to_string(indexOf(l.origin)) + ',' +
                 std::to_string(indexOf(l.destination)) + ',' + std::to_string(other);
    }
    if (notes) {
        for (int id : drawn) {
            const std::optional<LinkNotes> note = notes(id);
            if (!note) continue;
            json entry = json::object();
            if (note->way) entry["way"] = *note->way;
            if (note->name) entry["name"] = *note->name;
            if (note->speedKmh) entry["speed"] = *note->speedKmh;
            notesJson[std::to_string(id)] = std::move(entry);
        }
    }
    lats.close();
    lons.close();
    table += ']';
    out += "\"roads\":{\"lat\":" + lat + ",\"lon\":" + lon + ",\"links\":" + table +
           "},\"notes\":" + jsonText(notesJson);
}

// Text for an HTML element or attribute.
std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// JSON inside a <script> element: "<" never reaches the HTML parser, so no text ends the element.
std::string scriptSafe(std::string jsonText) {
    std::string out;
    out.reserve(jsonText.size());
    for (char c : jsonText) out += c == '<' ? std::string("\\u003c") : std::string(1, c);
    return out;
}

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string percentText(size_t part, size_t whole) {
    return whole == 0 ? "–"
                      : formatted("%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

std::string durationText(const std::optional<uint32_t>& seconds) {
    if (!seconds) return "–";
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u:%02u", *seconds / 3600, *seconds / 60 % 60, *seconds % 60);
    return text;
}

std::string kmText(double metres) {
    return formatted("%.2f km", metres / 1000.0);
}

json summaryJson(const TraceSummary& s) {
    json j;
    j["name"] = s.name;
    j["fixes"] = s.fixes;
    j["placed"] = s.placed;
    j["pieces"] = s.pieces;
    j["length_m"] = std::round(s.lengthMetres * 10) / 10;
    j["seconds"] = s.seconds ? json(*s.seconds) : json();
    j["start"] = s.start;
    return j;
}

const char* const kLeafletNotice =
    "/* Leaflet, a JS library for interactive maps, https://leafletjs.com (Debian libjs-leaflet).\n"
    " * (c) 2010-2019 Vladimir Agafonkin, (c) 2010-2011 CloudMade. BSD 2-Clause License. */\n";

const char* const kSummaryOpen = "<script type=\"application/json\" id=\"karvel-summary\">";

void writePanel(std::ostream& out, const TraceSummary& s) {
    out << "<div id=\"panel\"><h1>" << escaped(s.name) << "</h1><table>\n"
        << "<tr><th>fixes</th><td>" << s.fixes << "</td></tr>\n"
        << "<tr><th>matched</th><td>" << s.placed << " (" << percentText(s.placed, s.fixes) << ")</td></tr>\n"
        << "<tr><th>route pieces</th><td>" << s.pieces << "</td></tr>\n"
        << "<tr><th>length driven</th><td>" << kmText(s.lengthMetres) << "</td></tr>\n"
        << "<tr><th>duration</th><td>" << durationText(s.seconds) << "</td></tr>\n"
        << "<tr><th>start</th><td>" << (s.start.empty() ? "–" : escaped(s.start)) << "</td></tr>\n"
        << "</table><ul>\n"
        << "<li><span class=\"sym sym-fix\"></span>fix as recorded</li>\n"
        << "<li><span class=\"sym sym-tie\"></span>to where it was placed</li>\n"
        << "<li><span class=\"sym sym-placed\"></span>placed on its link</li>\n"
        << "<li><span class=\"sym sym-bad\"></span>fix not matched</li>\n"
        << "<li><span class=\"sym sym-route\"></span>decided route, a colour per piece</li>\n"
        << "<li><span class=\"sym sym-road\"></span>road of the map</li>\n"
        << "<li><span class=\"sym sym-oneway\"></span>one-way road (arrow: its direction)</li>\n"
        << "<li><span class=\"sym karvel-end karvel-start\" style=\"width:20px;height:20px\">S</span>"
        << "start, <span class=\"sym karvel-end karvel-finish\" "
           "style=\"width:20px;height:20px\">E</span>end</li>\n"
        << "</ul><div class=\"note\">Click a fix or a road for its details.</div></div>\n";
}

}  // namespace

TraceSummary summarize(const Route& route, const TraceOnMap& laid) {
    TraceSummary s;
    s.name = route.name;
    s.fixes = route.nodes.size();
    s.placed = static_cast<size_t>(
        std::count_if(laid.fixes.begin(), laid.fixes.end(), [](const FixOnMap& f) { return f.link >= 0; }));
    s.pieces = laid.pieces.size();
    for (const DrivenPiece& piece : laid.pieces)
        for (const auto& line : piece.lines)
            for (size_t i = 1; i < line.size(); ++i) s.lengthMetres += metresBetween(line[i - 1], line[i]);
    std::optional<uint32_t> first, last;
    for (const _node& n : route.nodes) {
        if (n.arrivalTime == traces::kTraceNoTime) continue;
        if (!first) first = n.arrivalTime;
        last = n.arrivalTime;
    }
    if (first) {
        s.seconds = *last >= *first ? *last - *first : 0;
        s.start = traces::isoUtcText(*first);
    }
    return s;
}

std::string pageData(const Route& route, const TraceOnMap& laid, const CompactMap& map,
                     const LinkNotesSource& notes) {
    std::string out = "{";
    addFixes(out, route, laid);
    out += ',';
    addPieces(out, laid);
    out += ',';
    addRoads(out, laid, route, map, notes);
    out += '}';
    return scriptSafe(std::move(out));
}

void writePage(std::ostream& out, const TraceSummary& summary, const std::string& data) {
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<meta name=\"generator\" content=\"karvel\">\n"
        << "<title>" << escaped(summary.name) << " – map match</title>\n"
        << "<style>\n"
        << assets::leafletCss << "</style>\n"
        << "<style>\n"
        << assets::viewCss << "</style>\n</head>\n<body>\n<div id=\"map\"></div>\n";
    writePanel(out, summary);
    out << kSummaryOpen << scriptSafe(jsonText(summaryJson(summary))) << "</script>\n"
        << "<script type=\"application/json\" id=\"karvel-data\">" << data << "</script>\n"
        << "<script>\n"
        << kLeafletNotice << assets::leafletJs << "\n</script>\n"
        << "<script>\n"
        << assets::viewJs << "</script>\n</body>\n</html>\n";
}

void writeIndex(std::ostream& out, const std::vector<TraceSummary>& traces) {
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<meta name=\"generator\" content=\"karvel\">\n<title>Matched traces</title>\n<style>\n"
        << "body { font: 14px/1.4 system-ui, sans-serif; margin: 20px; color: #222; }\n"
        << "table { border-collapse: collapse; }\n"
        << "th, td { padding: 3px 12px; border-bottom: 1px solid #ddd; text-align: right; }\n"
        << "th:first-child, td:first-child { text-align: left; }\n"
        << "tfoot td { font-weight: bold; border-bottom: none; }\n"
        << "td { font-variant-numeric: tabular-nums; }\n</style>\n</head>\n<body>\n"
        << "<h1>Matched traces</h1>\n<table>\n<thead><tr><th>trace</th><th>fixes</th><th>matched</th>"
        << "<th>route pieces</th><th>length "
           "driven</th><th>duration</th><th>start</th></tr></thead>\n<tbody>\n";
    size_t fixes = 0, placed = 0;
    double metres = 0;
    for (const TraceSummary& s : traces) {
        out << "<tr><td><a href=\"" << escaped(s.page) << "\">" << escaped(s.name) << "</a></td><td>"
            << s.fixes << "</td><td>" << percentText(s.placed, s.fixes) << "</td><td>" << s.pieces
            << "</td><td>" << kmText(s.lengthMetres) << "</td><td>" << durationText(s.seconds) << "</td><td>"
            << (s.start.empty() ? "–" : escaped(s.start)) << "</td></tr>\n";
        fixes += s.fixes;
        placed += s.placed;
        metres += s.lengthMetres;
    }
    out << "</tbody>\n<tfoot><tr><td>" << traces.size() << (traces.size() == 1 ? " trace" : " traces")
        << "</td><td>" << fixes << "</td><td>" << percentText(placed, fixes) << "</td><td></td><td>"
        << kmText(metres) << "</td><td></td><td></td></tr></tfoot>\n</table>\n</body>\n</html>\n";
}

std::optional<TraceSummary> summaryOfPage(const std::string& page) {
    const size_t open = page.find(kSummaryOpen);
    if (open == std::string::npos) return std::nullopt;
    const size_t from = open + std::string(kSummaryOpen).size();
    const size_t close = page.find("</script>", from);
    if (close == std::string::npos) return std::nullopt;
    const json j = json::parse(page.begin() + static_cast<std::ptrdiff_t>(from),
                               page.begin() + static_cast<std::ptrdiff_t>(close), nullptr, false);
    if (!j.is_object()) return std::nullopt;
    try {
        TraceSummary s;
        s.name = j.at("name").get<std::string>();
        s.fixes = j.at("fixes").get<size_t>();
        s.placed = j.at("placed").get<size_t>();
        s.pieces = j.at("pieces").get<size_t>();
        s.lengthMetres = j.at("length_m").get<double>();
        if (!j.at("seconds").is_null()) s.seconds = j.at("seconds").get<uint32_t>();
        s.start = j.at("start").get<std::string>();
        return s;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

bool writeIndexOfPages(const std::string& indexPath, const std::vector<std::string>& pagePaths,
                       std::string& error) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(indexPath).parent_path();
    std::vector<TraceSummary> summaries;
    for (const std::string& path : pagePaths) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        std::optional<TraceSummary> summary = in ? summaryOfPage(text.str()) : std::nullopt;
        if (!summary) {
            error = "not a page of a matched trace: " + path;
            return false;
        }
        summary->page = fs::absolute(path).lexically_relative(folder).generic_string();
        summaries.push_back(std::move(*summary));
    }
    AtomicFile index(indexPath);
    if (index.isOpen()) writeIndex(index.stream(), summaries);
    if (!index.isOpen() || !index.commit()) {
        error = "cannot write " + indexPath;
        return false;
    }
    return true;
}

std::string pageFileName(const std::string& indexPath, const std::string& trace,
                         std::set<std::string>& taken) {
    std::string stem = indexPath.substr(indexPath.find_last_of('/') + 1);
    if (stem.size() > 5 && stem.ends_with(".html")) stem.resize(stem.size() - 5);
    std::string safe;
    for (unsigned char c : trace) safe += std::isalnum(c) || c == '.' || c == '_' || c == '-' ? char(c) : '_';
    if (safe.empty()) safe = "trace";
    std::string name = stem + "-" + safe + ".html";
    for (int k = 2; taken.count(name); ++k) name = stem + "-" + safe + "-" + std::to_string(k) + ".html";
    taken.insert(name);
    return name;
}

}  // namespace htmlView
