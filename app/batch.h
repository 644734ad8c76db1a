// The one batch loop of every program that matches a folder of traces (karvel, karvel-genetic,
// karvel-match): each trace is loaded, its header printed, matched, and its result printed, in the
// order of the file list.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "traces/path.h"
#include "traces/route.h"

namespace matchApp {

// What a matcher hands back for one trace.
struct TraceMatch {
    std::vector<std::unique_ptr<Path>> paths;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;
    // Per path, the links the matcher decided it drove (see traces::DrivenRoutes); empty when the matcher
    // leaves the links between fixes open (the hybrid's report has no room for them).
    traces::DrivenRoutes routes;
};

// What a program plugs into the batch: how a file becomes a route and how a route is matched. Both
// write their messages to the stream they are given: standard output when one thread runs the batch,
// a buffer of that trace's own otherwise, so the report reads the same whatever the number of threads.
struct TraceMatcher {
    std::function<Route(const std::string& file, std::ostream& log)> load;
    std::function<TraceMatch(Route& route, std::ostream& log)> match;
    // Optional: handed every trace's route and result on the calling thread, in the order of the
    // file list (after that trace's block is printed), e.g. to feed a ResultWriter.
    std::function<void(const Route& route, const TraceMatch& result)> finished;
    // Optional: the frame of the map the routes are matched on; every route is brought into it first.
    const geo::PlaneFrame* frame = nullptr;
    // A progress line on standard error while the batch runs, when that is a terminal. Callers turn
    // it off when their own output shares the terminal.
    bool progress = false;
};

// Reads an NMEA log, with the loader's messages going to `log`.
Route loadNmeaRoute(const std::string& file, std::ostream& log);
// loadNmeaRoute, and when the log gives no point, an ERROR line that says which sentences it lacked;
// `failed` is then set.
Route loadNmeaRouteOrSay(const std::string& file, std::ostream& log, bool& failed);

// Matches every file and prints each trace's block ("\tRoute #<i>: <name>", "Paths: ", ...) to `out`
// in the order of `files`. With jobs > 1 the traces are loaded and matched on that many threads
// (the matcher must then only read what they share); blocks still come out in list order.
void runBatch(const std::vector<std::string>& files, const TraceMatcher& matcher, unsigned jobs,
              std::ostream& out);

}  // namespace matchApp
