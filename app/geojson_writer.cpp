#include "app/geojson_writer.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace matchApp {

namespace {

using mapRepresentation::LinkAttributes;

// Decimals kept: 7 for degrees (about a centimetre), 2 for metres.
constexpr int kDegreeDecimals = 7;
constexpr int kMetreDecimals = 2;

double rounded(double value, int decimals) {
    // Powers of ten up to 1e22 are exact doubles: the table gives what std::pow gives, without its cost
    // on every number of a long drive.
    static constexpr double kScale[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
    const double scale = kScale[decimals];
    return std::round(value * scale) / scale;
}

// Printable ASCII other than the quote and the backslash stands in a JSON string as it is.
bool plain(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') return false;
    }
    return true;
}

}  // namespace

PrettyJson::PrettyJson(std::string& o, int depth, bool inArray, size_t elements) : out(&o), base(depth) {
    if (inArray) levels.push_back({true, elements, depth - 1});
}

void PrettyJson::newLine(int depth) {
    static const std::string spaces(64, ' ');
    *out += '\n';
    for (auto n = static_cast<size_t>(2 * depth); n > 0;) {
        const size_t step = std::min(n, spaces.size());
        out->append(spaces, 0, step);
        n -= step;
    }
}

int PrettyJson::nextDepth() const {
    return levels.empty() ? base : levels.back().depth + 1;
}

void PrettyJson::beforeValue() {
    if (levels.empty() || !levels.back().array) return;
    Level& level = levels.back();
    if (level.count++ > 0) *out += ',';
    newLine(level.depth + 1);
}

void PrettyJson::key(std::string_view name) {
    Level& level = levels.back();
    if (level.count++ > 0) *out += ',';
    newLine(level.depth + 1);
    quoted(name);
    *out += ": ";
}

void PrettyJson::open(char bracket, bool array) {
    beforeValue();
    const int depth = nextDepth();
    *out += bracket;
    levels.push_back({array, 0, depth});
}

void PrettyJson::close(char bracket) {
    const Level level = levels.back();
    levels.pop_back();
    if (level.count > 0) newLine(level.depth);
    *out += bracket;
}

void PrettyJson::beginObject() {
    open('{', false);
}

void PrettyJson::endObject() {
    close('}');
}

void PrettyJson::beginArray() {
    open('[', true);
}

void PrettyJson::endArray() {
    close(']');
}

