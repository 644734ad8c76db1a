#include "app/Main.h"

#include <csignal>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/batch.h"
#include "app/file_lister.h"
#include "app/random_seed.h"
#include "map/maps.h"
#include "matching/KARVEL.h"

std::vector<std::string> traceFiles;
// The program-wide map is never destroyed: the process ends right after the batch, and freeing a
// large map node by node costs seconds for nothing. It stays reachable through this reference, so
// leak checkers do not count it.
mapRepresentation::Map& m = *std::make_unique<mapRepresentation::Map>().release();
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

void run() {
    const std::string path = mapPath();
    if (m.hadLoadError()) {
        // The loader has named the faulty line; writing back would replace the user's map with a part of it.
        std::cout << "ERROR: " << path << " was not read completely; it is left as it is."
                  << "\n";
    } else {
        m.saveMap(path);
    }

    TraceMatcher hybrid;
    hybrid.load = loadNmeaRoute;
    hybrid.match = [](Route& route, std::ostream&) {
        MapMatching::KARVEL matcher(&m, &route, false);
        matcher.run(geneticKML);
        return TraceMatch{matcher.getShortMatched(), matcher.getUnmatchedInfo()};
    };
    // The hybrid is single-threaded by design (its genetic stage draws from the C library's generator).
    runBatch(traceFiles, hybrid, 1, std::cout);
}

void printOverallTime(std::ostream& out, double seconds) {
    const double minutes = seconds / 60.0;
    out << "\n\n"
        << "Overall processing time: " << seconds << " sec.  (~= " << minutes << " min.)"
        << "\n"
        << "\n\n";
}

int runFramedBatch(time_t start, const std::string& folder, const std::function<void()>& batch) {
    std::cout << "Looking for Trace Files..."
              << "\n";
    lookForTraceFiles(folder);
    std::cout << "Loading Map..."
              << "\n";
    loadMap();
    std::cout << "\n";
    std::cout << "Ready to run Ostrand."
              << "\n\n";
    batch();
    std::cout << "Finished running Ostrand."
              << "\n\n";

    printOverallTime(std::cout, difftime(time(nullptr), start));
    std::cout.flush();
    return 0;
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
    seedFromEnvironment(std::cout);
    return runFramedBatch(start, options.folder, run);
}
