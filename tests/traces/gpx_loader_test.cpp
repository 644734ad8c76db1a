// The GPX loader on hand-written logs (versions, segments, times, broken files) and on the two real
// logs of the shared data; the trace-time conversions it relies on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>

#include "test_support.h"
#include "traces/GPXLoader.h"
#include "traces/NMEALoader.h"
#include "traces/input_file.h"
#include "traces/trace_loader.h"
#include "traces/trace_time.h"

using traces::kNmeaNoHdop;

namespace {

std::string gpx(const std::string& version, const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<gpx version=\"" + version +
           "\" xmlns=\"http://www.topografix.com/GPX/" + (version == "1.0" ? "1/0" : "1/1") + "\">\n" + body +
           "</gpx>\n";
}

// A track point 0.0001 degrees (11 m) north of 48 N 11 E per step, with `inner` as its children.
std::string point(int step, const std::string& inner = "") {
    return "<trkpt lat=\"" + std::to_string(48.0 + 0.0001 * step) + "\" lon=\"11\">" + inner + "</trkpt>\n";
}

std::string at(int second) {
    return "<time>2020-06-01T12:00:" + std::to_string(10 + second) + "Z</time>";
}

Route load(const karvel_test::TempDir& dir, const std::string& name, const std::string& text,
           std::string& log) {
    karvel_test::writeFile(dir / name, text);
    std::ostringstream messages;
    Route r = traces::loadRoute(dir / name, messages);
    log = messages.str();
    return r;
}

}  // namespace

TEST(GpxLoader, ReadsBothVersionsEverySegmentInOrderKeepingEqualTimesApart) {
    karvel_test::TempDir dir;
    for (const std::string version : {"1.0", "1.1"}) {
        const std::string body =
            "<trk><trkseg>" + point(0, at(0)) + point(1, at(10)) + "</trkseg><trkseg>" + point(2, at(10)) +
            "</trkseg></trk><rte><rtept lat=\"1\" lon=\"1\"/></rte>" + "<trk><trkseg>" +
            point(3, at(20) + "<speed>4.5</speed><course>270</course>") + "</trkseg></trk>";
        std::string log;
        const Route r = load(dir, "drive " + version + ".gpx", gpx(version, body), log);
        ASSERT_EQ(r.nodes.size(), 4u) << version << log;
        // Speed derived (11.1 m in 10 s) where the file has none, else the file's.
        EXPECT_EQ(
            std::tuple(log, r.name, r.nodes[2].position.lat, r.nodes[2].arrivalTime - r.nodes[1].arrivalTime,
                       traces::isoUtcText(r.nodes[3].arrivalTime), std::round(r.nodes[1].speed * 100),
                       r.nodes[3].speed, r.nodes[3].heading),
            std::tuple("", "drive " + version, 48.0002, 0u, "2020-06-01T12:00:30Z", 111.0, 4.5,
                       deg2rad(270)));
        // Only the file's are reported ones.
        EXPECT_EQ(std::tuple(r.nodes[3].reportedSpeed, r.nodes[3].reportedCourse),
                  std::tuple(4.5, deg2rad(270)));
        EXPECT_TRUE(std::isnan(r.nodes[1].reportedSpeed));
    }
    std::string log;
    const Route untimed =
        load(dir, "untimed.gpx", gpx("1.1", "<trk><trkseg>" + point(0) + point(9) + "</trkseg></trk>"), log);
    ASSERT_EQ(untimed.nodes.size(), 2u);
    // No time, no speed (not 100 m over half a second).
    EXPECT_EQ(std::tuple(untimed.nodes[1].arrivalTime, untimed.nodes[1].speed,
                         traces::isoUtcText(traces::kTraceNoTime)),
              std::tuple(traces::kTraceNoTime, 0.0, ""));
}

// Each value a track point may carry, by its rule: a fix of "none" is no valid position, a course
// is a bearing in [0, 360), a value with text after its number is not read, and a point without a
// time has no speed (nor has the first point, whose speed is its successor's).
TEST(GpxLoader, PointValuesFollowTheirRules) {
    karvel_test::TempDir dir;
    const struct {
        const char* inner;
        bool valid;
        double heading, hdop, speed;  // degrees, -, m/s
    } rows[] = {
        {"<fix>none</fix><course>360</course>", false, 0, kNmeaNoHdop, 0},
        {"<fix>3d</fix><hdop>2.5</hdop><course>180</course>", true, 180, 2.5, 0},
        {"<course>-90</course><hdop>2.5 m</hdop>", true, 270, kNmeaNoHdop, 0},
        {"<course>450</course><speed>3</speed>", true, 90, kNmeaNoHdop, 3},
    };
    for (const auto& row : rows) {
        std::string log;
        const Route r = load(dir, "values.gpx",
                             gpx("1.0", "<trk><trkseg>" + point(0, row.inner) + point(1, at(0)) +
                                            point(2, at(10)) + "</trkseg></trk>"),
                             log);
        ASSERT_EQ(r.nodes.size(), 3u) << row.inner << log;
        const _node& n = r.nodes[0];
        EXPECT_EQ(std::tuple(n.valid, std::round(rad2deg(n.heading)), n.hdop, n.speed, r.nodes[1].speed),
                  std::tuple(row.valid, row.heading, row.hdop, row.speed, 0.0))
            << row.inner;
        EXPECT_NEAR(r.nodes[2].speed, 1.11, 0.01);
    }
}

