#include "traces/trace_time.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace traces {

namespace {

// Seconds between the local standard-time reading of a set of clock fields and their UTC reading,
// as mktime applies it with daylight saving off.
time_t offsetByMktime(time_t near) {
    std::tm utc{};
    gmtime_r(&near, &utc);
    utc.tm_isdst = 0;
    return std::mktime(&utc) - near;
}

// mktime looks at the zone on every call, which costs more than reading a fix. A zone changes its
// offset at most once within a minute, so when both ends of a minute agree the whole minute has
// that offset; it is kept per thread together with the TZ setting it was found under.
time_t standardOffset(time_t near) {
    struct Minute {
        time_t start = -1;
        time_t offset = 0;
        bool zoneSet = false;
        std::string zone;
    };
    thread_local Minute known;
    if (near < 0) return offsetByMktime(near);
    const char* tz = std::getenv("TZ");
    const time_t start = near - near % 60;
    if (start == known.start && (tz != nullptr) == known.zoneSet && (tz == nullptr || known.zone == tz))
        return known.offset;
    const time_t first = offsetByMktime(start);
    if (first != offsetByMktime(start + 59)) return offsetByMktime(near);
    known = {start, first, tz != nullptr, tz != nullptr ? tz : ""};
    return first;
}

bool readDigits(const std::string& s, size_t& pos, size_t count, int& value) {
    if (pos + count > s.size()) return false;
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        const char c = s[pos + i];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool expectChar(const std::string& s, size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

// The zone suffix: nothing or "Z" is UTC, otherwise "+hh:mm" / "-hh:mm"; seconds east of UTC.
bool readZone(const std::string& s, size_t& pos, long& offset) {
    offset = 0;
    if (pos == s.size()) return true;
    if (s[pos] == 'Z') return ++pos == s.size();
    if (s[pos] != '+' && s[pos] != '-') return false;
    const long sign = s[pos++] == '-' ? -1 : 1;
    int hours = 0, minutes = 0;
    if (!readDigits(s, pos, 2, hours)) return false;
    if (pos < s.size() && s[pos] == ':') ++pos;
    if (!readDigits(s, pos, 2, minutes) || hours > 23 || minutes > 59) return false;
    offset = sign * (hours * 3600L + minutes * 60L);
    return pos == s.size();
}

}  // namespace

std::optional<uint32_t> traceTimeFromUtc(std::tm utc) {
    utc.tm_isdst = 0;
    const time_t asUtc = timegm(&utc);
    if (asUtc < 0 || asUtc > static_cast<time_t>(kTraceNoTime) - 1) return std::nullopt;
    const time_t local = asUtc + standardOffset(asUtc);
    if (local < 0 || local >= static_cast<time_t>(kTraceNoTime)) return std::nullopt;
    return static_cast<uint32_t>(local);
}

std::tm utcFromTraceTime(uint32_t time) {
    const time_t t = static_cast<time_t>(time);
    const time_t utc = t - standardOffset(t);
    std::tm fields{};
    gmtime_r(&utc, &fields);
    return fields;
}

std::string isoUtcText(uint32_t time) {
    if (time == kTraceNoTime) return "";
    const std::tm f = utcFromTraceTime(time);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", f.tm_year + 1900, f.tm_mon + 1,
                  f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    return text;
}

std::optional<uint32_t> parseIsoTime(const std::string& raw) {
    size_t first = raw.find_first_not_of(" \t\r\n");
    size_t last = raw.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) return std::nullopt;
    const std::string s = raw.substr(first, last - first + 1);
    size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readDigits(s, pos, 4, year) || !expectChar(s, pos, '-') || !readDigits(s, pos, 2, month) ||
        !expectChar(s, pos, '-') || !readDigits(s, pos, 2, day) || !expectChar(s, pos, 'T') ||
        !readDigits(s, pos, 2, hour) || !expectChar(s, pos, ':') || !readDigits(s, pos, 2, minute) ||
        !expectChar(s, pos, ':') || !readDigits(s, pos, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        const size_t digits = pos;
        while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos;
        if (pos == digits) return std::nullopt;
    }
    long offset = 0;
    if (!readZone(s, pos, offset)) return std::nullopt;

    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    // A day that the month does not have (31 April) would roll over silently; a leap second may.
    std::tm check = fields;
    check.tm_sec = 0;
    timegm(&check);
    if (check.tm_mday != day) return std::nullopt;
    const time_t moment = timegm(&fields);
    const time_t utc = moment - offset;
    std::tm utcFields{};
    gmtime_r(&utc, &utcFields);
    return traceTimeFromUtc(utcFields);
}

}  // namespace traces
