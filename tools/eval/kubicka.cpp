#include "tools/eval/kubicka.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "geometry/geometry.h"
#include "geometry/plane_frame.h"
#include "map/atomic_file.h"
#include "map/file_lock.h"
#include "tools/sim/nmea_sentences.h"
#include "tools/sim/simulator.h"

using mapRepresentation::AtomicFile;
using mapRepresentation::FileLock;

namespace matchEval {

namespace fs = std::filesystem;

namespace {

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

// Reads a file of lines holding `width` numbers each (blank lines are skipped).
bool readColumns(const std::string& path, int width, std::vector<std::vector<double>>& rows,
                 std::string& error) {
    std::ifstream in(path);
    if (!in) return fail(error, "cannot read " + path);
    std::string line;
    long long lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        const char* p = line.c_str();
        std::vector<double> row;
        while (true) {
            while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
            if (*p == '\0') break;
            char* end = nullptr;
            const double v = std::strtod(p, &end);
            if (end == p || !std::isfinite(v))
                return fail(error, path + ":" + std::to_string(lineNumber) + ": not a number");
            row.push_back(v);
            p = end;
        }
        if (row.empty()) continue;
        if (static_cast<int>(row.size()) != width)
            return fail(error, path + ":" + std::to_string(lineNumber) + ": expected " +
                                   std::to_string(width) + " numbers");
        rows.push_back(std::move(row));
    }
    return true;
}

bool isIndex(double v, size_t count) {
    return v >= 0 && v == std::floor(v) && v < static_cast<double>(count);
}

double arcLength(const std::pair<double, double>& a, const std::pair<double, double>& b) {
    return geo::groundDistance(_position{a.second, a.first}, _position{b.second, b.first});
}

std::string fixed9(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.9f", v);
    return buf;
}

}  // namespace

bool loadKubickaTrack(const std::string& dir, KubickaTrack& track, std::string& error) {
    track = KubickaTrack{};
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return fail(error, dir + " is not a folder");
    std::vector<std::string> stems;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path().extension() == ".track") stems.push_back(entry.path().stem().string());
    if (stems.size() == 1)
        track.name = stems.front();
    else
        track.name = fs::path(dir).lexically_normal().filename().string();
    if (track.name.empty() || track.name == ".")
        track.name = fs::path(dir).lexically_normal().parent_path().filename().string();
    const fs::path base = fs::path(dir) / track.name;

    std::vector<std::vector<double>> rows;
    if (!readColumns(base.string() + ".nodes", 2, rows, error)) return false;
    for (const auto& r : rows) {
        if (std::fabs(r[0]) > 180.0 || std::fabs(r[1]) > 90.0)
            return fail(error, base.string() + ".nodes: position out of range");
        track.nodes.emplace_back(r[0], r[1]);
    }
    rows.clear();
    if (!readColumns(base.string() + ".arcs", 2, rows, error)) return false;
    for (const auto& r : rows) {
        if (!isIndex(r[0], track.nodes.size()) || !isIndex(r[1], track.nodes.size()))
            return fail(error, base.string() + ".arcs: an arc names a node that does not exist");
        track.arcs.emplace_back(static_cast<uint32_t>(r[0]), static_cast<uint32_t>(r[1]));
    }
    if (track.arcs.size() >= static_cast<size_t>(LinkGraph::kMaxLinkId))
        return fail(error, base.string() + ".arcs: too many arcs");
    rows.clear();
    if (!readColumns(base.string() + ".track", 3, rows, error)) return false;
    for (const auto& r : rows) {
        if (std::fabs(r[0]) > 180.0 || std::fabs(r[1]) > 90.0 || r[2] < 0)
            return fail(error, base.string() + ".track: position or time out of range");
        track.track.push_back(KubickaFix{r[0], r[1], r[2]});
    }
    rows.clear();
    if (!readColumns(base.string() + ".route", 1, rows, error)) return false;
    for (const auto& r : rows) {
        if (!isIndex(r[0], track.arcs.size()))
            return fail(error, base.string() + ".route: an arc id that does not exist");
        track.route.push_back(static_cast<int>(r[0]));
    }
    return true;
}

