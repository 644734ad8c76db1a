#include "app/report.h"

#include <iostream>

void printRouteHeader(std::size_t index, const std::string& routeName) {
    std::cout << "\tRoute #" << index << ": " << routeName << "\n";
}

void printUnmatchedRecord(const _unmatchinfo& u) {
    std::cout << "Start node: " << u.startNode << " End node: " << u.endNode << " Last Match: " << u.lastMatch
              << " Next Match: " << u.nextMatch << " Last Path: " << u.lastPath
              << " Next Path: " << u.nextPath << "\n";
}

void printMatchResult(const std::vector<std::unique_ptr<Path>>& paths,
                      const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched) {
    std::cout << "Paths: "
              << "\n";
    for (const auto& p : paths) p->printPath();
    std::cout << "\n\n"
              << "Unmatched Info: "
              << "\n";
    for (const auto& u : unmatched) printUnmatchedRecord(*u);
}
