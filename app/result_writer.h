// The one writer of matched results for every program that matches: fed trace by trace in list
// order, it keeps the whole document and writes it to a stream or, atomically, to a file.
//   report   the per-trace blocks of the console report ("\tRoute #<i>: <name>", paths, stretches)
//   csv      one row per fix: where it was, the link it was matched to, the snapped position and
//            the distance to it, its piece
//   geojson  one FeatureCollection: per piece the driven line, per fix a point at its snapped position
//   html     a page per trace to look at in a browser, offline; several traces also get an index page
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/html_writer.h"
#include "map/link_graph.h"
#include "map/maps.h"
#include "traces/path.h"
#include "traces/route.h"

enum class ResultFormat { Report, Csv, GeoJson, Html };

// "report", "csv", "geojson" or "html"; nothing for any other word.
std::optional<ResultFormat> resultFormatNamed(const std::string& name);

class ResultWriter {
public:
    // The map must outlive the writer and be the one the paths were matched on.
    ResultWriter(ResultFormat format, const mapRepresentation::Map& map);
    ~ResultWriter();
    ResultWriter(const ResultWriter&) = delete;
    ResultWriter& operator=(const ResultWriter&) = delete;

    // The next trace of the batch. Not safe to call from several threads at once.
    void add(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
             const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched);

    // Why the results cannot go to one stream ("" when they can): several HTML pages need files.
    std::string streamProblem() const;
    void write(std::ostream& out) const;
    // Replaces `path` only when the whole document is written; false with `error` otherwise. HTML of
    // several traces writes a page per trace beside `path` (see htmlView::pageFileName) and the index
    // at `path`, the index last.
    bool writeFile(const std::string& path, std::string& error) const;

private:
    ResultFormat format;
    const mapRepresentation::Map& map;
    mapRepresentation::LinkGraph graph;
    size_t traces = 0;
    std::string text;                                    // report and CSV
    std::unique_ptr<nlohmann::ordered_json> collection;  // the GeoJSON document
    struct HtmlTrace {
        htmlView::TraceSummary summary;
        std::string data;  // htmlView::pageData
    };
    std::vector<HtmlTrace> pages;

    void addCsv(const Route& route, const std::vector<std::unique_ptr<Path>>& paths);
    void addGeoJson(const Route& route, const std::vector<std::unique_ptr<Path>>& paths);
    void addHtml(const Route& route, const std::vector<std::unique_ptr<Path>>& paths);
    bool writeHtmlFiles(const std::string& path, std::string& error) const;
};
