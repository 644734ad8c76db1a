// The containers behind the map's tables. Ids are dense in practice (files and builders number
// from 1), so a table keyed by id is a paged array rather than a tree: a lookup is three indexed
// loads instead of a walk through a million scattered tree nodes, and the entries of neighbouring
// ids share cache lines. The interface is the part of std::map / std::set the map code uses, with
// the same results: ascending-id iteration, references that stay valid until their own entry is
// erased.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace mapRepresentation {

// The position of a key in a 32-bit slot space that keeps the keys' order (negative keys first).
inline uint32_t idSlot(uint32_t key) {
    return key;
}
inline uint32_t idSlot(int32_t key) {
    return static_cast<uint32_t>(key) ^ 0x80000000u;
}
template <typename Key>
Key idOfSlot(uint32_t slot) {
    if constexpr (std::is_signed_v<Key>)
        return static_cast<Key>(slot ^ 0x80000000u);
    else
        return static_cast<Key>(slot);
}

// The first set bit at or after `from` in a bitmap of `n` bits, or -1.
template <size_t Words>
int nextSetBit(const std::array<uint64_t, Words>& bits, unsigned from) {
    for (unsigned w = from >> 6; w < Words; ++w) {
        uint64_t word = bits[w];
        if (w == from >> 6) word &= ~uint64_t{0} << (from & 63);
        if (word != 0) return static_cast<int>(w * 64 + std::countr_zero(word));
    }
    return -1;
}
// The last set bit before `before`, or -1.
template <size_t Words>
int prevSetBit(const std::array<uint64_t, Words>& bits, unsigned before) {
    if (before == 0) return -1;
    const unsigned last = before - 1;
    for (int w = static_cast<int>(last >> 6); w >= 0; --w) {
        uint64_t word = bits[w];
        if (w == static_cast<int>(last >> 6)) word &= ~uint64_t{0} >> (63 - (last & 63));
        if (word != 0) return w * 64 + 63 - std::countl_zero(word);
    }
    return -1;
}

// A table from 32-bit ids to values. Pages of slots are allocated when the first id in their range
// arrives and released when their last entry goes, and a page's slots in chunks of sixteen, so
// scattered ids cost a chunk each, not the id range.
template <typename Key, typename Value>
class IdTable {
    static_assert(sizeof(Key) == 4, "ids are 32-bit");

public:
    using key_type = Key;
    using mapped_type = Value;
    using value_type = std::pair<const Key, Value>;
    using size_type = std::size_t;

private:
    static constexpr uint64_t kEnd = uint64_t{1} << 32;  // one past the last slot
    static constexpr unsigned kPageBits = 8;
    static constexpr unsigned kPageSlots = 1u << kPageBits;
    static constexpr unsigned kBlockBits = 12;  // pages per block, as a power of two
    static constexpr unsigned kBlockPages = 1u << kBlockBits;
    static constexpr unsigned kSlotsPerBlockBits = kPageBits + kBlockBits;

    // A page's slots are allocated in chunks as ids arrive, so that scattered ids cost a chunk each
    // rather than a whole page.
    static constexpr unsigned kChunkSlots = 16;
    static_assert(64 % kChunkSlots == 0, "a chunk's bits lie in one word of the page's bitmap");
    struct Chunk {
        alignas(value_type) std::byte storage[kChunkSlots * sizeof(value_type)];
    };
    struct Page {
        std::array<uint64_t, kPageSlots / 64> present{};
        unsigned count = 0;
        std::array<std::unique_ptr<Chunk>, kPageSlots / kChunkSlots> chunks;

