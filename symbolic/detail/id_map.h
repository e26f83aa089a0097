// Flat hash tables keyed by node id, for the per-call structures of
// evaluation and gradients. Internal.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace varnel::symbolic {
namespace {

// Slot of an id in a table of 2^bits slots (bits >= 4). Ids of one graph
// come in runs of consecutive numbers interleaved with older ones. Keeping
// the ids' low bits as the slot would lay such runs out as long occupied
// stretches, which linear probing then walks end to end; hashing every id on
// its own would scatter neighbours that a walk reads together. So blocks of
// eight consecutive ids keep their order inside one stretch of eight slots,
// and the blocks are spread by Fibonacci hashing (the block number times
// 2^64 divided by the golden ratio, top bits).
inline std::size_t id_slot(std::uint64_t id, unsigned bits) {
    const std::uint64_t block = (id >> 3) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(((block >> (64 - bits)) & ~std::uint64_t{7}) | (id & 7));
}

inline unsigned table_bits_for(std::size_t entries) {
    unsigned bits = 4;
    // At most half full, so probe runs stay short.
    while ((std::size_t{1} << bits) < entries * 2) {
        ++bits;
    }
    return bits;
}

// Open addressing with linear probing; id 0 marks a free slot. A node made
// by hand may still have id 0, so that id is kept apart: a flag and one
// value slot past the probed ones. Ids and values share one block from the
// given memory resource, ids first. Only the ids are cleared when a table is
// made: a value slot is written when its id is. Entries never move while the
// table holds no more entries than it was made for: the gradient rules rely
// on that, as they keep references to several entries while inserting
// others.
template <typename T>
class IdMap {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "slots are raw storage");

public:
    explicit IdMap(std::size_t expected_entries,
                   std::pmr::memory_resource* memory = std::pmr::new_delete_resource())
        : bits_(table_bits_for(expected_entries)),
          mask_((std::size_t{1} << bits_) - 1),
          limit_((std::size_t{1} << bits_) / 2),
          block_(memory->allocate(block_bytes(expected_entries), alignof(std::uint64_t)),
                 Release{memory, block_bytes(expected_entries)}),
          ids_(static_cast<std::uint64_t*>(block_.get())),
          values_(reinterpret_cast<T*>(ids_ + (std::size_t{1} << bits_))) {
        static_assert(alignof(T) <= alignof(std::uint64_t), "values follow the ids");
        std::memset(ids_, 0, sizeof(std::uint64_t) << bits_);
    }

    // The size of the block a table made for `expected_entries` takes.
    static std::size_t block_bytes(std::size_t expected_entries) {
        return ((sizeof(std::uint64_t) + sizeof(T)) << table_bits_for(expected_entries)) + sizeof(T);
    }

    T* find(std::uint64_t id) const {
        if (id == 0) {
            return has_zero_ ? zero_slot() : nullptr;
        }
        for (std::size_t i = id_slot(id, bits_);; i = (i + 1) & mask_) {
            if (ids_[i] == id) {
                return &values_[i];
            }
            if (ids_[i] == 0) {
                return nullptr;
            }
        }
    }

    // The entry under `id`, inserting `value` when there is none yet; the
    // flag tells whether it was inserted.
    std::pair<T*, bool> try_emplace(std::uint64_t id, const T& value) {
        if (id == 0) {
            if (has_zero_) {
                return {zero_slot(), false};
            }
            has_zero_ = true;
            ++size_;
            return {new (zero_slot()) T(value), true};
        }
        for (std::size_t i = id_slot(id, bits_);; i = (i + 1) & mask_) {
            if (ids_[i] == id) {
                return {&values_[i], false};
            }
            if (ids_[i] == 0) {
                if (size_ == limit_) {
                    grow();
                    return try_emplace(id, value);
                }
                ids_[i] = id;
                T* slot = new (&values_[i]) T(value);
                ++size_;
                return {slot, true};
            }
        }
    }

    std::size_t size() const { return size_; }

private:
    struct Release {
        std::pmr::memory_resource* memory;
        std::size_t bytes;
        void operator()(void* block) const {
            memory->deallocate(block, bytes, alignof(std::uint64_t));
        }
    };

    T* zero_slot() const { return &values_[mask_ + 1]; }

    void grow() {
        IdMap bigger(limit_ * 2, block_.get_deleter().memory);
        for (std::size_t i = 0; i <= mask_; ++i) {
            if (ids_[i] != 0) {
                bigger.try_emplace(ids_[i], values_[i]);
            }
        }
        if (has_zero_) {
            bigger.try_emplace(0, *zero_slot());
        }
        *this = std::move(bigger);
    }

    unsigned bits_;
    std::size_t mask_;
    std::size_t limit_;
    std::size_t size_ = 0;
    bool has_zero_ = false;
    std::unique_ptr<void, Release> block_;
    std::uint64_t* ids_;
    T* values_;
};

