// The compact read-only map: it answers as the map it was built from, a file of it is used only for
// the very text it was made from, and a cut, damaged or forged file is refused whatever its bytes.
#include "map/compact_map.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "map/link_graph.h"
#include "map/maps.h"
#include "map/road_graph.h"
#include "test_support.h"

namespace {

using karvel_test::TempDir;
using mapRepresentation::CompactLink;
using mapRepresentation::CompactMap;
using mapRepresentation::CompactNode;
using mapRepresentation::loadReadOnlyMap;
using mapRepresentation::Map;
namespace fs = std::filesystem;

// A small junction with gaps in the ids: nodes 3, 7, 9, 20; a two-way street 3-7, one-way 7->9 and
// 9->20, and 20->7 closing a loop.
const char* kMapText =
    "4\n"
    "3 -8.600000000 41.150000000 0 0\n"
    "7 -8.599000000 41.150000000 0 0\n"
    "9 -8.599000000 41.151000000 0 0\n"
    "20 -8.598000000 41.151500000 0 0\n"
    "5\n"
    "3 7 0 0\n"
    "7 3 0 0\n"
    "7 9 0 0\n"
    "9 20 0 0\n"
    "20 7 0 0\n";

std::vector<std::byte> bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> out(raw.size());
    std::memcpy(out.data(), raw.data(), raw.size());
    return out;
}

void putBytes(const std::string& path, const std::vector<std::byte>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Sets the map file's modification time to `secondsAgo` before now, keeping its contents.
void ageFile(const std::string& path, int secondsAgo) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

struct Saved {
    TempDir dir;
    std::string map = dir / "map.txt";
    std::string compact = CompactMap::pathBeside(map);
    Saved() {
        karvel_test::writeFile(map, kMapText);
        ageFile(map, 60);
    }
};

TEST(CompactMap, AnswersAsTheMapItWasBuiltFrom) {
    Saved s;
    const Map text(s.map);
    const CompactMap built = CompactMap::build(text);
    EXPECT_EQ(built.nodeCount(), 4u);
    EXPECT_EQ(built.linkCount(), 5u);
    EXPECT_EQ(built.planeFrame(), text.planeFrame());
    for (const auto& [id, n] : text.nodes) {
        const auto* c = built.findNode(id);
        ASSERT_NE(c, nullptr) << id;
        EXPECT_EQ(c->latitude, n.latitude);
        EXPECT_EQ(c->longitude, n.longitude);
        EXPECT_EQ(c->easting, n.easting);
        EXPECT_EQ(c->northing, n.northing);
    }
    for (const auto& [id, l] : text.links) {
        const CompactLink* c = built.findLink(id);
        ASSERT_NE(c, nullptr) << id;
        EXPECT_EQ(built.originId(*c), l.origin);
        EXPECT_EQ(built.destinationId(*c), l.destination);
        EXPECT_EQ(c->length, l.length);
    }
    EXPECT_EQ(built.findNode(8), nullptr);
    EXPECT_EQ(built.findLink(6), nullptr);
    EXPECT_EQ(built.findLink(0), nullptr);
    // Node 7 (dense 1) leaves by links 2 (to 3) and 3 (to 9); the street 3-7 is each other's way back.
    const auto out = built.linksFrom(1);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(built.link(out[0]).id, 2);
    EXPECT_EQ(built.link(out[1]).id, 3);
    EXPECT_EQ(built.link(0).mirror, 1u);
    EXPECT_EQ(built.link(2).mirror, CompactLink::kNoLink);

    // The saved file holds the same bytes and gives the same nearest links.
    std::string why;
    ASSERT_TRUE(built.save(s.compact, why)) << why;
    const auto opened = CompactMap::open(s.compact, why);
    ASSERT_TRUE(opened) << why;
    EXPECT_TRUE(std::equal(opened->bytes().begin(), opened->bytes().end(), built.bytes().begin(),
                           built.bytes().end()));
    const mapRepresentation::RoadGraph fromText(text), fromFile(*opened);
    std::vector<mapRepresentation::RoadGraph::Near> a, b;
    for (int k = 0; k < 20; ++k) {
        const Point p = text.toPlane(41.1498 + 0.0001 * k, -8.6002 + 0.00013 * k);
        fromText.nearLinks(p, 80, 4, a);
        fromFile.nearLinks(p, 80, 4, b);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].link, b[i].link);
            EXPECT_EQ(a[i].distance, b[i].distance);
        }
    }
}

