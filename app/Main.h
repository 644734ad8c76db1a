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
extern mapRepresentation::Map m;

// The command line of the matching programs: "-h"/"-help", "-t folder", "-M"; other words are ignored.
struct BatchOptions {
    std::string folder = "data/nmea/";
    bool kml = false;
    bool help = false;  // set by the first "-h" or "-help"; the words after it are not looked at
};
BatchOptions parseOptions(int argc, char** argv);

// data/map.txt, relative to the working directory.
std::string mapPath();

// Whether a program writes data/map.txt back after loading it. One that does holds the map's lock
// from loading until its save, so that concurrent updates take turns instead of undoing each other.
enum class MapUse { ReadOnly, ReadWrite };

// Each returns false (after an "ERROR: " line) when the run cannot go on: a trace folder that cannot
// be opened, a map file that is missing, unreadable or not a regular file.
bool lookForTraceFiles(const std::string& folder);
bool loadMap(MapUse use = MapUse::ReadOnly);
void run();

// What every matching program prints around its batch: the listing of `folder` and the loading of
// data/map.txt into the program-wide map, then `batch`, then the closing lines timed from `start`.
// Returns the exit status: 0, or 1 when something was not done as asked (a folder or map that could
// not be read, a map read only in part or not written back, trace files skipped).
int runFramedBatch(time_t start, const std::string& folder, const std::function<void()>& batch,
                   MapUse use = MapUse::ReadOnly);

// The closing timing lines; seconds and minutes in the stream's default number format.
void printOverallTime(std::ostream& out, double seconds);

// The whole program; returns the exit status.
int karvelMain(int argc, char** argv);