        Page() = default;
        Page(const Page&) = delete;
        Page& operator=(const Page&) = delete;
        ~Page() {
            for (unsigned i = 0; i < kPageSlots; ++i)
                if (has(i)) std::destroy_at(at(i));
        }
        value_type* at(unsigned i) const {
            return std::launder(reinterpret_cast<value_type*>(chunks[i / kChunkSlots]->storage) +
                                i % kChunkSlots);
        }
        // The slot's storage, its chunk allocated when it is the chunk's first.
        value_type* slotFor(unsigned i) {
            std::unique_ptr<Chunk>& chunk = chunks[i / kChunkSlots];
            if (!chunk) chunk = std::make_unique_for_overwrite<Chunk>();
            return at(i);
        }
        // Frees the chunk of slot i once none of its slots is present.
        void releaseChunkOf(unsigned i) {
            const unsigned first = i & ~(kChunkSlots - 1);
            const uint64_t mask = ((uint64_t{1} << kChunkSlots) - 1) << (first & 63);
            if ((present[first >> 6] & mask) == 0) chunks[i / kChunkSlots].reset();
        }
        bool has(unsigned i) const { return (present[i >> 6] >> (i & 63)) & 1u; }
    };
    struct Block {
        std::array<std::unique_ptr<Page>, kBlockPages> pages;
        std::array<uint64_t, kBlockPages / 64> used{};  // which pages exist
        unsigned count = 0;                             // pages in use
    };

    template <bool Const>
    class Iter {
        using Table = std::conditional_t<Const, const IdTable, IdTable>;

    public:
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = IdTable::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<Const, const value_type*, value_type*>;
        using reference = std::conditional_t<Const, const value_type&, value_type&>;

        Iter() = default;
        Iter(Table* t, uint64_t s) : table(t), slot(s), item(t->entryAt(s)) {}
        template <bool C = Const, typename = std::enable_if_t<C>>
        Iter(const Iter<false>& other) : table(other.table), slot(other.slot), item(other.item) {}

        reference operator*() const { return *item; }
        pointer operator->() const { return item; }
        Iter& operator++() {
            slot = table->firstFrom(slot + 1);
            item = table->entryAt(slot);
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            ++*this;
            return old;
        }
        Iter& operator--() {
            slot = table->lastBefore(slot);
            item = table->entryAt(slot);
            return *this;
        }
        Iter operator--(int) {
            Iter old = *this;
            --*this;
            return old;
        }
        friend bool operator==(const Iter& a, const Iter& b) { return a.slot == b.slot; }

    private:
        friend class IdTable;
        template <bool>
        friend class Iter;
        Table* table = nullptr;
        uint64_t slot = kEnd;
        pointer item = nullptr;
    };

public:
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    IdTable() = default;
    IdTable(const IdTable& other) { copyEntries(other); }
    IdTable& operator=(const IdTable& other) {
        if (this != &other) {
            clear();
            copyEntries(other);
        }
        return *this;
    }
    IdTable(IdTable&& other) noexcept
        : blocks(std::move(other.blocks)),
          firstBlock(std::exchange(other.firstBlock, 0)),
          entries(std::exchange(other.entries, 0)) {
        other.blocks.clear();
    }
    IdTable& operator=(IdTable&& other) noexcept {
        if (this != &other) {
            blocks = std::move(other.blocks);
            other.blocks.clear();
            firstBlock = std::exchange(other.firstBlock, 0);
            entries = std::exchange(other.entries, 0);
        }
        return *this;
    }
    ~IdTable() = default;

    size_type size() const { return entries; }
    bool empty() const { return entries == 0; }
    void clear() {
        blocks.clear();
        firstBlock = 0;
        entries = 0;
    }

    iterator begin() { return iterator(this, firstFrom(0)); }
    iterator end() { return iterator(this, kEnd); }
    const_iterator begin() const { return const_iterator(this, firstFrom(0)); }
    const_iterator end() const { return const_iterator(this, kEnd); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    reverse_iterator rbegin() { return reverse_iterator(end()); }
    reverse_iterator rend() { return reverse_iterator(begin()); }
    const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }

