// Trace point times. A point's time is what the NMEA loader stores: the UTC clock fields of the fix
// run through mktime as if they were local time. Every loader makes its times the same way, and a
// writer that wants the UTC clock back undoes it here, so traces of both formats agree.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace traces {

// The time of a point that carries none (a track log without <time>).
inline constexpr uint32_t kTraceNoTime = 0xFFFFFFFFu;

// The trace time of UTC clock fields (tm_year, tm_mon, ... as std::tm has them); nothing when the
// moment does not fit an unsigned 32-bit time.
std::optional<uint32_t> traceTimeFromUtc(std::tm utc);

// The UTC clock fields of a trace time.
std::tm utcFromTraceTime(uint32_t time);

// "YYYY-MM-DDThh:mm:ssZ", or "" for kTraceNoTime.
std::string isoUtcText(uint32_t time);

// Reads an ISO 8601 date-time as GPX writes it ("2015-01-01T11:35:02Z", with optional fraction of a
// second and optional "+hh:mm" / "-hh:mm" offset; no zone means UTC). Fractions are dropped.
std::optional<uint32_t> parseIsoTime(const std::string& text);

}  // namespace traces
