// The console report of a karvel run, read back: per trace its matched paths (only the pairs that
// carry a trace point are printed) and its unmatched stretches.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace matchEval {

struct ReportPath {
    int start = -1;
    int last = -1;
    std::vector<std::pair<int, int>> pairs;  // (trace point index, link id)
};

struct ReportUnmatched {
    int startNode = -1, endNode = -1, lastMatch = -1, nextMatch = -1, lastPath = -1, nextPath = -1;
};

struct ReportTrace {
    int number = -1;   // the route counter karvel printed
    std::string name;  // the trace file's short name
    std::vector<ReportPath> paths;
    std::vector<ReportUnmatched> unmatched;
    int malformedLines = 0;  // path or stretch lines that could not be read completely
};

struct Report {
    std::vector<ReportTrace> traces;
    double overallSeconds = -1.0;  // from the closing timing line; -1 when absent
    bool complete = false;         // the last route's block reached its "Unmatched Info:" line and a line end
};

// Reads what karvel printed. Lines that belong to no report element (loader messages, errors, the
// start-up lines) are skipped; a path or stretch line that cannot be read is counted, not guessed.
Report parseReport(std::istream& in);
// False, with the reason in `error`, when the file cannot be read (or is no regular file), holds no
// trace at all, is cut off (its last route without its "Unmatched Info:" line, or a last line without
// its end) or holds a trace twice: a result read from such a report would be a wrong one.
bool loadReport(const std::string& path, Report& report, std::string& error);

}  // namespace matchEval
