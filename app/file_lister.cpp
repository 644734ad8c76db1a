#include "app/file_lister.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "traces/route.h"

using matchApp::ListingRules;
using matchApp::TraceListing;

namespace {

// Lists the entries of folder whose name ends in one of the extensions; false when the folder
// cannot be opened.
bool listEntries(const std::string& folder, const std::vector<std::string>& extensions, bool anyCase,
                 std::vector<std::string>& result, int& error) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        error = errno;
        return false;
    }
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';

    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        const char* dot = std::strrchr(name, '.');
        if (dot == nullptr) continue;
        // The entry type is deliberately not checked here: only the name decides.
        for (const std::string& extension : extensions)
            if (anyCase ? strcasecmp(dot, extension.c_str()) == 0 : dot == extension) {
                result.push_back(prefix + name);
                break;
            }
    }
    closedir(dir);
    return true;
}

std::string escapeLineBreaks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// Files that would be one trace (a.txt and a.gpx are both trace "a": their reports, documents and
// exports would overwrite or mix with each other) are all moved to the skipped ones, each naming the
// others.
void skipNameClashes(TraceListing& listing) {
    std::map<std::string, std::vector<std::string>> byName;
    for (const std::string& path : listing.files) {
        Route named;
        named.setOriginalFilename(path, true);
        byName[named.name].push_back(path);
    }
    std::vector<std::string> kept;
    for (const std::string& path : listing.files) {
        Route named;
        named.setOriginalFilename(path, true);
        const std::vector<std::string>& same = byName[named.name];
        if (same.size() == 1) {
            kept.push_back(path);
            continue;
        }
        std::string others;
        for (const std::string& other : same)
            if (other != path) others += (others.empty() ? "" : ", ") + other;
        listing.skipped.push_back(path + ": the same trace name \"" + named.name + "\" as " + others);
    }
    listing.files = std::move(kept);
}

}  // namespace

std::vector<std::string> getFiles(const std::string& folder) {
    std::vector<std::string> result;
    int error = 0;
    listEntries(folder, {".txt"}, false, result, error);
    return result;
}

TraceListing matchApp::listTraceFiles(const std::string& folder, const std::vector<std::string>& extensions,
                                      const ListingRules& rules) {
    TraceListing listing;
    std::vector<std::string> entries;
    int error = 0;
    listing.opened = listEntries(folder, extensions, rules.anyCase, entries, error);
    if (!listing.opened) {
        listing.error = std::strerror(error);
        if (error == ENOTDIR) listing.error = "not a folder";
        return listing;
    }
    for (const std::string& path : entries) {
        struct stat st {};
        if (path.find_first_of("\n\r") != std::string::npos)
            listing.skipped.push_back(escapeLineBreaks(path) + ": a line break in the name");
        else if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            listing.skipped.push_back(path + ": not a regular file");
        else
            listing.files.push_back(path);
    }
    if (rules.oneFilePerName) skipNameClashes(listing);
    return listing;
}
