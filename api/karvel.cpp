#include "api/karvel.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <numbers>
#include <sstream>

#include "api/engine.h"
#include "app/result_writer.h"
#include "app/trace_rows.h"
#include "tools/osm/osm_import.h"
#include "traces/NMEALoader.h"
#include "traces/trace_loader.h"
#include "traces/trace_time.h"

using traces::kNmeaNoHdop;

using matchApp::FixRow;
using matchApp::LinkRow;
using matchApp::ResultFormat;
using matchApp::ResultWriter;
using matchApp::TraceRows;

namespace karvel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::shared_ptr<const MatchEngine> loadEngine(const std::string& path) {
    std::ostringstream messages;  // a failure is thrown; the loader's other lines are not wanted
    MatchEngine::Loading loading = MatchEngine::load(path, messages);
    if (!loading.engine || !loading.complete) throw FileError(loading.error);
    return std::move(loading.engine);
}

// The first ERROR line among a loader's messages, without its mark.
std::string firstError(const std::string& messages) {
    std::istringstream lines(messages);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("ERROR: ")) return line.substr(7);
    return "";
}

// The columns of a trace must fit together and hold usable values; the first fault, or "".
std::string columnProblem(const TraceView& t) {
    const size_t n = t.latitude.size();
    const auto fits = [n](std::span<const double> column) { return column.empty() || column.size() == n; };
    if (t.longitude.size() != n || !fits(t.time) || !fits(t.speed) || !fits(t.course)) {
        std::ostringstream text;
        text << "the trace's columns differ in length: " << n << " latitudes, " << t.longitude.size()
             << " longitudes, " << t.time.size() << " times, " << t.speed.size() << " speeds, "
             << t.course.size() << " courses";
        return text.str();
    }
    double previous = -1;
    for (size_t i = 0; i < n; ++i) {
        const double lat = t.latitude[i], lon = t.longitude[i];
        if (!(std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0)) {
            std::ostringstream text;
            text << "fix " << i << ": latitude " << lat << ", longitude " << lon
                 << " is no position on the globe";
            return text.str();
        }
        if (t.time.empty() || std::isnan(t.time[i])) continue;
        const double time = t.time[i];
        if (!(time >= 0 && time < static_cast<double>(traces::kTraceNoTime))) {
            std::ostringstream text;
            text << "fix " << i << ": time " << time << " is not between 1970 and 2106 (seconds since 1970)";
            return text.str();
        }
        // The matcher measures the time between fixes: a trace must not run backwards.
        if (time < previous) {
            std::ostringstream text;
            text << "fix " << i << ": time " << time << " comes before the time of an earlier fix ("
                 << previous << "); sort the fixes by time";
            return text.str();
        }
        previous = time;
    }
    return "";
}

// The trace as a route in the map's plane frame, with speed and heading derived from the positions
// as the loaders derive them, unless the columns give them.
Route routeOf(const TraceView& t, const geo::PlaneFrame& frame) {
    Route route;
    route.name = t.name;
    route.nodes.reserve(t.latitude.size());
    for (size_t i = 0; i < t.latitude.size(); ++i) {
        _node n;
        n.position = _position{t.latitude[i], t.longitude[i]};
        const Point q = frame.toPlane(n.position);
        n.easting = q.x;
        n.northing = q.y;
        const double time = t.time.empty() ? kNaN : t.time[i];
        n.arrivalTime = n.leaveTime =
            std::isnan(time) ? traces::kTraceNoTime : static_cast<uint32_t>(std::floor(time));
        n.hdop = kNmeaNoHdop;
        n.averageSnr = kNaN;
        n.valid = true;
        route.addNode(n, true);
    }
    traces::forgetUntimedSpeeds(route);
    std::vector<_node>& nodes = route.nodes;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (!t.speed.empty() && std::isfinite(t.speed[i]))
            nodes[i].speed = nodes[i].reportedSpeed = t.speed[i];
        if (!t.course.empty() && std::isfinite(t.course[i]))
            nodes[i].heading = nodes[i].reportedCourse =
                std::fmod(std::fmod(t.course[i], 360.0) + 360.0, 360.0) * std::numbers::pi / 180.0;
    }
    return route;
}

