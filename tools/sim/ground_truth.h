// Ground truth of one trace: the links driven, and (for simulated traces) the true link of every fix.
//
// File layout (text, whitespace separated, '#' starts a comment line):
//   trace NAME
//   points N                  trace points in the NMEA file
//   route K                   then K link ids in driving order (any number per line)
//   fixes N                   optional: then N lines "index link lat lon outlier"
// A route may have breaks (consecutive links that do not meet); they are kept as they are.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace traceSim {

struct FixTruth {
    int link = -1;     // the link the vehicle was on
    double lat = 0.0;  // its true position
    double lon = 0.0;
    bool outlier = false;  // the reported position was thrown far off on purpose
};

struct GroundTruth {
    std::string name;
    int points = 0;
    std::vector<int> route;
    std::vector<FixTruth> fixes;  // empty, or one per trace point

    bool hasFixTruth() const { return !fixes.empty(); }
};

void writeGroundTruth(std::ostream& out, const GroundTruth& truth);
bool saveGroundTruth(const std::string& path, const GroundTruth& truth, std::string& error);

// Reads one ground-truth file. Counts are checked against the entries that follow, so a truncated
// or padded file is refused rather than read halfway.
bool readGroundTruth(std::istream& in, GroundTruth& truth, std::string& error);
bool loadGroundTruth(const std::string& path, GroundTruth& truth, std::string& error);

}  // namespace traceSim
