#include "app/Main.h"

#include <ctime>
#include <iostream>
#include <sstream>

#include "app/file_lister.h"

std::vector<std::string> traceFiles;
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

std::string mapPath() {
    std::stringstream ss;
    ss << "data" << "/" << "map.txt";
    return ss.str();
}

}  // namespace

void lookForTraceFiles(const std::string& folder) {
    std::cout << "Looking for NMEA files (with .txt extension) inside folder: " << folder << "\n";
    traceFiles = getFiles(folder);
}

void loadMap() { std::cout << "Trying to load map: " << mapPath() << "\n"; }

void run() {}

void printOverallTime(std::ostream& out, double seconds) {
    const double minutes = seconds / 60.0;
    out << "\n\n"
        << "Overall processing time: " << seconds << " sec.  (~= " << minutes << " min.)" << "\n"
        << "\n\n";
}

int karvelMain(int argc, char** argv) {
    const time_t start = time(nullptr);
    std::string folder = "data/nmea/";

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "-help") {
            printHelp();
            return 0;
        }
        if (arg == "-t") {
            if (i + 1 < argc) folder = argv[++i];
        } else if (arg == "-M") {
            geneticKML = true;
        }
    }

    std::cout << "Looking for Trace Files..." << "\n";
    lookForTraceFiles(folder);
    std::cout << "Loading Map..." << "\n";
    loadMap();
    std::cout << "\n";
    std::cout << "Ready to run Ostrand." << "\n\n";
    run();
    std::cout << "Finished running Ostrand." << "\n\n";

    printOverallTime(std::cout, difftime(time(nullptr), start));
    std::cout.flush();
    return 0;
}
