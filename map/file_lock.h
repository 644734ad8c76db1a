// An advisory lock on a file that a program reads and later writes back, so that two programs
// updating the same file take turns instead of one silently undoing the other's work.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace mapRepresentation {

// flock() on the file itself, held from construction until release() or destruction. Writers
// replace the file by renaming a new one over it (AtomicFile), so a lock won on a file that has
// meanwhile been replaced is given up and taken again on the new file. A program that may create
// the file locks its folder while the file is missing, so that two first writers take turns too.
class FileLock {
public:
    enum class State {
        Locked,       // held
        Creating,     // the file is missing and its folder is held until the file is in place
        Missing,      // the file does not exist (nothing to lose yet)
        CannotOpen,   // it exists but cannot be opened; error() says why
        NotRegular,   // a device, a FIFO, a folder...: never read or written
        Busy,         // another program held it for the whole wait
        Unsupported,  // the file system has no locks; the caller goes on without one
    };

    // What a missing file means: nothing to guard (Report: state Missing), or one about to be created
    // (LockFolder: state Creating with the folder held, or Missing when the folder is missing too).
    enum class IfMissing { Report, LockFolder };

    // Waits at most `wait` for the lock. Only a regular file (or a link to one) is locked.
    FileLock(const std::string& path, std::chrono::milliseconds wait,
             IfMissing ifMissing = IfMissing::Report);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    State state() const { return current; }
    bool held() const { return current == State::Locked || current == State::Creating; }
    const std::string& error() const { return why; }
    void release();

    // How long programs wait for the map: KARVEL_LOCK_WAIT seconds when set, else two minutes.
    static std::chrono::milliseconds defaultWait();
    // The ERROR text for a KARVEL_LOCK_WAIT that is not a number of seconds from 0 to 86400;
    // nothing when it is one or not set. A program checks it before it waits for any lock.
    static std::optional<std::string> waitSettingProblem();

private:
    int fd = -1;
    State current = State::Missing;
    std::string why;

    // One attempt on the file as it is now; true when the outcome is final.
    bool tryOnce(const std::string& path, std::chrono::steady_clock::time_point deadline,
                 IfMissing ifMissing);
    // Waits for the lock on the open fd; false (fd released, state set) when it is not won.
    bool waitFor(std::chrono::steady_clock::time_point deadline);
    // The file is missing: holds its folder; true when the outcome is final.
    bool tryFolder(const std::string& path, std::chrono::steady_clock::time_point deadline);
};

// The lock every program takes before it writes a map file: karvel writes the map back after loading
// it, so a map replaced in between would be undone. Held in `lock` until the caller lets go of it; the
// map's folder is made and locked while the file does not exist yet. With `reading` the file is read
// first and must be readable. The reason the map must not be touched, or "" when it may be written.
// A map that is only replaced need not be readable: its save says why it cannot be written.
std::string lockMapForWriting(const std::string& path, std::unique_ptr<FileLock>& lock, bool reading);

}  // namespace mapRepresentation
