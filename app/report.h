// The per-trace block of the console report that karvel prints, shared by the programs that match
// traces so that one reader (and one eye) understands all of them.
#pragma once

#include <cstddef>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "traces/path.h"

namespace matchApp {

// "\tRoute #<index>: <name>" and a line end.
void printRouteHeader(std::size_t index, const std::string& routeName, std::ostream& out = std::cout);

// "Paths: ", every path, then "Unmatched Info: " and every unmatched stretch. With `routes` (one
// per path) each path is followed by its driven links, which the hybrid's report lacks.
void printMatchResult(const std::vector<std::unique_ptr<Path>>& paths,
                      const std::vector<std::unique_ptr<_unmatchinfo>>& unmatched,
                      std::ostream& out = std::cout, const traces::DrivenRoutes& routes = {});

}  // namespace matchApp
