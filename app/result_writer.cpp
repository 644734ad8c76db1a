#include "app/result_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "app/geojson_writer.h"
#include "app/gpkg_writer.h"
#include "app/match_geometry.h"
#include "app/report.h"
#include "app/trace_rows.h"
#include "map/atomic_file.h"
#include "traces/trace_time.h"

using traces::DrivenRoutes;

using mapRepresentation::AtomicFile;

using matchApp::FixOnMap;
using matchApp::FixRow;
using matchApp::LinkRow;
using matchApp::ResultFormat;
using matchApp::ResultWriter;
using matchApp::TraceOnMap;
using matchApp::TraceRows;

namespace {

// Decimals written: 7 for degrees (about a centimetre), 2 for metres.
constexpr int kDegreeDecimals = 7;
constexpr int kMetreDecimals = 2;

// The first ten columns are those of the first CSV layout; what came later is appended so that
// readers by column position keep working.
const char* const kCsvHeader =
    "trace,point,time,latitude,longitude,link,snapped_latitude,snapped_longitude,distance_m,piece,"
    "matched,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,offset_m,route_distance_m,"
    "speed_kmh\n";
const char* const kLinkCsvHeader =
    "trace,piece,link,way_id,from_osm_node,to_osm_node,name,ref,highway,maxspeed_kmh,oneway,entered,left,"
    "driven_m,speed_kmh\n";

const char* const kGeoJsonHead = "{\n  \"type\": \"FeatureCollection\",\n  \"features\": ";

// Text written as it is made goes out in pieces of about this size.
constexpr size_t kSinkPiece = size_t{1} << 20;

using mapRepresentation::LinkAttributes;

// As printf's "%.*f" writes it, without printf's cost (a row per fix adds up).
void appendFixed(std::string& out, double value, int decimals) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    out.append(text, end);
}

std::string fixed(double value, int decimals) {
    std::string text;
    appendFixed(text, value, decimals);
    return text;
}

// RFC 4180: a field with a comma, a double quote or a line break is quoted, its quotes doubled.
std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string quoted = "\"";
    for (char c : s) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string optionalFixed(const std::optional<double>& value, int decimals) {
    return value ? fixed(*value, decimals) : std::string();
}

std::string idText(int64_t id) {
    return id != 0 ? std::to_string(id) : std::string();
}

// way_id through maxspeed_kmh: empty for a link the table does not know.
std::string attributeFields(const LinkAttributes* a) {
    if (a == nullptr) return ",,,,,,";
    return idText(a->wayId) + "," + idText(a->fromNode) + "," + idText(a->toNode) + "," + csvField(a->name) +
           "," + csvField(a->ref) + "," + csvField(a->highway) + "," +
           optionalFixed(a->maxspeed, kMetreDecimals);
}

void csvRow(std::string& out, const std::string& trace, const _node& n, const FixRow& row) {
    const FixOnMap& fix = row.fix;
    const auto field = [&out](double value, int decimals) {
        out += ',';
        appendFixed(out, value, decimals);
    };
    out += csvField(trace);
    out += ',';
    out += std::to_string(fix.point);
    out += ',';
    out += matchApp::isoUtcSeconds(n.arrivalTime);
    field(n.position.lat, kDegreeDecimals);
    field(n.position.lon, kDegreeDecimals);
    if (fix.link < 0) {
        out += ",,,,,,0,,,,,,,,,,\n";
        return;
    }
    out += ',';
    out += std::to_string(fix.link);
    field(fix.snapped.lat, kDegreeDecimals);
    field(fix.snapped.lon, kDegreeDecimals);
    field(fix.distance, kMetreDecimals);
    out += ',';
    out += std::to_string(fix.piece);
    out += ",1,";
    out += attributeFields(row.attributes);
    field(row.offset, kMetreDecimals);
    out += ',';
    if (row.routeDistance) appendFixed(out, *row.routeDistance, kMetreDecimals);
    out += ',';
    if (row.speed) appendFixed(out, *row.speed, kMetreDecimals);
    out += '\n';
}

