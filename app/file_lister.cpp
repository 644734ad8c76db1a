#include "app/file_lister.h"

#include <dirent.h>

#include <cstring>

std::vector<std::string> getFiles(const std::string& folder) {
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
        if (std::strcmp(dot, ".txt") == 0) result.push_back(prefix + name);
    }
    closedir(dir);
    return result;
}
