// The one writer of matched results for every program that matches: fed trace by trace in list
// order, it keeps the whole document and writes it to a stream or, atomically, to a file.
//   report   the per-trace blocks of the console report ("\tRoute #<i>: <name>", paths, stretches)
//   csv      one row per fix: where it was, the link it was matched to, the snapped position and
//            the distance to it, its piece
//   geojson  one FeatureCollection: per piece the driven line, per fix a point at its snapped position
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "map/link_graph.h"
#include "map/maps.h"
#include "traces/path.h"
#include "traces/route.h"

enum class ResultFormat { Report, Csv, GeoJson };

// "report", "csv" or "geojson"; nothing for any other word.
std::optional<ResultFormat> resultFormatNamed(const std::string& name);

class ResultWriter {
public:
    // The map must outlive the writer and be the one the paths were matched on.
    ResultWriter(ResultFormat format, const mapRepresentation::Map& map);
    ~ResultWriter();
    ResultWriter(const ResultWriter&) = delete;
    ResultWriter& operator=(const ResultWriter&) = delete;

    // The next trace of the batch, with the driven links its matcher decided per path, if any. Not
    // safe to call from several threads at once.
    void add(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
             const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched, const DrivenRoutes& routes = {});

    void write(std::ostream& out) const;
    // Replaces `path` only when the whole document is written; false with `error` otherwise.
    bool writeFile(const std::string& path, std::string& error) const;

private:
    ResultFormat format;
    const mapRepresentation::Map& map;
    mapRepresentation::LinkGraph graph;
    size_t traces = 0;
    std::string text;                                    // report and CSV
    std::unique_ptr<nlohmann::ordered_json> collection;  // the GeoJSON document

    void addCsv(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                const DrivenRoutes& routes);
    void addGeoJson(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                    const DrivenRoutes& routes);
};
