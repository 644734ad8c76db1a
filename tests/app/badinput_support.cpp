#include "badinput_support.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace karvel_badinput {

CommandResult runKarvel(const std::string& dir, std::string line, RunLimits limits) {
    for (const auto& [key, name] :
         {std::pair{"$K", "karvel"}, {"$G", "karvel-genetic"}, {"$B", "karvel-mapbuild"}})
        for (size_t at; (at = line.find(key)) != std::string::npos;)
            line.replace(at, 2, karvel_test::binaryPath(name));
    return karvel_test::runCommand(line, dir, limits);
}

void expectClean(const CommandResult& r, const std::string& dir, long maxRssMb) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.maxRssKb, maxRssMb * 1024);
    EXPECT_EQ(fs::is_directory(dir + "/data") ? tempFilesIn(dir + "/data") : 0, 0);
}

void expectWholeReport(const std::string& out, const std::string& folder) {
    const std::string startUp =
        "Looking for Trace Files...\nLooking for NMEA files (with .txt extension) inside folder: " + folder +
        "\nLoading Map...\nTrying to load map: data/map.txt\n";
    static const std::regex tail(
        "Finished running Ostrand\\.\n\n\n\nOverall processing time: [0-9]+ sec\\.  \\(~= [0-9.e-]+ "
        "min\\.\\)\n\n\n$");
    EXPECT_EQ(out.substr(0, startUp.size()), startUp);
    EXPECT_TRUE(std::regex_search(out, tail)) << out.substr(out.size() > 300 ? out.size() - 300 : 0);
}

std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return entries;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec))
        entries[fs::relative(e.path(), dir).string()] =
            e.is_directory() ? "<dir>" : karvel_test::readFile(e.path().string());
    return entries;
}

int tempFilesIn(const std::string& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir))
        n += e.path().string().find(".tmp-") != std::string::npos;
    return n;
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
