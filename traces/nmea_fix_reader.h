// The everyday NMEA 0183 reader (karvel-match and the tools that read its results): one point per
// receiver epoch that has a valid position and a time, whatever the receiver sends. Unlike the
// hybrid's loader it does not ask every epoch for the same set of sentences:
// - the position comes from an RMC with status A (and a mode other than N), or else from a GGA with
//   a fix quality from 1 to 6 (not typed in, not simulated) and satellites in use, of any talker;
// - the date comes from RMC or ZDA sentences; a log that never gives one (GGA only) counts its days
//   from 1 January 2000, turning to the next day where the time of day runs back by more than 12 h;
// - a sentence whose checksum does not match its text is skipped, comment lines ('#') too.
// Speed and heading are derived from the previous point, as the hybrid's loader derives them; the
// RMC's own speed and course are kept beside them as reported;
// hdop comes from the epoch's GGA and the mean SNR from its GSA and the GSV seen so far.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "traces/route.h"

namespace traces {

struct FixReading {
    Route route;
    bool opened = false;
    size_t positionSentences = 0;  // RMC and GGA sentences read, valid or not
    size_t badChecksums = 0;
};

// Reads `file`; "loading nmea file: <file>" goes to `log` like the hybrid's loader says it.
FixReading readNmeaFixes(const std::string& file, std::ostream& log);

// Why a reading gave no point, for an ERROR line ("" when it gave points).
std::string whyNoFix(const FixReading& reading);

}  // namespace traces
