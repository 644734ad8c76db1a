#include "app/report.h"

using traces::DrivenRoutes;

namespace matchApp {

void printRouteHeader(std::size_t index, const std::string& routeName, std::ostream& out) {
    out << "\tRoute #" << index << ": " << routeName << "\n";
}

namespace {

void printUnmatchedRecord(const _unmatchinfo& u, std::ostream& out) {
    out << "Start node: " << u.startNode << " End node: " << u.endNode << " Last Match: " << u.lastMatch
        << " Next Match: " << u.nextMatch << " Last Path: " << u.lastPath << " Next Path: " << u.nextPath
        << "\n";
}

void printDrivenLinks(const std::vector<int>& links, std::ostream& out) {
    out << "Driven links:";
    for (int link : links) out << " " << link;
    out << "\n\n";
}

}  // namespace

void printMatchResult(const std::vector<std::unique_ptr<Path>>& paths,
                      const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched, std::ostream& out,
                      const DrivenRoutes& routes) {
    out << "Paths: "
        << "\n";
    for (size_t k = 0; k < paths.size(); ++k) {
        paths[k]->printPath(out);
        if (k < routes.size()) printDrivenLinks(routes[k], out);
    }
    out << "\n\n"
        << "Unmatched Info: "
        << "\n";
    for (const auto& u : unmatched) printUnmatchedRecord(*u, out);
}

}  // namespace matchApp
