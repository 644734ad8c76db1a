// The unmatched stretches around a trace's matched paths, the same for every matcher that reports
// pieces in trace order.
#pragma once

#include <memory>
#include <vector>

#include "traces/path.h"

namespace MapMatching {

// The records of `paths` (in trace order) over a trace of `pointCount` points: the stretch
// between each two consecutive paths (start and end -1 when they follow each other directly),
// then, after the first path, the stretch before it, and after the last path, the stretch after
// it. A trace without paths gives one record spanning all of it.
std::vector<std::unique_ptr<_unmatchinfo>> unmatchedAround(const std::vector<std::unique_ptr<Path>>& paths,
                                                           int pointCount);

}  // namespace MapMatching