// The index of each node a walk finds, by id. A graph built in one go has
// ids that run almost without gaps from its leaves to its outputs, so the
// ids in a window given up front are indexed directly: a fifth of a hash
// table's memory, which a fresh process pays for in page faults, and no
// probing. Ids outside it (older constants and leaves, nodes made by hand)
// go to a hash table.
class IdWindowIndex {
public:
    static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

    IdWindowIndex(std::uint64_t first, std::size_t span, std::size_t expected_outside)
        : first_(first), window_(span, kAbsent), outside_(expected_outside) {}

    // The index under `id`, inserting `index` (below kAbsent) when there is
    // none yet; the flag tells whether it was inserted.
    std::pair<std::uint32_t*, bool> try_emplace(std::uint64_t id, std::uint32_t index) {
        const std::uint64_t offset = id - first_;
        if (offset < window_.size()) {
            std::uint32_t& slot = window_[static_cast<std::size_t>(offset)];
            if (slot != kAbsent) {
                return {&slot, false};
            }
            slot = index;
            return {&slot, true};
        }
        return outside_.try_emplace(id, index);
    }

private:
    std::uint64_t first_;
    std::vector<std::uint32_t> window_;
    IdMap<std::uint32_t> outside_;
};

// The position of each node a walk from one output finds, by id. A node is
// made after its inputs, so a graph built in one go has its ids just below
// its output's: they are indexed directly by their distance below it, in a
// window that doubles as the walk goes down and that the caller keeps
// between walks. The window stays within a few times the entries found so
// far; ids beyond it (old constants and leaves, nodes made by hand, ids
// above the output's) go to a hash table, and the window never widens over
// one of those, which would then be entered twice.
class DescendingIdIndex {
public:
    static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

    // `top`: the output's id, the top of the window.
    DescendingIdIndex(std::vector<std::uint32_t>& window, std::pmr::memory_resource* memory, std::uint64_t top)
        : window_(window), top_(top), outside_(256, memory) {
        window_.clear();
    }

    // The entry under `id`, inserting `entry` (below kAbsent) when there is
    // none yet; the flag tells whether it was inserted.
    std::pair<std::uint32_t*, bool> try_emplace(std::uint64_t id, std::uint32_t entry) {
        const std::uint64_t offset = top_ - id;
        if (offset < window_.size() || widen(offset, entry)) {
            std::uint32_t& slot = window_[static_cast<std::size_t>(offset)];
            if (slot != kAbsent) {
                return {&slot, false};
            }
            slot = entry;
            return {&slot, true};
        }
        floor_ = std::min(floor_, offset);
        return outside_.try_emplace(id, entry);
    }

private:
    // Widens the window to hold `offset` if that keeps it within
    // kSpread entries per entry found (`entries`) plus kSlack, and above
    // every id in the hash table.
    bool widen(std::uint64_t offset, std::size_t entries) {
        constexpr std::size_t kSpread = 4;
        constexpr std::size_t kSlack = 4096;
        const std::size_t most =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSpread * entries + kSlack, floor_));
        if (offset >= most) {
            return false;
        }
        const std::size_t wanted = std::max(static_cast<std::size_t>(offset) + 1, 2 * window_.size());
        window_.resize(std::min(wanted, most), kAbsent);
        return true;
    }

    std::vector<std::uint32_t>& window_;
    std::uint64_t top_;
    // The least offset below the top of an id in the hash table.
    std::uint64_t floor_ = ~std::uint64_t{0};
    IdMap<std::uint32_t> outside_;
};

// The visited set of a walk: the same table without values, id 0 again
// kept apart as a flag.
class IdSet {
public:
    explicit IdSet(std::size_t expected_entries)
        : bits_(table_bits_for(expected_entries)),
          mask_((std::size_t{1} << bits_) - 1),
          limit_((std::size_t{1} << bits_) / 2),
          ids_(new std::uint64_t[std::size_t{1} << bits_]()) {}

    // Adds `id`; false when it was already present.
    bool insert(std::uint64_t id) {
        if (id == 0) {
            const bool inserted = !has_zero_;
            has_zero_ = true;
            return inserted;
        }
        for (std::size_t i = id_slot(id, bits_);; i = (i + 1) & mask_) {
            if (ids_[i] == id) {
                return false;
            }
            if (ids_[i] == 0) {
                if (size_ == limit_) {
                    grow();
                    return insert(id);
                }
                ids_[i] = id;
                ++size_;
                return true;
            }
        }
    }

private:
    void grow() {
        IdSet bigger(limit_ * 2);
        for (std::size_t i = 0; i <= mask_; ++i) {
            if (ids_[i] != 0) {
                bigger.insert(ids_[i]);
            }
        }
        bigger.has_zero_ = has_zero_;
        *this = std::move(bigger);
    }

    unsigned bits_;
    std::size_t mask_;
    std::size_t limit_;
    std::size_t size_ = 0;
    bool has_zero_ = false;
    std::unique_ptr<std::uint64_t[]> ids_;
};

}  // namespace
}  // namespace varnel::symbolic
