#include "map/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

using mapRepresentation::AtomicFile;

namespace {

std::atomic<bool> unnamedAllowed{true};

// Marks our temporary files: "<file>.tmp-karvel-<pid>-<hex>".
constexpr const char* kTempMark = ".tmp-karvel-";
// Symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinkHops = 40;

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names, its symbolic links followed (it need not exist).
std::string followLinks(std::string path) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string to(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), to.data(), to.size());
        if (n <= 0 || static_cast<size_t>(n) >= to.size()) return path;
        to.resize(static_cast<size_t>(n));
        path = to.front() == '/' ? to : folderOf(path) + "/" + to;
    }
    return path;
}

std::string tempName(const std::string& file) {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char hex[32];
    std::snprintf(hex, sizeof hex, "%x%04x", static_cast<unsigned>(now & 0xfffffff), counter++ & 0xffff);
    return file + kTempMark + std::to_string(::getpid()) + "-" + hex;
}

// The process id in a name of ours, or 0.
pid_t ownerOf(const char* name) {
    const char* mark = std::strstr(name, kTempMark);
    if (mark == nullptr) return 0;
    char* end = nullptr;
    const long pid = std::strtol(mark + std::strlen(kTempMark), &end, 10);
    return pid > 0 && *end == '-' ? static_cast<pid_t>(pid) : 0;
}

// Removes the temporary files that runs killed in this folder left behind; once per folder and process.
void removeStaleTemporaries(const std::string& dir) {
    static std::mutex lock;
    static std::set<std::string> done;
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (!done.insert(dir).second) return;
    }
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        const pid_t pid = ownerOf(e->d_name);
        if (pid == 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH) ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

}  // namespace

void AtomicFile::allowUnnamedTemporaries(bool allowed) {
    unnamedAllowed = allowed;
}

AtomicFile::AtomicFile(const std::string& targetPath, bool named)
    : target(targetPath), resolved(followLinks(targetPath)) {
    struct stat st {};
    if (::stat(resolved.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return;
    }
    const std::string dir = folderOf(resolved);
    removeStaleTemporaries(dir);
    if (!(unnamedAllowed && !named && openUnnamed(dir))) openNamed();
}

AtomicFile::~AtomicFile() {
    if (out.is_open()) out.close();
    if (fd >= 0) ::close(fd);
    if (!committed && !temp.empty()) ::unlink(temp.c_str());
}

// A file without a name in `dir`; the stream writes to it through its /proc entry.
bool AtomicFile::openUnnamed(const std::string& dir) {
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    out.open("/proc/self/fd/" + std::to_string(fd), std::ios::out | std::ios::trunc | std::ios::binary);
    if (out.is_open()) {
        unnamed = true;
        return true;
    }
    ::close(fd);
    fd = -1;
    return false;
}

bool AtomicFile::openNamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = tempName(resolved);
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) break;
        temp = name;
        out.open(temp, std::ios::out | std::ios::trunc | std::ios::binary);
        if (out.is_open()) return true;
        break;
    }
    why = std::strerror(errno);
    return false;
}

// The new file takes the owner, group and mode of the one it replaces.
bool AtomicFile::keepOwnerAndMode() {
    struct stat st {};
    if (::stat(resolved.c_str(), &st) != 0) return true;  // a new file: the umask decided its mode
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // Not ours to give away; the mode below still keeps out whom the old file kept out.
    }
    return ::fchmod(fd, st.st_mode & 07777) == 0;
}

bool AtomicFile::putInPlace() {
    if (unnamed) {
        // A name for the rename; only a kill in the next two calls can leave it behind.
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        for (int attempt = 0; attempt < 100 && temp.empty(); ++attempt) {
            const std::string name = tempName(resolved);
            if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                temp = name;
            else if (errno != EEXIST)
                return false;
        }
        if (temp.empty()) return false;
    }
    if (std::rename(temp.c_str(), resolved.c_str()) != 0) return false;
    // The rename itself reaches the disk with the folder.
    const int dirFd = ::open(folderOf(resolved).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool AtomicFile::commit() {
    if (!out.is_open() || committed) return false;
    out.flush();
    const bool written = out.good();
    out.close();
    bool ok = written && !out.fail();
    if (ok && ::fsync(fd) != 0) ok = false;
    if (ok && !keepOwnerAndMode()) ok = false;
    if (ok && !putInPlace()) ok = false;
    if (!ok) {
        why = std::strerror(errno);
        return false;
    }
    committed = true;
    return true;
}
