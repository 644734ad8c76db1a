// Discovery of the trace files of a folder.
#pragma once

#include <string>
#include <vector>

// Paths of the ".txt" entries of `folder` (the working directory when empty), in the order the
// directory returns them. An unreadable folder gives an empty list.
std::vector<std::string> getFiles(const std::string& folder);

namespace matchApp {

// The trace files of a folder as the batch takes them: the entries with one of the extensions that are
// regular files (or links to one) and whose names hold no line break. Every other such entry gets a line in
// `skipped`: a FIFO or a device would block the run or never end, a line break in a name would
// split the report's header line, and files of one trace name (a.txt and a.gpx) would be mixed up.
struct TraceListing {
    bool opened = false;  // false: the folder could not be opened; `error` says why
    std::string error;
    std::vector<std::string> files;
    std::vector<std::string> skipped;  // "<path>: <reason>", the path with its line breaks escaped
};
struct ListingRules {
    bool anyCase = false;        // extensions match whatever their case (".GPX" for ".gpx")
    bool oneFilePerName = true;  // files of one trace name are skipped
};
TraceListing listTraceFiles(const std::string& folder, const std::vector<std::string>& extensions = {".txt"},
                            const ListingRules& rules = {});
}  // namespace matchApp
