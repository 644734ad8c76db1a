#include "traces/nmea_fix_reader.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <vector>

#include "geometry/plane_frame.h"
#include "traces/NMEALoader.h"
#include "traces/trace_time.h"

namespace traces {

namespace {

// Longer lines are no NMEA sentence (the standard allows 82 characters); they are skipped whole.
constexpr size_t kMaxLine = 1024;
constexpr uint32_t kHalfDayMs = 12u * 3600u * 1000u;

struct Date {
    int day = 0, month = 0, year = 0;
};

// One receiver epoch: the sentences that carry the same time of day, one after the other.
struct Epoch {
    uint32_t timeMs = 0;
    std::optional<_position> rmc, gga;
    // As the receiver reported them (NaN: empty field).
    double speed = std::numeric_limits<double>::quiet_NaN(),
           course = std::numeric_limits<double>::quiet_NaN();
    std::optional<Date> date;
    double hdop = kNmeaNoHdop;
    bool haveGsa = false;
    int snrSum = 0, snrCount = 0;
};

std::optional<double> number(const std::string& field) {
    double v = 0.0;
    const char* end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, v);
    if (field.empty() || error != std::errc() || stop != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

// The sentence from its '$' up to the checksum; nothing for a line without one, or whose checksum
// does not match (a corrupted sentence is worse than a missing one).
std::optional<std::string> sentenceText(const std::string& line, FixReading& reading) {
    const size_t start = line.find('$');
    if (start == std::string::npos) return std::nullopt;
    const size_t star = line.find('*', start);
    if (star == std::string::npos) return line.substr(start);
    if (star + 2 < line.size() && std::isxdigit(static_cast<unsigned char>(line[star + 1])) &&
        std::isxdigit(static_cast<unsigned char>(line[star + 2]))) {
        unsigned sum = 0;
        for (size_t i = start + 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
        if (sum != std::stoul(line.substr(star + 1, 2), nullptr, 16)) {
            ++reading.badChecksums;
            return std::nullopt;
        }
    }
    return line.substr(start, star - start);
}

// NMEA ddmm.mmmm with its hemisphere letter; nothing when absent or out of range.
std::optional<double> coordinate(const std::string& value, const std::string& side, char positive,
                                 char negative, double limit) {
    const std::optional<double> v = number(value);
    if (!v || side.size() != 1 || (side[0] != positive && side[0] != negative)) return std::nullopt;
    const double d = NMEALoader::convertDegrees(side[0] == negative ? -*v : *v);
    if (!(std::fabs(d) <= limit)) return std::nullopt;
    return d;
}

std::optional<_position> position(const std::vector<std::string>& f, size_t at) {
    if (f.size() < at + 4) return std::nullopt;
    const auto lat = coordinate(f[at], f[at + 1], 'N', 'S', 90.0);
    const auto lon = coordinate(f[at + 2], f[at + 3], 'E', 'W', 180.0);
    if (!lat || !lon) return std::nullopt;
    return _position{*lat, *lon};
}

// hhmmss.sss as milliseconds of the day.
std::optional<uint32_t> timeOfDay(const std::string& field) {
    const std::optional<double> v = number(field);
    if (!v || *v < 0 || *v >= 240000) return std::nullopt;
    const auto hhmmss = static_cast<uint32_t>(*v);
    if (hhmmss / 100 % 100 > 59 || hhmmss % 100 > 60) return std::nullopt;
    return static_cast<uint32_t>(*v * 1000.0);
}

std::optional<Date> validDate(int day, int month, int year) {
    if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1970 || year > 2105) return std::nullopt;
    return Date{day, month, year};
}

class Reader {
public:
    explicit Reader(FixReading& r) : reading(r) {}

    void sentence(const std::vector<std::string>& f) {
        const std::string& name = f[0];
        if (name.size() == 6 && name.compare(3, 3, "ZDA") == 0) return zda(f);
        const std::optional<Sentence> s = NMEALoader::sentenceOf(name);
        if (!s) return;
        switch (s->type) {
            case SentenceType::RMC:
                return rmc(f);
            case SentenceType::GGA:
                return gga(f);
            case SentenceType::GSA:
                return gsa(f, s->talker);
            case SentenceType::GSV:
                return gsv(f, s->talker);
        }
    }

    std::vector<Epoch> epochs;

private:
    FixReading& reading;
    std::map<int, int> satelliteSnr;

    Epoch* epochAt(const std::optional<uint32_t>& t) {
        if (!t) return nullptr;
        if (epochs.empty() || epochs.back().timeMs != *t) {
            epochs.emplace_back();
            epochs.back().timeMs = *t;
        }
        return &epochs.back();
    }

    void rmc(const std::vector<std::string>& f) {
        ++reading.positionSentences;
        Epoch* e = f.size() >= 10 ? epochAt(timeOfDay(f[1])) : nullptr;
        if (e == nullptr) return;
        if (const std::optional<double> d = number(f[9]); d && *d >= 0 && *d < 1e6) {
            const auto ddmmyy = static_cast<int>(*d);
            if (!e->date) e->date = validDate(ddmmyy / 10000, ddmmyy / 100 % 100, 2000 + ddmmyy % 100);
        }
        // NMEA 2.3 adds a mode; N says the position is not a fix although the status may say A.
        const bool fix = f[2] == "A" && !(f.size() > 12 && f[12].rfind('N', 0) == 0);
        const std::optional<_position> p = position(f, 3);
        if (!fix || !p || e->rmc) return;
        e->rmc = p;
        if (const std::optional<double> knots = number(f[7]); knots && *knots >= 0.0)
            e->speed = NMEALoader::convertKnotsToMetersPerSecond(*knots);
        if (const std::optional<double> degrees = number(f[8]))
            e->course = deg2rad(std::fmod(std::fmod(*degrees, 360.0) + 360.0, 360.0));
    }

    void gga(const std::vector<std::string>& f) {
        ++reading.positionSentences;
        Epoch* e = f.size() >= 9 ? epochAt(timeOfDay(f[1])) : nullptr;
        if (e == nullptr) return;
        // Qualities 1 to 6 are fixes (6: dead reckoning); 7 is a position typed in, 8 a simulator.
        // A fix from no satellite at all is no fix either.
        const std::optional<double> quality = number(f[6]);
        const std::optional<double> satellites = number(f[7]);
        const std::optional<_position> p = position(f, 2);
        if (!quality || *quality < 1 || *quality > 6 || (satellites && *satellites < 1) || !p) return;
        if (!e->gga) e->gga = p;
        if (e->hdop == kNmeaNoHdop) e->hdop = number(f[8]).value_or(kNmeaNoHdop);
    }

    void zda(const std::vector<std::string>& f) {
        if (f.size() < 5) return;
        Epoch* e = epochAt(timeOfDay(f[1]));
        const auto day = number(f[2]), month = number(f[3]), year = number(f[4]);
        if (e == nullptr || !day || !month || !year || e->date) return;
        e->date = validDate(static_cast<int>(*day), static_cast<int>(*month), static_cast<int>(*year));
    }

    // GSA names the satellites of the fix; their SNRs come from the GSV seen so far. The first GSA
    // of an epoch stands (a receiver of several constellations sends one each).
    void gsa(const std::vector<std::string>& f, const std::string& talker) {
        GSATag tag;
        tag.parseGSAString(f);
        if (epochs.empty() || epochs.back().haveGsa || tag.prns.empty()) return;
        const int system = tag.systemId != 0 ? tag.systemId : NMEALoader::systemOfTalker(talker);
        Epoch& e = epochs.back();
        e.haveGsa = true;
        // As the hybrid's loader counts: once SNRs are known, a satellite without one counts as 0.
        if (satelliteSnr.empty()) return;
        for (const int prn : tag.prns) {
            ++e.snrCount;
            const auto it = satelliteSnr.find(NMEALoader::satelliteKey(system, prn));
            if (it != satelliteSnr.end()) e.snrSum += it->second;
        }
    }

    void gsv(const std::vector<std::string>& f, const std::string& talker) {
        GSVTag tag;
        tag.parseGSVString(f);
        const int system = NMEALoader::systemOfTalker(talker);
        for (const auto& [prn, snr] : tag.snr)
            if (snr >= 0 && snr <= 99) satelliteSnr[NMEALoader::satelliteKey(system, prn)] = snr;
    }
};

// Reads one line of at most kMaxLine characters; longer lines come back empty.
bool readLine(std::istream& in, std::string& line) {
    line.clear();
    bool any = false;
    for (int c = in.get(); c != EOF; c = in.get()) {
        any = true;
        if (c == '\n') return true;
        if (line.size() <= kMaxLine) line.push_back(static_cast<char>(c));
    }
    return any;
}

// The date of every epoch: its own, or the one before it, a day on where the clock ran back by
// more than half a day; the epochs before the first date take that date.
void fillDates(std::vector<Epoch>& epochs) {
    std::optional<Date> current;
    for (const Epoch& e : epochs)
        if (e.date) {
            current = e.date;
            break;
        }
    if (!current) current = Date{1, 1, 2000};
    uint32_t previous = epochs.empty() ? 0 : epochs.front().timeMs;
    for (Epoch& e : epochs) {
        if (e.date) {
            current = e.date;
        } else {
            if (e.timeMs + kHalfDayMs < previous) ++current->day;  // timegm carries it into the month
            e.date = current;
        }
        previous = e.timeMs;
    }
}

std::optional<uint32_t> traceTime(const Epoch& e) {
    std::tm utc{};
    utc.tm_year = e.date->year - 1900;
    utc.tm_mon = e.date->month - 1;
    utc.tm_mday = e.date->day;
    const uint32_t t = e.timeMs / 1000;
    utc.tm_hour = static_cast<int>(t / 10000);
    utc.tm_min = static_cast<int>(t / 100 % 100);
    utc.tm_sec = static_cast<int>(t % 100);
    return traceTimeFromUtc(utc);
}

}  // namespace

FixReading readNmeaFixes(const std::string& file, std::ostream& log) {
    FixReading reading;
    reading.route.setOriginalFilename(file, true);
    log << "loading nmea file: " << file << "\n";
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) return reading;
    reading.opened = true;

