// The block passes' entry points (detail/block_passes.h). Compiled as
// itself for any processor, and by block_passes_avx2.cpp with AVX2 in a
// namespace of its own. Every function the passes inline has internal
// linkage (the passes' headers keep theirs in unnamed namespaces), so
// neither build's code can stand in for the other's at link time.
#include "symbolic/detail/block_passes.h"

#include "symbolic/detail/tape_passes.h"

#ifndef VARNEL_BLOCKS
#define VARNEL_BLOCKS generic
#define VARNEL_BLOCKS_CHOICE
#endif

namespace varnel::symbolic::detail::VARNEL_BLOCKS {
namespace {

bool forward(const Instruction* begin, const Instruction* end, double* values, double* kept, std::size_t stride,
             std::size_t count) {
    return run_forward(begin, end, values, kept, RowBlock{stride, count});
}

void reverse(const Instruction* begin, const Instruction* end, const double* values, const double* kept,
             double* adjoints, std::size_t stride, std::size_t count) {
    run_reverse(begin, end, values, kept, adjoints, RowBlock{stride, count});
}

template <std::size_t Directions>
void tangent(const Instruction* begin, const Instruction* end, const double* values, const double* kept,
             double* tangents, std::size_t stride, std::size_t count) {
    run_tangent<Directions>(begin, end, values, kept, tangents, RowBlock{stride, count});
}

}  // namespace

extern const BlockPasses passes{forward, reverse, {tangent<1>, tangent<2>, tangent<4>, tangent<8>}};

}  // namespace varnel::symbolic::detail::VARNEL_BLOCKS

#ifdef VARNEL_BLOCKS_CHOICE
#include <atomic>

namespace varnel::symbolic::detail {

#ifdef VARNEL_AVX2_BLOCKS
namespace avx2 {
extern const BlockPasses passes;
}
#endif

const BlockPasses* avx2_block_passes() {
#ifdef VARNEL_AVX2_BLOCKS
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported ? &avx2::passes : nullptr;
#else
    return nullptr;
#endif
}

const BlockPasses& generic_block_passes() { return generic::passes; }

namespace {

std::atomic<const BlockPasses*> g_chosen{nullptr};

}  // namespace

const BlockPasses& block_passes() {
    const BlockPasses* chosen = g_chosen.load(std::memory_order_acquire);
    if (chosen == nullptr) {
        const BlockPasses* avx2 = avx2_block_passes();
        chosen = avx2 != nullptr ? avx2 : &generic::passes;
        g_chosen.store(chosen, std::memory_order_release);
    }
    return *chosen;
}

void choose_block_passes(const BlockPasses& passes) { g_chosen.store(&passes, std::memory_order_release); }

}  // namespace varnel::symbolic::detail
#endif
