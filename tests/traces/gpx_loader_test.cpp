// The GPX loader on hand-written logs (versions, segments, times, speed and course, broken files)
// and on the two real logs of the shared data; the trace-time conversions it relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <sstream>

#include "test_support.h"
#include "traces/GPXLoader.h"
#include "traces/trace_loader.h"
#include "traces/trace_time.h"

namespace {

using karvel_test::TempDir;
using karvel_test::writeFile;

std::string gpx(const std::string& version, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<gpx version=\"" + version +
           "\" creator=\"test\" xmlns=\"http://www.topografix.com/GPX/" + (version == "1.0" ? "1/0" : "1/1") +
           "\">\n" + body + "</gpx>\n";
}

std::string point(double lat, double lon, const std::string& inner = "") {
    std::ostringstream s;
    s.precision(10);
    s << "<trkpt lat=\"" << lat << "\" lon=\"" << lon << "\">" << inner << "</trkpt>\n";
    return s.str();
}

std::string timed(int second) {
    return "<time>2020-06-01T12:00:" + std::string(second < 10 ? "0" : "") + std::to_string(second) +
           "Z</time>";
}

struct Loaded {
    Route route;
    std::string log;
};

Loaded load(const TempDir& dir, const std::string& name, const std::string& text) {
    writeFile(dir / name, text);
    std::ostringstream log;
    Route r = loadRoute(dir / name, log);
    return {std::move(r), log.str()};
}

// Sets TZ for the life of the object, so that the mktime convention of trace times is exercised
// in a zone with daylight saving.
class Zone {
public:
    explicit Zone(const char* tz) {
        if (const char* old = std::getenv("TZ")) previous = old, had = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had)
            setenv("TZ", previous.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string previous;
    bool had = false;
};

}  // namespace

TEST(GpxLoader, ReadsBothVersionsEverySegmentInOrderWithDerivedMotion) {
    TempDir dir;
    for (const std::string version : {"1.0", "1.1"}) {
        const std::string body = "<trk><trkseg>" + point(48.0, 11.0, timed(0)) +
                                 point(48.0001, 11.0, timed(10)) + "</trkseg><trkseg>" +
                                 point(48.0002, 11.0, timed(20)) + "</trkseg></trk>" +
                                 "<rte><rtept lat=\"1\" lon=\"1\"/></rte><trk><trkseg>" +
                                 point(48.0002, 11.0002, timed(30)) + "</trkseg></trk>\n";
        const Loaded l = load(dir, "drive " + version + ".gpx", gpx(version, body));
        EXPECT_EQ(l.log, "");
        ASSERT_EQ(l.route.nodes.size(), 4u) << version;
        EXPECT_EQ(l.route.name, "drive " + version);
        EXPECT_DOUBLE_EQ(l.route.nodes[1].position.lat, 48.0001);
        EXPECT_DOUBLE_EQ(l.route.nodes[3].position.lon, 11.0002);
        EXPECT_EQ(l.route.nodes[3].arrivalTime - l.route.nodes[0].arrivalTime, 30u);
        EXPECT_EQ(isoUtcText(l.route.nodes[0].arrivalTime), "2020-06-01T12:00:00Z");
        // 11.1 m north in 10 s, then east: derived as for an NMEA log.
        EXPECT_NEAR(l.route.nodes[1].speed, 1.11, 0.01);
        EXPECT_LT(diffRadHeading(l.route.nodes[0].heading, 0.0), 0.05);  // grid north, not true north
        EXPECT_LT(diffRadHeading(l.route.nodes[3].heading, std::numbers::pi / 2), 0.05);
        EXPECT_TRUE(l.route.nodes[0].valid);
    }
}

TEST(GpxLoader, KeepsTheFilesSpeedCourseAndFixAndEqualTimesAsSeparatePoints) {
    TempDir dir;
    const std::string body = "<trk><trkseg>" +
                             point(48.0, 11.0, timed(5) + "<course>270</course><speed>4.5</speed>") +
                             point(48.0001, 11.0, timed(5) + "<hdop>1.5</hdop><fix>none</fix>") +
                             point(48.0002, 11.0, timed(5)) + "</trkseg></trk>";
    const Loaded l = load(dir, "same.gpx", gpx("1.0", body));
    ASSERT_EQ(l.route.nodes.size(), 3u);
    EXPECT_EQ(l.route.nodes[0].arrivalTime, l.route.nodes[2].arrivalTime);
    EXPECT_DOUBLE_EQ(l.route.nodes[0].speed, 4.5);
    EXPECT_NEAR(l.route.nodes[0].heading, 1.5 * std::numbers::pi, 1e-12);
    EXPECT_LT(diffRadHeading(l.route.nodes[2].heading, 0.0), 0.05);  // derived where the file has none
    EXPECT_DOUBLE_EQ(l.route.nodes[1].hdop, 1.5);
    EXPECT_FALSE(l.route.nodes[1].valid);
}

TEST(GpxLoader, PointsWithoutTimeHaveNoTimeAndNoSpeed) {
    TempDir dir;
    const Loaded l =
        load(dir, "untimed.gpx",
             gpx("1.1", "<trk><trkseg>" + point(48.0, 11.0) + point(48.001, 11.0) + "</trkseg></trk>"));
    ASSERT_EQ(l.route.nodes.size(), 2u);
    for (const _node& n : l.route.nodes) {
        EXPECT_EQ(n.arrivalTime, kTraceNoTime);
        EXPECT_EQ(n.speed, 0.0);
        EXPECT_LT(diffRadHeading(n.heading, 0.0), 0.05);
    }
    EXPECT_EQ(isoUtcText(kTraceNoTime), "");
}

TEST(GpxLoader, BadFilesGiveOneErrorLineWithFileAndLineAndAnEmptyRoute) {
    TempDir dir;
    const std::string good = point(48.0, 11.0, timed(0));
    const struct {
        const char* name;
        std::string text;
        std::string error;  // what follows "ERROR: <path>"
    } cases[] = {
        {"broken.gpx", gpx("1.1", "<trk><trkseg>\n" + good + "</trk>\n"), ":5: broken XML: "},
        {"empty.gpx", "", ":1: broken XML: "},
        {"kml.gpx", "<?xml version=\"1.0\"?>\n\n<kml/>\n", ":3: not a GPX document"},
        {"nolat.gpx", gpx("1.1", "<trk><trkseg>\n" + good + "<trkpt lon=\"11\"/>\n</trkseg></trk>"),
         ":5: track point without a valid lat and lon"},
        {"far.gpx", gpx("1.1", "<trk><trkseg>\n" + point(91.0, 11.0) + "</trkseg></trk>"),
         ":4: track point without a valid lat and lon"},
        {"time.gpx",
         gpx("1.1",
             "<trk><trkseg>\n<trkpt lat=\"1\" lon=\"2\">\n<time>yesterday</time></trkpt></trkseg></trk>"),
         ":5: unreadable time \"yesterday\""},
    };
    for (const auto& c : cases) {
        const Loaded l = load(dir, c.name, c.text);
        const std::string expected = "ERROR: " + (dir / c.name) + c.error;
        EXPECT_EQ(l.log.rfind(expected, 0), 0u) << c.name << ": " << l.log;
        EXPECT_EQ(std::count(l.log.begin(), l.log.end(), '\n'), 1) << l.log;
        EXPECT_TRUE(l.route.nodes.empty()) << c.name;
        EXPECT_EQ(l.route.name, std::string(c.name).substr(0, std::string(c.name).size() - 4));
    }
    std::ostringstream log;
    EXPECT_TRUE(loadGpxRoute(dir / "missing.gpx", log).nodes.empty());
    EXPECT_EQ(log.str(), "ERROR: " + (dir / "missing.gpx") + ": cannot be read\n");
}

TEST(GpxLoader, RealLogsOfBothVersions) {
    KARVEL_REQUIRE_SHARED(v10, "graphhopper-osm-extracts/issue-13.gpx");
    KARVEL_REQUIRE_SHARED(v11, "graphhopper-osm-extracts/issue-70.gpx");
    std::ostringstream log;
    const Route r10 = loadRoute(v10, log);
    const Route r11 = loadRoute(v11, log);
    EXPECT_EQ(log.str(), "");
    ASSERT_EQ(r10.nodes.size(), 29u);  // all at one time, kept apart
    EXPECT_EQ(r10.nodes.front().arrivalTime, r10.nodes.back().arrivalTime);
    EXPECT_DOUBLE_EQ(r10.nodes[0].position.lat, 41.0119089);
    EXPECT_DOUBLE_EQ(r10.nodes[0].position.lon, 29.08910865);
    ASSERT_EQ(r11.nodes.size(), 17u);
    EXPECT_EQ(isoUtcText(r11.nodes.front().arrivalTime), "2010-01-01T01:00:53Z");
    EXPECT_EQ(r11.nodes.back().arrivalTime - r11.nodes.front().arrivalTime, 16u * 60u);
    EXPECT_EQ(r11.name, "issue-70");
}

TEST(TraceTime, IsoTextsAreReadAndWrittenBackInUtcWhateverTheZone) {
    const std::pair<std::string, std::string> cases[] = {
        {"2015-01-01T11:35:02Z", "2015-01-01T11:35:02Z"},
        {"2020-07-15T23:59:59.750Z", "2020-07-15T23:59:59Z"},  // summer, fraction dropped
        {"2020-07-16T01:30:00+02:00", "2020-07-15T23:30:00Z"},
        {"2020-12-31T20:00:00-0500", "2021-01-01T01:00:00Z"},
        {" 2020-02-29T00:00:00 ", "2020-02-29T00:00:00Z"},  // no zone: UTC
        {"2020-02-30T00:00:00Z", ""},
        {"2020-13-01T00:00:00Z", ""},
        {"2020-01-01 00:00:00Z", ""},
        {"2020-01-01T00:00:00Q", ""},
        {"1969-12-31T23:59:59Z", ""},
        {"", ""},
    };
    for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
        const Zone zone(tz);
        for (const auto& [text, expected] : cases) {
            const auto t = parseIsoTime(text);
            EXPECT_EQ(t ? isoUtcText(*t) : "", expected) << tz << " " << text;
        }
        // The NMEA loader's convention: UTC clock fields through mktime.
        std::tm fields{};
        fields.tm_year = 120, fields.tm_mon = 6, fields.tm_mday = 15, fields.tm_hour = 12,
        fields.tm_isdst = 0;
        EXPECT_EQ(*parseIsoTime("2020-07-15T12:00:00Z"), static_cast<uint32_t>(std::mktime(&fields))) << tz;
    }
}
