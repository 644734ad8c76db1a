#include "map/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

using mapRepresentation::FileLock;

namespace {

constexpr std::chrono::seconds kDefaultWait{120};
constexpr std::chrono::milliseconds kPollInterval{50};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

FileLock::FileLock(const std::string& path, std::chrono::milliseconds wait, IfMissing ifMissing) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!tryOnce(path, deadline, ifMissing)) {
        // Replaced again and again while we waited: as good as held by others.
        if (std::chrono::steady_clock::now() >= deadline) {
            current = State::Busy;
            why = "locked by another program";
            return;
        }
    }
}

FileLock::~FileLock() {
    release();
}

void FileLock::release() {
    if (fd >= 0) ::close(fd);  // closing drops the lock
    fd = -1;
    if (held()) current = State::Missing;
}

bool FileLock::waitFor(std::chrono::steady_clock::time_point deadline) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EWOULDBLOCK) {
            release();
            current = State::Unsupported;
            why = std::strerror(err);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            release();
            current = State::Busy;
            why = "locked by another program";
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

bool FileLock::tryFolder(const std::string& path, std::chrono::steady_clock::time_point deadline) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        current = State::Missing;
        why = std::strerror(errno);
        return true;
    }
    if (!waitFor(deadline)) return true;
    // Created by the program that held the folder before us: lock the file itself instead.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) {
        release();
        return false;
    }
    current = State::Creating;
    why.clear();
    return true;
}

bool FileLock::tryOnce(const std::string& path, std::chrono::steady_clock::time_point deadline,
                       IfMissing ifMissing) {
    // Non-blocking, so that a FIFO in the file's place does not hang the open.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT && ifMissing == IfMissing::LockFolder) return tryFolder(path, deadline);
        current = errno == ENOENT ? State::Missing : State::CannotOpen;
        why = std::strerror(errno);
        return true;
    }
    struct stat locked {};
    if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
        release();
        current = State::NotRegular;
        why = "not a regular file";
        return true;
    }
    if (!waitFor(deadline)) return true;
    // The holder may have replaced the file before letting go: then the lock guards nothing.
    struct stat now {};
    if (::stat(path.c_str(), &now) == 0 && sameFile(now, locked)) {
        current = State::Locked;
        why.clear();
        return true;
    }
    release();
    return false;
}

std::optional<std::string> FileLock::waitSettingProblem() {
    const char* text = std::getenv("KARVEL_LOCK_WAIT");
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end != text && *end == '\0' && seconds >= 0 && seconds <= 86400) return std::nullopt;
    return "KARVEL_LOCK_WAIT is not a number of seconds from 0 to 86400 (\"" + std::string(text) + "\")";
}

std::chrono::milliseconds FileLock::defaultWait() {
    const char* text = std::getenv("KARVEL_LOCK_WAIT");
    if (text == nullptr || *text == '\0' || waitSettingProblem()) return kDefaultWait;
    return std::chrono::milliseconds(static_cast<long long>(std::strtod(text, nullptr) * 1000));
}

namespace mapRepresentation {

std::string lockMapForWriting(const std::string& path, std::unique_ptr<FileLock>& lock, bool reading) {
    if (const std::optional<std::string> problem = FileLock::waitSettingProblem()) return *problem;
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    lock = std::make_unique<FileLock>(path, FileLock::defaultWait(), FileLock::IfMissing::LockFolder);
    switch (lock->state()) {
        case FileLock::State::Busy:
            return "the map " + path + " is locked by another program";
        case FileLock::State::CannotOpen:
        case FileLock::State::NotRegular:
            if (!reading) break;
            return "cannot read the map " + path + ": " + lock->error();
        case FileLock::State::Locked:
        case FileLock::State::Creating:
        case FileLock::State::Missing:  // no folder to lock: the save will say why it cannot write
        case FileLock::State::Unsupported:
            break;
    }
    return "";
}

}  // namespace mapRepresentation
