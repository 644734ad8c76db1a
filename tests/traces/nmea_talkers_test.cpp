// Logs of multi-constellation receivers: every talker's RMC, GGA, GSA and GSV read like $GP ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "support/test_support.h"
#include "traces/NMEALoader.h"

namespace {

using karvel_test::TempDir;

// One GPS-only epoch per second with satellites 5 and 7 in view and used.
std::string gpsLog(int epochs) {
    std::string out;
    for (int i = 0; i < epochs; ++i) {
        const std::string t = "12000" + std::to_string(i) + ".00";
        out += "$GPGSV,1,1,02,05,40,083,40,07,20,100,30*75\n";
        out += "$GPRMC," + t + ",A,4807.0" + std::to_string(i) + ",N,01131.000,E,022.4,084.4,030308,,*6A\n";
        out += "$GPGGA," + t + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n";
        out += "$GPGSA,A,3,05,07,,,,,,,,,,,2.3,1.3,1.9*3D\n";
    }
    return out;
}

std::string withTalker(std::string log, const std::string& talker) {
    return std::regex_replace(log, std::regex("\\$GP"), "$" + talker);
}

struct Load {
    std::string messages;
    NMEALoader loader;
    Load(const TempDir& dir, const std::string& content) : loader(read(dir / "t.txt", content, messages)) {}
    static NMEALoader read(const std::string& path, const std::string& content, std::string& messages) {
        karvel_test::writeFile(path, content);
        std::ostringstream log;
        NMEALoader l(path, log);
        messages = log.str();
        messages.erase(0, messages.find('\n') + 1);  // the "loading nmea file" line
        return l;
    }
    const std::vector<_node>& nodes() const { return loader.route.nodes; }
};

class NmeaTalker : public testing::TestWithParam<const char*> {};

TEST_P(NmeaTalker, ReadsLikeGps) {
    TempDir dir;
    const Load gps(dir, gpsLog(3));
    const Load other(dir, withTalker(gpsLog(3), GetParam()));
    ASSERT_EQ(other.nodes().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const _node &a = gps.nodes()[i], &b = other.nodes()[i];
        EXPECT_EQ(a.arrivalTime, b.arrivalTime);
        EXPECT_EQ(a.position.lat, b.position.lat);
        EXPECT_EQ(a.hdop, b.hdop);
        EXPECT_EQ(a.averageSnr, b.averageSnr);
    }
    EXPECT_EQ(gps.nodes()[1].averageSnr, 35.0);
}

INSTANTIATE_TEST_SUITE_P(Talkers, NmeaTalker,
                         testing::Values("GN", "GL", "GA", "GB", "BD", "GQ", "QZ", "GI", "IN"));

TEST(NmeaTalkers, OnlyTheFourSentenceTypesOfATalker) {
    using Type = SentenceType;
    const auto type = [](const char* name) {
        const auto s = NMEALoader::sentenceOf(name);
        return s ? static_cast<int>(s->type) : -1;
    };
    EXPECT_EQ(type("$GNRMC"), static_cast<int>(Type::RMC));
    EXPECT_EQ(type("$BDGSV"), static_cast<int>(Type::GSV));
    EXPECT_EQ(NMEALoader::sentenceOf("$GAGSA")->talker, "GA");
    // Proprietary sentences look alike but are not NMEA's ($PGRMC is Garmin's configuration).
    for (const char* name : {"$PGRMC", "$GPRMB", "$gprmc", "!AIVDM", "$GPRMCX", "$GP", "GPRMC,", "$G1GGA"})
        EXPECT_EQ(type(name), -1) << name;
}

TEST(NmeaTalkers, ConstellationsAddUpAndTheFirstGsaOfAnEpochStands) {
    TempDir dir;
    // Galileo reuses PRN 5 of GPS with another SNR; NMEA 4.10 names the system at the end of GSA.
    const std::string sky =
        "$GPGSV,1,1,02,05,40,083,40,07,20,100,30,1*75\n"
        "$GLGSV,1,1,01,65,53,144,20,1*7A\n"
        "$GAGSV,1,1,01,05,10,100,10,7*75\n";
    const Load l(dir, sky + "$GNRMC,120000.00,A,4807.038,N,01131.000,E,0.0,,030308,,,A*07\n" +
                          "$GNGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n" +
                          "$GNGSA,A,3,05,07,,,,,,,,,,,1.0,0.6,0.8,1*03\n" +
                          "$GNGSA,A,3,65,,,,,,,,,,,,1.0,0.6,0.8,2*0C\n" +
                          "$GNGSA,A,3,05,,,,,,,,,,,,1.0,0.6,0.8,3*0C\n");
    ASSERT_EQ(l.nodes().size(), 1u);
    EXPECT_EQ(l.nodes()[0].averageSnr, 35.0);  // GPS 5 and 7, not Galileo's 5
    EXPECT_EQ(l.loader.satelliteSnr.size(), 4u);
    EXPECT_EQ(l.loader.satelliteSnr.at(65), 20);
    EXPECT_EQ(l.loader.tagSets[0].gsaLine, 6u);

    // The Galileo GSA alone finds Galileo's satellite 5.
    const Load ga(dir, sky + "$GARMC,120000.00,A,4807.038,N,01131.000,E,0.0,,030308,,,A*07\n" +
                           "$GAGSA,A,3,05,,,,,,,,,,,,1.0,0.6,0.8*0C\n");
    EXPECT_EQ(ga.nodes().at(0).averageSnr, 10.0);

    // Plain GPS logs keep their rule: the latest GSA of an epoch replaces the one before.
    const Load gp(dir,
                  sky + "$GPRMC,120000.00,A,4807.038,N,01131.000,E,0.0,,030308,,,A*07\n" +
                      "$GPGSA,A,3,05,07,,,,,,,,,,,1.0,0.6,0.8*03\n$GPGSA,A,3,05,,,,,,,,,,,,1.0,0.6,0.8*03\n");
    EXPECT_EQ(gp.nodes().at(0).averageSnr, 40.0);
}

TEST(NmeaTalkers, ChecksumInPlaceOfTheSnrMeansNoSignal) {
    TempDir dir;
    const Load l(dir,
                 "$GPGSV,1,1,02,05,40,083,40,07,20,100,30*75\n"
                 "$GPGSV,1,1,02,05,40,083,,07,20,100,*4A\n");  // 5: empty, kept as before; 7: 0
    EXPECT_EQ(l.loader.satelliteSnr, (std::map<int, int>{{5, 40}, {7, 0}}));
}

TEST(NmeaTalkers, RmcAndGgaOnAlternateSecondsKeepTheFixes) {
    TempDir dir;
    const std::string rmc = ",A,4807.038,N,01131.000,E,5.2,77.3,160906,15.8,W*60\n";
    const std::string gga = ",4807.038,N,01131.000,E,2,10,0.9,267.9,M,,,,*13\n";
    const Load l(dir, "$INRMC,194101" + rmc + "$INGGA,194102" + gga + "$INRMC,194103" + rmc);
    EXPECT_EQ(l.nodes().size(), 2u);
    EXPECT_EQ(l.messages,
              "TagSet incomplete[1]: time 194102000\n\trmc[4294967295]: 0[0]\n\tgga[194102000]: 1[2]\n\tgsa: "
              "0[0]\n");
}

// ---------------------------------------------------------------------------------------------
// Real receiver captures

// Valid fixes of a log as hhmmss, found without the loader: RMC sentences of any talker with
// status A, a position and a date.
std::set<long> validFixTimes(const std::string& path) {
    std::set<long> times;
    std::ifstream in(path, std::ios::binary);
    const std::regex rmc(R"(^\$[A-OQ-Z][A-Z]RMC,(\d{6})[^,]*,A,[^,]+,[NS],[^,]+,[EW],[^,]*,[^,]*,\d{6},.*)");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::regex_match(line, m, rmc)) times.insert(std::stol(m[1]));
    }
    return times;
}