void linkCsvRow(std::string& out, const std::string& trace, const LinkRow& row) {
    const LinkAttributes* a = row.attributes;
    out += csvField(trace) + "," + std::to_string(row.piece) + "," + std::to_string(row.link) + "," +
           attributeFields(a) + "," + (a != nullptr && a->oneway ? (*a->oneway ? "yes" : "no") : "") + "," +
           matchApp::isoUtcTenths(row.entered) + "," + matchApp::isoUtcTenths(row.left) + "," +
           fixed(row.metres, kMetreDecimals) + "," + optionalFixed(row.speed, kMetreDecimals) + "\n";
}

}  // namespace

std::optional<ResultFormat> matchApp::resultFormatNamed(const std::string& name) {
    if (name == "report") return ResultFormat::Report;
    if (name == "csv") return ResultFormat::Csv;
    if (name == "geojson") return ResultFormat::GeoJson;
    if (name == "gpkg") return ResultFormat::Gpkg;
    if (name == "html") return ResultFormat::Html;
    return std::nullopt;
}

ResultWriter::ResultWriter(ResultFormat f, const mapRepresentation::Map& m)
    : ResultWriter(f, mapRepresentation::CompactMap::build(m)) {}

ResultWriter::ResultWriter(ResultFormat f, const mapRepresentation::CompactMap& m) : format(f), map(m) {
    if (format != ResultFormat::Report) graph = mapRepresentation::LinkGraph::fromMap(map);
    if (format == ResultFormat::Csv) {
        text = kCsvHeader;
        linkText = kLinkCsvHeader;
    }
}

void ResultWriter::useLinkTable(const mapRepresentation::LinkTable* table) {
    links = table;
}

void ResultWriter::useLinkTableBeside(const std::string& mapPath, std::ostream& log) {
    if (format == ResultFormat::Report) return;
    using mapRepresentation::LinkTable;
    LinkTable::Reading reading;
    ownTable = std::make_unique<LinkTable>(LinkTable::load(LinkTable::pathBeside(mapPath), map, reading));
    if (!reading.error.empty())
        log << "WARNING: " << reading.error << "; the results carry no road attributes\n";
    else if (reading.dropped > 0)
        log << "WARNING: " << reading.dropped << " rows of " << LinkTable::pathBeside(mapPath)
            << " do not fit the map's links; those links carry no road attributes\n";
    links = ownTable.get();
}

ResultWriter::~ResultWriter() = default;

void ResultWriter::add(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                       const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched,
                       const DrivenRoutes& routes) {
    if (format == ResultFormat::Report) {
        std::ostringstream block;
        matchApp::printRouteHeader(traces, route.name, block);
        matchApp::printMatchResult(paths, unmatched, block, routes);
        text += block.str();
    } else if (format == ResultFormat::Csv) {
        addCsv(route, paths, routes);
    } else if (format == ResultFormat::Html) {
        addHtml(route, paths, routes);
    } else if (format == ResultFormat::GeoJson) {
        addGeoJson(route, paths, routes);
    } else {
        openGpkg();
        if (gpkg) gpkg->add(route, matchApp::traceRows(route, paths, map, graph, links, routes));
    }
    ++traces;
}

void ResultWriter::addCsv(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                          const DrivenRoutes& routes) {
    const TraceRows rows = matchApp::traceRows(route, paths, map, graph, links, routes);
    for (const FixRow& row : rows.fixes) {
        csvRow(text, route.name, route.nodes[row.fix.point], row);
        if (sink && text.size() >= kSinkPiece) {
            sink->stream() << text;
            text.clear();
        }
    }
    for (const LinkRow& row : rows.links) linkCsvRow(linkText, route.name, row);
}

void ResultWriter::addGeoJson(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                              const DrivenRoutes& routes) {
    const TraceRows rows = matchApp::traceRows(route, paths, map, graph, links, routes);
    if (features == 0 && matchApp::traceFeatureCount(rows) > 0) geoJson.last() += '[';
    // The features go into the collection's array, two levels down.
    matchApp::addTraceFeatures(geoJson, 2, features, route.name, route, rows);
    features += matchApp::traceFeatureCount(rows);
}

