// End-to-end runs of karvel on hand-built maps whose right answer is obvious.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::TempDir;

namespace {

// The report block of one trace whose points form one path on the given links.
std::string onePathReport(const std::string& name, const std::vector<int>& linkPerPoint) {
    std::string out =
        "loading nmea file: data/nmea/" + name + ".txt\n\tRoute #0: " + name +
        "\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: " + std::to_string(linkPerPoint.size() - 1) + " Links: ";
    for (size_t i = 0; i < linkPerPoint.size(); ++i)
        out += "(" + std::to_string(i) + ", " + std::to_string(linkPerPoint[i]) + ")  ";
    return out + "\n\n\n\nUnmatched Info: \n";
}

std::vector<int> repeated(std::vector<std::pair<int, int>> runs) {
    std::vector<int> links;
    for (const auto& [link, count] : runs) links.insert(links.end(), count, link);
    return links;
}

struct PipelineCase {
    std::string name;
    std::vector<std::pair<double, double>> nodes;  // latitude, longitude
    std::vector<std::pair<int, int>> links;
    std::vector<std::array<double, 5>> legs;  // fixes from (lat, lon) to (lat, lon), count
    std::string report;                       // of the trace, between start-up and closing lines
};

const std::pair<double, double> kA{41.15, -8.61}, kB{41.15, -8.604};

std::vector<PipelineCase> cases() {
    return {
        {"straight",
         {kA, kB},
         {{1, 2}},
         {{41.15, -8.6098, 41.15, -8.6042, 40}},
         onePathReport("straight", repeated({{1, 40}}))},
        // Matched in the direction of travel.
        {"westward",
         {kA, kB},
         {{1, 2}, {2, 1}},
         {{41.15, -8.6042, 41.15, -8.6098, 40}},
         onePathReport("westward", repeated({{2, 40}}))},
        // A -> B east, then at B north to C rather than on east to D.
        {"turn",
         {kA, {41.15, -8.6064}, {41.1527, -8.6064}, {41.15, -8.6028}},
         {{1, 2}, {2, 3}, {2, 4}},
         {{41.15, -8.6099, 41.15, -8.6065, 30}, {41.15005, -8.6064, 41.1526, -8.6064, 25}},
         onePathReport("turn", repeated({{1, 30}, {2, 25}}))},
        {"far",
         {kA, kB},
         {{1, 2}},
         {{41.16, -8.6098, 41.16, -8.6042, 12}},
         "loading nmea file: data/nmea/far.txt\n\tRoute #0: far\nPaths: \n\n\nUnmatched Info: \n"
         "Start node: 0 End node: 11 Last Match: -1 Next Match: -1 Last Path: -1 Next Path: -1\n"},
    };
}

}  // namespace

TEST(Pipeline, HandBuiltMapsGiveTheObviousMatchAndAValidDocument) {
    for (const PipelineCase& c : cases()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        karvel_test::writeFile(dir / "data/map.txt", karvel_test::mapText(c.nodes, c.links));
        std::vector<karvel_test::Fix> fixes;
        for (const auto& [lat0, lon0, lat1, lon1, count] : c.legs)
            for (const auto& f : karvel_test::fixesAlong(lat0, lon0, lat1, lon1, static_cast<int>(count)))
                fixes.push_back(f);
        karvel_test::writeFile(dir / ("data/nmea/" + c.name + ".txt"), karvel_test::nmeaLog(fixes));
        const auto r = karvel_test::runCommand(karvel_test::binaryPath("karvel") + " -M", dir.str());
        EXPECT_EQ(r.exitCode, 0);
        const size_t from = r.out.find("Ready to run Ostrand.\n\n") + 23, to = r.out.find("Finished running");
        EXPECT_EQ(r.out.substr(from, to - from), c.report);
        const std::string kml = dir / ("data/match_ostrand_" + c.name + ".kml");
        ASSERT_TRUE(std::filesystem::exists(kml));
        EXPECT_EQ(karvel_test::runCommand("xmllint --noout '" + kml + "' 2>&1").out, "");
    }
}