TEST(GpxLoader, BadFilesGiveOneErrorLineWithFileAndLineAndAnEmptyRoute) {
    karvel_test::TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        // name, then the text, then what follows "ERROR: <path>"
        {"broken", gpx("1.1", "<trk><trkseg>\n" + point(0) + "</trk>\n") + "|:5: broken XML: "},
        {"kml", "<?xml version=\"1.0\"?>\n\n<kml/>\n|:3: not a GPX document"},
        {"nolat", gpx("1.1", "<trk><trkseg>\n" + point(0) + "<trkpt lon=\"11\"/>\n</trkseg></trk>") +
                      "|:5: track point without a valid lat and lon"},
        {"long", gpx("1.1", "<trk><trkseg>\n" + std::string(70000, '\n') + "<trkpt/></trkseg></trk>") +
                     "|:70004: track point without a valid lat and lon"},
        {"pole", gpx("1.1", "<trk><trkseg>\n<trkpt lat=\"90.5\" lon=\"11\"/>\n</trkseg></trk>") +
                     "|:4: track point without a valid lat and lon"},
        {"time",
         gpx("1.1", "<trk><trkseg>\n<trkpt lat=\"1\" lon=\"2\">\n<time>noon</time></trkpt></trkseg></trk>") +
             "|:5: unreadable time \"noon\""},
        // File text in a message is escaped and cut: it cannot start a report line of its own.
        {"forged", gpx("1.1",
                       "<trk><trkseg><trkpt lat=\"1\" lon=\"2\"><time>x\nFinished running Ostrand.\n"
                       "\tRoute #0: sim_001 \"" +
                           std::string(100, 'y') + "</time></trkpt></trkseg></trk>") +
                       "|:3: unreadable time \"x\\nFinished running Ostrand.\\n\\tRoute #0: sim_001 "
                       "\\\"yyyyyyyyyyyyyyyy"
                       "...\"\n"},
        {"doctype",
         "<?xml version=\"1.0\"?>\n<!DOCTYPE gpx [<!ENTITY a \"aa\">]>\n<gpx/>|:2: a DOCTYPE is not "
         "accepted\n"},
        {"value", gpx("1.1", "<trk><trkseg><trkpt lat=\"1\" lon=\"2\">\n<time>" + std::string(5000, '1') +
                                 "</time></trkpt></trkseg></trk>") +
                      "|:4: <time> longer than 4096 bytes\n"},
    };
    for (const auto& [name, textAndError] : cases) {
        const size_t bar = textAndError.rfind('|');
        std::string log;
        const Route r = load(dir, name + ".gpx", textAndError.substr(0, bar), log);
        EXPECT_EQ(log.rfind("ERROR: " + (dir / (name + ".gpx")) + textAndError.substr(bar + 1), 0), 0u)
            << log;
        EXPECT_EQ(std::tuple(std::count(log.begin(), log.end(), '\n'), r.nodes.size(), r.name),
                  std::tuple(1, 0u, name));
    }
}

// Files that once cost minutes or gigabytes are refused at once, whatever their size; a FIFO or a
// missing file is no trace, in either format. Markup that only looks like a long tag (quotes in
// comments, CDATA, instructions) is read as before.
TEST(GpxLoader, HostileFilesAreRefusedInBoundedTimeAndQuotesInCommentsAreNot) {
    karvel_test::TempDir dir;
    std::string attributes = "<trk><trkseg><trkpt lat=\"1\" lon=\"2\"";
    for (int i = 0; i < 200000; ++i) attributes += " a" + std::to_string(i) + "=\"1\"";
    attributes += "/></trkseg></trk>";
    dir.write("plain.txt", gpx("1.1", "<trk><trkseg>" + point(0, at(0)) + "</trkseg></trk>"));
    ASSERT_EQ(std::system(("gzip -c " + (dir / "plain.txt") + " > " + (dir / "packed.gpx")).c_str()), 0);
    ::mkfifo((dir / "fifo.gpx").c_str(), 0644);
    ::mkfifo((dir / "fifo.txt").c_str(), 0644);
    const std::pair<std::string, std::string> cases[] = {
        {"attributes.gpx", ":3: a tag longer than 16384 bytes\n"},
        {"packed.gpx", ":1: a compressed file (unpack it first)\n"},
        {"fifo.gpx", ": cannot be read: not a regular file\n"},
        {"fifo.txt", ": cannot be read: not a regular file\n"},
        {"missing.txt", ": cannot be read: No such file or directory\n"},
    };
    dir.write("attributes.gpx", gpx("1.1", attributes));
    for (const auto& [name, error] : cases) {
        const auto started = std::chrono::steady_clock::now();
        std::ostringstream log;
        bool refused = false;
        const Route r = traces::loadRoute(dir / name, log, &refused);
        EXPECT_EQ(log.str(), "ERROR: " + (dir / name) + error);
        // Only a file that cannot be read at all fails a batch; the others are reported like broken XML.
        const bool unreadable = error.find("cannot be read") != std::string::npos;
        EXPECT_EQ(std::tuple(refused, r.nodes.size(), r.name),
                  std::tuple(unreadable, 0u, name.substr(0, name.find('.'))));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << name;
    }
    // 500 points (21 KB) after a lone quote in a comment: a reader that took it for an attribute's
    // would see one overlong tag.
    std::string points;
    for (int i = 0; i < 500; ++i) points += point(i);
    std::string log;
    const Route quoted =
        load(dir, "quoted.gpx",
             gpx("1.1", "<trk><trkseg><!-- it's a > \"test -->" + points + "<![CDATA[ <x ' ]]><?pi \" ' ?>" +
                            point(1, at(1)) + "</trkseg></trk>"),
             log);
    EXPECT_EQ(std::tuple(quoted.nodes.size(), log), std::tuple(501u, ""));
}