    iterator find(Key key) { return entryAt(idSlot(key)) ? iterator(this, idSlot(key)) : end(); }
    const_iterator find(Key key) const {
        return entryAt(idSlot(key)) ? const_iterator(this, idSlot(key)) : end();
    }
    size_type count(Key key) const { return entryAt(idSlot(key)) ? 1 : 0; }
    bool contains(Key key) const { return entryAt(idSlot(key)) != nullptr; }
    iterator lower_bound(Key key) { return iterator(this, firstFrom(idSlot(key))); }
    const_iterator lower_bound(Key key) const { return const_iterator(this, firstFrom(idSlot(key))); }
    iterator upper_bound(Key key) { return iterator(this, firstFrom(uint64_t{idSlot(key)} + 1)); }
    const_iterator upper_bound(Key key) const {
        return const_iterator(this, firstFrom(uint64_t{idSlot(key)} + 1));
    }

    Value& at(Key key) { return const_cast<Value&>(std::as_const(*this).at(key)); }
    const Value& at(Key key) const {
        const value_type* e = entryAt(idSlot(key));
        if (e == nullptr) throw std::out_of_range("IdTable::at: no entry under this id");
        return e->second;
    }
    Value& operator[](Key key) { return try_emplace(key).first->second; }

    template <typename... Args>
    std::pair<iterator, bool> try_emplace(Key key, Args&&... args) {
        const uint32_t s = idSlot(key);
        Page& page = pageFor(s);
        const unsigned i = s & (kPageSlots - 1);
        if (page.has(i)) return {iterator(this, s), false};
        std::construct_at(page.slotFor(i), std::piecewise_construct, std::forward_as_tuple(key),
                          std::forward_as_tuple(std::forward<Args>(args)...));
        page.present[i >> 6] |= uint64_t{1} << (i & 63);
        ++page.count;
        ++entries;
        return {iterator(this, s), true};
    }
    // Hints are accepted for the std::map call shape; a paged table needs none.
    template <typename... Args>
    iterator try_emplace(const_iterator, Key key, Args&&... args) {
        return try_emplace(key, std::forward<Args>(args)...).first;
    }
    template <typename... Args>
    std::pair<iterator, bool> emplace(Key key, Args&&... args) {
        return try_emplace(key, std::forward<Args>(args)...);
    }
    template <typename... Args>
    iterator emplace_hint(const_iterator, Key key, Args&&... args) {
        return try_emplace(key, std::forward<Args>(args)...).first;
    }
    std::pair<iterator, bool> insert(const value_type& entry) {
        return try_emplace(entry.first, entry.second);
    }
    std::pair<iterator, bool> insert(value_type&& entry) {
        return try_emplace(entry.first, std::move(entry.second));
    }

    size_type erase(Key key) {
        const uint32_t s = idSlot(key);
        if (entryAt(s) == nullptr) return 0;
        eraseSlot(s);
        return 1;
    }
    iterator erase(const_iterator pos) {
        const uint64_t next = firstFrom(pos.slot + 1);
        eraseSlot(static_cast<uint32_t>(pos.slot));
        return iterator(this, next);
    }
    iterator erase(iterator pos) { return erase(const_iterator(pos)); }

private:
    Block* blockOf(uint32_t s) const {
        const uint32_t b = s >> kSlotsPerBlockBits;
        if (b < firstBlock || b - firstBlock >= blocks.size()) return nullptr;
        return blocks[b - firstBlock].get();
    }
    Page* pageOf(uint32_t s) const {
        const Block* block = blockOf(s);
        return block ? block->pages[(s >> kPageBits) & (kBlockPages - 1)].get() : nullptr;
    }
    value_type* entryAt(uint64_t s) const {
        if (s >= kEnd) return nullptr;
        Page* page = pageOf(static_cast<uint32_t>(s));
        const unsigned i = s & (kPageSlots - 1);
        return page && page->has(i) ? page->at(i) : nullptr;
    }

