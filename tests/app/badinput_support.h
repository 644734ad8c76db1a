// Running the real karvel binary on hostile working folders, with limits on time, memory and file
// size, and checking what it leaves behind.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace karvel_badinput {

struct RunLimits {
    double seconds = 120;          // killed after this long
    long long fileSizeBytes = -1;  // RLIMIT_FSIZE for the run; -1: none
};

struct KarvelRun {
    int status = -1;  // exit status; -1 when killed by a signal or the time limit
    bool timedOut = false;
    std::string out;
    std::string err;  // sanitizer reports land here; karvel itself writes nothing to it off a terminal
    long maxRssKb = 0;
    double seconds = 0;
};

KarvelRun runKarvel(const std::string& workDir, const std::vector<std::string>& args, RunLimits limits = {});

// Every entry under `dir`: files with their contents, folders as "<dir>". Missing dir: empty.
std::map<std::string, std::string> snapshot(const std::string& dir);

// The start-up block for the given trace folder, as printed before the map is loaded.
std::string startUp(const std::string& folder);
// The block karvel prints for a trace without any usable point.
std::string emptyRouteReport(const std::string& path, int index, const std::string& name);
// Whether the output ends with the finishing line and the timing block.
bool endsNormally(const std::string& out);

// A mount for the duration of a test (tests run as root). ok() is false where mounting is not
// allowed; the destructor detaches it.
class ScopedMount {
public:
    // A tmpfs of `bytes` at `target`.
    static ScopedMount tmpfs(const std::string& target, long long bytes);
    // `target` bound onto itself read-only.
    static ScopedMount readOnly(const std::string& target);
    ScopedMount(ScopedMount&& other) noexcept;
    ScopedMount& operator=(ScopedMount&&) = delete;
    ~ScopedMount();
    bool ok() const { return mounted; }
    const std::string& error() const { return why; }

private:
    ScopedMount() = default;
    std::string target;
    bool mounted = false;
    std::string why;
};

}  // namespace karvel_badinput
