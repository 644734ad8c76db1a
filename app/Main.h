// The karvel batch job: options, trace listing, map loading and the per-trace loop.
#pragma once

#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Program-wide state of the batch.
extern std::vector<std::string> traceFiles;
extern bool geneticKML;
namespace mapRepresentation {
class Map;
}
extern mapRepresentation::Map& m;

// The command line of the matching programs: "-h"/"-help", "-t folder", "-M"; other words are ignored.
struct BatchOptions {
    std::string folder = "data/nmea/";
    bool kml = false;
    bool help = false;  // set by the first "-h" or "-help"; the words after it are not looked at
};
BatchOptions parseOptions(int argc, char** argv);

// data/map.txt, relative to the working directory.
std::string mapPath();

void lookForTraceFiles(const std::string& folder);
void loadMap();
void run();

// What every matching program prints around its batch: the listing of `folder` and the loading of
// data/map.txt into the program-wide map, then `batch`, then the closing lines timed from `start`.
// Returns the exit status.
int runFramedBatch(time_t start, const std::string& folder, const std::function<void()>& batch);

// The closing timing lines; seconds and minutes in the stream's default number format.
void printOverallTime(std::ostream& out, double seconds);

// The whole program; returns the exit status.
int karvelMain(int argc, char** argv);