Fix fixOf(const FixRow& row) {
    Fix f;
    f.link = row.fix.link;
    f.piece = row.fix.piece;
    if (row.fix.link < 0) {
        f.latitude = f.longitude = f.distance = f.offset = kNaN;
    } else {
        f.latitude = row.fix.snapped.lat;
        f.longitude = row.fix.snapped.lon;
        f.distance = row.fix.distance;
        f.offset = row.offset;
    }
    f.wayId = row.attributes != nullptr ? row.attributes->wayId : 0;
    f.routeDistance = row.routeDistance.value_or(kNaN);
    f.speed = row.speed.value_or(kNaN);
    return f;
}

DrivenLink drivenOf(const LinkRow& row) {
    DrivenLink d;
    d.piece = row.piece;
    d.link = row.link;
    if (const mapRepresentation::LinkAttributes* a = row.attributes) {
        d.wayId = a->wayId;
        d.name = a->name;
        d.ref = a->ref;
        d.highway = a->highway;
        d.maxspeed = a->maxspeed;
        d.oneway = a->oneway;
    }
    d.entered = row.entered.value_or(kNaN);
    d.left = row.left.value_or(kNaN);
    d.metres = row.metres;
    d.speed = row.speed.value_or(kNaN);
    return d;
}

// The fixes some path puts on a link of the map: those that get a row with a link.
size_t placedFixes(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                   const mapRepresentation::LinkGraph& graph) {
    std::vector<char> placed(route.nodes.size(), 0);
    for (const auto& path : paths)
        for (const auto& [point, link] : path->links)
            if (point >= 0 && static_cast<size_t>(point) < placed.size() && graph.has(link))
                placed[point] = 1;
    return static_cast<size_t>(std::count(placed.begin(), placed.end(), 1));
}

// Laying a trace on the map searches the link graph, which keeps its search state, only for a piece
// whose drive the matcher left open; such calls take turns.
std::mutex openDriveTurn;

}  // namespace

// The per-fix and per-link rows are made at the first look at them, once: a caller after the count,
// the GeoJSON or only some results does not pay for measuring every fix along the route.
struct Result::Data {
    std::shared_ptr<const MatchEngine> engine;
    Route route;
    matchApp::TraceMatch match;
    std::string problem;
    size_t matched = 0;
    mutable std::once_flag measured;
    mutable std::vector<Fix> fixes;
    mutable std::vector<DrivenLink> links;

    const Data& rows() const {
        std::call_once(measured, [this] { measure(); });
        return *this;
    }
    void measure() const;
};

void Result::Data::measure() const {
    const matchApp::TraceMatch& m = match;
    const bool open = m.routes.size() != m.paths.size() ||
                      std::any_of(m.routes.begin(), m.routes.end(), [](const auto& r) { return r.empty(); });
    std::unique_lock<std::mutex> turn(openDriveTurn, std::defer_lock);
    if (open) turn.lock();
    const mapRepresentation::LinkTable* table = engine->linkTable().empty() ? nullptr : &engine->linkTable();
    const TraceRows rows =
        matchApp::traceRows(route, m.paths, engine->map(), engine->linkGraph(), table, m.routes);
    if (open) turn.unlock();
    fixes.reserve(rows.fixes.size());
    for (const FixRow& row : rows.fixes) fixes.push_back(fixOf(row));
    links.reserve(rows.links.size());
    for (const LinkRow& row : rows.links) links.push_back(drivenOf(row));
}