    Page& pageFor(uint32_t s) {
        const uint32_t b = s >> kSlotsPerBlockBits;
        if (blocks.empty()) {
            firstBlock = b;
        } else if (b < firstBlock) {
            std::vector<std::unique_ptr<Block>> moved(firstBlock - b + blocks.size());
            std::move(blocks.begin(), blocks.end(), moved.begin() + (firstBlock - b));
            blocks = std::move(moved);
            firstBlock = b;
        }
        if (b - firstBlock >= blocks.size()) blocks.resize(b - firstBlock + 1);
        std::unique_ptr<Block>& block = blocks[b - firstBlock];
        if (!block) block = std::make_unique<Block>();
        std::unique_ptr<Page>& page = block->pages[(s >> kPageBits) & (kBlockPages - 1)];
        if (!page) {
            const unsigned p = (s >> kPageBits) & (kBlockPages - 1);
            page = std::make_unique<Page>();
            block->used[p >> 6] |= uint64_t{1} << (p & 63);
            ++block->count;
        }
        return *page;
    }

    void eraseSlot(uint32_t s) {
        std::unique_ptr<Block>& block = blocks[(s >> kSlotsPerBlockBits) - firstBlock];
        const unsigned p = (s >> kPageBits) & (kBlockPages - 1);
        std::unique_ptr<Page>& page = block->pages[p];
        const unsigned i = s & (kPageSlots - 1);
        std::destroy_at(page->at(i));
        page->present[i >> 6] &= ~(uint64_t{1} << (i & 63));
        --entries;
        if (--page->count != 0) {
            page->releaseChunkOf(i);
            return;
        }
        page.reset();
        block->used[p >> 6] &= ~(uint64_t{1} << (p & 63));
        if (--block->count == 0) block.reset();
    }

    // The first slot in use at or after s, or kEnd.
    uint64_t firstFrom(uint64_t s) const {
        while (s < kEnd) {
            const uint64_t b = s >> kSlotsPerBlockBits;
            if (b < firstBlock) {
                s = uint64_t{firstBlock} << kSlotsPerBlockBits;
                continue;
            }
            if (b - firstBlock >= blocks.size()) return kEnd;
            const Block* block = blocks[b - firstBlock].get();
            const unsigned p = (s >> kPageBits) & (kBlockPages - 1);
            if (block != nullptr) {
                if (const Page* page = block->pages[p].get()) {
                    const int i = nextSetBit(page->present, s & (kPageSlots - 1));
                    if (i >= 0) return (s & ~uint64_t{kPageSlots - 1}) + static_cast<unsigned>(i);
                }
                const int q = p + 1 < kBlockPages ? nextSetBit(block->used, p + 1) : -1;
                if (q >= 0) {
                    s = (b << kSlotsPerBlockBits) | (uint64_t(q) << kPageBits);
                    continue;
                }
            }
            s = (b + 1) << kSlotsPerBlockBits;
        }
        return kEnd;
    }

    // The last slot in use before s, or kEnd when there is none.
    uint64_t lastBefore(uint64_t s) const {
        const uint64_t low = uint64_t{firstBlock} << kSlotsPerBlockBits;
        s = std::min(s, (uint64_t{firstBlock} + blocks.size()) << kSlotsPerBlockBits);
        while (s > low) {
            const uint64_t last = s - 1;
            const uint64_t b = last >> kSlotsPerBlockBits;
            const Block* block = blocks[b - firstBlock].get();
            const unsigned p = (last >> kPageBits) & (kBlockPages - 1);
            if (block != nullptr) {
                if (const Page* page = block->pages[p].get()) {
                    const int i = prevSetBit(page->present, (last & (kPageSlots - 1)) + 1);
                    if (i >= 0) return (last & ~uint64_t{kPageSlots - 1}) + static_cast<unsigned>(i);
                }
                const int q = prevSetBit(block->used, p);
                if (q >= 0) {
                    s = (b << kSlotsPerBlockBits) | (uint64_t(q + 1) << kPageBits);
                    continue;
                }
            }
            s = b << kSlotsPerBlockBits;
        }
        return kEnd;
    }

    void copyEntries(const IdTable& other) {
        for (const auto& [key, value] : other) try_emplace(key, value);
    }

