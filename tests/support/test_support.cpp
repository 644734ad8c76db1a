#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace karvel_test {

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "karvel-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

WorkDir::WorkDir(bool withData) : previous(fs::current_path()) {
    if (withData) fs::create_directory(dir.path() / "data");
    fs::current_path(dir.path());
}

namespace {

// In the child: its own process group (so that a time-out kills every process of the run), the
// pipes as standard output and error, no standard input, the limits, then the shell.
[[noreturn]] void execShell(const std::string& line, const std::string& workDir, int out, int err,
                            const RunLimits& limits) {
    setpgid(0, 0);
    const int none = open("/dev/null", O_RDONLY);
    dup2(none, STDIN_FILENO);
    if (none > STDIN_FILENO) close(none);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (limits.fileSizeBytes >= 0) {
        const auto bytes = static_cast<rlim_t>(limits.fileSizeBytes);
        const rlimit size{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &size);
    }
    if (chdir(workDir.c_str()) != 0) _exit(126);
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

// Reads both pipes until they close or the deadline passes; true when the deadline passed.
bool drain(const int (&fd)[2], std::string* const (&sinks)[2],
           std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{fd[0], POLLIN, 0}, {fd[1], POLLIN, 0}};
    char buf[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                sinks[i]->append(buf, static_cast<size_t>(n));
            else
                fds[i].fd = -1;
        }
    }
    return false;
}

}  // namespace

CommandResult runCommand(const std::string& commandLine, const std::string& workDir, RunLimits limits) {
    CommandResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return result;
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) execShell(commandLine, workDir, outPipe[1], errPipe[1], limits);
    close(outPipe[1]);
    close(errPipe[1]);
    const auto deadline = started + std::chrono::ceil<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(limits.seconds));
    result.timedOut = pid > 0 && drain({outPipe[0], errPipe[0]}, {&result.out, &result.err}, deadline);
    if (result.timedOut) kill(-pid, SIGKILL);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.maxRssKb = usage.ru_maxrss;
    result.exitCode = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
    return result;
}

std::string binaryPath(const std::string& program) {
    return std::string(KARVEL_BIN_DIR) + "/" + program;
}

CommandResult runPrograms(const std::string& workDir, std::string line, RunLimits limits) {
    static const std::map<char, std::string> programs = {
        {'K', "karvel"},        {'G', "karvel-genetic"}, {'B', "karvel-mapbuild"}, {'M', "karvel-match"},
        {'E', "karvel-export"}, {'V', "karvel-eval"},    {'O', "karvel-osm2map"},  {'S', "karvel-sim"}};
    for (size_t at = line.find('$'); at != std::string::npos; at = line.find('$', at + 1)) {
        const auto program = at + 1 < line.size() ? programs.find(line[at + 1]) : programs.end();
        const bool word = at + 2 < line.size() &&
                          (std::isalnum(static_cast<unsigned char>(line[at + 2])) || line[at + 2] == '_');
        if (program != programs.end() && !word) line.replace(at, 2, binaryPath(program->second));
    }
    return runCommand(line, workDir, limits);
}

std::string sampleMap() {
    return std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt";
}

void makeWorkFolder(const TempDir& dir, const std::string& map) {
    fs::create_directories(dir / "data/nmea");
    if (map.empty())
        fs::copy_file(sampleMap(), dir / "data/map.txt");
    else
        writeFile(dir / "data/map.txt", map);
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::map<std::string, std::string>> csvRows(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::map<std::string, std::string>> rows;
    std::vector<std::string> header;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (char c : line) {
            if (c == '"')
                quoted = !quoted;
            else if (c == ',' && !quoted)
                fields.emplace_back();
            else
                fields.back() += c;
        }
        if (header.empty()) {
            header = fields;
            continue;
        }
        EXPECT_EQ(fields.size(), header.size()) << line;
        auto& row = rows.emplace_back();
        for (size_t i = 0; i < std::min(fields.size(), header.size()); ++i) row[header[i]] = fields[i];
    }
    return rows;
}

void writeFile(const std::string& path, const std::string& content) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string mapText(const std::vector<std::pair<double, double>>& nodes,
                    const std::vector<std::pair<int, int>>& links) {
    std::string text = std::to_string(nodes.size()) + "\n";
    char line[96];
    for (size_t i = 0; i < nodes.size(); ++i) {
        std::snprintf(line, sizeof line, "%zu  %.9f  %.9f 0.000000000 0.000000000\n", i + 1, nodes[i].second,
                      nodes[i].first);
        text += line;
    }
    text += std::to_string(links.size()) + "\n";
    for (const auto& [from, to] : links)
        text += std::to_string(from) + "  " + std::to_string(to) + " 10.000000000 1\n";
    return text;
}

std::string roadMap(double lat0, double lon0, double lat1, double lon1, int count, bool bothWays) {
    std::vector<std::pair<double, double>> nodes;
    std::vector<std::pair<int, int>> links;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / (count - 1);
        nodes.emplace_back(lat0 + (lat1 - lat0) * t, lon0 + (lon1 - lon0) * t);
    }
    for (int i = 1; i < count; ++i) links.emplace_back(i, i + 1);
    if (bothWays)
        for (int i = 1; i < count; ++i) links.emplace_back(i + 1, i);
    return mapText(nodes, links);
}

std::string sharedData(const std::string& rel) {
    // The build finds the folder beside a clone or two levels up from a worktree under wt/.
    const fs::path path = fs::path(KARVEL_SHARED_DATA) / rel;
    std::error_code ec;
    return fs::exists(path, ec) ? fs::weakly_canonical(path, ec).string() : "";
}

std::string testFile(const std::string& rel) {
    return (fs::path(KARVEL_TESTS_DIR) / rel).string();
}

void expectGolden(const std::string& actual, const std::string& rel) {
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) writeFile(testFile(rel), actual);
    EXPECT_EQ(actual, readFile(testFile(rel))) << rel;
}

}  // namespace karvel_test
