// The tools beside karvel as a user meets them: option conventions, honest exit statuses, and no
// truncated output when a write fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/nmea_writer.h"
#include "test_support.h"

namespace fs = std::filesystem;
using karvel_test::binaryPath;
using karvel_test::runCommand;
using karvel_test::TempDir;

TEST(ToolOptions, ValuesOperandsAndOneLineErrors) {
    TempDir dir;
    struct Case {
        const char* tool;
        const char* args;
        int status;
        const char* err;  // whole standard error
        const char* out;  // beginning of standard output
    };
    const Case cases[] = {
        {"karvel-sim", "--bogus=1 x", 2, "ERROR: unknown option --bogus\n", ""},
        {"karvel-eval", "-Z x", 2, "ERROR: unknown option -Z\n", ""},
        {"karvel-osm2map", "--version", 0, "", "karvel-osm2map (KARVEL) 0."},
        {"karvel-sim", "--traces=0", 2, "ERROR: --traces needs a count from 1 to 100000\n", ""},
        {"karvel-sim", "--traces", 2, "ERROR: option --traces needs a value\n", ""},
        {"karvel-sim", "--satellites=yes", 2, "ERROR: option --satellites takes no value\n", ""},
        {"karvel-sim", "stray", 2, "ERROR: unexpected argument stray\n", ""},
        {"karvel-sim", "--map=none.txt -q", 1, "", "ERROR: cannot read the map none.txt\n"},
        {"karvel-mapbuild", "-r 0 t.txt", 2, "ERROR: -r needs a distance in metres (above 0, at most 1000)\n",
         ""},
        {"karvel-mapbuild", "-a", 2, "ERROR: no trace given\n", ""},
        {"karvel-mapbuild", "-help", 0, "", "Usage: karvel-mapbuild"},
        {"karvel-eval", "--map m.txt", 2, "ERROR: --report is needed\n", ""},
        {"karvel-eval", "--help", 0, "", "Usage:\n  karvel-eval"},
        {"karvel-eval", "--report none.txt --map m.txt --truth t", 1, "",
         "ERROR: cannot read the report none.txt: No such file or directory\n"},
        {"karvel-export", "--report empty.txt --map m.txt", 1, "ERROR: the report empty.txt holds no route\n",
         ""},
        {"karvel-export", "--index i.html", 2, "ERROR: --index needs at least one page\n", ""},
        {"karvel-export", "--format report", 2,
         "ERROR: --format takes csv, geojson, html or gpkg, not report\n", ""},
        {"karvel-export", "--report r.txt --map m.txt stray", 2, "ERROR: unexpected argument stray\n", ""},
        {"karvel-export", "--index i.html --map m.txt p.html", 2, "ERROR: --index takes only the pages\n",
         ""},
        {"karvel-osm2map", "-q -- -d", 1, "", "ERROR: cannot read OpenStreetMap file -d"},
        {"karvel-osm2map", "-q", 2, "ERROR: no input file\n", ""},
        {"karvel-osm2map", "--bbox 1,2,3 x.osm", 2,
         "ERROR: --bbox needs MINLON,MINLAT,MAXLON,MAXLAT in decimal degrees\n", ""},
        {"karvel-osm2map", "-d a -o b x.osm", 2, "ERROR: -d and -o exclude each other\n", ""},
        {"karvel-osm2map", "x.osm x.osm", 2, "ERROR: more than one input file: x.osm, x.osm\n", ""},
        {"karvel-osm2map", "-q paths.osm", 1, "", "ERROR: no drivable road in paths.osm; no map written\n"},
    };
    dir.write("empty.txt", "");
    dir.write("paths.osm",
              "<osm version=\"0.6\"><node id=\"1\" lat=\"48\" lon=\"11\"/><node id=\"2\" lat=\"48\" "
              "lon=\"11.001\"/><way id=\"1\"><nd ref=\"1\"/><nd ref=\"2\"/><tag k=\"highway\" "
              "v=\"footway\"/></way></osm>");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + c.args);
        const auto r = runCommand(binaryPath(c.tool) + " " + c.args, dir.str());
        EXPECT_EQ(r.exitCode, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
    }
    EXPECT_FALSE(fs::exists(dir / "data") || fs::exists(dir / "a")) << "a failed run writes nothing";
}

