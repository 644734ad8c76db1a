#include <sys/stat.h>

#include <chrono>
#include <optional>

#include "map/compact_map.h"
#include "map/file_lock.h"
#include "map/maps.h"

using mapRepresentation::FileLock;

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

// Whether the form may be saved beside the map now: the map is unchanged since it was stamped and
// no other program holds it. Programs that rewrite the map hold its lock, so the check and the write
// are not overtaken. "" when it may; `lock` then holds the map until the form is written.
std::string maySaveBeside(const std::string& mapPath, const SourceStamp& stamp, bool lockHeld,
                          std::optional<FileLock>& lock) {
    if (!lockHeld) lock.emplace(mapPath, std::chrono::milliseconds(0));
    if (lock && lock->state() == FileLock::State::Busy) return "the map is held by another program";
    if (lock && !lock->held() && lock->state() != FileLock::State::Unsupported)
        return "the map cannot be locked";
    if (!unchangedSince(mapPath, stamp)) return "the map changed while it was read";
    return "";
}

std::string saveBeside(const CompactMap& map, const std::string& mapPath, bool lockHeld) {
    std::optional<FileLock> lock;
    if (std::string problem = maySaveBeside(mapPath, map.source(), lockHeld, lock); !problem.empty())
        return problem;
    std::string why;
    if (!map.save(CompactMap::pathBeside(mapPath), why)) return why;
    return "";
}

// The form straight from the text, written beside it and mapped from there: the text is read once,
// into the form's arrays only. False when the text is the loader's to read (see CompactBuilder);
// otherwise `out` holds the form (when asked for: null `out` leaves a written file unopened) and
// `problem` says why it is not in the file.
bool buildBeside(const std::string& mapPath, const std::optional<SourceStamp>& stamp, bool lockHeld,
                 std::optional<CompactMap>* out, std::string& problem) {
    std::optional<CompactMap> unused;
    if (out == nullptr) out = &unused;
    CompactBuilder builder;
    if (!builder.readText(mapPath)) return false;
    if (!stamp) {
        *out = builder.inMemory(SourceStamp{});
        return true;
    }
    std::optional<FileLock> lock;
    problem = maySaveBeside(mapPath, *stamp, lockHeld, lock);
    if (!problem.empty()) {
        *out = builder.inMemory(*stamp);
        return true;
    }
    const std::string beside = CompactMap::pathBeside(mapPath);
    if (builder.save(beside, *stamp, problem)) {
        if (out == &unused || (*out = CompactMap::open(beside, problem))) return true;
    }
    // Written in part or not at all (a full disk): the arrays went with the attempt, so read again.
    CompactBuilder again;
    if (!again.readText(mapPath)) return false;
    *out = again.inMemory(*stamp);
    return true;
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
    if (std::string problem; buildBeside(mapPath, stamp, false, &out.map, problem)) {
        if (!problem.empty()) out.note += "; not saved: " + problem;
        return out;
    }
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
    if (buildBeside(mapPath, stamp, true, nullptr, why)) return why.empty();
    why.clear();
    const Map text(mapPath);
    if (text.hadLoadError()) return (why = mapPath + " was not read completely"), false;
    why = saveBeside(CompactMap::build(text, *stamp), mapPath, true);
    return why.empty();
}

bool writeCompactBeside(const std::string& mapPath, std::vector<BulkNode>&& nodes,
                        std::vector<BulkLink>&& links, std::string& why) {
    const std::optional<SourceStamp> stamp = stampFile(mapPath);
    if (!stamp) return (why = "cannot read " + mapPath), false;
    std::optional<FileLock> lock;
    if (why = maySaveBeside(mapPath, *stamp, true, lock); !why.empty()) return false;
    CompactBuilder builder;
    builder.readArrays(std::move(nodes), std::move(links));
    return builder.save(CompactMap::pathBeside(mapPath), *stamp, why);
}

}  // namespace mapRepresentation
