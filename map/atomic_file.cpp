#include "map/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

AtomicFile::AtomicFile(const std::string& targetPath) : target(targetPath) {
    // mkstemp gives a unique name in the target's folder, so the final rename stays on one file system.
    std::string tmpl = target + ".tmp-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) return;
    close(fd);
    temp = tmpl;
    out.open(temp, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) {
        std::remove(temp.c_str());
        temp.clear();
    }
}

AtomicFile::~AtomicFile() {
    if (out.is_open()) out.close();
    if (!committed && !temp.empty()) std::remove(temp.c_str());
}

bool AtomicFile::commit() {
    if (!out.is_open() || committed) return false;
    out.flush();
    const bool written = out.good();
    out.close();
    if (!written || out.fail()) return false;
    int fd = open(temp.c_str(), O_RDONLY);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    if (!synced) return false;
    // Keep the permissions of a file we replace, as users expect of an in-place save.
    struct stat st {};
    if (stat(target.c_str(), &st) == 0)
        chmod(temp.c_str(), st.st_mode & 07777);
    else
        chmod(temp.c_str(), 0644);
    if (std::rename(temp.c_str(), target.c_str()) != 0) return false;
    committed = true;
    return true;
}
