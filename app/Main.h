// The karvel batch job: options, trace listing, map loading and the per-trace loop.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Program-wide state of the batch (the road map lives in Main.cpp).
extern std::vector<std::string> traceFiles;
extern bool geneticKML;

void lookForTraceFiles(const std::string& folder);
void loadMap();
void run();

// The closing timing lines; seconds and minutes in the stream's default number format.
void printOverallTime(std::ostream& out, double seconds);

// The whole program; returns the exit status.
int karvelMain(int argc, char** argv);
