#include "app/file_lister.h"

#include <dirent.h>

#include <cstring>
#include <initializer_list>

namespace {

std::vector<std::string> filesWithExtensions(const std::string& folder,
                                             std::initializer_list<const char*> extensions) {
    std::vector<std::string> result;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return result;

    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';

    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        const char* dot = std::strrchr(name, '.');
        if (dot == nullptr) continue;
        // The entry type is deliberately not checked: only the name decides.
        for (const char* extension : extensions)
            if (std::strcmp(dot, extension) == 0) result.push_back(prefix + name);
    }
    closedir(dir);
    return result;
}

}  // namespace

std::vector<std::string> getFiles(const std::string& folder) {
    return filesWithExtensions(folder, {".txt"});
}

std::vector<std::string> getTraceFiles(const std::string& folder) {
    return filesWithExtensions(folder, {".txt", ".gpx"});
}
