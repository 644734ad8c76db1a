#include "api/engine.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>

#include "matching/hmm_matcher.h"
#include "traces/input_file.h"

namespace karvel {

namespace {

std::atomic<uint64_t> nextSerial{1};

// The map loader writes its messages to standard output. They are taken from there while it runs and
// handed on, so that a library caller gets them in its exception rather than on its console. Loads
// take turns: the stream is the process's.
mapRepresentation::ReadOnlyMap loadCapturingMessages(const std::string& path, std::string& messages) {
    static std::mutex turn;
    const std::lock_guard<std::mutex> guard(turn);
    std::ostringstream captured;
    std::streambuf* const previous = std::cout.rdbuf(captured.rdbuf());
    mapRepresentation::ReadOnlyMap loaded;
    try {
        loaded = mapRepresentation::loadReadOnlyMap(path);
    } catch (...) {
        std::cout.rdbuf(previous);
        throw;
    }
    std::cout.rdbuf(previous);
    messages = std::move(captured).str();
    return loaded;
}

// The text of the first ERROR line among `messages`, or `otherwise`.
std::string firstError(const std::string& messages, const std::string& otherwise) {
    const std::string mark = "ERROR: ";
    const size_t at = messages.starts_with(mark) ? 0 : messages.find("\n" + mark);
    if (at == std::string::npos) return otherwise;
    const size_t from = at == 0 ? mark.size() : at + 1 + mark.size();
    return messages.substr(from, messages.find('\n', from) - from);
}

}  // namespace

MatchEngine::MatchEngine(mapRepresentation::CompactMap map, mapRepresentation::LinkTable table)
    : map_(std::move(map)),
      graph_(map_),
      table_(std::move(table)),
      area_(matchApp::MapArea::of(map_)),
      serial_(nextSerial++) {}

const mapRepresentation::LinkGraph& MatchEngine::linkGraph() const {
    std::call_once(linkGraphBuilt_, [this] { linkGraph_ = mapRepresentation::LinkGraph::fromMap(map_); });
    return linkGraph_;
}

MatchEngine::Loading MatchEngine::load(const std::string& path, std::ostream& log) {
    Loading loading;
    if (const std::string why = inputFile::unreadable(path); !why.empty()) {
        loading.error = "cannot read map file " + path + ": " + why;
        return loading;
    }
    // The compact form beside the map file, or the text read and its compact form left beside it.
    std::string messages;
    mapRepresentation::ReadOnlyMap loaded = loadCapturingMessages(path, messages);
    log << messages;
    loading.complete = !loaded.loadError;
    if (!loaded.fromFile) loading.note = loaded.note;
    if (!loading.complete)
        loading.error = firstError(messages, "map file " + path + " was not read completely");
    using mapRepresentation::LinkTable;
    LinkTable::Reading reading;
    LinkTable table = LinkTable::load(LinkTable::pathBeside(path), *loaded.map, reading);
    loading.engine = std::make_shared<const MatchEngine>(std::move(*loaded.map), std::move(table));
    return loading;
}

RouteMatch MatchEngine::match(const Route& route, const MapMatching::HmmParams& params,
                              bool wantDrive) const {
    struct Cached {
        uint64_t serial = 0;
        MapMatching::HmmParams params{};
        std::unique_ptr<MapMatching::HmmMatcher> matcher;
    };
    thread_local Cached cached;
    if (!cached.matcher || cached.serial != serial_ || !(cached.params == params)) {
        cached.matcher.reset();  // its storage goes before the next one's comes
        cached.matcher = std::make_unique<MapMatching::HmmMatcher>(graph_, params);
        cached.serial = serial_;
        cached.params = params;
    }
    MapMatching::HmmMatcher& matcher = *cached.matcher;
    matcher.run(route);
    RouteMatch out;
    out.result =
        matchApp::TraceMatch{matcher.getShortMatched(), matcher.getUnmatchedInfo(), matcher.drivenRoutes()};
    out.fixesNearRoads = matcher.fixesNearRoads();
    out.sigma = matcher.usedSigma();
    if (wantDrive)
        out.drive =
            kmlMatch::DriveMatch{matcher.getMatched(), matcher.matchedLinks(), matcher.matchedPoints()};
    return out;
}

std::string MatchEngine::offTheMap(const Route& route, const RouteMatch& match, double radius) const {
    if (route.nodes.empty() || match.fixesNearRoads > 0) return "";
    char km[32];
    std::snprintf(km, sizeof km, "%.1f", area_.kilometresTo(route));
    std::ostringstream text;
    text << route.name << ": none of its " << route.nodes.size() << " fixes lies within " << radius
         << " m of a road; it is " << km << " km from the map's area (is it the map of this trace?)";
    return text.str();
}

}  // namespace karvel
