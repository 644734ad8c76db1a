// Writing a file so that it replaces the previous version only when complete.
#pragma once

#include <fstream>
#include <string>

// Writes to a temporary file beside the target; commit() flushes it to disk and renames it over the
// target. If commit() is not reached or fails, the temporary file is removed and the target keeps its
// previous contents, so an interrupted or failed write never leaves a truncated file behind.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the temporary file could not be created.
    bool isOpen() const { return out.is_open(); }
    std::ofstream& stream() { return out; }
    // Flushes, syncs and renames; false (target untouched) when any step failed.
    bool commit();
    const std::string& targetPath() const { return target; }

private:
    std::string target;
    std::string temp;
    std::ofstream out;
    bool committed = false;
};
