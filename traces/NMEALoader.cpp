#include "traces/NMEALoader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "geometry/geometry.h"

using traces::kNmeaNoCoordinate;
using traces::kNmeaNoHdop;
using traces::kNmeaNoTime;

namespace {

// Characters of a line that are looked at; the rest of a longer line is discarded.
constexpr size_t kMaxLineLength = 511;

// Whether from_chars reads `field` exactly as a stream would: a stream also takes leading blanks and
// a '+', and fails where an exponent is left incomplete ("1.5e"), which from_chars reads as 1.5.
// Such fields (and out-of-range values) go through the stream itself.
bool plainNumber(const std::string& field, const char* stop) {
    const char first = field[0];
    if (first != '-' && first != '.' && !std::isdigit(static_cast<unsigned char>(first))) return false;
    return stop == field.data() + field.size() || (*stop != 'e' && *stop != 'E');
}

// Reads a number the way a stream does (stopping at the first character that does not belong to
// it, so a trailing checksum is harmless). Fails on empty fields, non-numbers and overflow.
bool readDouble(const std::string& field, double& out) {
    if (field.empty()) return false;
    double v = 0.0;
    const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (error == std::errc() && plainNumber(field, stop)) {
        if (!std::isfinite(v)) return false;
        out = v;
        return true;
    }
    if (error == std::errc::invalid_argument && plainNumber(field, field.data() + field.size())) return false;
    std::istringstream s(field);
    if (!(s >> v) || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool readInt(const std::string& field, int& out) {
    if (field.empty()) return false;
    long long v = 0;
    const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (error == std::errc() && (field[0] == '-' || std::isdigit(static_cast<unsigned char>(field[0])))) {
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return false;
        out = static_cast<int>(v);
        return true;
    }
    std::istringstream s(field);
    if (!(s >> v) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return false;
    out = static_cast<int>(v);
    return true;
}

// A time or date value; it must fit below the all-bits-set placeholder.
bool toUnsigned(double v, uint32_t& out) {
    if (!(v >= 0.0 && v < static_cast<double>(kNmeaNoTime))) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// hhmmss.sss as milliseconds.
void readTime(const std::string& field, uint32_t& out) {
    double v = 0.0;
    if (readDouble(field, v)) toUnsigned(v * 1000.0, out);
}

// mktime consults the time zone on every call; within one minute the seconds simply add, so it runs
// once per minute of the log (the date and the hour and minute fields form the key).
class MinuteClock {
public:
    time_t secondsOf(std::tm fields, uint64_t minuteKey) {
        const int second = fields.tm_sec;
        if (second < 0 || second > 59) return std::mktime(&fields);
        if (!known || key != minuteKey) {
            fields.tm_sec = 0;
            start = std::mktime(&fields);
            if (start == static_cast<time_t>(-1)) {
                known = false;
                fields.tm_sec = second;
                return std::mktime(&fields);
            }
            known = true;
            key = minuteKey;
        }
        return start + second;
    }

private:
    bool known = false;
    uint64_t key = 0;
    time_t start = 0;
};

// Satellite keys of the systems that reuse small PRNs: system id times this, plus the PRN.
constexpr int kSystemKeyStride = 1000;

// An SNR field that holds only the checksum ("*4A"): the satellite is tracked without a signal.
bool isChecksumOnly(const std::string& field) {
    return !field.empty() && field[0] == '*';
}

// Sum of SNRs, kept in range whatever the receiver claims.
int addClamped(int sum, int value) {
    const long long r = static_cast<long long>(sum) + value;
    if (r > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (r < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(r);
}

// One line without its end; false at end of file or on a read error. Overlong lines are cut, not
// fatal: receiver logs carry binary bursts and long proprietary sentences, and the rest of the
// trace must still load. Reading goes through the stream (not its buffer), which turns read errors
// such as a directory given as the file into a failed state instead of an exception.
bool readLine(std::istream& in, std::string& line) {
    char buf[kMaxLineLength + 1];
    in.getline(buf, sizeof buf);
    const auto n = static_cast<size_t>(in.gcount());
    if (in.bad()) return false;
    if (in.fail() && !in.eof()) {  // buffer full before the line end: drop the rest of the line
        line.assign(buf, n);
        in.clear();
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        return true;
    }
    if (in.fail()) return false;  // end of file, nothing read
    // Without end of file the line end was consumed and counted.
    line.assign(buf, in.eof() ? n : n - 1);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sentence records

void RMCTag::parseRMCString(const std::vector<std::string>& f) {
    if (f.size() < 10) return;
    readTime(f[1], time);
    if (!f[2].empty()) valid = f[2][0] == 'A';
    double v = 0.0;
    // Positions outside the globe are receiver garbage; they stay unset so the fix is not accepted.
    if (!f[4].empty() && readDouble(f[3], v)) {
        const double d = NMEALoader::convertDegrees(f[4][0] == 'S' ? -v : v);
        if (std::fabs(d) <= 90.0) lat = d;
    }
    if (!f[6].empty() && readDouble(f[5], v)) {
        const double d = NMEALoader::convertDegrees(f[6][0] == 'W' ? -v : v);
        if (std::fabs(d) <= 180.0) lon = d;
    }
    if (readDouble(f[7], v)) speed = NMEALoader::convertKnotsToMetersPerSecond(v);
    if (readDouble(f[8], v)) course = deg2rad(v);
    if (readDouble(f[9], v)) toUnsigned(std::trunc(v), date);
}

bool RMCTag::isComplete() const {
    return time != kNmeaNoTime && date != kNmeaNoTime && lat != kNmeaNoCoordinate && lon != kNmeaNoCoordinate;
}

void GGATag::parseGGAString(const std::vector<std::string>& f) {
    if (f.size() < 9) return;
    readTime(f[1], time);
    readInt(f[7], satellitesInUse);
    double v = 0.0;
    if (readDouble(f[8], v)) hdop = v;
}

bool GGATag::isComplete() const {
    return time != kNmeaNoTime && hdop != kNmeaNoHdop;
}

void GSATag::parseGSAString(const std::vector<std::string>& f) {
    if (f.size() < 15) return;
    for (size_t i = 3; i <= 14; ++i) {
        int prn = 0;
        if (readInt(f[i], prn)) prns.push_back(prn);
    }
    if (f.size() > 18) readInt(f[18], systemId);
}

void GSVTag::parseGSVString(const std::vector<std::string>& f) {
    if (f.size() < 4) return;
    readInt(f[1], totalMessages);
    readInt(f[2], messageNumber);
    readInt(f[3], satellitesInView);
    if (f.size() < 8) return;
    // Blocks of (PRN, elevation, azimuth, SNR); satellites without an SNR are not tracked.
    for (size_t b = 0; b < 4; ++b) {
        const size_t first = 4 + 4 * b;
        if (f.size() <= first + 3) break;
        int prn = 0;
        int value = 0;
        if (!readInt(f[first], prn)) continue;
        // A last block cut short by the checksum still reports its satellite: its SNR is 0, not
        // whatever an earlier sentence said.
        if (isChecksumOnly(f[first + 3]) || readInt(f[first + 3], value)) snr.emplace(prn, value);
    }
}

void TagSet::setRMC(const RMCTag& rmc) {
    rmcLine = rmc.line;
    rmcTime = rmc.time;
    date = rmc.date;
    valid = rmc.valid;
    lat = rmc.lat;
    lon = rmc.lon;
    speed = rmc.speed;
    course = rmc.course;
}

void TagSet::setGGA(const GGATag& gga) {
    ggaLine = gga.line;
    ggaTime = gga.time;
    hdop = gga.hdop;
}

void TagSet::setGSA(const GSATag& gsa) {
    gsaLine = gsa.line;
    prns = gsa.prns;
    snrSum = gsa.snrSum;
    snrCount = gsa.snrCount;
}

bool TagSet::rmcComplete() const {
    return rmcTime != kNmeaNoTime && date != kNmeaNoTime && lat != kNmeaNoCoordinate &&
           lon != kNmeaNoCoordinate;
}

bool TagSet::ggaComplete() const {
    return ggaTime != kNmeaNoTime && hdop != kNmeaNoHdop;
}

// ---------------------------------------------------------------------------------------------
// Loader

NMEALoader::NMEALoader(const std::string& file) : NMEALoader(file, std::cout) {}

NMEALoader::NMEALoader(const std::string& file, std::ostream& messages) : filename(file), log(&messages) {
    route.setOriginalFilename(filename, true);
    loadfile();
}

double NMEALoader::convertKnotsToMetersPerSecond(double v) {
    return 0.5144444444444444 * v;
}

double NMEALoader::convertDegrees(double v) {
    const double d = std::trunc(v / 100.0);
    return d + 100.0 * (v - 100.0 * d) / 6000.0;
}

std::vector<std::string> NMEALoader::splitFields(const std::string& line) {
    std::vector<std::string> fields;
    if (line.empty()) return fields;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        if (comma == std::string::npos) {
            if (start < line.size()) fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    return fields;
}

std::optional<Sentence> NMEALoader::sentenceOf(const std::string& name) {
    if (name.size() != 6 || name[0] != '$' || name[1] == 'P') return std::nullopt;
    if (!std::isupper(static_cast<unsigned char>(name[1])) ||
        !std::isupper(static_cast<unsigned char>(name[2])))
        return std::nullopt;
    const std::string type = name.substr(3);
    Sentence s{name.substr(1, 2)};
    if (type == "RMC")
        s.type = SentenceType::RMC;
    else if (type == "GGA")
        s.type = SentenceType::GGA;
    else if (type == "GSA")
        s.type = SentenceType::GSA;
    else if (type == "GSV")
        s.type = SentenceType::GSV;
    else
        return std::nullopt;
    return s;
}

int NMEALoader::systemOfTalker(const std::string& talker) {
    if (talker == "GA") return 3;
    if (talker == "GB" || talker == "BD") return 4;
    if (talker == "GQ" || talker == "QZ") return 5;
    if (talker == "GI") return 6;
    return 0;
}

int NMEALoader::satelliteKey(int system, int prn) {
    return system >= 3 && system <= 6 && prn >= 0 && prn < kSystemKeyStride ? system * kSystemKeyStride + prn
                                                                            : prn;
}

void NMEALoader::updateSatSnr(const GSVTag& gsv) {
    for (const auto& [prn, snr] : gsv.snr) satelliteSnr[prn] = snr;
}

void NMEALoader::loadfile() {
    *log << "loading nmea file: " << filename << "\n";
    std::ifstream in(filename, std::ios::binary);
    if (!in.is_open()) return;

    std::string line;
    line.reserve(kMaxLineLength);
    uint32_t lineNumber = 0;
    while (readLine(in, line)) {
        ++lineNumber;
        std::erase(line, '\r');
        const std::vector<std::string> fields = splitFields(line);
        if (fields.empty()) continue;
        const std::optional<Sentence> sentence = sentenceOf(fields[0]);
        if (sentence) handleSentence(*sentence, fields, lineNumber);
    }
    buildPoints();
}

// Every talker's sentence is read like its $GP counterpart.
void NMEALoader::handleSentence(const Sentence& sentence, const std::vector<std::string>& fields,
                                uint32_t line) {
    switch (sentence.type) {
        case SentenceType::RMC: {
            RMCTag rmc;
            rmc.line = line;
            rmc.parseRMCString(fields);
            handleRMC(rmc);
            break;
        }
        case SentenceType::GGA: {
            GGATag gga;
            gga.line = line;
            gga.parseGGAString(fields);
            handleGGA(gga);
            break;
        }
        case SentenceType::GSA: {
            GSATag gsa;
            gsa.line = line;
            gsa.parseGSAString(fields);
            handleGSA(std::move(gsa), sentence.talker);
            break;
        }
        case SentenceType::GSV: {
            GSVTag gsv;
            gsv.line = line;
            gsv.parseGSVString(fields);
            handleGSV(gsv, sentence.talker);
            break;
        }
    }
}

TagSet& NMEALoader::epochFor(uint32_t time) {
    // Only the newest epoch is compared: a repeated older time opens a new epoch.
    if (tagSets.empty() || tagSets.back().time != time) {
        tagSets.emplace_back(time);
        epochGsaTalker.clear();
    }
    return tagSets.back();
}

void NMEALoader::handleRMC(const RMCTag& rmc) {
    if (!rmc.isComplete()) return;
    epochFor(rmc.time).setRMC(rmc);
    rmcSeen = true;
}

void NMEALoader::handleGGA(const GGATag& gga) {
    if (!gga.isComplete()) return;
    epochFor(gga.time).setGGA(gga);
    ggaSeen = true;
}

void NMEALoader::handleGSA(GSATag gsa, const std::string& talker) {
    const int system = gsa.systemId != 0 ? gsa.systemId : systemOfTalker(talker);
    // SNRs come from the GSV sentences seen so far; a satellite without one still counts.
    if (gsvSeen) {
        for (int prn : gsa.prns) {
            ++gsa.snrCount;
            const auto it = satelliteSnr.find(satelliteKey(system, prn));
            if (it != satelliteSnr.end()) gsa.snrSum = addClamped(gsa.snrSum, it->second);
        }
    }
    if (!gsa.isPresent()) return;
    gsaSeen = true;
    if (tagSets.empty()) return;
    // GSA carries no time: it belongs to whichever epoch is open. A receiver of several
    // constellations sends one per constellation; the first of the epoch stands. Plain GPS logs
    // keep their rule: the latest $GPGSA replaces.
    if (!epochGsaTalker.empty() && !(epochGsaTalker == "GP" && talker == "GP")) return;
    tagSets.back().setGSA(gsa);
    epochGsaTalker = talker;
}

void NMEALoader::handleGSV(const GSVTag& gsv, const std::string& talker) {
    if (gsv.snr.empty() && gsv.messageNumber == 0 && gsv.totalMessages == 0) return;
    // Each constellation reports its own satellites; they add up in one table.
    const int system = systemOfTalker(talker);
    for (const auto& [prn, snr] : gsv.snr) satelliteSnr[satelliteKey(system, prn)] = snr;
    gsvSeen = true;
}

void NMEALoader::buildPoints() {
    // Some receivers send GGA and RMC on alternate seconds: the GGA part is demanded only when at
    // least one epoch has both, or every fix of such a log would be dropped.
    const bool ggaWithRmc = std::any_of(tagSets.begin(), tagSets.end(),
                                        [](const TagSet& s) { return s.rmcComplete() && s.ggaComplete(); });
    MinuteClock minuteClock;
    for (size_t k = 0; k < tagSets.size(); ++k) {
        const TagSet& set = tagSets[k];
        const bool rmcOk = set.rmcComplete();
        const bool ggaOk = set.ggaComplete();
        const bool gsaOk = set.gsaPresent();
        // A part is demanded only when the file has that kind of sentence at all, except the RMC
        // part: without an RMC fix there is no position, so such an epoch never becomes a point.
        const bool incomplete = !rmcOk || (!ggaOk && ggaSeen && ggaWithRmc) || (!gsaOk && gsaSeen && gsvSeen);
        if (incomplete) {
            *log << "TagSet incomplete[" << k << "]: time " << set.time << "\n"
                 << "\trmc[" << set.rmcTime << "]: " << (rmcOk ? 1 : 0) << "[" << set.rmcLine << "]\n"
                 << "\tgga[" << set.ggaTime << "]: " << (ggaOk ? 1 : 0) << "[" << set.ggaLine << "]\n"
                 << "\tgsa: " << (gsaOk ? 1 : 0) << "[" << set.gsaLine << "]\n";
            continue;
        }

        std::tm fields{};
        fields.tm_year = 2000 + static_cast<int>(set.date % 100) - 1900;
        fields.tm_mon = static_cast<int>((set.date / 100) % 100) - 1;
        fields.tm_mday = static_cast<int>((set.date / 10000) % 100);
        const uint32_t t = set.rmcTime / 1000;
        fields.tm_sec = static_cast<int>(t % 100);
        fields.tm_min = static_cast<int>((t / 100) % 100);
        fields.tm_hour = static_cast<int>((t / 10000) % 100);
        fields.tm_isdst = 0;
        // The fields are UTC but mktime reads them as local time; only differences matter.
        const time_t seconds = minuteClock.secondsOf(fields, (uint64_t{set.date} << 32) | (t / 100));

        _node node;
        node.arrivalTime = static_cast<uint32_t>(seconds);
        node.leaveTime = node.arrivalTime;
        node.position.lat = set.lat;
        node.position.lon = set.lon;
        const GPSPoint utm = GPSPoint::convertWGS84ToUTM(set.lat, set.lon);
        node.northing = utm.northing;
        node.easting = utm.easting;
        node.heading = set.course;
        node.speed = set.speed;
        node.hdop = set.hdop;
        node.averageSnr = set.snrCount != 0 ? static_cast<double>(set.snrSum) / set.snrCount
                                            : std::numeric_limits<double>::quiet_NaN();
        node.valid = set.valid;
        route.addNode(node, true);
    }
}
