// The instructions of a Function's tape. Internal: the installed function.h
// only names Instruction.
#pragma once

#include <cstdint>

#include "symbolic/symbolic.h"

namespace varnel::symbolic::detail {

// How an instruction is run: arithmetic, the bulk of most graphs, has
// instructions of its own, for one lane (Add1..Divide1) and for several
// lanes with a one-lane operand repeated (AddN..DivideN); every other
// operator with a rule runs lane by lane through it (Lanes); Component and
// Pack move lanes.
enum class Code : std::uint8_t {
    Add1, Subtract1, Multiply1, Divide1, AddN, SubtractN, MultiplyN, DivideN, Lanes, Component, Pack,
};

// One step of the tape: the node's operator, how it is run, its dimension,
// the lane counts of its first two operands, where its result's lanes start
// and where its operands' lanes start, as lane positions in the Function's
// lane array (see Function::lane_count_). `extra` is the lane of a
// Component, the operand count of a Pack, and for a two-operand operator 1
// when its right operand varies (is not a Constant), else 0. Bit k of
// `first` is set when the reverse pass's first write into operand k's
// adjoint lanes is this instruction's (for a Component, into the one lane
// it picks): it may assign there rather than add,
// and then those lanes need no zeroing beforehand (a pass over rows does;
// one row's one-lane steps add, see reverse_one). `pair` is nonzero on a
// Multiply1 followed by an Add1 that reads its product, and on that Add1:
// one row's passes run the two as one step (see forward_joined); bit
// 0 says the Add1's left operand is the product, bit 1 its right one.
// In the forward pass such a pair also joins, in one step, a Multiply1
// before it whose product its Multiply1 reads (a * b * 0.5 + 0.5) or a
// Divide1 after it that reads its sum (a / (b * b + 2.0)): the reader's
// bits 2 and 3 say it reads the step before on its left or right operand,
// and kLeads marks the first of the three.
struct Instruction {
    ExpressionOp op;
    Code code;
    std::uint8_t dimension;
    std::uint8_t left_dimension;
    std::uint8_t right_dimension;
    std::uint8_t first;
    std::uint8_t pair;
    std::int32_t extra;
    std::uint32_t out;
    std::uint32_t operand[4];
};

constexpr std::uint8_t kPairSides = 3;
constexpr std::uint8_t kLeads = 16;

// Which operands of a joined step's reader (bit 0 left, bit 1 right) are the
// result of the step before it.
constexpr unsigned pair_reads(const Instruction& reader) { return (reader.pair >> 2) & 3u; }

}  // namespace varnel::symbolic::detail
