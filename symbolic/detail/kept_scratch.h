// How much scratch a thread keeps between its passes over graphs, and for
// how long. Internal.
//
// A pass keeps its scratch for the next pass on its thread, which finds it
// sized and mapped. Up to kScratchKeptAnyway bytes stay whatever happens.
// More stays only for the graph it was sized for: while the output node of
// the pass that left it lives, and until the thread's next pass, which
// gives it up if it is far larger than that pass needed. The release of
// that output node, on any thread, frees it, so an idle thread keeps no
// more than that once the graph it walked is gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace varnel::symbolic {

inline constexpr std::size_t kScratchKeptAnyway = std::size_t{4} << 20;

// The memory a thread's passes work in.
class ScratchMemory {
public:
    virtual std::size_t bytes() const noexcept = 0;
    // Gives every byte back. Called on its owner's thread, or on the thread
    // releasing the node it is kept for while its owner is between passes.
    virtual void release() noexcept = 0;

protected:
    ~ScratchMemory() = default;
};

// One thread's hold on its scratch: a pass calls begin() before it touches
// the memory and end() after, also when it fails.
class ScratchKeeper {
public:
    explicit ScratchKeeper(ScratchMemory& memory) noexcept : memory_(memory) {}
    ScratchKeeper(const ScratchKeeper&) = delete;
    ScratchKeeper& operator=(const ScratchKeeper&) = delete;
    ~ScratchKeeper();

    // Takes the memory back from the output it was kept for, if it is still
    // there, so no other thread can free it during the pass.
    void begin() noexcept;
    // Keeps the memory for the output with id `output_id` (0: none), or
    // gives it up: when it is larger than kScratchKeptAnyway and either far
    // larger than this pass needed or not to be kept for an output.
    void end(std::uint64_t output_id, bool far_larger_than_needed) noexcept;

private:
    ScratchMemory& memory_;
    bool kept_for_output_ = false;
};

namespace kept_scratch_detail {
// How many outputs have scratch kept for them now.
extern std::atomic<int> g_outputs_with_scratch;
void release_scratch_of(std::uint64_t id) noexcept;
}  // namespace kept_scratch_detail

// Frees whatever scratch is kept for the node `id`, which is being
// destroyed. Every node destructor calls it: without kept scratch it costs
// one load.
inline void release_scratch_kept_for(std::uint64_t id) noexcept {
    if (kept_scratch_detail::g_outputs_with_scratch.load(std::memory_order_acquire) != 0) {
        kept_scratch_detail::release_scratch_of(id);
    }
}

}  // namespace varnel::symbolic
