// The instructions of a Function's tape. Internal: the installed function.h
// only names Instruction.
#pragma once

#include <cstdint>

#include "symbolic/symbolic.h"

namespace varnel::symbolic::detail {

// How an instruction is run: one-lane arithmetic, the bulk of most graphs,
// has instructions of its own; every other operator with a rule runs lane
// by lane through it (Lanes); Component and Pack move lanes.
enum class Code : std::uint8_t {
    Add1, Subtract1, Multiply1, Divide1, Lanes, Component, Pack,
};

// One step of the tape: the node's operator, how it is run, its dimension,
// the lane counts of its first two operands, where its result's lanes start
// and where its operands' lanes start, as lane positions in the Function's
// lane array (see Function::lane_count_). `extra` is the lane of a
// Component, the operand count of a Pack, and for a two-operand operator 1
// when its right operand varies (is not a Constant), else 0.
struct Instruction {
    ExpressionOp op;
    Code code;
    std::uint8_t dimension;
    std::uint8_t left_dimension;
    std::uint8_t right_dimension;
    std::int32_t extra;
    std::uint32_t out;
    std::uint32_t operand[4];
};

}  // namespace varnel::symbolic::detail
