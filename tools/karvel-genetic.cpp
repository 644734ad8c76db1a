// karvel-genetic: map-matches every NMEA trace of a folder onto data/map.txt with the genetic
// algorithm alone (candidate links from forward and backward Marchal runs) and prints the same
// report as karvel. Unlike karvel it only reads data/map.txt.
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
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
    const BatchOptions options = parseOptions(argc, argv);
    if (options.help) {
        printHelp();
        return 0;
    }
    const bool kml = options.kml;
    const std::string& folder = options.folder;

    std::cout << "Looking for Trace Files..."
              << "\n";
    lookForTraceFiles(folder);
    std::cout << "Loading Map..."
              << "\n";
    std::cout << "Trying to load map: " << mapPath() << "\n";
    mapRepresentation::Map map(mapPath());
    std::cout << "\n";
    std::cout << "Ready to run Ostrand."
              << "\n\n";

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

    std::cout << "Finished running Ostrand."
              << "\n\n";
    printOverallTime(std::cout, difftime(time(nullptr), start));
    std::cout.flush();
    return 0;
}
