// The karvel batch job: options, trace listing, map loading and the per-trace loop.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Program-wide state of the batch (the road map lives in Main.cpp).
extern std::vector<std::string> traceFiles;
extern bool geneticKML;

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

// The closing timing lines; seconds and minutes in the stream's default number format.
void printOverallTime(std::ostream& out, double seconds);

// The whole program; returns the exit status.
int karvelMain(int argc, char** argv);
