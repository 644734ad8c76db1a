// karvel-match: map-matches every NMEA and GPX trace of a folder onto data/map.txt with the hidden-Markov
// matcher and prints the trace blocks of karvel's report (or CSV, GeoJSON). It only reads the map.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/engine.h"
#include "app/Main.h"
#include "app/batch.h"
#include "app/output_check.h"
#include "app/report.h"
#include "app/result_writer.h"
#include "kml/drive_kml.h"
#include "map/compact_map.h"
#include "matching/hmm_params.h"
#include "tools/cli/command_line.h"
#include "traces/input_file.h"
#include "traces/trace_loader.h"

using matchApp::ResultFormat;
using matchApp::ResultWriter;

namespace {

struct Options {
    std::string folder = "data/nmea/";
    std::string map = matchApp::mapPath();
    MapMatching::HmmParams params = MapMatching::kHmmDefaults;
    unsigned jobs = 0;  // 0: one per core
    bool kml = false;
    bool quiet = false;    // -q: errors only
    bool verbose = false;  // -v: also what was read
    ResultFormat format = ResultFormat::Report;
    std::string output;              // -o: the results go to this file instead of standard output
    std::vector<std::string> files;  // traces named on the command line
    bool folderGiven = false;
};

void printUsage(std::ostream& out) {
    out << "Usage: karvel-match [-t folder] [--map FILE] [--radius M] [--sigma M] [--candidates K]\n"
        << "                    [--jobs N] [-M] [-q|-v] [--format report|csv|geojson|html|gpkg] [-o FILE]\n"
        << "                    [-h|--help] [--version] [--check-options] [TRACE...]\n"
        << "Matches every NMEA (.txt, .nmea, .log) and GPX (.gpx) trace of the folder, and the TRACE files "
           "named,\n"
        << "onto the map with a hidden Markov model and prints the karvel report, each path followed by the\n"
        << "links it drove (\"Driven links: \"). A fix farther than the radius from its road is left "
           "unmatched;\n"
        << "a trace with no fix that near fails the run. A summary line goes to standard error at the end.\n"
        << "  -t folder        traces to match (default data/nmea/, unless TRACE files are named)\n"
        << "  --map FILE       road map (default data/map.txt); it is only read\n"
        << "  --radius M       candidate links within M metres of a fix (default 50)\n"
        << "  --sigma M        GPS noise in metres; 0 estimates it per trace (default 0)\n"
        << "  --candidates K   at most K candidate links per fix (default 8)\n"
        << "  --jobs N         match on N threads (default: one per core)\n"
        << "  -M               write data/match_hmm_<trace>.kml\n"
        << "  -q               print errors only (no summary, no progress line)\n"
        << "  -v               also print what was read: the traces, the map, the loader's notes\n"
        << "  --format F       report (default), csv (a row per fix; with -o also FILE.links.csv, a row\n"
        << "                   per driven link), geojson (driven lines, links, fixes), html (a page per\n"
        << "                   trace to look at in a browser, offline; with several traces -o names the\n"
        << "                   index page and the pages go beside it) or gpkg (GeoPackage with the\n"
        << "                   layers fixes and links); road attributes come from MAP.links.csv\n"
        << "  -o FILE          write the results to FILE (replaced only when complete) and nothing\n"
        << "                   to standard output; without it csv and geojson go there and messages\n"
        << "                   to standard error\n"
        << "  -h, --help       this text\n"
        << "  --version        the program version\n"
        << "  --check-options  only judge the options: print them as understood and stop\n";
}

const std::vector<toolCli::OptionSpec> kOptions = {
    {"", 't', true},         {"map", 0, true},  {"radius", 0, true}, {"sigma", 0, true},
    {"candidates", 0, true}, {"jobs", 0, true}, {"", 'M', false},    {"", 'q', false},
    {"format", 0, true},     {"", 'o', true},   {"", 'v', false},
};

// Sets one of the matcher's options: the refusal of a value that is no number or breaks the
// parameters' rules, or "".
std::string setMatcherOption(MapMatching::HmmParams& params, const std::string& name,
                             const std::string& value) {
    MapMatching::HmmParams p = params;
    bool number = true;
    if (name == "candidates") {
        const auto k = toolCli::parseWholeNumber(value, INT_MIN, INT_MAX);
        number = k.has_value();
        if (k) p.candidates = static_cast<int>(*k);
    } else {
        const auto v = toolCli::parseNumber(value, -DBL_MAX, DBL_MAX);
        number = v.has_value();
        if (v && name == "radius") p = p.withRadius(*v);
        if (v && name == "sigma") p.sigma = *v;
    }
    if (!number || !p.problem().empty()) return MapMatching::HmmParams::refusal(name, value);
    params = p;
    return "";
}

// Applies one option; the message of a bad value, or "".
std::string apply(Options& o, const std::string& name, const std::string& value) {
    using toolCli::parseWholeNumber;
    if (name == "t") {
        o.folder = value;
        o.folderGiven = true;
    } else if (name == "map") {
        o.map = value;
    } else if (name == "M") {
        o.kml = true;
    } else if (name == "q") {
        o.quiet = true;
        o.verbose = false;
    } else if (name == "v") {
        o.verbose = true;
        o.quiet = false;
    } else if (name == "o") {
        o.output = value;
    } else if (name == "format") {
        const auto format = matchApp::resultFormatNamed(value);
        if (!format) return "bad --format " + value + " (report, csv, geojson, html or gpkg)";
        o.format = *format;
    } else if (name == "radius" || name == "sigma" || name == "candidates") {
        return setMatcherOption(o.params, name, value);
    } else if (name == "jobs") {
        const auto jobs = parseWholeNumber(value, 1, 1024);
        if (!jobs) return "bad --jobs " + value + " (1 to 1024)";
        o.jobs = static_cast<unsigned>(*jobs);
    }
    return "";
}

// A command line that cannot be run: its ERROR line, then the usage.
int usageError(const std::string& problem) {
    toolCli::usageError(problem);
    printUsage(std::cerr);
    return toolCli::kUsageStatus;
}

// The exit status when the program stops at its command line, nothing when it goes on.
std::optional<int> parse(int argc, char** argv, Options& o) {
    const toolCli::CommandLine line =
        toolCli::parseCommandLine(argc, argv, toolCli::withCheckOptions(kOptions));
    if (!line.error.empty()) return usageError(line.error);
    if (const auto status = toolCli::settleStandardOptions(line, "karvel-match", printUsage)) return status;
    o.files = line.operands;
    for (const auto& [name, value] : line.options)
        if (const std::string problem = apply(o, name, value); !problem.empty()) return usageError(problem);
    return toolCli::checkedOnly(line);
}

// Passes on only the ERROR lines written to it: where the results go elsewhere, the report's blocks
// are not wanted, but the errors among them are.
class ErrorLines : public std::streambuf {
public:
    explicit ErrorLines(std::ostream& to) : to(to) {}

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        line.push_back(static_cast<char>(c));
        if (c == '\n') {
            if (line.starts_with("ERROR: ")) to << line;
            line.clear();
        }
        return c;
    }

private:
    std::ostream& to;
    std::string line;
};

