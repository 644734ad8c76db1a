#include "map/link_table.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>

#include "map/atomic_file.h"

using mapRepresentation::AtomicFile;

namespace mapRepresentation {

namespace {

const char* const kHeader =
    "link,origin,destination,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,oneway,length_m";
constexpr size_t kColumns = 12;
// Ids beyond this are no map link: a row naming one is refused before the table grows for it.
constexpr int kLargestLinkId = 1 << 30;

// A field as CSV has it: quoted when it holds a comma, a quote or a line end.
void appendField(std::string& out, const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) {
        out += s;
        return;
    }
    out += '"';
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// Two decimals (as printf's %.2f gives them).
void appendFixed2(std::string& out, double value) {
    char text[400];
    out.append(text, std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2).ptr);
}

// 50.00 -> 50, 48.28 stays: speed limits are mostly whole numbers.
void appendDecimal(std::string& out, double value) {
    const size_t start = out.size();
    appendFixed2(out, value);
    while (out.size() > start && out.back() == '0') out.pop_back();
    if (out.size() > start && out.back() == '.') out.pop_back();
}

template <typename Int>
void appendInt(std::string& out, Int v) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, v).ptr);
}

constexpr size_t kChunk = 1 << 16;

// One record of RFC 4180 CSV (quoted fields may hold commas, quotes and line ends); false at the end.
bool readRecord(std::istream& in, std::vector<std::string>& fields) {
    fields.assign(1, "");
    int c = in.get();
    if (c == EOF) return false;
    bool quoted = false;
    for (; c != EOF; c = in.get()) {
        if (quoted) {
            if (c == '"') {
                if (in.peek() == '"') {
                    fields.back() += '"';
                    in.get();
                } else {
                    quoted = false;
                }
            } else {
                fields.back() += static_cast<char>(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            break;
        } else if (c != '\r') {
            fields.back() += static_cast<char>(c);
        }
    }
    return true;
}

template <typename Number>
bool parseWhole(const std::string& s, Number& value) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

bool parseDecimal(const std::string& s, double& value) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(s.c_str(), &end);
    return errno == 0 && end == s.c_str() + s.size() && std::isfinite(value);
}

// A row as read; false when it is no row of a link table.
bool parseRow(const std::vector<std::string>& f, int& link, uint32_t& origin, uint32_t& destination,
              LinkAttributes& a) {
    if (f.size() != kColumns) return false;
    if (!parseWhole(f[0], link) || link <= 0 || link > kLargestLinkId) return false;
    if (!parseWhole(f[1], origin) || !parseWhole(f[2], destination)) return false;
    const auto optionalId = [](const std::string& s, int64_t& id) { return s.empty() || parseWhole(s, id); };
    if (!optionalId(f[3], a.wayId) || !optionalId(f[4], a.fromNode) || !optionalId(f[5], a.toNode))
        return false;
    a.name = f[6];
    a.ref = f[7];
    a.highway = f[8];
    if (double speed = 0; !f[9].empty()) {
        if (!parseDecimal(f[9], speed) || speed <= 0) return false;
        a.maxspeed = speed;
    }
    if (f[10] == "yes")
        a.oneway = true;
    else if (f[10] == "no")
        a.oneway = false;
    else if (!f[10].empty())
        return false;
    return true;
}

}  // namespace

std::optional<double> parseMaxspeed(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])))) return std::nullopt;
    const double number = std::strtod(begin, &end);
    if (!std::isfinite(number) || number <= 0) return std::nullopt;
    std::string unit(end);
    if (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
    if (unit.empty() || unit == "km/h" || unit == "kmh" || unit == "kph") return number;
    if (unit == "mph") return number * 1.609344;
    if (unit == "knots") return number * 1.852;
    return std::nullopt;
}

std::string LinkTable::pathBeside(const std::string& mapPath) {
    return mapPath + ".links.csv";
}

void LinkTable::set(int link, LinkAttributes attributes) {
    if (link <= 0 || link > kLargestLinkId) return;
    if (static_cast<size_t>(link) >= byId.size()) byId.resize(static_cast<size_t>(link) + 1);
    if (!byId[link]) ++count;
    byId[link] = Entry{std::move(attributes)};
}

const LinkAttributes* LinkTable::find(int link) const {
    if (link <= 0 || static_cast<size_t>(link) >= byId.size() || !byId[link]) return nullptr;
    return &byId[link]->attributes;
}