LinkGraph kubickaGraph(const KubickaTrack& track) {
    LinkGraph g;
    for (size_t i = 0; i < track.arcs.size(); ++i) {
        const auto& [from, to] = track.arcs[i];
        // The map refuses a link from a node to itself (its id is still used up); so does this graph.
        if (from == to) continue;
        g.addLink(static_cast<int>(i) + 1, from + 1, to + 1, arcLength(track.nodes[from], track.nodes[to]));
    }
    return g;
}

traceSim::GroundTruth kubickaTruth(const KubickaTrack& track) {
    traceSim::GroundTruth t;
    t.name = track.name;
    t.points = static_cast<int>(track.track.size());
    for (int arc : track.route) t.route.push_back(arc + 1);
    return t;
}

std::string kubickaNmea(const KubickaTrack& track) {
    const traceSim::NmeaDate date;
    std::string out;
    const size_t n = track.track.size();
    for (size_t i = 0; i < n; ++i) {
        const KubickaFix& f = track.track[i];
        traceSim::Epoch e;
        e.seconds = f.t;
        e.lat = f.lat;
        e.lon = f.lon;
        // Speed and course over the move to the next fix (from the previous one for the last fix).
        if (n > 1) {
            const KubickaFix& a = i + 1 < n ? track.track[i] : track.track[i - 1];
            const KubickaFix& b = i + 1 < n ? track.track[i + 1] : track.track[i];
            double perLat = 0.0, perLon = 0.0;
            traceSim::metresPerDegree(a.lat, perLat, perLon);
            const double dx = (b.lon - a.lon) * perLon, dy = (b.lat - a.lat) * perLat;
            const double dt = b.t - a.t;
            e.speed = dt > 0 ? std::hypot(dx, dy) / dt : 0.0;
            e.course = (dx != 0.0 || dy != 0.0) ? std::atan2(dx, dy) * 180.0 / std::numbers::pi : 0.0;
        }
        out += traceSim::nmeaEpoch(date, e);
    }
    return out;
}

std::string kubickaMapFile(const KubickaTrack& track) {
    std::string out = std::to_string(track.nodes.size()) + "\n";
    for (size_t i = 0; i < track.nodes.size(); ++i)
        out += std::to_string(i + 1) + "  " + fixed9(track.nodes[i].first) + "  " +
               fixed9(track.nodes[i].second) + " 0.000000000 0.000000000\n";
    out += std::to_string(track.arcs.size()) + "\n";
    for (const auto& [from, to] : track.arcs)
        out += std::to_string(from + 1) + "  " + std::to_string(to + 1) + " 0.000000000 0\n";
    return out;
}

bool prepareKubickaWorkdir(const KubickaTrack& track, const std::string& workDir, std::string& error) {
    const fs::path data = fs::path(workDir) / "data";
    std::error_code ec;
    fs::create_directories(data / "nmea", ec);
    if (!ec) fs::create_directories(data / "truth", ec);
    if (ec) return fail(error, "cannot create the folders under " + data.string());
    auto write = [&](const fs::path& path, const std::string& content) {
        AtomicFile out(path.string());
        out.stream() << content;
        if (!out.commit()) return fail(error, "cannot write " + path.string());
        return true;
    };
    const std::string mapFile = (data / "map.txt").string();
    std::unique_ptr<FileLock> lock;
    if (const std::string problem = mapRepresentation::lockMapForWriting(mapFile, lock, false);
        !problem.empty())
        return fail(error, problem);
    if (!write(mapFile, kubickaMapFile(track))) return false;
    if (!write(data / "nmea" / (track.name + ".txt"), kubickaNmea(track))) return false;
    return traceSim::saveGroundTruth((data / "truth" / (track.name + ".truth")).string(), kubickaTruth(track),
                                     error);
}

}  // namespace matchEval
