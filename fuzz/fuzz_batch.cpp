// Fuzz target: the whole batch run (karvel -M) in a working folder made from the input: the part
// before the first line "#TRACE" is data/map.txt, the rest is the one trace data/nmea/trace.txt.
// The run must finish with exit status 1 exactly when the map was not read completely or the trace
// gives no point, and the match document it writes must be complete.
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "app/Main.h"
#include "app/batch.h"
#include "fuzz/fuzz_support.h"
#include "map/maps.h"

namespace {

constexpr std::string_view kSeparator = "#TRACE\n";

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    karvel_fuzz::quietConsole();
    // The runs work in the scratch folder: corpus and artifact paths given relative to where the
    // fuzzer was started must still name the same places.
    karvel_fuzz::absolutePathArguments(*argc, *argv);
    const std::string& dir = karvel_fuzz::scratchDir();
    std::filesystem::create_directories(dir + "/data/nmea");
    if (chdir(dir.c_str()) != 0) karvel_fuzz::fail("cannot enter " + dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find(kSeparator);
    const std::string_view mapText = input.substr(0, cut);
    const std::string_view traceText =
        cut == std::string_view::npos ? std::string_view() : input.substr(cut + kSeparator.size());

    std::error_code ec;
    std::filesystem::remove("data/match_ostrand_trace.kml", ec);
    karvel_fuzz::writeFile("data/map.txt", mapText);
    karvel_fuzz::writeFile("data/nmea/trace.txt", traceText);

    char arg0[] = "karvel";
    char argM[] = "-M";
    char* argv[] = {arg0, argM, nullptr};
    const int status = matchApp::karvelMain(2, argv);
    std::ostringstream notes;
    const bool noPoint = matchApp::loadNmeaRoute("data/nmea/trace.txt", notes).nodes.empty();
    if (status != (m.hadLoadError() || noPoint ? 1 : 0))
        karvel_fuzz::fail("exit status " + std::to_string(status) +
                          " does not tell whether the map and the trace were read");

    const std::string kml = karvel_fuzz::readFile("data/match_ostrand_trace.kml");
    if (!endsWith(kml, "</Document>\n</kml>\n")) karvel_fuzz::fail("match document missing or incomplete");
    return 0;
}