std::optional<LinkAttributes> LinkTable::attributesFor(int id, const _mLink& link) const {
    if (id <= 0 || static_cast<size_t>(id) >= byId.size() || !byId[id]) return std::nullopt;
    const Entry& e = *byId[id];
    const bool originMoved = e.origin != 0 && e.origin != link.origin;
    const bool destinationMoved = e.destination != 0 && e.destination != link.destination;
    if (originMoved && destinationMoved) return std::nullopt;
    LinkAttributes a = e.attributes;
    if (originMoved) a.fromNode = 0;
    if (destinationMoved) a.toNode = 0;
    return a;
}

LinkTableWriter::LinkTableWriter(std::ostream& out) : out(out) {
    buf.reserve(kChunk + 1024);
    buf += kHeader;
    buf += '\n';
}

LinkTableWriter::~LinkTableWriter() {
    flush();
}

void LinkTableWriter::flush() {
    out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
    buf.clear();
}

void LinkTableWriter::row(int id, uint32_t origin, uint32_t destination, const LinkAttributes* a,
                          double length) {
    appendInt(buf, id);
    buf += ',';
    appendInt(buf, origin);
    buf += ',';
    appendInt(buf, destination);
    buf += ',';
    if (a != nullptr) {
        for (const int64_t v : {a->wayId, a->fromNode, a->toNode}) {
            if (v != 0) appendInt(buf, v);
            buf += ',';
        }
        for (const std::string* text : {&a->name, &a->ref, &a->highway}) {
            appendField(buf, *text);
            buf += ',';
        }
        if (a->maxspeed) appendDecimal(buf, *a->maxspeed);
        buf += ',';
        if (a->oneway) buf += *a->oneway ? "yes" : "no";
        buf += ',';
    } else {
        buf += ",,,,,,,,";
    }
    appendFixed2(buf, length);
    buf += '\n';
    if (buf.size() >= kChunk) flush();
}

void LinkTable::write(std::ostream& out, const Map& map) const {
    LinkTableWriter rows(out);
    // The map file lists its links in ascending id order and the loader numbers them 1, 2, ... in
    // that order, so a row carries the id the link will have when the saved map is read again.
    int fileId = 0;
    for (const auto& [id, l] : map.links) {
        const std::optional<LinkAttributes> kept = attributesFor(id, l);
        rows.row(++fileId, l.origin, l.destination, kept ? &*kept : nullptr, l.length);
    }
}

bool LinkTable::save(const std::string& path, const Map& map, std::string& error) const {
    AtomicFile file(path);
    if (file.isOpen()) {
        write(file.stream(), map);
        if (file.commit()) return true;
    }
    error = "cannot write the link table " + path + (file.error().empty() ? "" : ": " + file.error());
    return false;
}

LinkTable LinkTable::read(std::istream& in, const Map& map, Reading& reading) {
    return read(in, CompactMap::build(map), reading);
}

LinkTable LinkTable::load(const std::string& path, const Map& map, Reading& reading) {
    return load(path, CompactMap::build(map), reading);
}

LinkTable LinkTable::read(std::istream& in, const CompactMap& map, Reading& reading) {
    LinkTable table;
    reading.rows = reading.dropped = 0;
    reading.error.clear();
    std::vector<std::string> fields;
    if (!readRecord(in, fields) || fields.size() != kColumns || fields[0] != "link") {
        reading.error = "no link table (its header is missing)";
        return table;
    }
    size_t line = 1;
    while (readRecord(in, fields)) {
        ++line;
        if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
        int link = 0;
        uint32_t origin = 0, destination = 0;
        LinkAttributes a;
        if (!parseRow(fields, link, origin, destination, a)) {
            reading.error = "bad link table row " + std::to_string(line);
            return LinkTable();
        }
        const CompactLink* l = map.findLink(link);
        if (l == nullptr || map.originId(*l) != origin || map.destinationId(*l) != destination) {
            ++reading.dropped;
            continue;
        }
        table.set(link, std::move(a));
        table.byId[link]->origin = origin;
        table.byId[link]->destination = destination;
    }
    reading.rows = table.size();
    return table;
}

LinkTable LinkTable::load(const std::string& path, const CompactMap& map, Reading& reading) {
    reading = Reading{};
    std::ifstream in(path, std::ios::binary);
    if (!in) return LinkTable();
    reading.found = true;
    LinkTable table = read(in, map, reading);
    if (reading.error.empty() && in.bad()) {
        reading.error = "cannot read " + path;
        return LinkTable();
    }
    if (!reading.error.empty()) reading.error = path + ": " + reading.error;
    return table;
}

}  // namespace mapRepresentation
