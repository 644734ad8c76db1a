// karvel-genetic: map-matches every NMEA trace of a folder onto data/map.txt with the genetic
// algorithm alone (candidate links from forward and backward Marchal runs) and prints the same
// report as karvel. Unlike karvel it only reads data/map.txt.
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/report.h"
#include "map/maps.h"
#include "matching/GenMapMatching.h"
#include "traces/NMEALoader.h"

namespace {

void printHelp() {
    std::cout << "\t*****  KARVEL genetic matcher  *****\n"
              << "\n"
              << " -t [folder]  -> traces to load (the default folder is data/nmea)\n"
              << " -M -> generate Map Matching .kml files (data/match_genetic_<trace>.kml)\n"
              << " -h -> help\n"
              << " -help -> help\n"
              << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    const time_t start = time(nullptr);
    // Under a file-size limit a KML write must fail rather than kill the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::string folder = "data/nmea/";
    bool kml = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "-help") {
            printHelp();
            return 0;
        }
        if (arg == "-t") {
            if (i + 1 < argc) folder = argv[++i];
        } else if (arg == "-M") {
            kml = true;
        }
    }

    std::cout << "Looking for Trace Files..." << "\n";
    lookForTraceFiles(folder);
    std::cout << "Loading Map..." << "\n";
    std::stringstream mapPath;
    mapPath << "data" << "/" << "map.txt";
    std::cout << "Trying to load map: " << mapPath.str() << "\n";
    mapRepresentation::Map map(mapPath.str());
    std::cout << "\n";
    std::cout << "Ready to run Ostrand." << "\n\n";

    for (size_t i = 0; i < traceFiles.size(); ++i) {
        Route route;
        {
            NMEALoader loader(traceFiles[i]);
            route = loader.route;
        }
        printRouteHeader(i, route.name);
        std::vector<std::unique_ptr<Path>> paths;
        std::vector<std::unique_ptr<_unmatchinfo>> unmatched;
        {
            MapMatching::GenMapMatching matcher(&map, &route, false);
            matcher.runWithMarchal(kml);
            paths = matcher.getShortMatched();
            unmatched = matcher.getUnmatchedInfo();
        }
        printMatchResult(paths, unmatched);
    }

    std::cout << "Finished running Ostrand." << "\n\n";
    printOverallTime(std::cout, difftime(time(nullptr), start));
    std::cout.flush();
    return 0;
}
