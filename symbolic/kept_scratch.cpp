// The places where scratch larger than kScratchKeptAnyway waits for the
// next pass of its thread, each for one output node.
#include "symbolic/detail/kept_scratch.h"

#include <mutex>

namespace varnel::symbolic {
namespace {

// More threads than this with large scratch at once simply keep none.
constexpr int kPlaces = 16;

struct Place {
    // The output's id; 0 for a free place. Read without the lock by node
    // releases, which only then take it.
    std::atomic<std::uint64_t> output{0};
    ScratchMemory* memory = nullptr;
};

// Every change of a place, and every use of the memory in one by a thread
// other than its owner, happens under this lock.
std::mutex g_places_lock;
Place g_places[kPlaces];

// Empties every place that holds `memory`; the lock is held.
void forget(ScratchMemory& memory) noexcept {
    for (Place& place : g_places) {
        if (place.memory == &memory) {
            place.output.store(0, std::memory_order_relaxed);
            place.memory = nullptr;
            kept_scratch_detail::g_outputs_with_scratch.fetch_sub(1, std::memory_order_relaxed);
        }
    }
}

bool keep(ScratchMemory& memory, std::uint64_t output_id) noexcept {
    const std::lock_guard<std::mutex> guard(g_places_lock);
    for (Place& place : g_places) {
        if (place.memory == nullptr) {
            place.memory = &memory;
            place.output.store(output_id, std::memory_order_relaxed);
            kept_scratch_detail::g_outputs_with_scratch.fetch_add(1, std::memory_order_release);
            return true;
        }
    }
    return false;
}

}  // namespace

namespace kept_scratch_detail {

std::atomic<int> g_outputs_with_scratch{0};

void release_scratch_of(std::uint64_t id) noexcept {
    bool kept = false;
    for (const Place& place : g_places) {
        kept = kept || place.output.load(std::memory_order_relaxed) == id;
    }
    if (!kept || id == 0) {
        return;
    }
    const std::lock_guard<std::mutex> guard(g_places_lock);
    for (Place& place : g_places) {
        if (place.memory != nullptr && place.output.load(std::memory_order_relaxed) == id) {
            ScratchMemory& memory = *place.memory;
            forget(memory);
            memory.release();
        }
    }
}

}  // namespace kept_scratch_detail

ScratchKeeper::~ScratchKeeper() { begin(); }

void ScratchKeeper::begin() noexcept {
    if (kept_for_output_) {
        kept_for_output_ = false;
        const std::lock_guard<std::mutex> guard(g_places_lock);
        forget(memory_);
    }
}

void ScratchKeeper::end(std::uint64_t output_id, bool far_larger_than_needed) noexcept {
    if (memory_.bytes() <= kScratchKeptAnyway) {
        return;
    }
    if (far_larger_than_needed || output_id == 0 || !keep(memory_, output_id)) {
        memory_.release();
        return;
    }
    kept_for_output_ = true;
}

}  // namespace varnel::symbolic