    Reader reader(reading);
    std::string line;
    while (readLine(in, line)) {
        if (line.empty() || line.size() > kMaxLine || line[0] == '#') continue;
        std::erase(line, '\r');
        const std::optional<std::string> text = sentenceText(line, reading);
        if (!text) continue;
        const std::vector<std::string> fields = NMEALoader::splitFields(*text);
        if (!fields.empty()) reader.sentence(fields);
    }
    fillDates(reader.epochs);
    for (const Epoch& e : reader.epochs) {
        const std::optional<_position>& at = e.rmc ? e.rmc : e.gga;
        const std::optional<uint32_t> time = traceTime(e);
        if (!at || !time) continue;
        _node n;
        n.arrivalTime = n.leaveTime = *time;
        n.position = *at;
        const Point p = geo::PlaneFrame().toPlane(*at);
        n.easting = p.x;
        n.northing = p.y;
        n.reportedSpeed = e.speed;
        n.reportedCourse = e.course;
        n.hdop = e.hdop;
        n.averageSnr = e.snrCount > 0 ? static_cast<double>(e.snrSum) / e.snrCount
                                      : std::numeric_limits<double>::quiet_NaN();
        n.valid = true;
        reading.route.addNode(n, true);
    }
    return reading;
}

std::string whyNoFix(const FixReading& reading) {
    if (!reading.route.nodes.empty()) return "";
    if (!reading.opened) return "it cannot be read";
    std::string why = reading.positionSentences == 0
                          ? "it holds no RMC or GGA sentence"
                          : "none of its " + std::to_string(reading.positionSentences) +
                                " RMC and GGA sentences gives a valid position with a time";
    if (reading.badChecksums > 0)
        why += " (" + std::to_string(reading.badChecksums) + " with a bad checksum)";
    return why;
}

}  // namespace traces
