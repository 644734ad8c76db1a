// An advisory lock on a file that a program reads and later writes back, so that two programs
// updating the same file take turns instead of one silently undoing the other's work.
#pragma once

#include <chrono>
#include <string>

// flock() on the file itself, held from construction until release() or destruction. Writers
// replace the file by renaming a new one over it (AtomicFile), so a lock won on a file that has
// meanwhile been replaced is given up and taken again on the new file.
class FileLock {
public:
    enum class State {
        Locked,       // held
        Missing,      // the file does not exist (nothing to lose yet)
        CannotOpen,   // it exists but cannot be opened; error() says why
        NotRegular,   // a device, a FIFO, a folder...: never read or written
        Busy,         // another program held it for the whole wait
        Unsupported,  // the file system has no locks; the caller goes on without one
    };

    // Waits at most `wait` for the lock. Only a regular file (or a link to one) is locked.
    FileLock(const std::string& path, std::chrono::milliseconds wait);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    State state() const { return current; }
    bool held() const { return current == State::Locked; }
    const std::string& error() const { return why; }
    void release();

    // How long programs wait for the map: KARVEL_LOCK_WAIT seconds when set, else two minutes.
    static std::chrono::milliseconds defaultWait();

private:
    int fd = -1;
    State current = State::Missing;
    std::string why;

    // One attempt on the file as it is now; true when the outcome is final.
    bool tryOnce(const std::string& path, std::chrono::steady_clock::time_point deadline);
};
