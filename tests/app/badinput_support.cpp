#include "badinput_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "test_support.h"

namespace fs = std::filesystem;

namespace karvel_badinput {

KarvelRun runKarvel(const std::string& workDir, const std::vector<std::string>& args, RunLimits limits) {
    KarvelRun run;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return run;
    const std::string program = karvel_test::binaryPath("karvel");
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        if (chdir(workDir.c_str()) != 0) _exit(126);
        if (limits.fileSizeBytes >= 0) {
            const rlimit fsize{static_cast<rlim_t>(limits.fileSizeBytes),
                               static_cast<rlim_t>(limits.fileSizeBytes)};
            setrlimit(RLIMIT_FSIZE, &fsize);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return run;
    }

    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    const auto deadline = started + std::chrono::duration<double>(limits.seconds);
    char buf[65536];
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);

    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.maxRssKb = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return entries;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_directory()) {
            entries[rel] = "<dir>";
        } else {
            std::ifstream in(e.path(), std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            entries[rel] = s.str();
        }
    }
    return entries;
}

std::string startUp(const std::string& folder) {
    return "Looking for Trace Files...\n"
           "Looking for NMEA files (with .txt extension) inside folder: " +
           folder +
           "\n"
           "Loading Map...\n"
           "Trying to load map: data/map.txt\n";
}

std::string emptyRouteReport(const std::string& path, int index, const std::string& name) {
    return "loading nmea file: " + path + "\n\tRoute #" + std::to_string(index) + ": " + name +
           "\nPaths: \n\n\nUnmatched Info: \n"
           "Start node: 0 End node: -1 Last Match: -1 Next Match: -1 Last Path: -1 Next Path: -1\n";
}

bool endsNormally(const std::string& out) {
    static const std::regex tail(
        "Finished running Ostrand\\.\n\n\n\nOverall processing time: [0-9]+ sec\\.  \\(~= [0-9.e-]+ "
        "min\\.\\)\n\n\n$");
    return std::regex_search(out, tail);
}

ScopedMount ScopedMount::tmpfs(const std::string& target, long long bytes) {
    ScopedMount m;
    m.target = target;
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, options.c_str()) == 0)
        m.mounted = true;
    else
        m.why = std::strerror(errno);
    return m;
}

ScopedMount ScopedMount::readOnly(const std::string& target) {
    ScopedMount m;
    m.target = target;
    if (::mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        m.why = std::strerror(errno);
        return m;
    }
    m.mounted = true;
    if (::mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        m.why = std::strerror(errno);
        ::umount2(target.c_str(), MNT_DETACH);
        m.mounted = false;
    }
    return m;
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept
    : target(std::move(other.target)), mounted(other.mounted), why(std::move(other.why)) {
    other.mounted = false;
}

ScopedMount::~ScopedMount() {
    if (mounted) ::umount2(target.c_str(), MNT_DETACH);
}

}  // namespace karvel_badinput
