// The HTML view of matched traces: a page per trace that works offline (the mapping library, its
// style and the drawing script are inline; the base layer is the map's own roads around the trace,
// so no tiles are fetched), and an index page listing such pages with their summaries.
//
// A page is built in two steps so that a batch keeps only the small part in memory: pageData()
// packs the trace, and writePage() wraps it with the library when the file is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/match_geometry.h"
#include "map/compact_map.h"
#include "traces/route.h"

namespace htmlView {

// What a popup may tell about a link beyond its id; every field is optional.
struct LinkNotes {
    std::optional<int64_t> way;
    std::optional<std::string> name;
    std::optional<double> speedKmh;
};
// The notes of a link; nothing when the map has none for it.
using LinkNotesSource = std::function<std::optional<LinkNotes>(int link)>;

// The figures of one trace that its page and its row of an index show.
struct TraceSummary {
    std::string name;
    std::string page;  // the page's file name, relative to the index
    size_t fixes = 0;
    size_t placed = 0;                // fixes placed on a link
    size_t pieces = 0;                // pieces of the decided route
    double lengthMetres = 0.0;        // driven along the decided route
    std::optional<uint32_t> seconds;  // from the first to the last fix that has a time
    std::string start;                // time of the first fix that has one, ISO 8601 UTC; "" when none
};

TraceSummary summarize(const Route& route, const matchApp::TraceOnMap& laid);

// The trace, its placement and the roads around it, packed for the page's script (JSON).
std::string pageData(const Route& route, const matchApp::TraceOnMap& laid,
                     const mapRepresentation::CompactMap& map, const LinkNotesSource& notes = {});
// The whole page of one trace around the output of pageData.
void writePage(std::ostream& out, const TraceSummary& summary, const std::string& data);

// A page listing the given traces, each row linking to its page.
void writeIndex(std::ostream& out, const std::vector<TraceSummary>& traces);

// The summary a page written by writePage carries (its `page` left empty); nothing for any other
// text. An index can so be made over pages written by other runs or other hosts.
std::optional<TraceSummary> summaryOfPage(const std::string& page);

// Writes, atomically, an index at `indexPath` over pages written by writePage elsewhere (by other
// runs or hosts), in the order given, each linked by its path relative to the index. False with
// `error` (and nothing written) when a page cannot be read or is not such a page.
bool writeIndexOfPages(const std::string& indexPath, const std::vector<std::string>& pagePaths,
                       std::string& error);

// The file name of the page of `trace` beside the index `indexPath` ("out/run.html" and trace
// "a b" give "run-a_b.html"): only letters, digits, '.', '_' and '-' from the trace name, and a
// number added when the name is in `taken` already. The name returned is added to `taken`.
std::string pageFileName(const std::string& indexPath, const std::string& trace,
                         std::set<std::string>& taken);

}  // namespace htmlView