void ResultWriter::addHtml(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                           const DrivenRoutes& routes) {
    const TraceOnMap laid = matchApp::layOnMap(route, paths, map, graph, routes);
    htmlView::LinkNotesSource notes;
    if (links != nullptr)
        notes = [table = links](int link) -> std::optional<htmlView::LinkNotes> {
            const mapRepresentation::LinkAttributes* a = table->find(link);
            if (a == nullptr || (a->wayId == 0 && a->name.empty() && !a->maxspeed)) return std::nullopt;
            htmlView::LinkNotes n;
            if (a->wayId != 0) n.way = a->wayId;
            if (!a->name.empty()) n.name = a->name;
            n.speedKmh = a->maxspeed;
            return n;
        };
    pages.push_back({htmlView::summarize(route, laid), htmlView::pageData(route, laid, map, notes)});
}

std::string ResultWriter::streamProblem() const {
    if (format != ResultFormat::Html || pages.size() <= 1) return "";
    return "the HTML of " + std::to_string(pages.size()) +
           " traces is a page each and an index: give the index file with -o";
}

void ResultWriter::write(std::ostream& out) const {
    if (streamed) {
        out.setstate(std::ios::failbit);  // the document went to the sink's file
        return;
    }
    if (format == ResultFormat::Gpkg) {
        std::string error;
        if (!finishGpkg(out, error)) out.setstate(std::ios::failbit);
        return;
    }
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
    out << kGeoJsonHead;
    writeGeoJsonTail(out);
}

void ResultWriter::writeGeoJsonTail(std::ostream& out) const {
    geoJson.writeTo(out);
    out << (features == 0 ? "[]" : "\n  ]") << "\n}\n";
}

void ResultWriter::writeAsYouGo(const std::string& path) {
    if (format != ResultFormat::Csv && format != ResultFormat::GeoJson && format != ResultFormat::Gpkg)
        return;
    // SQLite builds the GeoPackage in the temporary file, which it can open only by a name.
    sink = std::make_unique<AtomicFile>(path, format == ResultFormat::Gpkg);
    if (!sink->isOpen()) {
        sink.reset();
        return;
    }
    sinkPath = path;
    streamed = true;
    if (format == ResultFormat::GeoJson) {
        sink->stream() << kGeoJsonHead;
        geoJson.drainInto(&sink->stream());
    }
}

bool ResultWriter::finishSink(std::string& error) const {
    std::ostream& out = sink->stream();
    if (format == ResultFormat::Gpkg) {
        if (!finishGpkg(out, error)) {
            sink.reset();
            return false;
        }
    } else if (format == ResultFormat::GeoJson) {
        writeGeoJsonTail(out);
    } else {
        out << text;
    }
    const bool written = sink->commit();
    sink.reset();
    if (!written) {
        error = "cannot write " + sinkPath;
        return false;
    }
    return format != ResultFormat::Csv || writeLinkRows(linkRowsPath(sinkPath), error);
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
    if (sink && path == sinkPath) return finishSink(error);
    AtomicFile file(path);
    if (!file.isOpen()) {
        error = "cannot write " + path;
        return false;
    }
    if (format == ResultFormat::Gpkg) {
        if (!finishGpkg(file.stream(), error)) return false;
    } else {
        write(file.stream());
    }
    if (!file.commit()) {
        error = "cannot write " + path;
        return false;
    }
    if (format == ResultFormat::Csv) return writeLinkRows(linkRowsPath(path), error);
    return true;
}

// The GeoPackage writer, on the first call; in the sink's file when there is one.
void ResultWriter::openGpkg() const {
    if (!gpkg && gpkgError.empty())
        gpkg = matchApp::openGpkgWriter(gpkgError, sink ? sink->temporaryName() : "");
}

bool ResultWriter::finishGpkg(std::ostream& out, std::string& error) const {
    openGpkg();
    if (!gpkg) {
        error = gpkgError;
        return false;
    }
    return gpkg->finishInto(out, error);
}

void ResultWriter::writeLinkRows(std::ostream& out) const {
    out << linkText;
}

std::string ResultWriter::linkRowsPath(const std::string& path) {
    const std::string suffix = ".csv";
    const bool csv =
        path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (csv ? path.substr(0, path.size() - suffix.size()) : path) + ".links.csv";
}

bool ResultWriter::writeLinkRows(const std::string& path, std::string& error) const {
    AtomicFile file(path);
    if (file.isOpen()) {
        writeLinkRows(file.stream());
        if (file.commit()) return true;
    }
    error = "cannot write " + path;
    return false;
}
