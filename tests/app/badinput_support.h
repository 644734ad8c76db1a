// Running the real programs on hostile working folders, with limits on time and file size, and
// checking what they leave behind.
#pragma once

#include <map>
#include <string>

#include "test_support.h"

namespace karvel_badinput {

using karvel_test::CommandResult;
using karvel_test::RunLimits;

// Runs a shell line in `dir`; $K, $G and $B stand for karvel, karvel-genetic and karvel-mapbuild.
CommandResult runKarvel(const std::string& dir, std::string line, RunLimits limits = {60, -1});

// What every finished run shares: in time, nothing on standard error (sanitizers write there),
// bounded memory, and no temporary file of a save left in `dir`/data.
void expectClean(const CommandResult& r, const std::string& dir, long maxRssMb = 1024);
// The start-up block of karvel for the trace folder, then the finishing line and the timing block.
void expectWholeReport(const std::string& out, const std::string& folder);

// Every entry under `dir`: files with their contents, folders as "<dir>". Missing dir: empty.
std::map<std::string, std::string> snapshot(const std::string& dir);
// How many temporary files of a save are in `dir`.
int tempFilesIn(const std::string& dir);

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
