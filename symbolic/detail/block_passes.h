// The passes over a block of rows (tape_passes.h), built twice: for any
// x86-64 processor, and with AVX2, whose wider vectors run the row loops
// in half the instructions. The rules and their order are the same in
// both, and neither fuses a product into a sum, so both give every row's
// numbers bit for bit. Internal.
#pragma once

#include <array>
#include <cstddef>

#include "symbolic/detail/tape.h"

namespace varnel::symbolic::detail {

struct BlockPasses {
    using Forward = bool (*)(const Instruction* begin, const Instruction* end, double* values, double* kept,
                             std::size_t stride, std::size_t count);
    using Sweep = void (*)(const Instruction* begin, const Instruction* end, const double* values,
                           const double* kept, double* lanes, std::size_t stride, std::size_t count);
    Forward forward;
    Sweep reverse;
    // Along 1, 2, 4 and 8 directions at once.
    std::array<Sweep, 4> tangent;
};

// The set for this processor: AVX2's where the processor has it and the
// build made it, else the generic one; or the one chosen last.
const BlockPasses& block_passes();
// Makes `passes` the set block_passes() gives, for tests that hold the two
// builds to the same bits. Not while a call over rows runs.
void choose_block_passes(const BlockPasses& passes);
// Each set by name, for tests; the AVX2 one null where the build or the
// processor lacks it.
const BlockPasses& generic_block_passes();
const BlockPasses* avx2_block_passes();

}  // namespace varnel::symbolic::detail
