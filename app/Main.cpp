#include "app/Main.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/batch.h"
#include "app/file_lister.h"
#include "app/random_seed.h"
#include "map/compact_map.h"
#include "map/file_lock.h"
#include "map/maps.h"
#include "matching/KARVEL.h"
#include "traces/input_file.h"

using mapRepresentation::FileLock;

using matchApp::BatchInput;
using matchApp::BatchOptions;
using matchApp::Console;
using matchApp::MapUse;
using matchApp::TraceListing;
using matchApp::TraceMatch;
using matchApp::TraceMatcher;

std::vector<std::string> traceFiles;
// The program-wide map is never destroyed: the process ends right after the batch, and freeing a
// large map node by node costs seconds for nothing. It stays reachable through this reference, so
// leak checkers do not count it.
mapRepresentation::Map& m = *std::make_unique<mapRepresentation::Map>().release();
bool geneticKML = false;

// Set by whatever the run could not do as asked; it decides the exit status.
bool runFailed = false;

namespace {

// Held from loading the map until it is written back (MapUse::ReadWrite); null when not held.
std::unique_ptr<FileLock> mapLock;
// Set when the map must not be written back although it was read completely: another program
// held its lock.
bool mapLeftAlone = false;
// karvel's fixed lines around the batch; other programs print only what they are asked to.
Console console = Console::Hybrid;

void printHelp() {
    std::cout << "\t*****  KARVEL  *****\n"
              << "\n"
              << " -t [folder]  -> traces to load (the default folder is data/nmea)\n"
              << "-> select trace points from a restricted area\n"
              << " -M -> generate Map Matching .kml files\n"
              << " -h -> help\n"
              << " -help -> help\n"
              << "\n";
}

}  // namespace

std::string matchApp::mapPath() {
    std::stringstream ss;
    ss << "data"
       << "/"
       << "map.txt";
    return ss.str();
}

namespace {

// The command line of the matching programs (see BatchOptions).
BatchOptions parseOptions(int argc, char** argv) {
    BatchOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "-help") {
            options.help = true;
            break;
        }
        if (arg == "-t") {
            if (i + 1 < argc) options.folder = argv[++i];
        } else if (arg == "-M") {
            options.kml = true;
        } else if (arg == "--check-options") {
            options.checkOnly = true;
        }
    }
    return options;
}

// The trace files of one folder appended to `files`, with the messages the frame prints about them.
bool listFolder(const std::string& folder, const std::vector<std::string>& extensions, Console shown,
                std::vector<std::string>& files, bool& failed) {
    if (shown == Console::Hybrid)
        std::cout << "Looking for NMEA files (with .txt extension) inside folder: " << folder << "\n";
    TraceListing listing = matchApp::listTraceFiles(folder, extensions);
    files.insert(files.end(), listing.files.begin(), listing.files.end());
    if (!listing.opened) {
        std::cout << "ERROR: cannot open the trace folder " << folder << ": " << listing.error << "\n";
        failed = true;
        return false;
    }
    for (const std::string& skipped : listing.skipped) {
        std::cout << "ERROR: trace file " << skipped << "; skipped."
                  << "\n";
        failed = true;
    }
    if (shown == Console::Verbose)
        std::cout << "Traces: " << listing.files.size() << " file" << (listing.files.size() == 1 ? "" : "s")
                  << " in " << folder << "\n";
    return true;
}

}  // namespace

bool lookForTraceFiles(const std::string& folder, const std::vector<std::string>& extensions) {
    traceFiles.clear();
    return listFolder(folder, extensions, console, traceFiles, runFailed);
}

bool matchApp::listBatchTraces(const BatchInput& input, std::vector<std::string>& files, bool& failed) {
    files.clear();
    if (input.listFolder && !listFolder(input.folder, input.extensions, input.console, files, failed))
        return false;
    if (input.nameOrder) std::sort(files.begin(), files.end());
    files.insert(files.end(), input.files.begin(), input.files.end());
    return true;
}

void matchApp::describeLoadedMap(std::ostream& out, const mapRepresentation::Map& map,
                                 const std::string& path) {
    out << "Map: " << map.nodes.size() << " nodes, " << map.links.size() << " links from " << path << "\n";
}

void matchApp::describeLoadedMap(std::ostream& out, const mapRepresentation::CompactMap& map,
                                 const std::string& path) {
    out << "Map: " << map.nodeCount() << " nodes, " << map.linkCount() << " links from " << path << "\n";
}