const std::vector<Fix>& Result::fixes() const {
    return data->rows().fixes;
}
const std::vector<DrivenLink>& Result::route() const {
    return data->rows().links;
}
size_t Result::size() const {
    return data->route.nodes.size();
}
size_t Result::matchedCount() const {
    return data->matched;
}
const std::string& Result::problem() const {
    return data->problem;
}

std::string Result::toGeoJson() const {
    const MatchEngine& engine = *data->engine;
    ResultWriter writer(ResultFormat::GeoJson, engine.map());
    writer.useLinkTable(engine.linkTable().empty() ? nullptr : &engine.linkTable());
    writer.add(data->route, data->match.paths, data->match.unmatched, data->match.routes);
    std::ostringstream out;
    writer.write(out);
    return std::move(out).str();
}

Map::Map(const std::string& path) : engine(loadEngine(path)) {}

Map::Map(std::shared_ptr<const MatchEngine> loaded) : engine(std::move(loaded)) {}

Map Map::fromOsm(const std::string& path) {
    mapRepresentation::Map imported;
    osmImport::ImportResult result = osmImport::importOsm(path, {}, imported);
    if (!result.ok) throw FileError(result.error);
    // Through a map file, as karvel-osm2map's users get it: the loaded map is then the one the
    // programs load, to the last bit (the plane frame is chosen on loading).
    static std::atomic<unsigned> serial{0};
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() /
                            ("karvel-osm-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
    fs::create_directories(folder);
    const std::string mapFile = (folder / "map.txt").string();
    std::string error;
    std::ostringstream messages;
    std::streambuf* const previous = std::cout.rdbuf(messages.rdbuf());  // the save's own ERROR lines
    const bool saved = imported.saveMap(mapFile) &&
                       result.links.save(mapRepresentation::LinkTable::pathBeside(mapFile), imported, error);
    std::cout.rdbuf(previous);
    std::shared_ptr<const MatchEngine> engine;
    try {
        if (!saved) throw FileError(error.empty() ? firstError(messages.str()) : error);
        engine = loadEngine(mapFile);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        throw;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return Map(std::move(engine));
}

size_t Map::nodeCount() const {
    return engine->map().nodeCount();
}
size_t Map::linkCount() const {
    return engine->map().linkCount();
}

Result Map::match(const TraceView& trace, const Params& params) const {
    if (const std::string problem = params.problem(); !problem.empty()) throw ArgumentError(problem);
    if (const std::string problem = columnProblem(trace); !problem.empty()) throw ArgumentError(problem);
    auto data = std::make_shared<Result::Data>();
    data->engine = engine;
    data->route = routeOf(trace, engine->map().planeFrame());
    RouteMatch match = engine->match(data->route, params);
    data->problem = engine->offTheMap(data->route, match, params.radius);
    data->match = std::move(match.result);
    data->matched = placedFixes(data->route, data->match.paths, engine->linkGraph());
    Result result;
    result.data = std::move(data);
    return result;
}

Trace loadTrace(const std::string& path) {
    std::ostringstream messages;
    bool refused = false;
    std::string why;
    const Route route = traces::loadRoute(path, messages, &refused, &why);
    if (refused || route.nodes.empty()) {
        const std::string error = firstError(messages.str());
        throw FileError(!error.empty() ? error : "trace " + path + " gives no fix: " + why + ".");
    }
    Trace t;
    t.name = route.name;
    for (std::vector<double>* column : {&t.time, &t.latitude, &t.longitude, &t.speed, &t.course})
        column->reserve(route.nodes.size());
    for (const _node& n : route.nodes) {
        t.time.push_back(n.arrivalTime == traces::kTraceNoTime ? kNaN : static_cast<double>(n.arrivalTime));
        t.latitude.push_back(n.position.lat);
        t.longitude.push_back(n.position.lon);
        // What the receiver reported, so that matching the columns is matching the file.
        t.speed.push_back(n.reportedSpeed);
        t.course.push_back(n.reportedCourse * 180.0 / std::numbers::pi);
    }
    return t;
}

}  // namespace karvel