TEST(CompactMap, FileBesideIsMadeOnceAndServesOnlyItsOwnText) {
    Saved s;
    const auto first = loadReadOnlyMap(s.map);
    EXPECT_FALSE(first.fromFile);
    ASSERT_TRUE(fs::exists(s.compact)) << first.note;
    const auto second = loadReadOnlyMap(s.map);
    EXPECT_TRUE(second.fromFile) << second.note;
    EXPECT_EQ(second.map->linkCount(), 5u);

    // Copied without its time: the contents still match, so the file serves it.
    const std::string copy = s.dir / "copy.txt";
    fs::copy_file(s.map, copy);
    fs::copy_file(s.compact, CompactMap::pathBeside(copy));
    EXPECT_TRUE(loadReadOnlyMap(copy).fromFile);

    // Edited in place to the same size: the time has moved, and the contents differ.
    std::string edited = kMapText;
    edited.replace(edited.find("20 7 0 0"), 8, "20 9 0 0");
    karvel_test::writeFile(s.map, edited);
    const auto stale = loadReadOnlyMap(s.map);
    EXPECT_FALSE(stale.fromFile);
    EXPECT_EQ(mapRepresentation::LinkGraph::fromMap(*stale.map).link(5)->destination, 9u);
    EXPECT_TRUE(loadReadOnlyMap(s.map).fromFile);

    // Edited again within the same tick of the clock (its time given back): a form made this close
    // to the text's time trusts only the checksum.
    const auto tick = fs::last_write_time(s.map);
    karvel_test::writeFile(s.map, kMapText);
    fs::last_write_time(s.map, tick);
    const auto sameTick = loadReadOnlyMap(s.map);
    EXPECT_FALSE(sameTick.fromFile);
    EXPECT_EQ(mapRepresentation::LinkGraph::fromMap(*sameTick.map).link(5)->destination, 7u);

    // A changed size; then a map that is another map altogether (the file beside is foreign).
    karvel_test::writeFile(s.map, std::string(kMapText) + "\n");
    EXPECT_FALSE(loadReadOnlyMap(s.map).fromFile);
    fs::copy_file(s.compact, CompactMap::pathBeside(copy), fs::copy_options::overwrite_existing);
    karvel_test::writeFile(copy, "2\n1 -8.6 41.15 0 0\n2 -8.601 41.15 0 0\n1\n1 2 0 0\n");
    const auto foreign = loadReadOnlyMap(copy);
    EXPECT_FALSE(foreign.fromFile);
    EXPECT_EQ(foreign.map->linkCount(), 1u);
}

// The link graph over the form (a view, for a country) answers as the one built from the map.
TEST(CompactMap, ALinkGraphOverItAnswersAsOneBuiltFromTheMap) {
    Saved s;
    karvel_test::writeFile(s.map, karvel_test::roadMap(41.0, -8.6, 41.0, -8.59, 6, true));
    const Map text(s.map);
    using mapRepresentation::LinkGraph;
    const LinkGraph built = LinkGraph::fromMap(text);
    const CompactMap compact = CompactMap::build(text);
    const LinkGraph view = LinkGraph::fromMap(compact);
    EXPECT_EQ(view.size(), built.size());
    for (int a = -1; a <= static_cast<int>(built.size()) + 1; ++a) {
        EXPECT_EQ(view.has(a), built.has(a)) << a;
        EXPECT_EQ(view.length(a), built.length(a)) << a;
        for (int b = -1; b <= static_cast<int>(built.size()) + 1; ++b) {
            EXPECT_EQ(view.isConnected(a, b), built.isConnected(a, b)) << a << " " << b;
            EXPECT_EQ(view.linksBetween(a, b), built.linksBetween(a, b)) << a << " " << b;
        }
    }
    EXPECT_EQ(view.link(3)->destination, built.link(3)->destination);
    EXPECT_FALSE(LinkGraph(view).addLink(99, 1, 2, 10.0));
}