// --check-options lets a batch ask a matcher about its options before it starts any run: what it
// understood, or its usual one-line refusal; nothing is read or written either way.
TEST(ToolOptions, CheckOnlyJudgesTheOptionsAndRunsNothing) {
    TempDir dir;
    const auto understood = dir.run("$M --radius=30 -q --check-options --format csv -o x.csv");
    EXPECT_EQ(std::tuple(understood.exitCode, understood.out, understood.err),
              std::tuple(0, "radius\t30\nq\t\nformat\tcsv\no\tx.csv\n", ""));
    const auto refused = dir.run("$M --check-options --radius 0");
    EXPECT_EQ(std::tuple(refused.exitCode, refused.out,
                         refused.err.rfind("ERROR: bad --radius 0 (metres, 1 to 10000)\n", 0)),
              std::tuple(2, "", 0u))
        << refused.err;
    // The hybrid's own words: every other word is ignored, as in a run.
    const auto hybrid = dir.run("$K -M --radius 0 --check-options -t logs");
    EXPECT_EQ(std::pair(hybrid.exitCode, hybrid.out), std::pair(0, std::string("t\tlogs\nM\t\n")));
    EXPECT_FALSE(fs::exists(dir / "data") || fs::exists(dir / "x.csv"));
}

// A map that fails its check and a picture that cannot be made are failures; GPX logs are read beside
// NMEA ones whatever the case of their extension, and a broken one is reported; a file that cannot
// be written is no truncated file.
TEST(ToolFailures, AMapFailingItsCheckAPictureOrAFileThatCannotBeMade) {
    TempDir dir;
    // A drive of 40 fixes, about 11 m apart, along a street of Porto.
    dir.write("logs/drive.txt", karvel_test::nmeaAlong(41.1500, -8.6100, 41.1540, -8.6100, 40));
    // A ring road with no junction on it, far from the drive.
    dir.write("ring.txt",
              "3\n1  -8.500000000  41.000000000 0 0\n2  -8.499000000  41.000000000 0 0\n"
              "3  -8.499500000  41.001000000 0 0\n3\n1  2 10.0 1\n2  3 10.0 1\n3  1 10.0 1\n");
    const auto ring = dir.run("$B -a -o ring.txt -k ring.kml logs/drive.txt");
    EXPECT_NE(ring.out.find("ERROR: Validating map.\n"), std::string::npos) << ring.out;
    EXPECT_EQ(ring.out.find("Validating map...\n"), std::string::npos) << "only errors without -v";
    EXPECT_EQ(ring.exitCode, 1);

    std::string points;
    for (int i = 0; i < 4; ++i)
        points += "<trkpt lat=\"48.001\" lon=\"" + std::to_string(11.0 + 0.0005 * i) + "\"/>";
    dir.write("logs/b.GPX", "<gpx version=\"1.1\"><trk><trkseg>" + points + "</trkseg></trk></gpx>");
    dir.write("logs/c.gpx", "<gpx><trk>");
    dir.write("file", "");
    const auto kml = dir.run("$B -r 25 -o map.txt -k file/map.kml logs");
    EXPECT_EQ(kml.exitCode, 1);
    for (const char* part :
         {"trace logs/b.GPX: 4 points", "ERROR: logs/c.gpx:1: broken XML",
          "wrote map.txt\nERROR: cannot create the KML file file/map.kml; no picture written\n"})
        EXPECT_NE(kml.out.find(part), std::string::npos) << part << kml.out;
    EXPECT_EQ(dir.read("file"), "");

    // Under a file-size limit of 0 every write to a file fails: each tool must say so, exit 1, and
    // leave no file behind, neither a truncated output nor a temporary one.
    fs::copy_file(karvel_test::sampleMap(), dir / "sample.txt");
    const std::string osm = karvel_test::testFile("tools/data/directions.osm");
    struct Case {
        const char* tool;
        std::string args;
        const char* message;
    };
    std::vector<Case> cases = {
        {"karvel-mapbuild", "-o out/map.txt -k out/map.kml logs/drive.txt", "ERROR: could not "},
        {"karvel-sim", "--map sample.txt --out out --duration 60 -q", "ERROR: cannot write out/sim_000.txt"},
        {"karvel-osm2map", "-q -o out/map.txt " + osm, "ERROR: "},
    };
    const std::string kubicka = karvel_test::sharedData("kubicka2015-mapmatching/sample/00000039");
    if (!kubicka.empty())
        cases.push_back(
            {"karvel-eval", "--prepare-kubicka " + kubicka + " --out out", "ERROR: cannot write "});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        const auto r = runCommand("ulimit -f 0; " + binaryPath(c.tool) + " " + c.args, dir.str());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        std::vector<std::string> left;
        if (fs::exists(dir / "out"))
            for (const auto& e : fs::recursive_directory_iterator(dir / "out"))
                if (e.is_regular_file()) left.push_back(e.path().string());
        EXPECT_EQ(left, std::vector<std::string>{});
        fs::remove_all(dir / "out");
    }
}
