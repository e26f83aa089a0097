// A Function as bytes and back, to move it to another process or machine:
// a versioned, self-describing form of its tape, its constants and the
// current values of the Parameters it reads.
//
// The form, every number little-endian and of fixed width:
//   magic "VARNELFN" (8 bytes), format version (u32, now 1),
//   sizes (u32 each): slots, inputs, constants, parameters, instructions,
//   outputs; the slots are the inputs, constants, parameters and
//   instructions together. Then the fields, in that order:
//   input:       dimension (u8)
//   constant:    slot (u32), dimension (u8), that many lanes (f64)
//   parameter:   the same, with the Parameter's value when saved
//   instruction: operator (u8, ExpressionOp), dimension (u8), operand
//                count (u8), lane of a Component (u8, else 0), slot
//                written (u32), operand slots (u32 each)
//   output:      slot (u32)
// Slots below the input count are the inputs; every other slot is written
// by exactly one constant, parameter or instruction, in the depth-first
// order of the outputs in which the Function was compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "symbolic/function.h"

namespace varnel::symbolic {

// The form of `function`, with the values its Parameters hold now.
std::vector<std::uint8_t> function_to_bytes(const Function& function);

// A Function that computes what the saved one did, bit for bit, over a
// graph of its own: new Undefined inputs, and new Parameters holding the
// saved values, which nothing else reaches. They are frozen copies: the
// Function never sees the original Parameters again, and vjp adds their
// gradients into those copies only.
// Bytes that are not such a form, or are damaged, throw
// std::invalid_argument with what is wrong; every index is checked before
// it is used, and nothing (no node, no id) is made before all of them are.
// With one_output (one_input), a form of any other number of outputs
// (inputs) is refused the same way, as the caller was made from one.
Function function_from_bytes(const std::uint8_t* data, std::size_t size, bool one_output = false,
                             bool one_input = false);

}  // namespace varnel::symbolic
