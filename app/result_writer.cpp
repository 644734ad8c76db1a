#include "app/result_writer.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "app/match_geometry.h"
#include "app/report.h"
#include "map/atomic_file.h"
#include "traces/trace_time.h"

using nlohmann::ordered_json;

namespace {

// Decimals written: 7 for degrees (about a centimetre), 2 for metres.
constexpr int kDegreeDecimals = 7;
constexpr int kMetreDecimals = 2;

const char* const kCsvHeader =
    "trace,point,time,latitude,longitude,link,snapped_latitude,snapped_longitude,distance_m,piece\n";

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// RFC 4180: a field with a comma, a double quote or a line break is quoted, its quotes doubled.
std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string quoted = "\"";
    for (char c : s) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void csvRow(std::string& out, const std::string& trace, const _node& n, const FixOnMap& fix) {
    out += csvField(trace) + "," + std::to_string(fix.point) + "," + isoUtcText(n.arrivalTime) + "," +
           fixed(n.position.lat, kDegreeDecimals) + "," + fixed(n.position.lon, kDegreeDecimals) + ",";
    if (fix.link >= 0)
        out += std::to_string(fix.link) + "," + fixed(fix.snapped.lat, kDegreeDecimals) + "," +
               fixed(fix.snapped.lon, kDegreeDecimals) + "," + fixed(fix.distance, kMetreDecimals) + "," +
               std::to_string(fix.piece);
    else
        out += ",,,,";
    out += "\n";
}

// GeoJSON positions are longitude first.
ordered_json lonLat(const _position& p) {
    return ordered_json::array({rounded(p.lon, kDegreeDecimals), rounded(p.lat, kDegreeDecimals)});
}

ordered_json feature(ordered_json geometry, ordered_json properties) {
    ordered_json f;
    f["type"] = "Feature";
    f["geometry"] = std::move(geometry);
    f["properties"] = std::move(properties);
    return f;
}

ordered_json pieceFeature(const std::string& trace, const DrivenPiece& piece) {
    ordered_json geometry;
    if (piece.lines.size() == 1) {
        geometry["type"] = "LineString";
        geometry["coordinates"] = ordered_json::array();
        for (const _position& p : piece.lines.front()) geometry["coordinates"].push_back(lonLat(p));
    } else {
        geometry["type"] = "MultiLineString";
        geometry["coordinates"] = ordered_json::array();
        for (const auto& line : piece.lines) {
            ordered_json part = ordered_json::array();
            for (const _position& p : line) part.push_back(lonLat(p));
            geometry["coordinates"].push_back(std::move(part));
        }
    }
    ordered_json properties;
    properties["trace"] = trace;
    properties["piece"] = piece.piece;
    properties["first_point"] = piece.firstPoint;
    properties["last_point"] = piece.lastPoint;
    properties["links"] = piece.links;
    return feature(std::move(geometry), std::move(properties));
}

// A matched fix stands at its snapped position; an unmatched one where it was recorded.
ordered_json fixFeature(const std::string& trace, const _node& n, const FixOnMap& fix) {
    const bool matched = fix.link >= 0;
    ordered_json geometry;
    geometry["type"] = "Point";
    geometry["coordinates"] = lonLat(matched ? fix.snapped : n.position);
    ordered_json properties;
    properties["trace"] = trace;
    properties["point"] = fix.point;
    const std::string time = isoUtcText(n.arrivalTime);
    properties["time"] = time.empty() ? ordered_json() : ordered_json(time);
    properties["link"] = matched ? ordered_json(fix.link) : ordered_json();
    properties["piece"] = matched ? ordered_json(fix.piece) : ordered_json();
    properties["distance_m"] = matched ? ordered_json(rounded(fix.distance, kMetreDecimals)) : ordered_json();
    properties["recorded"] = lonLat(n.position);
    return feature(std::move(geometry), std::move(properties));
}

}  // namespace

std::optional<ResultFormat> resultFormatNamed(const std::string& name) {
    if (name == "report") return ResultFormat::Report;
    if (name == "csv") return ResultFormat::Csv;
    if (name == "geojson") return ResultFormat::GeoJson;
    if (name == "html") return ResultFormat::Html;
    return std::nullopt;
}

