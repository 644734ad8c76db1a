#include "tools/eval/report_export.h"

#include <map>
#include <memory>
#include <ostream>
#include <sstream>

#include "app/file_lister.h"
#include "traces/trace_loader.h"

namespace matchEval {

namespace {

// Short name -> file; an NMEA log wins over a GPX log of the same name, as karvel reads only those.
std::map<std::string, std::string> traceFilesByName(const std::string& folder) {
    std::map<std::string, std::string> byName;
    for (const std::string& file : listTraceFiles(folder, kTraceFileExtensions).files) {
        Route named;
        named.setOriginalFilename(file, true);
        const auto [it, added] = byName.emplace(named.name, file);
        if (!added && isGpxFile(it->second)) it->second = file;
    }
    return byName;
}

// Why the report does not fit the trace and the map; empty when it does.
std::string misfit(const ReportTrace& trace, const Route& route, const mapRepresentation::Map& map) {
    for (const ReportPath& path : trace.paths) {
        for (const auto& [point, link] : path.pairs) {
            if (point >= static_cast<int>(route.nodes.size()))
                return "point " + std::to_string(point) + " is beyond the " +
                       std::to_string(route.nodes.size()) + " points of " + route.sourceFile;
            if (link >= 0 && map.links.count(link) == 0)
                return "link " + std::to_string(link) + " is not in the map (give the map of the run)";
        }
    }
    return "";
}

// The loaders' progress lines are noise here; their errors are not.
Route loadRouteQuietly(const std::string& file, std::ostream& log) {
    std::ostringstream messages;
    Route route = loadRoute(file, messages);
    std::istringstream lines(messages.str());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("ERROR: ", 0) == 0) log << line << "\n";
    return route;
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
                  const mapRepresentation::Map& map, std::ostream& log) {
    const std::map<std::string, std::string> files = traceFilesByName(folder);
    bool complete = true;
    for (const ReportTrace& trace : report.traces) {
        const auto file = files.find(trace.name);
        if (file == files.end()) {
            log << "ERROR: " << trace.name << ": no " << trace.name << ".txt, .gpx, .nmea or .log in "
                << folder << "\n";
            complete = false;
            continue;
        }
        if (trace.malformedLines > 0)
            log << "WARNING: " << trace.name << ": " << trace.malformedLines
                << " report lines could not be read\n";
        const Route route = loadRouteQuietly(file->second, log);
        const std::string why = misfit(trace, route, map);
        if (!why.empty()) {
            log << "ERROR: " << trace.name << ": " << why << "\n";
            complete = false;
            continue;
        }
        writer.add(route, pathsOf(trace), {});
    }
    return complete;
}

}  // namespace matchEval
