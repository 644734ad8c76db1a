#include "tools/eval/report_export.h"

#include <cmath>
#include <map>
#include <memory>
#include <ostream>

#include "app/file_lister.h"
#include "app/match_geometry.h"
#include "traces/input_file.h"
#include "traces/trace_loader.h"

using traces::DrivenRoutes;

using matchApp::ResultWriter;

namespace matchEval {

namespace {

// Short name -> file. Files that cannot be told apart by their name (a.txt beside a.gpx) are left out
// with an ERROR line: exporting either could mix one drive's fixes with another's matches.
std::map<std::string, std::string> traceFilesByName(const std::string& folder, std::ostream& log) {
    std::map<std::string, std::string> byName;
    const matchApp::TraceListing listing = matchApp::listTraceFiles(folder, traces::kTraceFileExtensions);
    for (const std::string& skipped : listing.skipped)
        log << "ERROR: trace file " << skipped << "; skipped.\n";
    for (const std::string& file : listing.files) {
        Route named;
        named.setOriginalFilename(file, true);
        byName.emplace(named.name, file);
    }
    return byName;
}

// Metres: no matcher places a fix this far from its link; a report that does was made on another map.
constexpr double kFarFromLink = 1000.0;

// Why the report does not fit the trace and the map; empty when it does.
std::string misfit(const ReportTrace& trace, const Route& route, const mapRepresentation::CompactMap& map) {
    for (const ReportPath& path : trace.paths) {
        for (const auto& [point, link] : path.pairs) {
            if (point >= static_cast<int>(route.nodes.size()))
                return "point " + std::to_string(point) + " is beyond the " +
                       std::to_string(route.nodes.size()) + " points of " + route.sourceFile;
            if (link >= 0 && !map.hasLink(link))
                return "link " + std::to_string(link) + " is not in the map (give the map of the run)";
            if (point < 0 || link < 0) continue;
            const auto snap = matchApp::snapToLink(map, link, route.nodes[static_cast<size_t>(point)]);
            if (snap && !(snap->second <= kFarFromLink))
                return "point " + std::to_string(point) + " lies " +
                       std::to_string(std::lround(snap->second / 1000)) + " km from its link " +
                       std::to_string(link) + " (give the map of the run)";
        }
        for (int link : path.driven)
            if (!map.hasLink(link))
                return "link " + std::to_string(link) + " is not in the map (give the map of the run)";
    }
    return "";
}

std::vector<std::unique_ptr<Path>> pathsOf(const ReportTrace& trace) {
    std::vector<std::unique_ptr<Path>> paths;
    for (const ReportPath& p : trace.paths) {
        auto path = std::make_unique<Path>();
        path->links = p.pairs;
        path->startIndex = p.start;
        path->lastIndex = p.last;
        paths.push_back(std::move(path));
    }
    return paths;
}

}  // namespace

bool exportReport(const Report& report, const std::string& folder, ResultWriter& writer,
                  const mapRepresentation::CompactMap& map, std::ostream& log) {
    const std::map<std::string, std::string> files = traceFilesByName(folder, log);
    bool complete = true;
    for (const ReportTrace& trace : report.traces) {
        const std::string name = inputFile::printable(trace.name);  // the report is a file like any other
        const auto file = files.find(trace.name);
        if (file == files.end()) {
            log << "ERROR: " << name << ": no " << name << ".txt, .gpx, .nmea or .log in " << folder << "\n";
            complete = false;
            continue;
        }
        if (trace.malformedLines > 0)
            log << "WARNING: " << name << ": " << trace.malformedLines << " report lines could not be read\n";
        const Route route = traces::loadRouteErrorsOnly(file->second, log);
        const std::string why = misfit(trace, route, map);
        if (!why.empty()) {
            log << "ERROR: " << name << ": " << why << "\n";
            complete = false;
            continue;
        }
        DrivenRoutes routes;
        for (const ReportPath& p : trace.paths) routes.push_back(p.driven);
        writer.add(route, pathsOf(trace), {}, routes);
    }
    return complete;
}

}  // namespace matchEval
