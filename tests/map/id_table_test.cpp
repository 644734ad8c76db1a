// The map's id tables against std::map / std::set on random operations: same lookups, same
// ascending iteration both ways, and references that survive later inserts and unrelated erases.
#include "map/id_table.h"

#include <gtest/gtest.h>

#include <iterator>
#include <list>
#include <map>
#include <random>
#include <set>
#include <vector>

using mapRepresentation::IdTable;
using mapRepresentation::LinkChain;
using mapRepresentation::SortedIdSet;

namespace {

// Keys clustered in a few ranges far apart, so that pages and blocks are created, left empty and
// released, and iteration has to cross the gaps between them (negative keys included when signed).
template <typename Key>
Key randomKey(std::mt19937& rng) {
    static const std::vector<int64_t> bases = {0, 1000, 70000, 1 << 20, 2147480000, -2147483648LL, -300};
    int64_t base = bases[rng() % bases.size()];
    if (std::is_unsigned_v<Key> && base < 0) base = 4294960000LL;
    return static_cast<Key>(base + static_cast<int64_t>(rng() % 600));
}

template <typename Key>
void checkSame(const IdTable<Key, int>& table, const std::map<Key, int>& oracle) {
    ASSERT_EQ(table.size(), oracle.size());
    ASSERT_TRUE(std::equal(table.begin(), table.end(), oracle.begin(), oracle.end()));
    ASSERT_TRUE(std::equal(table.rbegin(), table.rend(), oracle.rbegin(), oracle.rend()));
}

// The key an iterator of a table stands at, or -1 at its end.
template <typename It, typename Table>
int64_t keyAt(It it, const Table& table) {
    return it == table.end() ? -1 : int64_t{it->first};
}

template <typename Key>
void runAgainstOracle(uint32_t seed) {
    std::mt19937 rng(seed);
    IdTable<Key, int> table;
    std::map<Key, int> oracle;
    std::map<Key, const int*> held;  // addresses taken earlier must keep pointing at their entry
    for (int step = 0; step < 4000; ++step) {
        const Key k = randomKey<Key>(rng);
        const int v = static_cast<int>(rng() % 1000);
        switch (rng() % 6) {
            case 0:
            case 1:
                ASSERT_EQ(table.try_emplace(k, v).second, oracle.try_emplace(k, v).second);
                held[k] = &table.at(k);
                break;
            case 2:
                ASSERT_EQ(table.erase(k), oracle.erase(k));
                held.erase(k);
                break;
            case 3: {  // erase through the iterator found by lower_bound, as loops over a table do
                const auto it = table.lower_bound(k);
                const auto ot = oracle.lower_bound(k);
                ASSERT_EQ(keyAt(it, table), keyAt(ot, oracle));
                if (ot == oracle.end()) break;
                held.erase(ot->first);
                ASSERT_EQ(keyAt(table.erase(it), table), keyAt(oracle.erase(ot), oracle));
                break;
            }
            case 4:
                table[k] += v;
                oracle[k] += v;
                held[k] = &table.at(k);
                break;
            default: {
                const auto it = table.find(k);
                ASSERT_EQ(it == table.end() ? -1 : it->second, oracle.count(k) == 1 ? oracle.at(k) : -1);
                ASSERT_EQ(keyAt(table.upper_bound(k), table), keyAt(oracle.upper_bound(k), oracle));
            }
        }
        if (step % 500 == 0) checkSame(table, oracle);
    }
    checkSame(table, oracle);
    for (const auto& [k, p] : held) ASSERT_EQ(p, &table.at(k)) << "entry " << k << " moved";
    const IdTable<Key, int> copy = table;  // copies are deep and ordered alike
    IdTable<Key, int> moved = std::move(table);
    checkSame(copy, oracle);
    checkSame(moved, oracle);
    EXPECT_TRUE(table.empty() && table.begin() == table.end());  // NOLINT: a moved-from table is empty
    EXPECT_THROW((void)copy.at(Key{500000}), std::out_of_range);
}

TEST(IdTable, MatchesStdMapOnRandomOperations) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        runAgainstOracle<uint32_t>(seed);
        runAgainstOracle<int32_t>(seed);
    }
}

