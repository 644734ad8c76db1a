// Writing a file so that it replaces the previous version only when complete.
#pragma once

#include <fstream>
#include <string>

namespace mapRepresentation {

// Writes to a temporary file in the target's folder; commit() flushes it to disk and renames it over
// the target. If commit() is not reached or fails, the target keeps its previous contents, so an
// interrupted or failed write never leaves a truncated file behind.
//
// The temporary file is unnamed where the file system allows it (it vanishes with the process,
// even one killed by a signal) and gets a name only for the final rename. Elsewhere it is named
// "<target>.tmp-<pid>-<random>", and the first AtomicFile of a later run in that folder removes
// such files whose process is gone.
//
// A target that is a symbolic link stays one: the file it points to is replaced. A replaced file
// keeps its mode, and its owner and group where the process may set them; a new file gets the mode
// the umask allows (0666 & ~umask). A target that exists but is not a regular file (a device, a
// FIFO, a folder) is refused: isOpen() is false and error() says why.
class AtomicFile {
public:
    // `named`: a named temporary file even where an unnamed one could be made.
    explicit AtomicFile(const std::string& target, bool named = false);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the temporary file could not be created or the target may not be replaced.
    bool isOpen() const { return out.is_open(); }
    std::ofstream& stream() { return out; }
    // Flushes, syncs and renames; false (target untouched) when any step failed.
    bool commit();
    const std::string& targetPath() const { return target; }
    // The named temporary file (see `named`), for a library that writes a file only by its name
    // (SQLite, which resolves an unnamed file's /proc entry to a name that does not exist). Write
    // through one of them at a time.
    const std::string& temporaryName() const { return temp; }
    // Why the file is not open or the commit failed; empty otherwise.
    const std::string& error() const { return why; }

    // Switches the unnamed temporary files off (or on again), so that tests can reach the named
    // fallback on any file system.
    static void allowUnnamedTemporaries(bool allowed);

private:
    std::string target;
    std::string resolved;  // the file actually replaced: target with its symbolic links followed
    std::string temp;      // the named temporary file, if any
    int fd = -1;           // the temporary file, open for writing
    bool unnamed = false;
    std::ofstream out;
    bool committed = false;
    std::string why;

    bool openUnnamed(const std::string& dir);
    bool openNamed();
    bool keepOwnerAndMode();
    bool putInPlace();
};

}  // namespace mapRepresentation