long hhmmss(uint32_t secondsOfDay) {
    return secondsOfDay / 3600 * 10000 + secondsOfDay / 60 % 60 * 100 + secondsOfDay % 60;
}

TEST(NmeaTalkers, EveryGpsdCaptureLoadsItsFixes) {
    KARVEL_REQUIRE_SHARED(dir, "gpsd-nmea-regress/logs");
    setenv("TZ", "UTC", 1);
    tzset();
    size_t logsWithFixes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::set<long> fixes = validFixTimes(entry.path().string());
        std::ostringstream log;
        const NMEALoader l(entry.path().string(), log);
        std::set<long> accounted;
        for (const _node& n : l.route.nodes) {
            if (!n.valid) continue;
            accounted.insert(hhmmss(n.arrivalTime % 86400));
            EXPECT_TRUE(fixes.count(hhmmss(n.arrivalTime % 86400))) << n.arrivalTime;
        }
        EXPECT_EQ(accounted.empty(), fixes.empty());
        // A fix that did not become a point was reported with its epoch, never dropped silently.
        const std::regex reported(R"(\trmc\[(\d+)\]: 1\[)");
        const std::string messages = log.str();
        for (std::sregex_iterator it(messages.begin(), messages.end(), reported), end; it != end; ++it)
            accounted.insert(std::stol((*it)[1]) / 1000);
        for (long t : fixes) EXPECT_TRUE(accounted.count(t)) << "fix at " << t;
        logsWithFixes += fixes.empty() ? 0 : 1;
    }
    EXPECT_GE(logsWithFixes, 30u);
}

}  // namespace