    // Block i covers the slots from (firstBlock + i) << kSlotsPerBlockBits on.
    std::vector<std::unique_ptr<Block>> blocks;
    uint32_t firstBlock = 0;
    size_type entries = 0;
};

// Storage for a few trivially copyable values: up to Inline of them inside the object itself, more in
// an array of their own. The node's sorted id sets and the super-links' link chains are built on it.
template <typename T, uint32_t Inline>
class SmallArray {
    static_assert(std::is_trivially_copyable_v<T>, "plain values only");

public:
    SmallArray() = default;
    SmallArray(const SmallArray& other) { assign(other.begin(), other.end()); }
    SmallArray& operator=(const SmallArray& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    SmallArray(SmallArray&& other) noexcept { take(other); }
    SmallArray& operator=(SmallArray&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~SmallArray() { release(); }

    uint32_t size() const { return used; }
    void clear() { used = 0; }
    T* begin() { return data(); }
    T* end() { return data() + used; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + used; }

    // Makes room for `count` values at `at`, moving the ones from there up; returns the first free slot.
    T* open(size_t at, size_t count) {
        if (used + count > capacity()) grow(used + count);
        T* d = data();
        std::copy_backward(d + at, d + used, d + used + count);
        used += static_cast<uint32_t>(count);
        return d + at;
    }
    // Removes `count` values from `at` on; returns where the next one now is.
    T* close(size_t at, size_t count) {
        T* d = data();
        std::copy(d + at + count, d + used, d + at);
        used -= static_cast<uint32_t>(count);
        return d + at;
    }
    void swap(SmallArray& other) noexcept {
        std::swap(used, other.used);
        std::swap(heapCapacity, other.heapCapacity);
        std::swap(store, other.store);
    }

private:
    bool isInline() const { return heapCapacity == 0; }
    uint32_t capacity() const { return isInline() ? Inline : heapCapacity; }
    T* data() { return isInline() ? store.small : store.heap; }
    const T* data() const { return isInline() ? store.small : store.heap; }

    void grow(size_t atLeast) {
        uint32_t wanted = capacity() * 2;
        while (wanted < atLeast) wanted *= 2;
        T* bigger = std::allocator<T>().allocate(wanted);
        std::copy(begin(), end(), bigger);
        release();
        store.heap = bigger;
        heapCapacity = wanted;
    }
    void release() {
        if (!isInline()) std::allocator<T>().deallocate(store.heap, heapCapacity);
        heapCapacity = 0;
    }
    void assign(const T* first, const T* last) {
        used = 0;
        if (capacity() < static_cast<size_t>(last - first)) grow(static_cast<size_t>(last - first));
        std::copy(first, last, data());
        used = static_cast<uint32_t>(last - first);
    }
    void take(SmallArray& other) {
        used = std::exchange(other.used, 0);
        heapCapacity = std::exchange(other.heapCapacity, 0);
        store = other.store;
    }

    uint32_t used = 0;
    uint32_t heapCapacity = 0;  // 0 while the values are stored inline
    union Store {
        T small[Inline];
        T* heap;
    } store{};
};

// A small set of ids kept as a sorted array: the links or super-links at one node. Up to 16 bytes of
// members (the usual case) live inside the set itself, so reading a node's links costs no further
// cache miss and no allocation; more go to an array of their own.
template <typename T>
class SortedIdSet {
public:
    using value_type = T;
    using key_type = T;
    using size_type = std::size_t;
    using const_iterator = const T*;
    using iterator = const_iterator;  // members are read-only, as in a std::set
    using const_reverse_iterator = std::reverse_iterator<const T*>;
    using reverse_iterator = const_reverse_iterator;

    SortedIdSet() = default;
    SortedIdSet(std::initializer_list<T> ids) {
        for (T id : ids) insert(id);
    }

    size_type size() const { return items.size(); }
    bool empty() const { return items.size() == 0; }
    void clear() { items.clear(); }
    const_iterator begin() const { return items.begin(); }
    const_iterator end() const { return items.end(); }
    const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }

    const_iterator lower_bound(T id) const { return std::lower_bound(begin(), end(), id); }
    const_iterator find(T id) const {
        const auto it = lower_bound(id);
        return it != end() && *it == id ? it : end();
    }
    size_type count(T id) const { return find(id) != end() ? 1 : 0; }
    bool contains(T id) const { return find(id) != end(); }

    std::pair<const_iterator, bool> insert(T id) {
        const T* it = lower_bound(id);
        if (it != end() && *it == id) return {it, false};
        T* slot = items.open(static_cast<size_t>(it - begin()), 1);
        *slot = id;
        return {slot, true};
    }
    size_type erase(T id) {
        const auto it = find(id);
        if (it == end()) return 0;
        erase(it);
        return 1;
    }
    const_iterator erase(const_iterator pos) { return items.close(static_cast<size_t>(pos - begin()), 1); }

    friend bool operator==(const SortedIdSet& a, const SortedIdSet& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    SmallArray<T, 16 / sizeof(T)> items;
};

}  // namespace mapRepresentation

namespace mapRepresentation {

// The links of a super-link in driving order, with the part of std::list's interface the super-link
// upkeep uses, kept in one array. Up to two links (every super-link of a grid of junctions) live
// inside the object itself, so a short chain costs no allocation of its own. Iterators are plain
// pointers: an insert or erase invalidates those at and after its position, and any growth all of
// them; the upkeep only keeps iterators to positions before the ones it changes.
class LinkChain {
public:
    using value_type = int32_t;
    using size_type = std::size_t;
    using iterator = int32_t*;
    using const_iterator = const int32_t*;

