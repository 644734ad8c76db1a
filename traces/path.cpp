#include "traces/path.h"

#include <iostream>

void Path::printPath() const {
    std::cout << "Score: " << score << "  Avg: " << avgScore << " Start: " << startIndex
              << " Last: " << lastIndex << " Links: ";
    for (const auto& [point, link] : links) std::cout << "(" << point << ", " << link << ")  ";
    std::cout << "\n\n";
}