// Read straight from the text, the form is the very bytes of the form of the loaded map, in memory
// and in its file; a text the loader would refuse part of, or with its nodes out of order, is left to
// the loader, whose messages then come once.
TEST(CompactMap, ReadStraightFromTheTextItIsTheFormOfTheLoadedMap) {
    Saved s;
    const std::string dense =
        "4\n1 -8.6 41.15 0 0\n2 -8.599 41.15 3.5 1.2\n3 -8.599 41.151 0 0\n4 -8.598 41.1515 0 0\n"
        "6\n1 2 0 0\n2 1 12.5 3\n2 3 0 0\n3 4 0 0\n4 2 0 0\n2 3 0 0\n\n";
    const std::string acrossZones =
        "3\n1 -6.01 41.0 0 0\n2 -5.99 41.0 0 0\n5 -5.98 41.001 0 0\n2\n1 2 0 0\n2 5 0 0\n";
    const mapRepresentation::SourceStamp stamp{123, 456, 789, 0xABCDEF, 1011};
    for (const std::string& text : {std::string(kMapText), dense, acrossZones}) {
        karvel_test::writeFile(s.map, text);
        const CompactMap viaMap = CompactMap::build(Map(s.map), stamp);
        mapRepresentation::CompactBuilder builder;
        ASSERT_TRUE(builder.readText(s.map)) << text;
        const CompactMap direct = builder.inMemory(stamp);
        EXPECT_TRUE(std::ranges::equal(direct.bytes(), viaMap.bytes())) << text;
        std::string why;
        ASSERT_TRUE(builder.readText(s.map));
        ASSERT_TRUE(builder.save(s.compact, stamp, why)) << why;
        EXPECT_TRUE(std::ranges::equal(bytesOf(s.compact), viaMap.bytes())) << text;
    }
    std::string unordered = kMapText;  // nodes 3, 7, 9, 20, then 25 and 21, which no link names
    unordered.replace(0, 1, "6");
    unordered.insert(unordered.find("5\n3 7"), "25 -8.5995 41.1502 0 0\n21 -8.5996 41.1503 0 0\n");
    std::string refused = kMapText;
    refused.replace(refused.find("9 20 0 0"), 8, "9 21 0 0");
    for (const std::string& text : {unordered, refused}) {
        karvel_test::writeFile(s.map, text);
        mapRepresentation::CompactBuilder builder;
        EXPECT_FALSE(builder.readText(s.map)) << text;
        const std::string loaderSays = karvel_test::printed([&] { Map again(s.map); });
        std::optional<mapRepresentation::ReadOnlyMap> loaded;
        const std::string said = karvel_test::printed([&] { loaded = loadReadOnlyMap(s.map); });
        EXPECT_EQ(said, loaderSays);
        EXPECT_EQ(loaded->map->linkCount(), text == refused ? 4u : 5u);
        EXPECT_EQ(loaded->map->nodeId(0), 3u);
    }
}

TEST(CompactMap, WithoutAPlaceBesideTheMapItStaysInMemory) {
    Saved s;
    // A folder where the file should go: nothing can be written there, yet the map is served.
    fs::create_directory(s.compact);
    const auto loaded = loadReadOnlyMap(s.map);
    ASSERT_TRUE(loaded.map);
    EXPECT_EQ(loaded.map->linkCount(), 5u);
    EXPECT_NE(loaded.note.find("not saved"), std::string::npos) << loaded.note;
    EXPECT_TRUE(fs::is_directory(s.compact));
    // A text read only in part is never saved.
    fs::remove(s.compact);
    std::string broken = kMapText;
    broken.replace(broken.find("9 20 0 0"), 8, "9 20 x 0");
    karvel_test::writeFile(s.map, broken);
    const auto partial = loadReadOnlyMap(s.map);
    EXPECT_TRUE(partial.loadError);
    EXPECT_FALSE(fs::exists(s.compact));
}

