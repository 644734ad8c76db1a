// A report read back, laid on its map and fed to a ResultWriter, with the traces it names.
#pragma once

#include <iosfwd>
#include <string>

#include "app/result_writer.h"
#include "tools/eval/report.h"

namespace matchEval {

// Adds every trace of the report to `writer`, reading it from `folder` (NAME.txt or NAME.gpx).
// A trace whose file is missing or does not fit the report (a point beyond its end, a link the map
// lacks) gets one "ERROR: " line on `log` and is left out. True when every trace was added.
bool exportReport(const Report& report, const std::string& folder, matchApp::ResultWriter& writer,
                  const mapRepresentation::CompactMap& map, std::ostream& log);

}  // namespace matchEval
