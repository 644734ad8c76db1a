// karvel-match: map-matches every NMEA trace of a folder onto data/map.txt with the hidden-Markov
// matcher and prints the same report as karvel. It only reads the map.
#include <getopt.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Main.h"
#include "app/batch.h"
#include "app/file_lister.h"
#include "app/report.h"
#include "app/result_writer.h"
#include "kml/drive_kml.h"
#include "map/maps.h"
#include "map/road_graph.h"
#include "matching/hmm_matcher.h"
#include "traces/trace_loader.h"

namespace {

struct Options {
    std::string folder = "data/nmea/";
    std::string map = mapPath();
    MapMatching::HmmParams params = MapMatching::kHmmDefaults;
    unsigned jobs = 0;  // 0: one per core
    bool kml = false;
    bool quiet = false;
    ResultFormat format = ResultFormat::Report;
    std::string output;  // -o: the results go to this file instead of standard output
};

void printUsage(std::ostream& out) {
    out << "Usage: karvel-match [-t folder] [--map FILE] [--radius M] [--sigma M] [--candidates K]\n"
        << "                    [--jobs N] [-M] [-q] [--format report|csv|geojson] [-o FILE]\n"
        << "                    [-h|--help] [--version]\n"
        << "Matches every NMEA (.txt) and GPX (.gpx) trace of the folder onto the map with a hidden Markov "
           "model and\n"
        << "prints the karvel report.\n"
        << "  -t folder        traces to match (default data/nmea/)\n"
        << "  --map FILE       road map (default data/map.txt); it is only read\n"
        << "  --radius M       candidate links within M metres of a fix (default 50)\n"
        << "  --sigma M        GPS noise in metres; 0 estimates it per trace (default 0)\n"
        << "  --candidates K   at most K candidate links per fix (default 8)\n"
        << "  --jobs N         match on N threads (default: one per core)\n"
        << "  -M               write data/match_hmm_<trace>.kml\n"
        << "  -q               leave out the trace loader's messages\n"
        << "  --format F       report (default), csv (a row per fix) or geojson (driven lines, fixes)\n"
        << "  -o FILE          write the results to FILE (replaced only when complete); without it\n"
        << "                   csv and geojson go to standard output and the rest to standard error\n"
        << "  -h, --help       this text\n"
        << "  --version        the program version\n";
}

bool parseNumber(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= low && v <= high)) return false;
    value = v;
    return true;
}

