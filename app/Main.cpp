#include "app/Main.h"

#include <unistd.h>

#include <csignal>
#include <ctime>
#include <iostream>
#include <sstream>

#include "app/file_lister.h"
#include "app/report.h"
#include "map/maps.h"
#include "matching/KARVEL.h"
#include "traces/NMEALoader.h"

std::vector<std::string> traceFiles;
mapRepresentation::Map m;
bool geneticKML = false;

namespace {

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

std::string mapPath() {
    std::stringstream ss;
    ss << "data"
       << "/"
       << "map.txt";
    return ss.str();
}

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
        }
    }
    return options;
}

void lookForTraceFiles(const std::string& folder) {
    std::cout << "Looking for NMEA files (with .txt extension) inside folder: " << folder << "\n";
    traceFiles = getFiles(folder);
}

void loadMap() {
    const std::string path = mapPath();
    std::cout << "Trying to load map: " << path << "\n";
    m = mapRepresentation::Map(path);
}

namespace {

// Progress goes to standard error and only to a terminal, so the report on standard output stays exact.
class Progress {
public:
    Progress() : enabled(isatty(STDERR_FILENO) == 1) {}
    void show(size_t index, size_t total, const Route& route, double seconds) const {
        if (!enabled) return;
        std::cerr << "\r\033[K[" << index + 1 << "/" << total << "] " << route.name << ": "
                  << route.nodes.size() << " points";
        if (seconds > 0) std::cerr << ", " << static_cast<long>(route.nodes.size() / seconds) << " points/s";
        std::cerr << (index + 1 == total ? "\n" : "") << std::flush;
    }

private:
    bool enabled;
};

}  // namespace

void run() {
    const std::string path = mapPath();
    if (m.hadLoadError()) {
        // The loader has named the faulty line; writing back would replace the user's map with a part of it.
        std::cout << "ERROR: " << path << " was not read completely; it is left as it is."
                  << "\n";
    } else {
        m.saveMap(path);
    }

    const Progress progress;
    for (size_t i = 0; i < traceFiles.size(); ++i) {
        Route route;
        {
            NMEALoader loader(traceFiles[i]);
            route = loader.route;
        }
        printRouteHeader(i, route.name);
        progress.show(i, traceFiles.size(), route, 0);
        const time_t started = time(nullptr);

        std::vector<std::unique_ptr<Path>> paths;
        std::vector<std::unique_ptr<_unmatchinfo>> unmatchedInfo;
        {
            MapMatching::KARVEL matcher(&m, &route, false);
            matcher.run(geneticKML);
            paths = matcher.getShortMatched();
            unmatchedInfo = matcher.getUnmatchedInfo();
        }

        printMatchResult(paths, unmatchedInfo);
        progress.show(i, traceFiles.size(), route, difftime(time(nullptr), started));
    }
}

void printOverallTime(std::ostream& out, double seconds) {
    const double minutes = seconds / 60.0;
    out << "\n\n"
        << "Overall processing time: " << seconds << " sec.  (~= " << minutes << " min.)"
        << "\n"
        << "\n\n";
}

int karvelMain(int argc, char** argv) {
    const time_t start = time(nullptr);
    // Under a file-size limit a write must fail (and be reported) rather than kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
    const BatchOptions options = parseOptions(argc, argv);
    if (options.help) {
        printHelp();
        return 0;
    }
    geneticKML = options.kml;
    const std::string& folder = options.folder;

    std::cout << "Looking for Trace Files..."
              << "\n";
    lookForTraceFiles(folder);
    std::cout << "Loading Map..."
              << "\n";
    loadMap();
    std::cout << "\n";
    std::cout << "Ready to run Ostrand."
              << "\n\n";
    run();
    std::cout << "Finished running Ostrand."
              << "\n\n";

    printOverallTime(std::cout, difftime(time(nullptr), start));
    std::cout.flush();
    return 0;
}
