// The GPX loader on hand-written logs (versions, segments, times, broken files); the trace-time
// conversions it relies on; and the routes the loaders build: derived speeds and headings, cuts,
// reversal and names, and the frame of the map a route is matched on (unchanged inside the frame's
// zone, sane speeds and headings across a zone line).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <set>
#include <sstream>

#include "nmea_writer.h"
#include "test_support.h"
#include "traces/GPXLoader.h"
#include "traces/NMEALoader.h"
#include "traces/input_file.h"
#include "traces/route.h"
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

constexpr double kPi = std::numbers::pi;

// A point with marker values for the derived fields.
_node xy(double easting, double northing, uint32_t time) {
    return _node{time, time, {}, northing, easting, 1.25, 7.0, 0.0, 0.0, false};
}

Route routeOf(std::initializer_list<_node> points, bool derived = true) {
    Route r;
    for (const _node& n : points) r.addNode(n, derived);
    return r;
}

// (speed, heading) of every point.
std::vector<std::pair<double, double>> motion(const Route& r) {
    std::vector<std::pair<double, double>> out;
    for (const _node& n : r.nodes) out.emplace_back(n.speed, n.heading);
    return out;
}
using Motion = std::vector<std::pair<double, double>>;

Route loaded(const std::string& text) {
    karvel_test::TempDir dir;
    dir.write("t.txt", text);
    std::ostringstream log;
    return NMEALoader(dir / "t.txt", log).route;
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
        // Speed derived (11.1 m in 10 s) where the file has none, else the file's; only the file's
        // are reported ones.
        EXPECT_EQ(
            std::tuple(log, r.name, r.nodes[2].position.lat, r.nodes[2].arrivalTime - r.nodes[1].arrivalTime,
                       traces::isoUtcText(r.nodes[3].arrivalTime), std::round(r.nodes[1].speed * 100),
                       r.nodes[3].speed, r.nodes[3].heading, r.nodes[3].reportedSpeed,
                       r.nodes[3].reportedCourse, std::isnan(r.nodes[1].reportedSpeed)),
            std::tuple("", "drive " + version, 48.0002, 0u, "2020-06-01T12:00:30Z", 111.0, 4.5, deg2rad(270),
                       4.5, deg2rad(270), true));
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
    // The escaping and the cut on their own.
    EXPECT_EQ(inputFile::printable("a\tb\\c\"d\x1b\r\n\x7f\xc3\xa9"),
              "a\\tb\\\\c\\\"d\\x1b\\r\\n\\x7f\xc3\xa9");
    EXPECT_EQ(inputFile::printable("abcdef", 3), "abc...");
    EXPECT_EQ(inputFile::printable("abc", 3), "abc");
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

TEST(Route, DerivedSpeedAndHeadingOnAddAndMerge) {
    // 10 m north in 5 s (the first point borrows it), then 30 m east in 10 s.
    EXPECT_EQ(motion(routeOf({xy(0, 0, 100), xy(0, 10, 105), xy(30, 10, 115)})),
              (Motion{{2, 0}, {2, 0}, {3, kPi / 2}}));
    EXPECT_EQ(routeOf({xy(0, 0, 50), xy(3, 4, 50)}).nodes[1].speed, 10.0);  // same second: 0.5 s
    EXPECT_EQ(routeOf({xy(0, 0, 50), xy(0, 100, 49)}).nodes[1].speed, 100.0 / 4294967295.0);  // wraps
    EXPECT_TRUE(std::isnan(routeOf({xy(7, 7, 1), xy(7, 7, 2)}).nodes[1].heading));
    EXPECT_EQ(routeOf({xy(0, 0, 1), xy(0, 100, 2)}, false).nodes[1].speed, 7.0);

    // Merging recomputes only the joint; equal times there have no half-second substitute.
    const Route a = routeOf({xy(0, 0, 0), xy(0, 10, 10)}),
                b = routeOf({xy(10, 10, 20), xy(20, 10, 30)}, false);
    Route joined = a, fresh, zero = a, self = a;
    joined.merge(b, true);
    EXPECT_EQ(motion(joined), (Motion{{1, 0}, {1, 0}, {1, kPi / 2}, {7, 1.25}}));
    fresh.merge(b, true);
    EXPECT_EQ(motion(fresh), motion(b));
    zero.merge(routeOf({xy(0, 20, 10)}, false), true);
    EXPECT_TRUE(std::isinf(zero.nodes[2].speed));
    self.merge(self, true);
    ASSERT_EQ(self.nodes.size(), 4u);
    EXPECT_EQ(self.nodes[3].northing, 10.0);
}

TEST(Route, CutsReversalLengthAndNames) {
    Route r;
    for (uint32_t i = 0; i < 5; ++i) r.addNode(xy(0, i * 10.0, i), true);
    r.setOriginalFilename("data/nmea/trip.txt", true);
    const Route one = r.subRoute(2, 2);
    ASSERT_EQ(one.nodes.size(), 1u);
    EXPECT_EQ(std::tuple(one.nodes[0].northing, one.name, one.sourceFile),
              std::tuple(20.0, "trip", "data/nmea/trip.txt"));
    for (auto [first, last] : {std::pair{3, 2}, {-1, 2}, {0, 5}})
        EXPECT_TRUE(r.subRoute(first, last).nodes.empty()) << first << ".." << last;

    // Reversed headings: west, copied to the first point; a lone point keeps its own.
    const Route rev = routeOf({xy(0, 0, 0), xy(0, 10, 10), xy(10, 10, 20)}).reversedRoute();
    EXPECT_EQ(std::tuple(rev.name, rev.nodes[0].arrivalTime, rev.nodes[0].heading, rev.nodes[2].heading),
              std::tuple("reversed_", 20u, 3 * kPi / 2, kPi));
    EXPECT_EQ(routeOf({xy(1, 2, 3)}, false).reversedRoute().nodes[0].heading, 1.25);
    EXPECT_EQ(routeOf({xy(0, 0, 0), xy(3, 4, 1), xy(3, 14, 2)}).getTotalLength(), 15.0);

    for (auto [path, name] : {std::pair{"logs/a.b.txt", "a.b"},
                              {"c:\\logs\\run.nmea", "run"},
                              {"dir.v2/trip", "trip"},
                              {"data/.hidden", ""}}) {
        r.setOriginalFilename(path, true);
        EXPECT_EQ(r.name + "|" + r.sourceFile, name + std::string("|") + path);
    }
    r.setOriginalFilename("other/file.txt", false);
    EXPECT_EQ(r.name + "|" + r.sourceFile, "|other/file.txt");
}

TEST(RouteFrame, InsideTheZoneNothingMovesAcrossItEverythingIsMeasuredAgain) {
    const Route porto = loaded(karvel_test::nmeaAlong(41.15, -8.61, 41.16, -8.60, 20));
    Route same = porto;
    traces::useFrame(same, geo::PlaneFrame::ofZone(29, false));
    ASSERT_EQ(same.nodes.size(), porto.nodes.size());
    for (size_t i = 0; i < same.nodes.size(); ++i) {
        const _node &a = same.nodes[i], &b = porto.nodes[i];
        EXPECT_TRUE(a.easting == b.easting && a.northing == b.northing && a.speed == b.speed &&
                    a.heading == b.heading && a.arrivalTime == b.arrivalTime)
            << i;
    }

    // 26 fixes a second apart over 250 m eastwards across 12 deg E: 10 m/s, heading east.
    Route across = loaded(karvel_test::nmeaAlong(48.137, 11.9983, 48.137, 12.0017, 26));
    double worst = 0;
    for (const _node& n : across.nodes) worst = std::max(worst, n.speed);
    EXPECT_GT(worst, 1000.0);  // each point in its own zone
    traces::useFrame(across, geo::PlaneFrame::ofZone(32, false));
    for (const _node& n : across.nodes) {
        EXPECT_NEAR(n.speed, 10.1, 0.3);
        EXPECT_NEAR(n.heading, std::numbers::pi / 2, 0.06);  // grid north is 2 deg off
    }
}
