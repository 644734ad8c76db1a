#include <sys/stat.h>

#include <chrono>
#include <optional>

#include "map/compact_map.h"
#include "map/file_lock.h"
#include "map/maps.h"

namespace mapRepresentation {

namespace {

// The file is the one stamped: same size, time and inode.
bool unchangedSince(const std::string& path, const SourceStamp& stamp) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    return static_cast<uint64_t>(st.st_size) == stamp.size && mtime == stamp.mtimeNs &&
           static_cast<uint64_t>(st.st_ino) == stamp.inode;
}

// Saves the form beside the map unless the map changed since it was read. Programs that rewrite the
// map hold its lock, so the check and the write are not overtaken; a map held now is left alone.
std::string saveBeside(const CompactMap& map, const std::string& mapPath, bool lockHeld) {
    std::optional<FileLock> lock;
    if (!lockHeld) lock.emplace(mapPath, std::chrono::milliseconds(0));
    if (lock && lock->state() == FileLock::State::Busy) return "the map is held by another program";
    if (lock && !lock->held() && lock->state() != FileLock::State::Unsupported)
        return "the map cannot be locked";
    if (!unchangedSince(mapPath, map.source())) return "the map changed while it was read";
    std::string why;
    if (!map.save(CompactMap::pathBeside(mapPath), why)) return why;
    return "";
}

}  // namespace

ReadOnlyMap loadReadOnlyMap(const std::string& mapPath) {
    ReadOnlyMap out;
    const std::string beside = CompactMap::pathBeside(mapPath);
    std::string why;
    if (std::optional<CompactMap> cached = CompactMap::open(beside, why)) {
        if (cached->servesFile(mapPath)) {
            out.map = std::move(cached);
            out.fromFile = true;
            return out;
        }
        why = "it was made from another version of the map";
    }
    out.note = "the compact map " + beside + " was not used (" + why + ")";
    // Stamped before it is read: a text that changes meanwhile leaves a stamp that serves nothing.
    const std::optional<SourceStamp> stamp = stampFile(mapPath);
    Map text(mapPath);
    out.loadError = text.hadLoadError();
    out.map = CompactMap::build(text, stamp.value_or(SourceStamp{}));
    if (!stamp || out.loadError) return out;
    if (const std::string problem = saveBeside(*out.map, mapPath, false); !problem.empty())
        out.note += "; not saved: " + problem;
    return out;
}

bool writeCompactBeside(const std::string& mapPath, std::string& why) {
    const std::optional<SourceStamp> stamp = stampFile(mapPath);
    if (!stamp) return (why = "cannot read " + mapPath), false;
    const Map text(mapPath);
    if (text.hadLoadError()) return (why = mapPath + " was not read completely"), false;
    why = saveBeside(CompactMap::build(text, *stamp), mapPath, true);
    return why.empty();
}

}  // namespace mapRepresentation