void PrettyJson::quoted(std::string_view text) {
    if (plain(text)) {
        *out += '"';
        *out += text;
        *out += '"';
        return;
    }
    // Escapes and bytes that are no UTF-8 (trace names come from file names): as the library writes them.
    *out += nlohmann::ordered_json(std::string(text))
                .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void PrettyJson::string(std::string_view text) {
    beforeValue();
    quoted(text);
}

void PrettyJson::number(double value) {
    beforeValue();
    if (!std::isfinite(value)) {
        *out += "null";
        return;
    }
    char text[64];
    out->append(text, nlohmann::detail::to_chars(text, text + sizeof text, value));
}

void PrettyJson::integer(int64_t value) {
    beforeValue();
    char text[24];
    out->append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void PrettyJson::boolean(bool value) {
    beforeValue();
    *out += value ? "true" : "false";
}

void PrettyJson::null() {
    beforeValue();
    *out += "null";
}

namespace {

// GeoJSON positions are longitude first.
void position(PrettyJson& json, const _position& p) {
    json.beginArray();
    json.number(rounded(p.lon, kDegreeDecimals));
    json.number(rounded(p.lat, kDegreeDecimals));
    json.endArray();
}

void line(PrettyJson& json, const std::vector<_position>& positions) {
    json.beginArray();
    for (const _position& p : positions) position(json, p);
    json.endArray();
}

void optionalNumber(PrettyJson& json, const std::optional<double>& value, int decimals) {
    if (value)
        json.number(rounded(*value, decimals));
    else
        json.null();
}

void text(PrettyJson& json, const std::string& value) {
    if (value.empty())
        json.null();
    else
        json.string(value);
}

void id(PrettyJson& json, int64_t value) {
    if (value != 0)
        json.integer(value);
    else
        json.null();
}

// The road's identity and attributes, all null for a link the table does not know.
void attributes(PrettyJson& json, const LinkAttributes* a) {
    static const LinkAttributes none;
    const LinkAttributes& known = a != nullptr ? *a : none;
    json.key("way_id");
    id(json, known.wayId);
    json.key("from_osm_node");
    id(json, known.fromNode);
    json.key("to_osm_node");
    id(json, known.toNode);
    json.key("name");
    text(json, known.name);
    json.key("ref");
    text(json, known.ref);
    json.key("highway");
    text(json, known.highway);
    json.key("maxspeed_kmh");
    optionalNumber(json, known.maxspeed, kMetreDecimals);
}

void beginFeature(PrettyJson& json, const char* geometryType) {
    json.beginObject();
    json.key("type");
    json.string("Feature");
    json.key("geometry");
    json.beginObject();
    json.key("type");
    json.string(geometryType);
    json.key("coordinates");
}

// Closes the geometry and opens the properties, the first of which is the feature's kind.
void properties(PrettyJson& json, const char* kind, const std::string& trace) {
    json.endObject();
    json.key("properties");
    json.beginObject();
    json.key("kind");
    json.string(kind);
    json.key("trace");
    json.string(trace);
}

void endFeature(PrettyJson& json) {
    json.endObject();
    json.endObject();
}

void pieceFeature(PrettyJson& json, const std::string& trace, const DrivenPiece& piece) {
    if (piece.firstPoint == piece.lastPoint) {
        // RFC 7946 wants two distinct positions in a LineString; one fix is a Point.
        beginFeature(json, "Point");
        position(json, piece.lines.front().front());
    } else if (piece.lines.size() == 1) {
        beginFeature(json, "LineString");
        line(json, piece.lines.front());
    } else {
        beginFeature(json, "MultiLineString");
        json.beginArray();
        for (const auto& part : piece.lines) line(json, part);
        json.endArray();
    }
    properties(json, "piece", trace);
    json.key("piece");
    json.integer(piece.piece);
    json.key("first_point");
    json.integer(piece.firstPoint);
    json.key("last_point");
    json.integer(piece.lastPoint);
    json.key("links");
    json.beginArray();
    for (const int link : piece.links) json.integer(link);
    json.endArray();
    endFeature(json);
}

void linkFeature(PrettyJson& json, const std::string& trace, const LinkRow& row) {
    if (row.line.front() == row.line.back()) {
        // Nothing of the link driven (a piece of one fix): a point, as for such a piece.
        beginFeature(json, "Point");
        position(json, row.line.front());
    } else {
        beginFeature(json, "LineString");
        line(json, row.line);
    }
    properties(json, "link", trace);
    json.key("piece");
    json.integer(row.piece);
    json.key("link");
    json.integer(row.link);
    attributes(json, row.attributes);
    json.key("oneway");
    if (row.attributes != nullptr && row.attributes->oneway)
        json.boolean(*row.attributes->oneway);
    else
        json.null();
    json.key("entered");
    text(json, matchApp::isoUtcTenths(row.entered));
    json.key("left");
    text(json, matchApp::isoUtcTenths(row.left));
    json.key("driven_m");
    json.number(rounded(row.metres, kMetreDecimals));
    json.key("speed_kmh");
    optionalNumber(json, row.speed, kMetreDecimals);
    endFeature(json);
}

// A matched fix stands at its snapped position; an unmatched one where it was recorded.
void fixFeature(PrettyJson& json, const std::string& trace, const _node& n, const FixRow& row) {
    const FixOnMap& fix = row.fix;
    const bool matched = fix.link >= 0;
    beginFeature(json, "Point");
    position(json, matched ? fix.snapped : n.position);
    properties(json, "fix", trace);
    json.key("point");
    json.integer(fix.point);
    json.key("time");
    text(json, matchApp::isoUtcSeconds(n.arrivalTime));
    const auto ifMatched = [&](auto write) {
        if (matched)
            write();
        else
            json.null();
    };
    json.key("link");
    ifMatched([&] { json.integer(fix.link); });
    json.key("piece");
    ifMatched([&] { json.integer(fix.piece); });
    json.key("distance_m");
    ifMatched([&] { json.number(rounded(fix.distance, kMetreDecimals)); });
    json.key("recorded");
    position(json, n.position);
    json.key("matched");
    json.boolean(matched);
    attributes(json, row.attributes);
    json.key("offset_m");
    ifMatched([&] { json.number(rounded(row.offset, kMetreDecimals)); });
    json.key("route_distance_m");
    optionalNumber(json, row.routeDistance, kMetreDecimals);
    json.key("speed_kmh");
    optionalNumber(json, row.speed, kMetreDecimals);
    endFeature(json);
}

}  // namespace

size_t traceFeatureCount(const TraceRows& rows) {
    return rows.laid.pieces.size() + rows.links.size() + rows.fixes.size();
}

std::string& TextChunks::last() {
    constexpr size_t kChunk = size_t{1} << 20;
    if (drain != nullptr && !chunks.empty() && chunks.back().size() >= kChunk) {
        drain->write(chunks.back().data(), static_cast<std::streamsize>(chunks.back().size()));
        chunks.back().clear();
    } else if (chunks.empty() || chunks.back().size() >= kChunk) {
        chunks.emplace_back();
        chunks.back().reserve(kChunk + kChunk / 4);
    }
    return chunks.back();
}

void TextChunks::writeTo(std::ostream& out) const {
    for (const std::string& chunk : chunks)
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
}

void addTraceFeatures(TextChunks& out, int depth, size_t written, const std::string& trace,
                      const Route& route, const TraceRows& rows) {
    PrettyJson json(out.last(), depth, true, written);
    for (const DrivenPiece& piece : rows.laid.pieces) {
        pieceFeature(json, trace, piece);
        json.continueIn(out.last());
    }
    for (const LinkRow& row : rows.links) {
        linkFeature(json, trace, row);
        json.continueIn(out.last());
    }
    for (const FixRow& row : rows.fixes) {
        fixFeature(json, trace, route.nodes[row.fix.point], row);
        json.continueIn(out.last());
    }
}

}  // namespace matchApp