// What the closing summary counts; traces are matched on several threads at once.
struct Tally {
    std::atomic<size_t> traces{0}, fixes{0}, matched{0};
};

// The fixes that some path puts on a link.
size_t matchedFixes(const Route& route, const std::vector<std::unique_ptr<Path>>& paths) {
    std::vector<char> on(route.nodes.size(), 0);
    for (const auto& path : paths)
        for (const auto& [point, link] : path->links)
            if (point >= 0 && static_cast<size_t>(point) < on.size()) on[point] = 1;
    return static_cast<size_t>(std::count(on.begin(), on.end(), 1));
}

// Matches one route on the shared map (each thread has a matcher of its own).
matchApp::TraceMatch matchRoute(const karvel::MatchEngine& engine, const Options& o, const Route& route,
                                std::ostream& log, Tally& tally, std::atomic<bool>& failed) {
    karvel::RouteMatch match = engine.match(route, o.params, o.kml);
    // A trace with fixes none of which lies near a road belongs to another map (or is not where its
    // user thinks): said on an ERROR line, and the run fails, rather than reporting it all unmatched.
    if (const std::string problem = engine.offTheMap(route, match, o.params.radius); !problem.empty()) {
        log << "ERROR: " << problem << "\n";
        failed = true;
    }
    ++tally.traces;
    tally.fixes += route.nodes.size();
    tally.matched += matchedFixes(route, match.result.paths);
    if (match.drive) {
        const std::string path = "data/match_hmm_" + route.name + ".kml";
        if (!kmlMatch::writeDriveKml(path, engine.map(), route, *match.drive))
            log << "ERROR: could not write " << path << "\n";
    }
    return std::move(match.result);
}