    LinkChain() = default;
    LinkChain(std::initializer_list<int32_t> ids) {
        for (const int32_t id : ids) push_back(id);
    }

    size_type size() const { return links.size(); }
    bool empty() const { return links.size() == 0; }
    void clear() { links.clear(); }
    iterator begin() { return links.begin(); }
    iterator end() { return links.end(); }
    const_iterator begin() const { return links.begin(); }
    const_iterator end() const { return links.end(); }
    int32_t& front() { return *begin(); }
    int32_t& back() { return end()[-1]; }
    int32_t front() const { return *begin(); }
    int32_t back() const { return end()[-1]; }

    void push_back(int32_t id) { insert(end(), id); }
    void push_front(int32_t id) { insert(begin(), id); }
    iterator insert(const_iterator pos, int32_t id) {
        int32_t* slot = links.open(offset(pos), 1);
        *slot = id;
        return slot;
    }
    iterator erase(const_iterator pos) { return links.close(offset(pos), 1); }
    // Moves [first, last) of `from` before pos, as std::list::splice does (from may be this chain).
    void splice(const_iterator pos, LinkChain& from, const_iterator first, const_iterator last) {
        if (&from == this) {
            int32_t* d = begin();
            int32_t *p = d + offset(pos), *f = d + offset(first), *l = d + offset(last);
            if (p >= l)
                std::rotate(f, l, p);
            else if (p < f)
                std::rotate(p, f, l);
            return;
        }
        const size_t count = static_cast<size_t>(last - first);
        const size_t fromAt = from.offset(first);
        std::copy(first, last, links.open(offset(pos), count));
        from.links.close(fromAt, count);
    }
    void splice(const_iterator pos, LinkChain& from) { splice(pos, from, from.begin(), from.end()); }
    void swap(LinkChain& other) noexcept { links.swap(other.links); }

    friend bool operator==(const LinkChain& a, const LinkChain& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    size_t offset(const_iterator pos) const { return static_cast<size_t>(pos - begin()); }

    SmallArray<int32_t, 2> links;
};
// The map keeps one of these per super-link and per node: their size is the map's memory.
static_assert(sizeof(LinkChain) == 16 && sizeof(SortedIdSet<int32_t>) == 24);

}  // namespace mapRepresentation
