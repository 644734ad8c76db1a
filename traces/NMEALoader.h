// Reads one NMEA 0183 log (RMC, GGA, GSA and GSV sentences of any talker: $GP, $GN, $GL, $GA, $GB...)
// into a Route, one point per receiver epoch.
#pragma once

#include <cstdint>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "traces/route.h"

namespace traces {

// Value of an unset time or date field (all bits set).
inline constexpr uint32_t kNmeaNoTime = 0xFFFFFFFFu;
// Placeholders of unset coordinates, speed, course and HDOP.
inline constexpr double kNmeaNoCoordinate = 1000.0;
inline constexpr double kNmeaNoSpeed = -1000.0;
inline constexpr double kNmeaNoCourse = 1000.0;
inline constexpr double kNmeaNoHdop = -1000.0;

}  // namespace traces

// Each record starts with the file line (from 1) it was read from; 0 when no sentence filled it.
struct RMCTag {
    uint32_t line = 0;
    uint32_t time = traces::kNmeaNoTime;  // hhmmss.sss * 1000
    uint32_t date = traces::kNmeaNoTime;  // ddmmyy
    bool valid = false;
    double lat = traces::kNmeaNoCoordinate;  // decimal degrees
    double lon = traces::kNmeaNoCoordinate;
    double speed = traces::kNmeaNoSpeed;    // m/s
    double course = traces::kNmeaNoCourse;  // radians

    void parseRMCString(const std::vector<std::string>& fields);
    // Time, date and a position are all present.
    bool isComplete() const;
};

struct GGATag {
    uint32_t line = 0;
    uint32_t time = traces::kNmeaNoTime;
    double hdop = traces::kNmeaNoHdop;
    int satellitesInUse = 0;

    void parseGGAString(const std::vector<std::string>& fields);
    bool isComplete() const;
};

struct GSATag {
    uint32_t line = 0;
    std::vector<int> prns;  // satellites used in the fix
    int systemId = 0;       // GNSS system of the PRNs (NMEA 4.10 and later), 0 when not given
    int snrSum = 0;
    int snrCount = 0;

    void parseGSAString(const std::vector<std::string>& fields);
    bool isPresent() const { return !prns.empty() || snrSum != 0; }
};

struct GSVTag {
    uint32_t line = 0;
    int totalMessages = 0;
    int messageNumber = 0;
    int satellitesInView = 0;
    std::map<int, int> snr;  // PRN -> SNR

    void parseGSVString(const std::vector<std::string>& fields);
};

// The four sentence types read. The talker (two letters after '$') says which constellation a
// sentence speaks for; "GN" is the combined solution of a multi-constellation receiver.
enum class SentenceType { RMC, GGA, GSA, GSV };
struct Sentence {
    std::string talker;
    SentenceType type = SentenceType::RMC;
};

// The sentences of one receiver epoch, keyed by the time of the sentence that opened it.
struct TagSet {
    uint32_t time = traces::kNmeaNoTime;

    // GGA part
    uint32_t ggaLine = 0;
    uint32_t ggaTime = traces::kNmeaNoTime;
    double hdop = traces::kNmeaNoHdop;

    // GSA part
    uint32_t gsaLine = 0;
    std::vector<int> prns;
    int snrSum = 0;
    int snrCount = 0;

    // RMC part
    uint32_t rmcLine = 0;
    uint32_t rmcTime = traces::kNmeaNoTime;
    uint32_t date = traces::kNmeaNoTime;
    bool valid = false;
    double lat = traces::kNmeaNoCoordinate;
    double lon = traces::kNmeaNoCoordinate;
    double speed = traces::kNmeaNoSpeed;
    double course = traces::kNmeaNoCourse;

    TagSet() = default;
    explicit TagSet(uint32_t key) : time(key) {}

    void setRMC(const RMCTag& rmc);
    void setGGA(const GGATag& gga);
    void setGSA(const GSATag& gsa);

    bool rmcComplete() const;
    bool ggaComplete() const;
    bool gsaPresent() const { return !prns.empty() || snrSum != 0; }
};

class NMEALoader {
public:
    std::string filename;
    std::vector<TagSet> tagSets;
    std::map<int, int> satelliteSnr;  // latest SNR per PRN seen in any GSV of the file
    Route route;

    explicit NMEALoader(const std::string& filename);
    // Messages about the file go to `log` instead of standard output (matching threads keep them apart).
    NMEALoader(const std::string& filename, std::ostream& log);

    void loadfile();
    const Route& getRoute() const { return route; }

    void updateSatSnr(const GSVTag& gsv);
    static double convertKnotsToMetersPerSecond(double v);
    // NMEA ddmm.mmmm / dddmm.mmmm (sign already applied) to decimal degrees.
    static double convertDegrees(double v);

    // Splits a sentence at commas; an empty piece after a final comma is dropped.
    static std::vector<std::string> splitFields(const std::string& line);
    // The talker and type of a sentence name such as "$GNRMC"; nothing for other sentences and for
    // proprietary ones ("$P..."), whose names may look alike ("$PGRMC").
    static std::optional<Sentence> sentenceOf(const std::string& name);
    // The key of a satellite in satelliteSnr. GPS, SBAS and GLONASS PRNs do not overlap and keep
    // their number; Galileo, BeiDou, QZSS and NavIC reuse small numbers and get a range of their own.
    static int satelliteKey(int system, int prn);
    // The GNSS system (NMEA 4.10 system ids; 0 for the GPS-numbered ones) a talker stands for.
    static int systemOfTalker(const std::string& talker);

    // Whether the file held at least one accepted sentence of each kind.
    bool rmcSeen = false;
    bool ggaSeen = false;
    bool gsaSeen = false;
    bool gsvSeen = false;

private:
    std::ostream* log = &std::cout;

    // Talker of the GSA that filled the newest epoch, empty while it has none.
    std::string epochGsaTalker;

    void handleSentence(const Sentence& sentence, const std::vector<std::string>& fields, uint32_t line);
    void handleRMC(const RMCTag& rmc);
    void handleGGA(const GGATag& gga);
    void handleGSA(GSATag gsa, const std::string& talker);
    void handleGSV(const GSVTag& gsv, const std::string& talker);
    // Starts a new epoch when the newest one has another time.
    TagSet& epochFor(uint32_t time);
    void buildPoints();
};
