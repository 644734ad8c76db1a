// Discovery of the trace files of a folder.
#pragma once

#include <string>
#include <vector>

// Paths of the ".txt" entries of `folder` (the working directory when empty), in the order the
// directory returns them. An unreadable folder gives an empty list.
std::vector<std::string> getFiles(const std::string& folder);