// Matches the listed traces and hands the results to their writer; false when the run failed.
bool matchAll(const Options& o, const karvel::MatchEngine& engine, const std::vector<std::string>& files,
              std::ostream& document, bool documentOnStdout, Tally& tally) {
    const mapRepresentation::CompactMap& map = engine.map();
    std::atomic<bool> failed = false;
    matchApp::TraceMatcher matcher;
    // Without -v only the loader's ERROR lines reach the log; a file it refused or that gives no fix
    // fails the run.
    std::atomic<bool> refused{false};
    matcher.load = [&o, &refused](const std::string& file, std::ostream& log) {
        bool unreadable = false;
        std::string why;
        Route route = o.verbose ? traces::loadRoute(file, log, &unreadable, &why)
                                : traces::loadRouteErrorsOnly(file, log, &unreadable, &why);
        if (unreadable) {
            refused = true;
        } else if (!why.empty()) {
            log << "ERROR: trace " << inputFile::printable(file) << " gives no fix: " << why << ".\n";
            refused = true;
        }
        return route;
    };
    matcher.match = [&](Route& route, std::ostream& log) {
        return matchRoute(engine, o, route, log, tally, failed);
    };
    matcher.frame = &map.planeFrame();
    // Not while the results themselves go to the terminal: the two would garble each other.
    matcher.progress = !o.quiet && !(o.output.empty() && isatty(STDOUT_FILENO) == 1);
    const unsigned jobs = o.jobs > 0 ? o.jobs : std::max(1U, std::thread::hardware_concurrency());
    ResultWriter writer(o.format, map);
    writer.useLinkTableBeside(o.map, std::cout);
    if (!o.output.empty()) writer.writeAsYouGo(o.output);
    if (o.format != ResultFormat::Report || !o.output.empty())
        matcher.finished = [&](const Route& r, const matchApp::TraceMatch& t) {
            writer.add(r, t.paths, t.unmatched, t.routes);
        };
    // The report's blocks go to standard output as they come, unless the results go elsewhere.
    ErrorLines errorsOnly(std::cout);
    std::ostream filtered(&errorsOnly);
    matchApp::runBatch(files, matcher, jobs,
                       o.format == ResultFormat::Report && o.output.empty() ? document : filtered);
    bool ok = !refused && !failed;
    std::string error;
    if (!o.output.empty() && !writer.writeFile(o.output, error)) {
        std::cout << "ERROR: " << error << "\n";
        ok = false;
    }
    if (documentOnStdout) {
        if (const std::string problem = writer.streamProblem(); !problem.empty()) {
            std::cout << "ERROR: " << problem << "\n";
            return false;
        }
        writer.write(document);
    }
    return matchApp::standardOutputWritten(document) && ok;
}

// Lists the traces, loads the map and matches: the exit status. The map is only read.
int runMatch(const Options& o, std::ostream& document, bool documentOnStdout, Tally& tally, double& seconds) {
    // GPX and every NMEA extension, in name order.
    const matchApp::BatchInput input{
        .folder = o.folder,
        .map = o.map,
        .extensions = traces::kTraceFileExtensions,
        .nameOrder = true,
        .files = o.files,
        .listFolder = o.folderGiven || o.files.empty(),
        .console = o.verbose ? matchApp::Console::Verbose : matchApp::Console::Quiet};
    bool failed = false;
    std::vector<std::string> files;
    if (!matchApp::listBatchTraces(input, files, failed)) return 1;
    const karvel::MatchEngine::Loading loading = karvel::MatchEngine::load(o.map, std::cout);
    if (!loading.engine) {
        std::cout << "ERROR: " << loading.error << "\n";
        return 1;
    }
    if (!loading.complete) failed = true;
    if (o.verbose && !loading.note.empty()) std::cout << "Map: " << loading.note << "\n";
    if (o.verbose) matchApp::describeLoadedMap(std::cout, loading.engine->map(), o.map);
    const auto from = std::chrono::steady_clock::now();
    if (!matchAll(o, *loading.engine, files, document, documentOnStdout, tally)) failed = true;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    std::cout.flush();
    return failed ? 1 : 0;
}

// The closing line on standard error: what was matched, how much of it, how fast.
void printSummary(const Tally& tally, double seconds) {
    const size_t fixes = tally.fixes, matched = tally.matched;
    char line[200];
    std::snprintf(line, sizeof line,
                  "karvel-match: %zu trace%s, %zu fixes, %.1f %% matched, %.2f s, %.0f fixes/s\n",
                  tally.traces.load(), tally.traces == 1 ? "" : "s", fixes,
                  fixes > 0 ? 100.0 * static_cast<double>(matched) / static_cast<double>(fixes) : 0.0,
                  seconds, seconds > 0 ? static_cast<double>(fixes) / seconds : 0.0);
    std::cerr << line << std::flush;
}

int programMain(int argc, char** argv) {
    toolCli::ignoreFileSizeSignal();
    Options o;
    if (const std::optional<int> status = parse(argc, argv, o)) return *status;
    // Standard output carries the results and nothing else: the report's blocks with the messages
    // between them as karvel prints them; CSV or GeoJSON alone, the messages moving to standard error;
    // nothing at all with -o.
    const bool documentOnStdout = o.output.empty() && o.format != ResultFormat::Report;
    std::ostream document(std::cout.rdbuf());
    if (o.format != ResultFormat::Report || !o.output.empty()) std::cout.rdbuf(std::cerr.rdbuf());
    Tally tally;
    double seconds = -1;  // stays so when the batch does not run
    const int status = runMatch(o, document, documentOnStdout, tally, seconds);
    std::cout.flush();
    if (!o.quiet && seconds >= 0) printSummary(tally, seconds);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
