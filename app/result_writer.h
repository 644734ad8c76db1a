// The one writer of matched results for every program that matches: fed trace by trace in list
// order, it keeps the whole document and writes it to a stream or, atomically, to a file.
//   report   the per-trace blocks of the console report ("\tRoute #<i>: <name>", paths, stretches)
//   csv      one row per fix: where it was, the link it was matched to, the snapped position and
//            the distance to it, its piece; then the road's OSM identity and attributes, the offset
//            along the link, the distance and speed along the route. A second CSV has a row per
//            driven link (when entered and left, metres driven, mean speed).
//   geojson  one FeatureCollection: per piece the driven line (a Point for a one-fix piece), per
//            driven link its driven part with the link's row, per fix a point at its snapped position;
//            the property "kind" (piece, link, fix) tells them apart
//   html     a page per trace to look at in a browser, offline; several traces also get an index page
//   gpkg     a GeoPackage with the layers "fixes" and "links" (the two CSVs' columns)
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/geojson_writer.h"
#include "app/html_writer.h"
#include "map/compact_map.h"
#include "map/link_graph.h"
#include "map/link_table.h"
#include "map/maps.h"
#include "traces/path.h"
#include "traces/route.h"

namespace mapRepresentation {
class AtomicFile;
}  // namespace mapRepresentation

namespace matchApp {

enum class ResultFormat { Report, Csv, GeoJson, Html, Gpkg };

// "report", "csv", "geojson", "html" or "gpkg"; nothing for any other word.
std::optional<ResultFormat> resultFormatNamed(const std::string& name);

class GpkgWriter;

class ResultWriter {
public:
    // The map the paths were matched on; the writer keeps its own handle on the compact form.
    ResultWriter(ResultFormat format, const mapRepresentation::CompactMap& map);
    ResultWriter(ResultFormat format, const mapRepresentation::Map& map);
    ~ResultWriter();
    ResultWriter(const ResultWriter&) = delete;
    ResultWriter& operator=(const ResultWriter&) = delete;

    // The OSM identity and attributes of the map's links (null: none); it must outlive the writer.
    void useLinkTable(const mapRepresentation::LinkTable* table);
    // Reads the link table beside the map file (see LinkTable::pathBeside) and uses it; a table
    // that cannot be read is reported on `log` as a WARNING line and the results carry no
    // attributes. Nothing to do for the report format.
    void useLinkTableBeside(const std::string& mapPath, std::ostream& log);

    // The next trace of the batch, with the driven links its matcher decided per path, if any. Not
    // safe to call from several threads at once.
    void add(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
             const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched,
             const traces::DrivenRoutes& routes = {});

    // Lets the CSV and GeoJSON text go to `path` as it is made, to be completed and put in place by
    // writeFile(path), rather than be held until then (a long drive's GeoJSON is tens of megabytes);
    // a GeoPackage is built there rather than copied there.
    // Call before the first add(); write() has no document to give after it. Where `path` cannot be
    // written, the text is held and writeFile says why.
    void writeAsYouGo(const std::string& path);

    // Why the results cannot go to one stream ("" when they can): several HTML pages need files.
    std::string streamProblem() const;
    // A GeoPackage is finished by its first write: add nothing after it.
    void write(std::ostream& out) const;
    // Replaces `path` only when the whole document is written; false with `error` otherwise. HTML of
    // several traces writes a page per trace beside `path` (see htmlView::pageFileName) and the index
    // at `path`, the index last. The CSV format writes its per-link rows beside it (linkRowsPath).
    bool writeFile(const std::string& path, std::string& error) const;
    // The per-link rows of the CSV format.
    void writeLinkRows(std::ostream& out) const;
    // "results.csv" -> "results.links.csv"; other names get ".links.csv" appended.
    static std::string linkRowsPath(const std::string& path);

private:
    ResultFormat format;
    mapRepresentation::CompactMap map;
    mapRepresentation::LinkGraph graph;
    size_t traces = 0;
    const mapRepresentation::LinkTable* links = nullptr;
    std::unique_ptr<mapRepresentation::LinkTable> ownTable;
    std::string text;                                             // report and CSV
    std::string linkText;                                         // the CSV's per-link rows
    matchApp::TextChunks geoJson;                                 // the GeoJSON's features
    size_t features = 0;                                          // in geoJson
    mutable std::unique_ptr<mapRepresentation::AtomicFile> sink;  // see writeAsYouGo
    std::string sinkPath;
    bool streamed = false;                     // the document went to the sink
    mutable std::unique_ptr<GpkgWriter> gpkg;  // the GeoPackage being filled
    mutable std::string gpkgError;             // why there is no GeoPackage writer
    struct HtmlTrace {
        htmlView::TraceSummary summary;
        std::string data;  // htmlView::pageData
    };
    std::vector<HtmlTrace> pages;

    void openGpkg() const;
    bool finishGpkg(std::ostream& out, std::string& error) const;
    void writeGeoJsonTail(std::ostream& out) const;
    bool finishSink(std::string& error) const;
    bool writeLinkRows(const std::string& path, std::string& error) const;
    void addCsv(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                const traces::DrivenRoutes& routes);
    void addGeoJson(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                    const traces::DrivenRoutes& routes);
    void addHtml(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                 const traces::DrivenRoutes& routes);
    bool writeHtmlFiles(const std::string& path, std::string& error) const;
};

}  // namespace matchApp
