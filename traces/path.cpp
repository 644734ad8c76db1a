#include "traces/path.h"

#include <iostream>

void Path::printPath(std::ostream& out) const {
    out << "Score: " << score << "  Avg: " << avgScore << " Start: " << startIndex << " Last: " << lastIndex
        << " Links: ";
    for (const auto& [point, link] : links) out << "(" << point << ", " << link << ")  ";
    out << "\n\n";
}
