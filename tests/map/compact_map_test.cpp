// The compact read-only map: it answers as the map it was built from, a file of it is used only for
// the very text it was made from, and a cut, damaged or forged file is refused whatever its bytes.
#include "map/compact_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
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
    const auto text = karvel_test::readFile(path);
    const auto* data = reinterpret_cast<const std::byte*>(text.data());
    return {data, data + text.size()};
}

// `bytes` in the file at `path` (sealed first, when asked: checksums made to fit), opened.
std::optional<CompactMap> opened(const std::string& path, std::vector<std::byte> bytes, bool sealed = false) {
    if (sealed) CompactMap::seal(bytes);
    karvel_test::writeFile(path, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    std::string why;
    return CompactMap::open(path, why);
}

struct Saved {
    TempDir dir;
    std::string map = dir / "map.txt";
    std::string compact = CompactMap::pathBeside(map);
    Saved() {
        karvel_test::writeFile(map, kMapText);
        // A minute old, so that a form made now trusts the text's time.
        fs::last_write_time(map, fs::file_time_type::clock::now() - std::chrono::seconds(60));
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
        EXPECT_EQ(std::tuple(c->latitude, c->longitude, c->easting, c->northing),
                  std::tuple(n.latitude, n.longitude, n.easting, n.northing));
    }
    for (const auto& [id, l] : text.links) {
        const CompactLink* c = built.findLink(id);
        ASSERT_NE(c, nullptr) << id;
        EXPECT_EQ(std::tuple(built.originId(*c), built.destinationId(*c), c->length),
                  std::tuple(l.origin, l.destination, l.length));
    }
    EXPECT_TRUE(!built.findNode(8) && !built.findLink(6) && !built.findLink(0));
    // Node 7 (dense 1) leaves by links 2 (to 3) and 3 (to 9); the street 3-7 is each other's way back.
    const auto out = built.linksFrom(1);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(
        std::tuple(built.link(out[0]).id, built.link(out[1]).id, built.link(0).mirror, built.link(2).mirror),
        std::tuple(2, 3, 1u, CompactLink::kNoLink));
    // The saved file holds the same bytes.
    std::string why;
    ASSERT_TRUE(built.save(s.compact, why)) << why;
    EXPECT_TRUE(std::ranges::equal(bytesOf(s.compact), built.bytes()));

    // The link graph over the form (a view, for a country) answers as the one built from the map.
    using mapRepresentation::LinkGraph;
    const LinkGraph fromText = LinkGraph::fromMap(text), view = LinkGraph::fromMap(built);
    EXPECT_EQ(view.size(), fromText.size());
    for (int a = -1; a <= static_cast<int>(fromText.size()) + 1; ++a) {
        EXPECT_EQ(view.has(a), fromText.has(a)) << a;
        EXPECT_EQ(view.length(a), fromText.length(a)) << a;
        for (int b = -1; b <= static_cast<int>(fromText.size()) + 1; ++b) {
            EXPECT_EQ(view.isConnected(a, b), fromText.isConnected(a, b)) << a << " " << b;
            EXPECT_EQ(view.linksBetween(a, b), fromText.linksBetween(a, b)) << a << " " << b;
        }
    }
    EXPECT_EQ(view.link(3)->destination, fromText.link(3)->destination);
    EXPECT_FALSE(LinkGraph(view).addLink(99, 1, 2, 10.0));
}

TEST(CompactMap, FileBesideIsMadeOnceAndServesOnlyItsOwnText) {
    Saved s;
    // Whether the file beside served the map, and where its link 5 ends (0: it has none).
    const auto served = [](const std::string& map) {
        const auto loaded = loadReadOnlyMap(map);
        const auto five = mapRepresentation::LinkGraph::fromMap(*loaded.map).link(5);
        return std::pair(loaded.fromFile, five ? five->destination : 0u);
    };
    EXPECT_EQ(served(s.map), std::pair(false, 7u));
    ASSERT_TRUE(fs::exists(s.compact));
    EXPECT_EQ(served(s.map), std::pair(true, 7u));

    // Copied without its time: the contents still match, so the file serves it.
    const std::string copy = s.dir / "copy.txt";
    fs::copy_file(s.map, copy);
    fs::copy_file(s.compact, CompactMap::pathBeside(copy));
    EXPECT_EQ(served(copy), std::pair(true, 7u));

    // Edited in place to the same size: the time has moved, and the contents differ.
    std::string edited = kMapText;
    edited.replace(edited.find("20 7 0 0"), 8, "20 9 0 0");
    karvel_test::writeFile(s.map, edited);
    EXPECT_EQ(served(s.map), std::pair(false, 9u));
    EXPECT_EQ(served(s.map), std::pair(true, 9u));

    // Edited again within the same tick of the clock (its time given back): a form made this close
    // to the text's time trusts only the checksum.
    const auto tick = fs::last_write_time(s.map);
    karvel_test::writeFile(s.map, kMapText);
    fs::last_write_time(s.map, tick);
    EXPECT_EQ(served(s.map), std::pair(false, 7u));

    // A changed size; then a map that is another map altogether (the file beside is foreign).
    karvel_test::writeFile(s.map, std::string(kMapText) + "\n");
    EXPECT_EQ(served(s.map), std::pair(false, 7u));
    fs::copy_file(s.compact, CompactMap::pathBeside(copy), fs::copy_options::overwrite_existing);
    karvel_test::writeFile(copy, "2\n1 -8.6 41.15 0 0\n2 -8.601 41.15 0 0\n1\n1 2 0 0\n");
    EXPECT_EQ(served(copy), std::pair(false, 0u));
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
// when its slice is first checked, and is never served. A file whose checksums were made to fit, but
// whose indices point outside their arrays or whose ordered arrays are out of order, is refused by
// the check of the slice before any lookup could read outside the mapping.
TEST(CompactMap, CutDamagedOrForgedFilesAreRefusedOrReported) {
    Saved s;
    const CompactMap built = CompactMap::build(Map(s.map));
    const std::vector<std::byte> good(built.bytes().begin(), built.bytes().end());
    for (const size_t size : {size_t{0}, size_t{1}, size_t{200}, size_t{512}, good.size() / 2,
                              good.size() - 1, good.size() + 64}) {
        std::vector<std::byte> cut = good;
        cut.resize(size);
        EXPECT_FALSE(opened(s.compact, cut)) << "cut or padded to " << size;
    }
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
        const auto m = opened(s.compact, damaged);
        if (!m) continue;
        EXPECT_GE(at, 512u) << "a damaged header opened";
        EXPECT_TRUE(m->checkAll().find("is damaged") != std::string::npos || answersAsBuilt(*m))
            << "byte " << at;
    }

    const auto offsetOf = [&](const void* p) {
        return static_cast<size_t>(static_cast<const std::byte*>(p) - built.bytes().data());
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
    for (const Forgery& f : forgeries) {
        std::vector<std::byte> forged = good;
        std::memcpy(forged.data() + f.at, &f.value, sizeof f.value);
        const auto m = opened(s.compact, forged, true);
        EXPECT_TRUE(!m || m->checkAll() != "") << f.what;
    }
    // The same bytes sealed unchanged are accepted: the forgery is what is refused.
    const auto unchanged = opened(s.compact, good, true);
    ASSERT_TRUE(unchanged);
    EXPECT_EQ(unchanged->checkAll(), "");
}

// A country's file is checked a slice at a time, as queries reach it: damage where a query goes ends
// the query; damage elsewhere leaves what the queries reach served.
TEST(CompactMap, DamageIsFoundInTheSliceAQueryReaches) {
    Saved s;
    constexpr int kNodes = 3000;  // a road long enough for its nodes to fill many slices
    karvel_test::writeFile(s.map, karvel_test::roadMap(41.0, -8.6, 41.0, -8.3, kNodes, true));
    const CompactMap sound = CompactMap::build(Map(s.map));
    const std::vector<std::byte> good(sound.bytes().begin(), sound.bytes().end());
    const auto offsetOfNode = [&](uint32_t i) {
        return static_cast<size_t>(reinterpret_cast<const std::byte*>(&sound.node(i)) - sound.bytes().data());
    };
    const size_t first = offsetOfNode(0), last = offsetOfNode(kNodes - 1);
    const ThrowOnDamage throwing;
    for (const size_t at : {last, first}) {
        std::vector<std::byte> damaged = good;
        damaged[at + 3] ^= std::byte{0x10};
        const auto m = opened(s.compact, damaged);  // the open reads no slice
        ASSERT_TRUE(m);
        const mapRepresentation::RoadGraph graph(*m);
        std::vector<mapRepresentation::RoadGraph::Near> near;
        const auto queryAtStart = [&] {
            graph.nearLinks(m->toPlane(41.0, -8.6), 30, 4, near);
            return m->node(graph.link(near.at(0).link).origin).latitude;
        };
        // Damage at the far end leaves the start served; damage at the start ends the query there.
        std::string what;
        try {
            EXPECT_EQ(queryAtStart(), 41.0);
        } catch (const Damaged& e) {
            what = e.what();
        }
        EXPECT_EQ(what.find("slice 1 of its nodes are damaged); delete it") != std::string::npos, at == first)
            << what;
        if (at == last) {
            EXPECT_THROW(m->node(kNodes - 1), Damaged);
        }
        EXPECT_NE(m->checkAll().find("is damaged"), std::string::npos);
    }
}

}  // namespace
