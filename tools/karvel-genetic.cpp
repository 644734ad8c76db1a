// karvel-genetic: map-matches every NMEA trace of a folder onto data/map.txt with the genetic
// algorithm alone (candidate links from forward and backward Marchal runs) and prints the same
// report as karvel. Unlike karvel it only reads data/map.txt.
#include <ctime>
#include <iostream>
#include <optional>

#include "app/Main.h"
#include "app/batch.h"
#include "app/output_check.h"
#include "map/maps.h"
#include "matching/GenMapMatching.h"

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

int programMain(int argc, char** argv) {
    const time_t start = time(nullptr);
    const std::optional<matchApp::BatchOptions> options = matchApp::startBatchProgram(argc, argv, printHelp);
    if (!options) return 0;
    const bool kml = options->kml;
    matchApp::TraceMatcher genetic;
    genetic.load = matchApp::loadNmeaRoute;
    genetic.frame = &m.planeFrame();
    genetic.match = [kml](Route& route, std::ostream&) {
        MapMatching::GenMapMatching matcher(&m, &route, false);
        matcher.runWithMarchal(kml);
        return matchApp::TraceMatch{matcher.getShortMatched(), matcher.getUnmatchedInfo(), {}};
    };
    // Single-threaded: the genetic stage draws from the C library's one generator.
    return matchApp::runFramedBatch(start, {.folder = options->folder},
                                    [&] { matchApp::runBatch(traceFiles, genetic, 1, std::cout); });
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