ResultWriter::ResultWriter(ResultFormat f, const mapRepresentation::Map& m)
    : format(f), map(m), collection(std::make_unique<ordered_json>()) {
    (*collection)["type"] = "FeatureCollection";
    (*collection)["features"] = ordered_json::array();
    if (format != ResultFormat::Report) graph = mapRepresentation::LinkGraph::fromMap(map);
    if (format == ResultFormat::Csv) text = kCsvHeader;
}

ResultWriter::~ResultWriter() = default;

void ResultWriter::add(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                       const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched) {
    if (format == ResultFormat::Report) {
        std::ostringstream block;
        printRouteHeader(traces, route.name, block);
        printMatchResult(paths, unmatched, block);
        text += block.str();
    } else if (format == ResultFormat::Csv) {
        addCsv(route, paths);
    } else if (format == ResultFormat::Html) {
        addHtml(route, paths);
    } else {
        addGeoJson(route, paths);
    }
    ++traces;
}

void ResultWriter::addCsv(const Route& route, const std::vector<std::unique_ptr<Path>>& paths) {
    const TraceOnMap laid = layOnMap(route, paths, map, graph);
    for (const FixOnMap& fix : laid.fixes) csvRow(text, route.name, route.nodes[fix.point], fix);
}

void ResultWriter::addGeoJson(const Route& route, const std::vector<std::unique_ptr<Path>>& paths) {
    const TraceOnMap laid = layOnMap(route, paths, map, graph);
    ordered_json& features = (*collection)["features"];
    for (const DrivenPiece& piece : laid.pieces) features.push_back(pieceFeature(route.name, piece));
    for (const FixOnMap& fix : laid.fixes)
        features.push_back(fixFeature(route.name, route.nodes[fix.point], fix));
}

void ResultWriter::addHtml(const Route& route, const std::vector<std::unique_ptr<Path>>& paths) {
    const TraceOnMap laid = layOnMap(route, paths, map, graph);
    pages.push_back({htmlView::summarize(route, laid), htmlView::pageData(route, laid, map)});
}

std::string ResultWriter::streamProblem() const {
    if (format != ResultFormat::Html || pages.size() <= 1) return "";
    return "the HTML of " + std::to_string(pages.size()) +
           " traces is a page each and an index: give the index file with -o";
}

void ResultWriter::write(std::ostream& out) const {
    if (format == ResultFormat::Html) {
        // One trace: its page. None or several: the index (which links pages only files can hold).
        if (pages.size() == 1) {
            htmlView::writePage(out, pages.front().summary, pages.front().data);
        } else {
            std::vector<htmlView::TraceSummary> summaries;
            for (const HtmlTrace& page : pages) summaries.push_back(page.summary);
            htmlView::writeIndex(out, summaries);
        }
        return;
    }
    if (format != ResultFormat::GeoJson) {
        out << text;
        return;
    }
    // Trace names are bytes from file names: invalid UTF-8 is replaced rather than refused.
    out << collection->dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
}

bool ResultWriter::writeHtmlFiles(const std::string& path, std::string& error) const {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::set<std::string> taken;
    std::vector<htmlView::TraceSummary> summaries;
    for (const HtmlTrace& page : pages) {
        htmlView::TraceSummary summary = page.summary;
        summary.page = htmlView::pageFileName(path, summary.name, taken);
        AtomicFile file(folder + summary.page);
        if (file.isOpen()) htmlView::writePage(file.stream(), summary, page.data);
        if (!file.isOpen() || !file.commit()) {
            error = "cannot write " + folder + summary.page;
            return false;
        }
        summaries.push_back(std::move(summary));
    }
    AtomicFile index(path);
    if (index.isOpen()) htmlView::writeIndex(index.stream(), summaries);
    if (!index.isOpen() || !index.commit()) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool ResultWriter::writeFile(const std::string& path, std::string& error) const {
    if (format == ResultFormat::Html && pages.size() > 1) return writeHtmlFiles(path, error);
    AtomicFile file(path);
    if (!file.isOpen()) {
        error = "cannot write " + path;
        return false;
    }
    write(file.stream());
    if (!file.commit()) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
