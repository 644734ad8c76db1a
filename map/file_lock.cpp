#include "map/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr std::chrono::seconds kDefaultWait{120};
constexpr std::chrono::milliseconds kPollInterval{50};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

FileLock::FileLock(const std::string& path, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!tryOnce(path, deadline)) {
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
    if (current == State::Locked) current = State::Missing;
}

bool FileLock::tryOnce(const std::string& path, std::chrono::steady_clock::time_point deadline) {
    // Non-blocking, so that a FIFO in the file's place does not hang the open.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
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
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR) continue;
        if (err != EWOULDBLOCK) {
            release();
            current = State::Unsupported;
            why = std::strerror(err);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            release();
            current = State::Busy;
            why = "locked by another program";
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
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

std::chrono::milliseconds FileLock::defaultWait() {
    const char* text = std::getenv("KARVEL_LOCK_WAIT");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const double seconds = std::strtod(text, &end);
        if (*end == '\0' && seconds >= 0 && seconds <= 86400)
            return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    }
    return kDefaultWait;
}
