// A memory resource that keeps freed blocks for reuse. Internal.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <new>
#include <vector>

namespace varnel::symbolic {
namespace {

// Keeps every block given back and hands it out again for a request of the
// same size, as an allocator keeps freed memory. The id map of a pass grows
// through the same sequence of table sizes on every pass over a graph, so a
// graph walked again and again finds every table it needs already mapped,
// instead of faulting fresh pages in for it on each call. Nothing is read
// from a block before it is written again.
class KeptBlocks final : public std::pmr::memory_resource {
public:
    KeptBlocks() = default;
    KeptBlocks(const KeptBlocks&) = delete;
    KeptBlocks& operator=(const KeptBlocks&) = delete;
    ~KeptBlocks() override { release(); }

    // The bytes of the blocks kept now.
    std::size_t bytes() const noexcept {
        std::size_t total = kept_.capacity() * sizeof(Block);
        for (const Block& block : kept_) {
            total += block.bytes;
        }
        return total;
    }

    // Gives every kept block back.
    void release() noexcept {
        for (const Block& block : kept_) {
            ::operator delete(block.memory, block.bytes, std::align_val_t{block.align});
        }
        std::vector<Block>().swap(kept_);
    }

private:
    struct Block {
        void* memory;
        std::size_t bytes;
        std::size_t align;
    };

    void* do_allocate(std::size_t bytes, std::size_t align) override {
        for (std::size_t i = 0; i < kept_.size(); ++i) {
            if (kept_[i].bytes == bytes && kept_[i].align == align) {
                void* memory = kept_[i].memory;
                kept_[i] = kept_.back();
                kept_.pop_back();
                return memory;
            }
        }
        return ::operator new(bytes, std::align_val_t{align});
    }

    void do_deallocate(void* memory, std::size_t bytes, std::size_t align) override {
        try {
            kept_.push_back({memory, bytes, align});
        } catch (const std::bad_alloc&) {
            ::operator delete(memory, bytes, std::align_val_t{align});
        }
    }

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    std::vector<Block> kept_;
};

}  // namespace
}  // namespace varnel::symbolic