// 0: run, 1: print and exit 0, 2: usage error.
int parse(int argc, char** argv, Options& o) {
    enum { kMap = 256, kRadius, kSigma, kCandidates, kJobs, kVersion, kFormat };
    static const option longOptions[] = {{"map", required_argument, nullptr, kMap},
                                         {"radius", required_argument, nullptr, kRadius},
                                         {"sigma", required_argument, nullptr, kSigma},
                                         {"candidates", required_argument, nullptr, kCandidates},
                                         {"jobs", required_argument, nullptr, kJobs},
                                         {"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, kVersion},
                                         {"format", required_argument, nullptr, kFormat},
                                         {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    double v = 0;
    while ((c = getopt_long(argc, argv, ":t:Mqho:", longOptions, nullptr)) != -1) {
        switch (c) {
            case 't':
                o.folder = optarg;
                break;
            case kMap:
                o.map = optarg;
                break;
            case 'M':
                o.kml = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'o':
                o.output = optarg;
                break;
            case kFormat:
                if (!resultFormatNamed(optarg)) return std::cerr << "karvel-match: bad --format\n", 2;
                o.format = *resultFormatNamed(optarg);
                break;
            case 'h':
                printUsage(std::cout);
                return 1;
            case kVersion:
                std::cout << "karvel-match " << KARVEL_VERSION << "\n";
                return 1;
            case kRadius:
                if (!parseNumber(optarg, 1, 10000, v)) return std::cerr << "karvel-match: bad --radius\n", 2;
                o.params.radius = v;
                o.params.retryRadius = std::max(MapMatching::kHmmDefaults.retryRadius, 6 * v);
                o.params.reachRadius = std::max(MapMatching::kHmmDefaults.reachRadius, 3 * v);
                break;
            case kSigma:
                if (!parseNumber(optarg, 0, 1000, v)) return std::cerr << "karvel-match: bad --sigma\n", 2;
                o.params.sigma = v;
                break;
            case kCandidates:
                if (!parseNumber(optarg, 1, 64, v) || v != static_cast<int>(v))
                    return std::cerr << "karvel-match: bad --candidates\n", 2;
                o.params.candidates = static_cast<int>(v);
                break;
            case kJobs:
                if (!parseNumber(optarg, 1, 1024, v) || v != static_cast<int>(v))
                    return std::cerr << "karvel-match: bad --jobs\n", 2;
                o.jobs = static_cast<unsigned>(v);
                break;
            case ':':
                std::cerr << "karvel-match: option " << argv[optind - 1] << " needs a value\n";
                return 2;
            default:
                std::cerr << "karvel-match: unknown option " << argv[optind - 1] << "\n";
                return 2;
        }
    }
    if (optind < argc) return std::cerr << "karvel-match: unexpected argument " << argv[optind] << "\n", 2;
    return 0;
}

// Matches one route on this thread's own matcher (the road graph is shared, read-only).
TraceMatch matchRoute(const mapRepresentation::Map& map, const mapRepresentation::RoadGraph& graph,
                      const Options& o, const Route& route, std::ostream& log) {
    thread_local std::unique_ptr<MapMatching::HmmMatcher> matcher;
    if (!matcher) matcher = std::make_unique<MapMatching::HmmMatcher>(graph, o.params);
    matcher->run(route);
    TraceMatch result{matcher->getShortMatched(), matcher->getUnmatchedInfo()};
    if (o.kml) {
        kmlMatch::DriveMatch drive{matcher->getMatched(), matcher->matchedLinks(), matcher->matchedPoints()};
        const std::string path = "data/match_hmm_" + route.name + ".kml";
        if (!kmlMatch::writeDriveKml(path, map, route, drive))
            log << "ERROR: could not write " << path << "\n";
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const time_t start = time(nullptr);
    // Under a file-size limit a KML write must fail rather than kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
    Options o;
    if (const int r = parse(argc, argv, o); r != 0) {
        if (r == 2) printUsage(std::cerr);
        return r == 1 ? 0 : 2;
    }
    // CSV or GeoJSON on standard output: everything else the program prints moves to standard error.
    const bool documentOnStdout = o.output.empty() && o.format != ResultFormat::Report;
    std::ostream document(std::cout.rdbuf());
    if (documentOnStdout) std::cout.rdbuf(std::cerr.rdbuf());
    std::cout << "Looking for Trace Files..."
              << "\n";
    std::error_code ec;
    if (!std::filesystem::is_directory(o.folder, ec)) {
        std::cout << "ERROR: cannot read the trace folder " << o.folder << "\n";
        return 1;
    }
    // GPX logs too; FIFOs and devices are named and skipped rather than read forever.
    const bool listed = lookForTraceFiles(o.folder, {".txt", ".gpx"});
    // Name order, so that the report is the same on every machine.
    std::sort(traceFiles.begin(), traceFiles.end());
    std::cout << "Loading Map..."
              << "\n";
    std::cout << "Trying to load map: " << o.map << "\n";
    if (std::filesystem::is_directory(o.map, ec) || !std::ifstream(o.map).is_open()) {
        std::cout << "ERROR: cannot read the map " << o.map << "\n";
        return 1;
    }
    const mapRepresentation::Map map(o.map);
    const mapRepresentation::RoadGraph graph(map);
    std::cout << "\n"
              << "Ready to run Ostrand."
              << "\n\n";

    TraceMatcher matcher;
    matcher.load = [&o](const std::string& file, std::ostream& log) {
        if (!o.quiet) return loadRoute(file, log);
        std::ostringstream none;
        return loadRoute(file, none);
    };
    matcher.match = [&](Route& route, std::ostream& log) { return matchRoute(map, graph, o, route, log); };
    const unsigned jobs = o.jobs > 0 ? o.jobs : std::max(1U, std::thread::hardware_concurrency());
    ResultWriter writer(o.format, map);
    if (o.format != ResultFormat::Report || !o.output.empty())
        matcher.finished = [&](const Route& r, const TraceMatch& t) { writer.add(r, t.paths, t.unmatched); };
    runBatch(traceFiles, matcher, jobs, std::cout);
    std::string error;
    if (!o.output.empty() && !writer.writeFile(o.output, error)) {
        std::cout << "ERROR: " << error << "\n";
        return 1;
    }
    if (documentOnStdout) writer.write(document);
    document.flush();

    std::cout << "Finished running Ostrand."
              << "\n\n";
    printOverallTime(std::cout, difftime(time(nullptr), start));
    std::cout.flush();
    return listed && !runFailed ? 0 : 1;
}
