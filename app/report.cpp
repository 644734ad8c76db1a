#include "app/report.h"

void printRouteHeader(std::size_t index, const std::string& routeName, std::ostream& out) {
    out << "\tRoute #" << index << ": " << routeName << "\n";
}

void printUnmatchedRecord(const _unmatchinfo& u, std::ostream& out) {
    out << "Start node: " << u.startNode << " End node: " << u.endNode << " Last Match: " << u.lastMatch
        << " Next Match: " << u.nextMatch << " Last Path: " << u.lastPath << " Next Path: " << u.nextPath
        << "\n";
}

void printMatchResult(const std::vector<std::unique_ptr<Path>>& paths,
                      const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched, std::ostream& out) {
    out << "Paths: "
        << "\n";
    for (const auto& p : paths) p->printPath(out);
    out << "\n\n"
        << "Unmatched Info: "
        << "\n";
    for (const auto& u : unmatched) printUnmatchedRecord(*u, out);
}