TEST(GpxLoader, MessageTextIsEscapedAndCut) {
    EXPECT_EQ(inputFile::printable("a\tb\\c\"d\x1b\r\n\x7f\xc3\xa9"),
              "a\\tb\\\\c\\\"d\\x1b\\r\\n\\x7f\xc3\xa9");
    EXPECT_EQ(inputFile::printable("abcdef", 3), "abc...");
    EXPECT_EQ(inputFile::printable("abc", 3), "abc");
}

TEST(TraceTime, IsoTextsAreReadAndWrittenBackInUtcWhateverTheZone) {
    const std::pair<std::string, std::string> cases[] = {
        {"2020-07-15T23:59:59.750Z", "2020-07-15T23:59:59Z"},  // summer, fraction dropped
        {"2020-07-16T01:30:00+02:00", "2020-07-15T23:30:00Z"},
        {" 2020-12-31T20:00:00-0500", "2021-01-01T01:00:00Z"},
        {"2021-02-29T00:00:00Z", ""},
        {"1969-12-31T23:59:59Z", ""},
    };
    const char* before = std::getenv("TZ");
    const std::string saved = before != nullptr ? before : "";
    for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
        setenv("TZ", tz, 1);
        tzset();
        for (const auto& [text, expected] : cases) {
            const auto t = traces::parseIsoTime(text);
            EXPECT_EQ(t ? traces::isoUtcText(*t) : "", expected) << tz << " " << text;
        }
        // The NMEA loader's convention: UTC clock fields through mktime.
        std::tm fields{};
        fields.tm_year = 120, fields.tm_mon = 6, fields.tm_mday = 15, fields.tm_hour = 12;
        EXPECT_EQ(*traces::parseIsoTime("2020-07-15T12:00:00Z"), static_cast<uint32_t>(std::mktime(&fields)))
            << tz;
    }
    before != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

// Trace times are cached a minute at a time. Monrovia left its -0:44:30 for GMT on 7 January 1972,
// so UTC clock fields read as its local time fall in a gap that ends half-way through a minute:
// every second must still be what mktime makes of it, and a new TZ must not get the old zone's minute.
TEST(TraceTime, CachedMinutesAgreeWithMktimeAcrossAZoneChangeAndAcrossZones) {
    if (access("/usr/share/zoneinfo/Africa/Monrovia", R_OK) != 0) GTEST_SKIP() << "needs the zone database";
    const char* before = std::getenv("TZ");
    const std::string saved = before != nullptr ? before : "";
    const auto fieldsOf = [](time_t t) {
        std::tm f{};
        gmtime_r(&t, &f);
        return f;
    };
    const time_t from = 63590000;  // 1972-01-06T23:53:20Z
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(traces::traceTimeFromUtc(fieldsOf(from)), static_cast<uint32_t>(from));
    setenv("TZ", "Africa/Monrovia", 1);
    tzset();
    std::set<time_t> offsets;
    for (time_t t = from; t < from + 3600; ++t) {
        std::tm f = fieldsOf(t);
        const auto traced = traces::traceTimeFromUtc(f);
        f.tm_isdst = 0;
        const time_t expected = std::mktime(&f);
        if (expected < 0) {
            ASSERT_EQ(traced, std::nullopt) << t;
            continue;
        }
        ASSERT_EQ(traced, static_cast<uint32_t>(expected)) << t;
        offsets.insert(expected - t);
        // Back to UTC by the same rule, read at the trace time.
        std::tm asLocal = fieldsOf(expected);
        asLocal.tm_isdst = 0;
        const time_t utc = 2 * expected - std::mktime(&asLocal);
        std::tm back = traces::utcFromTraceTime(*traced);
        ASSERT_EQ(timegm(&back), utc) << t;
    }
    EXPECT_EQ(offsets, (std::set<time_t>{0, 2670}));
    before != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}