// Damage met by a query is reported to the handler, which ends the program; in these tests it throws.
struct Damaged : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct ThrowOnDamage {
    ThrowOnDamage() {
        CompactMap::onDamage([](const std::string& message) { throw Damaged(message); });
    }
    ~ThrowOnDamage() { CompactMap::onDamage(nullptr); }
};

// A cut file or a damaged header or slice table is refused at the open; damage in a section is found
// when its slice is first checked, and is never served.
TEST(CompactMap, CutOrDamagedFilesAreRefusedOrReported) {
    Saved s;
    std::string why;
    const CompactMap built = CompactMap::build(Map(s.map));
    ASSERT_TRUE(built.save(s.compact, why)) << why;
    const std::vector<std::byte> good = bytesOf(s.compact);
    const std::string bad = s.dir / "bad.compact";
    for (size_t cut : {size_t{0}, size_t{1}, size_t{200}, size_t{512}, good.size() / 2, good.size() - 1}) {
        putBytes(bad, std::vector<std::byte>(good.begin(), good.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(CompactMap::open(bad, why)) << "cut at " << cut;
    }
    std::vector<std::byte> longer = good;
    longer.resize(good.size() + 64);
    putBytes(bad, longer);
    EXPECT_FALSE(CompactMap::open(bad, why));
    // Any flipped bit: refused, reported, or in the padding between sections that nothing reads.
    const auto answersAsBuilt = [&](const CompactMap& m) {
        for (uint32_t i = 0; i < built.nodeCount(); ++i)
            if (std::memcmp(&m.node(i), &built.node(i), sizeof(CompactNode)) != 0 ||
                !std::ranges::equal(m.linksFrom(i), built.linksFrom(i)))
                return false;
        for (uint32_t i = 0; i < built.linkCount(); ++i)
            if (std::memcmp(&m.link(i), &built.link(i), sizeof(CompactLink)) != 0) return false;
        return true;
    };
    std::mt19937 random(7);
    for (int k = 0; k < 300; ++k) {
        std::vector<std::byte> damaged = good;
        const size_t at = k < 40 ? static_cast<size_t>(k) * 5 : random() % good.size();
        damaged[at] ^= std::byte{static_cast<unsigned char>(1u << (random() % 8))};
        putBytes(bad, damaged);
        const auto opened = CompactMap::open(bad, why);
        if (!opened) continue;
        EXPECT_GE(at, 512u) << "a damaged header opened";
        const std::string problem = opened->checkAll();
        EXPECT_TRUE(problem.find("is damaged") != std::string::npos || answersAsBuilt(*opened))
            << "byte " << at;
    }
}

// A country's file is checked a slice at a time, as queries reach it: damage where a query goes ends
// the query; damage elsewhere leaves what the queries reach served.
TEST(CompactMap, DamageIsFoundInTheSliceAQueryReaches) {
    Saved s;
    constexpr int kNodes = 3000;  // a road long enough for its nodes to fill many slices
    karvel_test::writeFile(s.map, karvel_test::roadMap(41.0, -8.6, 41.0, -8.3, kNodes, true));
    std::string why;
    ASSERT_TRUE(CompactMap::build(Map(s.map)).save(s.compact, why)) << why;
    const auto sound = CompactMap::open(s.compact, why);
    ASSERT_TRUE(sound) << why;
    const auto offsetOfNode = [&](uint32_t i) {
        return static_cast<size_t>(reinterpret_cast<const std::byte*>(&sound->node(i)) -
                                   sound->bytes().data());
    };
    const size_t first = offsetOfNode(0), last = offsetOfNode(kNodes - 1);
    const std::vector<std::byte> good = bytesOf(s.compact);
    const ThrowOnDamage throwing;
    for (const size_t at : {last, first}) {
        std::vector<std::byte> damaged = good;
        damaged[at + 3] ^= std::byte{0x10};
        putBytes(s.compact, damaged);
        const auto opened = CompactMap::open(s.compact, why);  // the open reads no slice
        ASSERT_TRUE(opened) << why;
        const mapRepresentation::RoadGraph graph(*opened);
        std::vector<mapRepresentation::RoadGraph::Near> near;
        const auto queryAtStart = [&] {
            graph.nearLinks(opened->toPlane(41.0, -8.6), 30, 4, near);
            return opened->node(graph.link(near.at(0).link).origin).latitude;
        };
        if (at == last) {
            EXPECT_EQ(queryAtStart(), 41.0);
            EXPECT_THROW(opened->node(kNodes - 1), Damaged);
        } else {
            try {
                queryAtStart();
                ADD_FAILURE() << "damage served";
            } catch (const Damaged& e) {
                EXPECT_NE(std::string(e.what()).find("slice 1 of its nodes are damaged); delete it"),
                          std::string::npos)
                    << e.what();
            }
        }
        EXPECT_NE(opened->checkAll().find("is damaged"), std::string::npos);
    }
}

// A file whose checksums were made to fit, but whose indices point outside their arrays or whose
// ordered arrays are out of order: the check of the slice refuses it before any lookup could read
// outside the mapping.
TEST(CompactMap, ForgedIndicesAreRefused) {
    Saved s;
    const CompactMap built = CompactMap::build(Map(s.map));
    const auto bytes = built.bytes();
    const auto offsetOf = [&](const void* p) {
        return static_cast<size_t>(static_cast<const std::byte*>(p) - bytes.data());
    };
    const CompactLink& first = built.link(0);
    const size_t links = offsetOf(&first);
    const size_t outLinks = offsetOf(built.linksFrom(0).data());
    const size_t cellLinks = offsetOf(
        built.gridLinksAt(CompactMap::cellKey(CompactMap::cellOf(first.a.x), CompactMap::cellOf(first.a.y)))
            .data());
    const size_t nodeIds = offsetOf(&built.node(0)) - 64;  // the ids come just before the nodes
    struct Forgery {
        const char* what;
        size_t at;
        uint32_t value;
    };
    const Forgery forgeries[] = {
        {"link origin past the nodes", links + offsetof(CompactLink, origin), 4},
        {"link destination past the nodes", links + offsetof(CompactLink, destination), 99},
        {"mirror past the links", links + sizeof(CompactLink) * 2 + offsetof(CompactLink, mirror), 5},
        {"links out of id order", links + sizeof(CompactLink) + offsetof(CompactLink, id), 1},
        {"out link past the links", outLinks + 4, 5},
        {"grid link past the links", cellLinks, 77},
        {"node ids out of order", nodeIds + 4, 3},
        {"node link offsets past the links", links + 5 * sizeof(CompactLink) + 16, 6},
    };
    ASSERT_EQ(built.nodeId(0), 3u);
    std::string why;
    for (const Forgery& f : forgeries) {
        std::vector<std::byte> forged(bytes.begin(), bytes.end());
        std::memcpy(forged.data() + f.at, &f.value, sizeof f.value);
        CompactMap::seal(forged);
        putBytes(s.compact, forged);
        const auto opened = CompactMap::open(s.compact, why);
        if (opened) {
            EXPECT_NE(opened->checkAll(), "") << f.what;
        }
        // The same bytes sealed unchanged are accepted: the forgery is what is refused.
        std::vector<std::byte> same(bytes.begin(), bytes.end());
        CompactMap::seal(same);
        putBytes(s.compact, same);
        const auto accepted = CompactMap::open(s.compact, why);
        ASSERT_TRUE(accepted) << why;
        EXPECT_EQ(accepted->checkAll(), "");
    }
}

}  // namespace