TEST(SortedIdSet, MatchesStdSetOnRandomOperations) {
    std::mt19937 rng(7);
    SortedIdSet<int32_t> set;
    std::set<int32_t> oracle;
    for (int step = 0; step < 3000; ++step) {
        const int32_t id = static_cast<int32_t>(rng() % 40) - 5;
        if (rng() % 3 == 0)
            ASSERT_EQ(set.erase(id), oracle.erase(id));
        else
            ASSERT_EQ(set.insert(id).second, oracle.insert(id).second);
        ASSERT_EQ(set.count(id), oracle.count(id));
        ASSERT_TRUE(std::equal(set.begin(), set.end(), oracle.begin(), oracle.end()));
        if (step % 100 == 0) {  // copies and moves, from inline and from grown storage alike
            SortedIdSet<int32_t> copy = set;
            const SortedIdSet<int32_t> moved = std::move(copy);
            ASSERT_TRUE(moved == set && copy.empty());  // NOLINT: a moved-from set is empty
            copy = moved;
            ASSERT_TRUE(copy == set);
        }
    }
}

// Two chains against two std::lists: links moved between them and round inside one, as the
// super-link upkeep cuts, joins and re-anchors chains; short chains stay inline, long ones grow.
TEST(LinkChain, MatchesStdListOnRandomOperations) {
    std::mt19937 rng(11);
    LinkChain chains[2];
    std::list<int32_t> oracles[2];
    const auto offset = [&](size_t size) { return static_cast<long>(rng() % (size + 1)); };
    const auto in = [](auto& list, long at) { return std::next(list.begin(), at); };
    for (int step = 0; step < 6000; ++step) {
        const int a = static_cast<int>(rng() % 2);
        const size_t size = oracles[a].size();
        const long at = offset(size), first = offset(size);
        const long last = first + offset(size - static_cast<size_t>(first));
        // The same operation on chain a (and b, the other one) and on its list; what each gives back.
        const auto both = [&](auto op) {
            return std::pair(op(chains[a], chains[1 - a]), op(oracles[a], oracles[1 - a]));
        };
        switch (rng() % 5) {
            case 0: {  // the returned position is where the upkeep goes on renumbering
                const int32_t id = static_cast<int32_t>(rng() % 1000);
                const auto [chain, list] =
                    both([&](auto& x, auto&) { return std::distance(x.begin(), x.insert(in(x, at), id)); });
                ASSERT_EQ(chain, list);
                break;
            }
            case 1:
                if (at < static_cast<long>(size)) both([&](auto& x, auto&) { return x.erase(in(x, at)), 0; });
                break;
            case 2:  // the whole of the other chain moves in
                both([&](auto& x, auto& other) { return x.splice(in(x, at), other), 0; });
                break;
            case 3: {  // a range moves within the chain, to a position outside it
                const long to = first > 0 && rng() % 2 ? static_cast<long>(rng() % static_cast<size_t>(first))
                                                       : last + offset(size - static_cast<size_t>(last));
                both([&](auto& x, auto&) { return x.splice(in(x, to), x, in(x, first), in(x, last)), 0; });
                break;
            }
            default:  // a range moves out into the other chain; long chains are emptied
                both([&](auto& x, auto& other) {
                    other.splice(other.end(), x, in(x, first), in(x, last));
                    if (other.size() > 12) other.clear();
                    return 0;
                });
        }
        for (int c = 0; c < 2; ++c)
            ASSERT_TRUE(std::equal(chains[c].begin(), chains[c].end(), oracles[c].begin(), oracles[c].end()))
                << "step " << step;
        LinkChain copy = chains[a];  // copies and moves, from inline and from grown storage alike
        const LinkChain moved = std::move(copy);
        ASSERT_TRUE(moved == chains[a] && copy.empty());  // NOLINT: a moved-from chain is empty
    }
}

}  // namespace
