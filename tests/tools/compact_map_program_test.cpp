// The read-only programs on the compact map beside map.txt: the same bytes out whether they built it
// from the text or mapped it, and a damaged or stale file beside the map rebuilt rather than used.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>

#include "map/compact_map.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

namespace {

namespace fs = std::filesystem;

struct SampleRun {
    TempDir dir;
    std::string compact = dir / "data/map.txt.compact";
    SampleRun() {
        karvel_test::makeWorkFolder(dir);
        const auto sim = dir.run(
            "$S --map data/map.txt --out data/nmea --truth truth --traces 2 --seed 11 "
            "--duration 240 --period 2 --sigma 8 -q");
        EXPECT_EQ(sim.exitCode, 0) << sim.out;
    }
    // The document of one run; `fresh` removes the compact map first, so the run reads the text.
    std::string run(const std::string& args, const std::string& output, bool fresh) {
        if (fresh) fs::remove(compact);
        const auto r = runCommand(args + " -o " + output, dir.str());
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.out;
        return readFile(dir / output);
    }
};

TEST(CompactMapPrograms, SameBytesFromTextAndCompactFileAndADamagedOrStaleFileIsRebuilt) {
    SampleRun s;
    const std::string match = binaryPath("karvel-match") + " -q --jobs 1";
    ASSERT_EQ(runCommand(match + " > report.txt", s.dir.str()).exitCode, 0);
    std::string expected;
    for (const char* format : {"report", "geojson", "csv"}) {
        SCOPED_TRACE(format);
        const std::string args = match + " --format " + format;
        expected = s.run(args, std::string("text.") + format, true);
        ASSERT_TRUE(fs::exists(s.compact));
        const auto made = fs::last_write_time(s.compact);
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(s.run(args, std::string("file.") + format, false), expected);
        EXPECT_EQ(fs::last_write_time(s.compact), made);  // used, not made again
    }
    const std::string exportCsv = binaryPath("karvel-export") + " --report report.txt --map data/map.txt";
    EXPECT_EQ(s.run(exportCsv, "text.export.csv", true), s.run(exportCsv, "file.export.csv", false));
    // Cut in half: refused, the results come from the text, and a sound file replaces it.
    const std::string args = match + " --format csv";
    const auto size = fs::file_size(s.compact);
    fs::resize_file(s.compact, size / 2);
    EXPECT_EQ(s.run(args, "cut.csv", false), expected);
    EXPECT_EQ(fs::file_size(s.compact), size);
    {
        // Damage in a slice the run reaches (that of a link it matched) ends the run with an ERROR
        // that says what to do, before any result is written; deleted, the file is made again.
        const std::string sound = readFile(s.compact);
        std::string why;
        const auto map = mapRepresentation::CompactMap::open(s.compact, why);
        ASSERT_TRUE(map) << why;
        int matched = 0;
        for (const auto& row : karvel_test::csvRows(expected))
            if (matched == 0 && !row.at("link").empty()) matched = std::stoi(row.at("link"));
        const auto at = reinterpret_cast<const std::byte*>(map->findLink(matched)) - map->bytes().data();
        std::string damaged = sound;
        damaged[static_cast<size_t>(at) + offsetof(mapRepresentation::CompactLink, length)] ^= 1;
        karvel_test::writeFile(s.compact, damaged);
        const auto r = runCommand(args + " -o damaged.csv", s.dir.str());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(
            r.err.find("ERROR: the compact map data/map.txt.compact is damaged (the contents of slice "),
            std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("delete it, and the next start makes it again"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(s.dir / "damaged.csv"));
        fs::remove(s.compact);
        EXPECT_EQ(s.run(args, "remade.csv", false), expected);
        EXPECT_TRUE(fs::exists(s.compact));
    }
    // The text map changed: the old file must not answer for it.
    const std::string verbose = binaryPath("karvel-match") + " -v --jobs 1 -o v.csv --format csv";
    const auto rebuilt = runCommand(verbose, s.dir.str());
    EXPECT_EQ(rebuilt.err.find("was not used"), std::string::npos) << rebuilt.err;
    karvel_test::writeFile(s.dir / "data/map.txt", readFile(s.dir / "data/map.txt") + "\n");
    const auto after = runCommand(verbose, s.dir.str());
    EXPECT_NE(after.err.find("was made from another version of the map"), std::string::npos) << after.err;
    EXPECT_EQ(readFile(s.dir / "v.csv"), expected);
}

}  // namespace