namespace {

// Takes the map's lock; false when the run cannot go on. A lock held elsewhere for the whole wait
// still lets the run match against the map as it is, but not write it back.
bool lockMap(const std::string& path) {
    if (const std::optional<std::string> problem = FileLock::waitSettingProblem()) {
        std::cout << "ERROR: " << *problem << "; the map is not read."
                  << "\n";
        runFailed = true;
        return false;
    }
    mapLock = std::make_unique<FileLock>(path, FileLock::defaultWait());
    switch (mapLock->state()) {
        case FileLock::State::Locked:
        case FileLock::State::Creating:
        case FileLock::State::Unsupported:
            return true;
        case FileLock::State::Busy:
            std::cout << "ERROR: map file " << path << " is locked by another program; it is left as it is."
                      << "\n";
            mapLeftAlone = true;
            runFailed = true;
            return true;
        case FileLock::State::Missing:
        case FileLock::State::CannotOpen:
        case FileLock::State::NotRegular:
            break;
    }
    std::cout << "ERROR: cannot read map file " << path << ": " << mapLock->error() << "\n";
    mapLock.reset();
    runFailed = true;
    return false;
}

}  // namespace

bool loadMap(MapUse use, const std::string& path) {
    if (console == Console::Hybrid) std::cout << "Trying to load map: " << path << "\n";
    if (use == MapUse::ReadWrite) {
        std::cout.flush();  // the lock may take a while: the user sees what is being waited for
        if (!lockMap(path)) return false;
    } else if (const std::string why = inputFile::unreadable(path); !why.empty()) {
        std::cout << "ERROR: cannot read map file " << path << ": " << why << "\n";
        runFailed = true;
        return false;
    }
    m = mapRepresentation::Map(path);
    if (m.hadLoadError()) runFailed = true;
    if (console == Console::Verbose) matchApp::describeLoadedMap(std::cout, m, path);
    return true;
}

void run() {
    const std::string path = matchApp::mapPath();
    if (m.hadLoadError()) {
        // The loader has named the faulty line; writing back would replace the user's map with a part of it.
        std::cout << "ERROR: " << path << " was not read completely; it is left as it is."
                  << "\n";
    } else if (!mapLeftAlone) {
        m.saveMap(path);
    }
    mapLock.reset();  // the map is written: other programs may update it now

    TraceMatcher hybrid;
    // A trace that gives no point is named, and fails the run once every trace is matched.
    hybrid.load = [](const std::string& file, std::ostream& log) {
        return matchApp::loadNmeaRouteOrSay(file, log, runFailed);
    };
    hybrid.frame = &m.planeFrame();
    hybrid.progress = isatty(STDOUT_FILENO) == 0;  // on a terminal the report itself shows the progress
    hybrid.match = [](Route& route, std::ostream&) {
        MapMatching::KARVEL matcher(&m, &route, false);
        matcher.run(geneticKML);
        return TraceMatch{matcher.getShortMatched(), matcher.getUnmatchedInfo(), {}};
    };
    // The hybrid is single-threaded by design (its genetic stage draws from the C library's generator).
    matchApp::runBatch(traceFiles, hybrid, 1, std::cout);
}

void matchApp::printOverallTime(std::ostream& out, double seconds) {
    const double minutes = seconds / 60.0;
    out << "\n\n"
        << "Overall processing time: " << seconds << " sec.  (~= " << minutes << " min.)"
        << "\n"
        << "\n\n";
}

int matchApp::runFramedBatch(time_t start, const BatchInput& input, const std::function<void()>& batch) {
    runFailed = false;
    mapLeftAlone = false;
    console = input.console;
    const bool hybrid = console == Console::Hybrid;
    if (hybrid)
        std::cout << "Looking for Trace Files..."
                  << "\n";
    if (!matchApp::listBatchTraces(input, traceFiles, runFailed)) return 1;
    if (hybrid)
        std::cout << "Loading Map..."
                  << "\n";
    if (!loadMap(input.use, input.map)) return 1;
    if (hybrid) {
        std::cout << "\n";
        std::cout << "Ready to run Ostrand."
                  << "\n\n";
    }
    batch();
    if (hybrid) {
        std::cout << "Finished running Ostrand."
                  << "\n\n";
        matchApp::printOverallTime(std::cout, difftime(time(nullptr), start));
    }
    std::cout.flush();
    mapLock.reset();
    return runFailed ? 1 : 0;
}

std::optional<BatchOptions> matchApp::startBatchProgram(int argc, char** argv, void (*printHelp)()) {
    // Under a file-size limit a write must fail (and be reported) rather than kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
    const BatchOptions options = parseOptions(argc, argv);
    if (options.help) {
        printHelp();
        return std::nullopt;
    }
    if (options.checkOnly) {
        // Every word is acceptable; what was understood is listed as the other programs list theirs.
        std::cout << "t\t" << options.folder << "\n" << (options.kml ? "M\t\n" : "") << std::flush;
        return std::nullopt;
    }
    matchApp::seedFromEnvironment(std::cout);
    return options;
}

int matchApp::karvelMain(int argc, char** argv) {
    const time_t start = time(nullptr);
    const std::optional<BatchOptions> options = matchApp::startBatchProgram(argc, argv, printHelp);
    if (!options) return 0;
    geneticKML = options->kml;
    return matchApp::runFramedBatch(start, {.folder = options->folder, .use = MapUse::ReadWrite}, run);
}
