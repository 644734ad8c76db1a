// Discovery of the trace files of a folder.
#pragma once

#include <string>
#include <vector>

// Paths of the ".txt" entries of `folder` (the working directory when empty), in the order the
// directory returns them. An unreadable folder gives an empty list.
std::vector<std::string> getFiles(const std::string& folder);

// Paths of the trace logs of `folder` that the programs reading GPX take: the ".txt" and ".gpx"
// entries, in directory order.
std::vector<std::string> getTraceFiles(const std::string& folder);
