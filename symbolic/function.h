// Compiled functions: a graph frozen once into a flat instruction array and
// then evaluated and differentiated again and again without walking it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "symbolic/symbolic.h"

namespace varnel::symbolic {

namespace detail {
struct Instruction;
struct TapeAccess;
}

// The outputs of a graph as a function of some of its leaves. Making one
// checks the graph once: handles, inputs (Undefined or Parameter leaves,
// none listed twice) and that every Undefined below an output is an input.
// Constants are baked in; Parameters that are not inputs are read at every
// call, so set_value is seen without compiling again. The Function holds
// handles to its outputs and inputs, so the graph lives as long as it does.
//
// Calls keep their scratch to themselves, so one Function may be called
// from several threads at once. vjp, like Value::backward, adds into the
// gradients of the Parameters that are not inputs: concurrent vjp calls
// that reach the same such Parameters, and set_value on a Parameter read by
// a running call, must be serialised by the caller.
class Function {
public:
    Function(std::vector<Value> outputs, std::vector<Value> inputs);
    Function(const Function&);
    Function(Function&&) noexcept;
    Function& operator=(const Function&);
    Function& operator=(Function&&) noexcept;
    ~Function();

    const std::vector<Value>& outputs() const noexcept { return outputs_; }
    const std::vector<Value>& inputs() const noexcept { return inputs_; }
    // Lanes of all inputs and of all outputs, in list order.
    int input_lanes() const noexcept { return input_lanes_; }
    int output_lanes() const noexcept { return output_lanes_; }
    std::size_t instruction_count() const noexcept;

    // The value of every output for the given input values.
    std::vector<SmallValue> evaluate(const std::vector<SmallValue>& inputs) const;
    // The gradient of the seeded outputs with respect to every input; also
    // adds it into the grad of every Parameter below the outputs that is
    // not an input, as Value::backward does, and only once nothing can fail.
    std::vector<SmallValue> vjp(const std::vector<SmallValue>& inputs,
                                const std::vector<SmallValue>& seeds) const;
    // d(output lane r)/d(input lane c) at row r, column c, rows of
    // input_lanes() numbers, by forward or reverse sweeps, whichever are
    // fewer. Writes no gradient.
    std::vector<double> jacobian(const std::vector<SmallValue>& inputs) const;
    // The outputs' lanes into values (output_lanes() numbers) and the
    // jacobian's rows into jacobian (output_lanes() * input_lanes()
    // numbers), from one forward pass: what evaluate and jacobian give.
    void value_and_jacobian(const std::vector<SmallValue>& inputs, double* values, double* jacobian) const;
    // Evaluates `rows` rows of input_lanes() numbers each (row r at
    // in[r * in_stride], lane k at in[r * in_stride + k * in_lane_stride],
    // counted in doubles) into rows of output_lanes() numbers at out. The
    // input doubles need not be aligned. A failing row throws the same
    // class with "row R: " before the message.
    void map(const void* in, std::size_t rows, std::ptrdiff_t in_stride,
             std::ptrdiff_t in_lane_stride, double* out) const;

private:
    // Reads the tape for the serialized form (function_serialization.cpp).
    friend struct detail::TapeAccess;

    template <typename T>
    struct Slotted {
        std::uint32_t slot;
        T item;
    };

    template <typename SlotMap>
    void emit(const Value& value, std::uint32_t slot, const SlotMap& slot_of);
    void load_constants(SmallValue* slots) const;
    void load_inputs(const std::vector<SmallValue>& inputs, SmallValue* slots) const;
    void forward(const std::vector<SmallValue>& inputs, SmallValue* slots) const;
    void run_forward(SmallValue* slots) const;
    void run_reverse(const SmallValue* slots, double* adjoints) const;
    void run_tangents(const SmallValue* slots, double* tangents, std::size_t directions) const;
    void jacobian_at(const SmallValue* slots, double* jacobian) const;

    std::vector<Value> outputs_;
    std::vector<Value> inputs_;
    // Slot k holds input k for k below the input count; every other node
    // below the outputs has the slot of its place in the depth-first order.
    std::size_t slot_count_ = 0;
    std::vector<Slotted<Value>> parameters_;
    std::vector<Slotted<SmallValue>> constants_;
    std::vector<detail::Instruction> code_;
    std::vector<std::uint32_t> output_slots_;
    // Lane count of each slot's node and where its lanes start in an
    // adjoint or tangent array.
    std::vector<std::uint8_t> lane_dimension_;
    std::vector<std::uint32_t> lane_offset_;
    std::size_t lane_count_ = 0;
    int input_lanes_ = 0;
    int output_lanes_ = 0;
};

}  // namespace varnel::symbolic
