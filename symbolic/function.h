// Compiled functions: a graph frozen once into a flat instruction array and
// then evaluated and differentiated again and again without walking it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "symbolic/symbolic.h"

namespace varnel::symbolic {

namespace detail {
struct Instruction;
struct TapeAccess;
}

// How a call over many rows runs. The rows are split into blocks, the same
// blocks whatever the thread count, so results do not depend on it.
struct RowOptions {
    // Threads that share the blocks; 0 takes the cores the calling thread
    // may run on (its CPU affinity) when the work is large enough to gain
    // from them, else 1.
    unsigned threads = 0;
    // With threads 0, take no more than this many (0: no bound).
    unsigned most_threads = 0;
    // Asked on the calling thread between blocks, every few milliseconds:
    // when it returns true the call stops early and returns false, its
    // output partly written and nothing else changed.
    std::function<bool()> interrupted;
    // Runs the call's two short steps that touch its Parameters, on the
    // calling thread: reading their values once before the rows, and, for
    // map_vjp with accumulate, adding into their gradients once after
    // them. A caller whose other threads may set those Parameters or
    // their gradients meanwhile runs each step holding the lock that
    // guards them. Empty: the steps run directly.
    std::function<void(const std::function<void()>& step)> with_parameters;
};

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
// a running call, must be serialised by the caller (calls over rows touch
// the Parameters only through RowOptions::with_parameters).
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
    // class with "row R: " before the message, R the first failing row.
    // Returns false when options.interrupted stopped it.
    bool map(const void* in, std::size_t rows, std::ptrdiff_t in_stride, std::ptrdiff_t in_lane_stride,
             double* out, const RowOptions& options = {}) const;
    // vjp over rows read as map reads them: row r's seeds, output_lanes()
    // numbers, at seeds[r * seed_stride] (a stride of 0 seeds every row
    // alike), its gradient, input_lanes() numbers, at out[r * input_lanes()].
    // With accumulate, the sum over rows of the gradients of the Parameters
    // that are not inputs is added into their grad once every row is done.
    bool map_vjp(const void* in, std::size_t rows, std::ptrdiff_t in_stride, std::ptrdiff_t in_lane_stride,
                 const double* seeds, std::ptrdiff_t seed_stride, double* out, bool accumulate,
                 const RowOptions& options = {}) const;
    // Each row's jacobian, output_lanes() rows of input_lanes() numbers,
    // at out[r * output_lanes() * input_lanes()]. Writes no gradient.
    bool map_jacobian(const void* in, std::size_t rows, std::ptrdiff_t in_stride,
                      std::ptrdiff_t in_lane_stride, double* out, const RowOptions& options = {}) const;

private:
    // Reads the tape for the serialized form (function_serialization.cpp).
    friend struct detail::TapeAccess;
    // Walk the tape for the unknowns each output reaches, and sweep ranges
    // of it, an output's rows of the Jacobian each (residual_blocks.cpp).
    friend class ResidualBlocks;
    friend class BlockJacobian;
    // A solve's forward passes into lanes of its own (tape_lanes.cpp).
    friend class TapeLanes;

    template <typename T>
    struct Placed {
        std::uint32_t lane;
        T item;
    };
    struct Rows;

    template <typename Step, typename Found>
    void emit(const Step& node, std::uint32_t lane, const std::vector<Found>& found);
    void load_values(const std::vector<SmallValue>& inputs, double* values) const;
    void forward(const std::vector<SmallValue>& inputs, double* values, double* kept) const;
    void seed_outputs(const std::vector<SmallValue>& seeds, double* adjoints) const;
    void add_parameter_gradients(const double* adjoints) const;
    void mark_first_adjoint_writes(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& nodes);
    void mark_pairs();
    void zero_adjoints(double* adjoints, std::size_t stride) const;
    template <typename Block, typename Put>
    void jacobian_rows(const double* values, const double* kept, double* lanes, Block rows, Put put) const;
    template <typename Block>
    bool over_rows(const Rows& rows, std::size_t lanes_per_row, const RowOptions& options, Block block) const;
    std::vector<double> read_parameters(const RowOptions& options) const;
    void fill_block(double* values, std::size_t stride, const std::vector<double>& parameters) const;
    bool load_block(const Rows& rows, std::size_t first, std::size_t stride, std::size_t count,
                    double* values) const;
    std::size_t first_bad_row(const double* values, std::size_t stride, std::size_t count) const;
    [[noreturn]] void refuse_row(const Rows& rows, std::size_t row) const;

    std::vector<Value> outputs_;
    std::vector<Value> inputs_;
    // Every node below the outputs owns lanes in one array of lane_count_
    // numbers: the inputs' first, in input order, then the constants'
    // (constants equal in dimension and bits share theirs), then the
    // Parameters', then the expressions' in the depth-first order of eval
    // and backward. Values, adjoints and tangents share the layout.
    std::size_t lane_count_ = 0;
    // The constants' lanes, as they start every call.
    std::vector<double> constant_lanes_;
    std::vector<Placed<Value>> parameters_;
    std::vector<detail::Instruction> code_;
    // The first lane of each output.
    std::vector<std::uint32_t> output_at_;
    // The adjoint lanes that a reverse pass reads before it writes them,
    // as [begin, end) runs: those of the outputs and of nodes no
    // instruction's first write assigns (detail::Instruction::first).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> zeroed_adjoints_;
    int input_lanes_ = 0;
    int output_lanes_ = 0;
};

}  // namespace varnel::symbolic
