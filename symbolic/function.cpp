// Compiled functions: the graph below the outputs, frozen into an array of
// instructions in the depth-first order that eval and backward use and run
// with the same lane kernels and the same derivative rules, so that the
// numbers are theirs bit for bit.
#include "symbolic/function.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/id_map.h"
#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"

namespace varnel::symbolic {
namespace {

using detail::Code;
using detail::Instruction;

constexpr std::uint32_t kUnfinished = std::numeric_limits<std::uint32_t>::max();

// Per-call storage. Slots are written before they are read, so it is left
// uninitialised: clearing a large graph's slots would cost as much as
// running it.
template <typename T>
class Scratch {
public:
    explicit Scratch(std::size_t count)
        : data_(static_cast<T*>(::operator new((count + 1) * sizeof(T)))) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { ::operator delete(data_); }
    T* get() const { return data_; }

private:
    T* data_;
};

inline void put(SmallValue* slots, std::uint32_t slot, const SmallValue& value) {
    new (slots + slot) SmallValue(value);
}

// A one-lane result: only the live lane is stored, so the value does not
// travel through a temporary on the way.
inline void put_scalar(SmallValue* slots, std::uint32_t slot, const SmallValue& value) {
    slots[slot].dimension = 1;
    slots[slot].lanes[0] = value.lanes[0];
}

inline void zero(double* lanes, std::size_t count) {
    std::memset(lanes, 0, count * sizeof(double));
}

// Input rows come from any buffer, whose doubles may sit at any address:
// each is copied out byte for byte, which compiles to one plain load.
inline double load_double(const unsigned char* at) {
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// "1 seed", "2 seeds".
std::string count_of(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

void require_input_values(const std::vector<SmallValue>& values, const std::vector<Value>& inputs) {
    if (values.size() != inputs.size()) {
        throw std::invalid_argument("function expects " + count_of(inputs.size(), "input value") + ", got " +
                                    std::to_string(values.size()));
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        require_finite(values[k]);
        const int expected = inputs[k].node().dimension;
        if (values[k].dimension != expected) {
            throw std::invalid_argument("function input " + std::to_string(k) + " has dimension " +
                                        std::to_string(values[k].dimension) + ", expected " +
                                        std::to_string(expected));
        }
    }
}

void require_seeds(const std::vector<SmallValue>& seeds, const std::vector<Value>& outputs) {
    if (seeds.size() != outputs.size()) {
        throw std::invalid_argument("function expects " + count_of(outputs.size(), "seed") + ", got " +
                                    std::to_string(seeds.size()));
    }
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        require_finite(seeds[k]);
        if (seeds[k].dimension != outputs[k].node().dimension) {
            throw std::invalid_argument("backward seed dimension does not match output dimension");
        }
    }
}

// One-lane arithmetic gets instructions of its own; every other operator
// with a rule runs lane by lane.
Code one_lane_code(ExpressionOp op) {
    switch (op) {
        case ExpressionOp::Add: return Code::Add1;
        case ExpressionOp::Subtract: return Code::Subtract1;
        case ExpressionOp::Multiply: return Code::Multiply1;
        case ExpressionOp::Divide: return Code::Divide1;
        default: return Code::Lanes;
    }
}

[[noreturn]] void unsupported_op() {
    throw std::logic_error("unsupported symbolic expression op");
}

template <typename Error>
[[noreturn]] void rethrow_for_row(const Error& error, std::size_t row) {
    throw Error("row " + std::to_string(row) + ": " + error.what());
}

// The error for an Undefined below an output that is not an input: the
// message of evaluation, and which leaf it is, by its name or else its id.
// Names are any bytes; only printable ASCII is shown as it is, so the
// message stays text wherever it is shown.
std::logic_error undefined_leaf_error(const ValueNode& node) {
    std::string which;
    if (node.name.empty()) {
        which = "#" + std::to_string(node.id);
    } else {
        static constexpr char kHex[] = "0123456789abcdef";
        which = "'";
        for (const char c : node.name) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
                which += c;
            } else {
                which += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
            }
        }
        which += "'";
    }
    return std::logic_error("cannot evaluate symbolic graph with Undefined values: the Undefined " + which +
                            " is not an input of the function");
}

}  // namespace

Function::Function(const Function&) = default;
Function::Function(Function&&) noexcept = default;
Function& Function::operator=(const Function&) = default;
Function& Function::operator=(Function&&) noexcept = default;
Function::~Function() = default;

std::size_t Function::instruction_count() const noexcept { return code_.size(); }

Function::Function(std::vector<Value> outputs, std::vector<Value> inputs)
    : outputs_(std::move(outputs)), inputs_(std::move(inputs)) {
    if (outputs_.empty()) {
        throw std::invalid_argument("function needs at least one output");
    }
    for (const Value& output : outputs_) {
        require_valid(output, "function output");
    }
    IdMap<std::uint32_t> slot_of(256);
    for (const Value& input : inputs_) {
        require_valid(input, "function input");
        const ValueNode& node = input.node();
        if (node.kind != ValueKind::Undefined && node.kind != ValueKind::Parameter) {
            throw std::invalid_argument("function inputs must be Undefined or Parameter values");
        }
        if (!slot_of.try_emplace(node.id, static_cast<std::uint32_t>(slot_count_)).second) {
            throw std::invalid_argument("function input is listed twice");
        }
        ++slot_count_;
    }

    // First the order: depth-first post-order over the outputs in turn,
    // inputs in index order, a node marked on entry, the order of eval and
    // backward; a node's slot is its place in it. An explicit stack, so a
    // deep chain cannot overflow the call stack.
    std::vector<const Value*> order;
    std::size_t expressions = 0;
    std::size_t constants = 0;
    struct Frame {
        const Value* value;
        int next_input;
    };
    std::vector<Frame> stack;
    auto enter = [&](const Value& value) {
        require_valid(value, "backward value");
        if (slot_of.try_emplace(value.node().id, kUnfinished).second) {
            stack.push_back({&value, 0});
        }
    };
    auto finish = [&](const Value& value) {
        const ValueNode& node = value.node();
        if (node.kind == ValueKind::Undefined) {
            throw undefined_leaf_error(node);
        }
        expressions += node.kind == ValueKind::Expression ? 1 : 0;
        constants += node.kind == ValueKind::Constant ? 1 : 0;
        *slot_of.find(node.id) = static_cast<std::uint32_t>(slot_count_++);
        order.push_back(&value);
    };
    for (const Value& output : outputs_) {
        enter(output);
        while (!stack.empty()) {
            Frame& top = stack.back();
            const ValueNode& node = top.value->node();
            if (top.next_input < node.input_count) {
                enter(node.inputs[static_cast<std::size_t>(top.next_input++)]);
            } else {
                const Value* value = top.value;
                stack.pop_back();
                finish(*value);
            }
        }
        output_slots_.push_back(*slot_of.find(output.node().id));
        output_lanes_ += output.node().dimension;
    }

    // Then the tape, in arrays of their final size: growing them would
    // cost more than everything else here together.
    lane_dimension_.reserve(slot_count_);
    lane_offset_.reserve(slot_count_);
    code_.reserve(expressions);
    constants_.reserve(constants);
    parameters_.reserve(order.size() - expressions - constants);
    auto add_lanes = [this](const ValueNode& node) {
        lane_dimension_.push_back(static_cast<std::uint8_t>(node.dimension));
        lane_offset_.push_back(static_cast<std::uint32_t>(lane_count_));
        lane_count_ += static_cast<std::size_t>(node.dimension);
    };
    for (const Value& input : inputs_) {
        add_lanes(input.node());
        input_lanes_ += input.node().dimension;
    }
    auto slot = static_cast<std::uint32_t>(inputs_.size());
    for (const Value* value : order) {
        const ValueNode& node = value->node();
        add_lanes(node);
        switch (node.kind) {
            case ValueKind::Constant: constants_.push_back({slot, node.value}); break;
            case ValueKind::Parameter: parameters_.push_back({slot, *value}); break;
            default: emit(*value, slot, slot_of); break;
        }
        ++slot;
    }
}

// The instruction of an expression node, whose operands all have slots.
template <typename SlotMap>
void Function::emit(const Value& value, std::uint32_t slot, const SlotMap& slot_of) {
    const ValueNode& node = value.node();
    Instruction in{node.op, Code::Lanes, static_cast<std::uint8_t>(node.dimension), -1, slot, {0, 0, 0, 0}};
    // Value::input refuses an operand the node lacks, as eval does.
    const auto operand = [&](int i) { return *slot_of.find(value.input(i).node().id); };
    switch (node.op) {
        case ExpressionOp::Pack:
            in.code = Code::Pack;
            in.extra = node.input_count;
            for (int i = 0; i < node.input_count; ++i) in.operand[i] = operand(i);
            break;
        case ExpressionOp::Component:
            in.code = Code::Component;
            in.extra = node.component_index;
            in.operand[0] = operand(0);
            break;
        default: {
            const int operands = rule_operands(node.op);
            if (operands == 0) {
                unsupported_op();
            }
            in.operand[0] = operand(0);
            if (operands == 2) {
                in.operand[1] = operand(1);
                const ValueNode& right = node.inputs[1].node();
                in.extra = right.kind != ValueKind::Constant ? 1 : 0;
                if (node.dimension == 1 && node.inputs[0].node().dimension == 1 && right.dimension == 1) {
                    in.code = one_lane_code(node.op);
                }
            }
        }
    }
    code_.push_back(in);
}

void Function::load_constants(SmallValue* slots) const {
    for (const auto& constant : constants_) {
        put(slots, constant.slot, constant.item);
    }
    for (const auto& parameter : parameters_) {
        put(slots, parameter.slot, parameter.item.node().value);
    }
}

void Function::load_inputs(const std::vector<SmallValue>& inputs, SmallValue* slots) const {
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        put(slots, static_cast<std::uint32_t>(k), inputs[k]);
    }
}

void Function::forward(const std::vector<SmallValue>& inputs, SmallValue* slots) const {
    load_constants(slots);
    load_inputs(inputs, slots);
    run_forward(slots);
}

namespace {

// Any operator with a rule, lane by lane, into slot `out`.
void put_lanes(SmallValue* out, const Instruction& in, const SmallValue& a,
               const SmallValue& b) {
    with_rule(
        in.op,
        [&](auto rule) {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                put(out, 0, binary_lanes<Rule>(a, b, in.dimension));
            } else {
                put(out, 0, unary_lanes<Rule>(a));
            }
        },
        unsupported_op);
}

}  // namespace

// Scalar arithmetic, the bulk of most graphs, gets instructions of its own:
// the kernel with a fixed rule and a dimension of 1 compiles to one
// operation and one check. Lanes past a slot's dimension are never read, so
// a scalar slot leaves them as they were.
void Function::run_forward(SmallValue* s) const {
    for (const Instruction& in : code_) {
        const SmallValue& a = s[in.operand[0]];
        switch (in.code) {
            case Code::Add1: put_scalar(s, in.out, binary_lanes<AddRule>(a, s[in.operand[1]], 1)); break;
            case Code::Subtract1: put_scalar(s, in.out, binary_lanes<SubtractRule>(a, s[in.operand[1]], 1)); break;
            case Code::Multiply1: put_scalar(s, in.out, binary_lanes<MultiplyRule>(a, s[in.operand[1]], 1)); break;
            case Code::Divide1: put_scalar(s, in.out, binary_lanes<DivideRule>(a, s[in.operand[1]], 1)); break;
            case Code::Lanes: put_lanes(s + in.out, in, a, s[in.operand[1]]); break;
            case Code::Component: put(s, in.out, small_value(a[in.extra])); break;
            case Code::Pack: {
                SmallValue packed;
                packed.dimension = in.dimension;
                for (int k = 0; k < in.extra; ++k) {
                    const SmallValue& lane = s[in.operand[k]];
                    if (lane.dimension != 1) {
                        throw std::logic_error("Pack input is not scalar");
                    }
                    packed.lanes[static_cast<std::size_t>(k)] = lane.lanes[0];
                }
                put(s, in.out, packed);
                break;
            }
        }
    }
}

namespace {

// The adjoint of an instruction run lane by lane: operand slot a (and b),
// result slot y, upstream lanes g, operand adjoints at left (and right).
// Kept out of run_reverse's loop, which it would otherwise crowd.
[[gnu::noinline]] void reverse_lanes(const Instruction& in, const SmallValue* s, const double* g,
                                     double* left, int ld, double* right, int rd) {
    const int n = in.dimension;
    const SmallValue& x = s[in.operand[0]];
    const SmallValue& y = s[in.out];
    with_rule(
        in.op,
        [&](auto rule) {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                const SmallValue& z = s[in.operand[1]];
                for (int i = 0; i < n; ++i) {
                    const Adjoints d = Rule::adjoint(x.lanes[broadcast_index(x.dimension, i)],
                                                     z.lanes[broadcast_index(z.dimension, i)],
                                                     y.lanes[static_cast<std::size_t>(i)], g[i], in.extra != 0);
                    left[broadcast_index(ld, i)] += d.left;
                    right[broadcast_index(rd, i)] += d.right;
                }
            } else {
                if (x.dimension < n) {
                    throw std::out_of_range("symbolic value lane index out of range");
                }
                for (int i = 0; i < n; ++i) {
                    const auto lane = static_cast<std::size_t>(i);
                    left[i] += Rule::adjoint(x.lanes[lane], y.lanes[lane], g[i]);
                }
            }
        },
        unsupported_op);
}

// One-lane arithmetic: operands and result in lane 0.
template <typename Rule>
void reverse_scalar(const Instruction& in, const SmallValue* s, const double* g, double& left,
                    double& right) {
    const Adjoints d =
        Rule::adjoint(s[in.operand[0]].lanes[0], s[in.operand[1]].lanes[0], s[in.out].lanes[0], g[0], true);
    left += d.left;
    right += d.right;
}

}  // namespace

// Value::backward's scheduling: the same rules in the same order, lane by
// lane, the left operand's contribution added before the right one's.
void Function::run_reverse(const SmallValue* s, double* adjoints) const {
    // Read once: the compiler cannot tell that the calls below leave them be.
    const std::uint32_t* offset = lane_offset_.data();
    const std::uint8_t* dimension = lane_dimension_.data();
    for (auto it = code_.rbegin(); it != code_.rend(); ++it) {
        const Instruction& in = *it;
        const double* g = adjoints + offset[in.out];
        const std::uint32_t a = in.operand[0];
        const std::uint32_t b = in.operand[1];
        switch (in.code) {
            case Code::Add1:
                reverse_scalar<AddRule>(in, s, g, adjoints[offset[a]], adjoints[offset[b]]);
                break;
            case Code::Subtract1:
                reverse_scalar<SubtractRule>(in, s, g, adjoints[offset[a]], adjoints[offset[b]]);
                break;
            case Code::Multiply1:
                reverse_scalar<MultiplyRule>(in, s, g, adjoints[offset[a]], adjoints[offset[b]]);
                break;
            case Code::Divide1:
                reverse_scalar<DivideRule>(in, s, g, adjoints[offset[a]], adjoints[offset[b]]);
                break;
            case Code::Lanes:
                reverse_lanes(in, s, g, adjoints + offset[a], dimension[a],
                              adjoints + offset[b], dimension[b]);
                break;
            case Code::Component: adjoints[offset[a] + static_cast<std::size_t>(in.extra)] += g[0]; break;
            case Code::Pack:
                for (int k = 0; k < in.extra; ++k) {
                    if (k >= in.dimension) {
                        throw std::out_of_range("symbolic value lane index out of range");
                    }
                    adjoints[offset[in.operand[k]]] += g[k];
                }
                break;
        }
    }
}

std::vector<SmallValue> Function::evaluate(const std::vector<SmallValue>& inputs) const {
    require_input_values(inputs, inputs_);
    Scratch<SmallValue> slots(slot_count_);
    forward(inputs, slots.get());
    std::vector<SmallValue> result;
    result.reserve(output_slots_.size());
    for (std::uint32_t slot : output_slots_) {
        const SmallValue& value = slots.get()[slot];
        SmallValue copy;
        copy.dimension = value.dimension;
        for (int i = 0; i < value.dimension; ++i) {
            copy.lanes[static_cast<std::size_t>(i)] = value.lanes[static_cast<std::size_t>(i)];
        }
        result.push_back(copy);
    }
    return result;
}

std::vector<SmallValue> Function::vjp(const std::vector<SmallValue>& inputs,
                                      const std::vector<SmallValue>& seeds) const {
    require_input_values(inputs, inputs_);
    require_seeds(seeds, outputs_);
    Scratch<SmallValue> slots(slot_count_);
    forward(inputs, slots.get());
    Scratch<double> adjoints(lane_count_);
    double* adj = adjoints.get();
    zero(adj, lane_count_);
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        double* lanes = adj + lane_offset_[output_slots_[k]];
        for (int i = 0; i < seeds[k].dimension; ++i) {
            lanes[i] += seeds[k].lanes[static_cast<std::size_t>(i)];
        }
    }
    run_reverse(slots.get(), adj);

    std::vector<SmallValue> gradients(inputs_.size());
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        gradients[k].dimension = lane_dimension_[k];
        std::memcpy(gradients[k].lanes.data(), adj + lane_offset_[k],
                    lane_dimension_[k] * sizeof(double));
    }
    // Nothing below can fail: the gradients are written all or not at all.
    for (const auto& parameter : parameters_) {
        ValueNode& node = parameter.item.mutable_node();
        if (!node.grad) {
            SmallValue zero_lanes;
            zero_lanes.dimension = node.dimension;
            node.grad = zero_lanes;
        }
        const double* lanes = adj + lane_offset_[parameter.slot];
        for (int i = 0; i < node.dimension; ++i) {
            node.grad->lanes[static_cast<std::size_t>(i)] += lanes[i];
        }
    }
    return gradients;
}

std::vector<double> Function::jacobian(const std::vector<SmallValue>& inputs) const {
    require_input_values(inputs, inputs_);
    Scratch<SmallValue> slots(slot_count_);
    forward(inputs, slots.get());
    std::vector<double> result(static_cast<std::size_t>(output_lanes_) * static_cast<std::size_t>(input_lanes_));
    jacobian_at(slots.get(), result.data());
    return result;
}

void Function::value_and_jacobian(const std::vector<SmallValue>& inputs, double* values, double* jacobian) const {
    require_input_values(inputs, inputs_);
    Scratch<SmallValue> slots(slot_count_);
    forward(inputs, slots.get());
    for (std::uint32_t slot : output_slots_) {
        const SmallValue& value = slots.get()[slot];
        values = std::copy(value.lanes.begin(), value.lanes.begin() + lane_dimension_[slot], values);
    }
    jacobian_at(slots.get(), jacobian);
}

// The Jacobian at the values in `slots`, by one reverse sweep per output
// lane or one forward sweep along every input lane, whichever is cheaper.
void Function::jacobian_at(const SmallValue* slots, double* result) const {
    const auto columns = static_cast<std::size_t>(input_lanes_);
    if (output_lanes_ <= input_lanes_) {
        // One reverse sweep per output lane gives a row.
        Scratch<double> work(lane_count_);
        double* lanes = work.get();
        std::size_t row = 0;
        for (std::uint32_t out : output_slots_) {
            for (int i = 0; i < lane_dimension_[out]; ++i, ++row) {
                zero(lanes, lane_count_);
                lanes[lane_offset_[out] + static_cast<std::size_t>(i)] = 1.0;
                run_reverse(slots, lanes);
                std::memcpy(result + row * columns, lanes, columns * sizeof(double));
            }
        }
        return;
    }
    // One forward sweep along every input lane at once. The inputs' lanes
    // come first in the lane array, so direction c starts as input lane c;
    // constants and Parameters have no tangent, and every instruction
    // writes all of its own before any is read.
    Scratch<double> work(lane_count_ * columns);
    double* t = work.get();
    zero(t, columns * columns);
    for (std::size_t c = 0; c < columns; ++c) t[c * columns + c] = 1.0;
    for (const auto& constant : constants_) {
        zero(t + lane_offset_[constant.slot] * columns, lane_dimension_[constant.slot] * columns);
    }
    for (const auto& parameter : parameters_) {
        zero(t + lane_offset_[parameter.slot] * columns, lane_dimension_[parameter.slot] * columns);
    }
    run_tangents(slots, t, columns);
    // A row of the Jacobian is an output lane's tangents, side by side.
    for (std::uint32_t out : output_slots_) {
        const double* lanes = t + lane_offset_[out] * columns;
        result = std::copy(lanes, lanes + lane_dimension_[out] * columns, result);
    }
}

void Function::map(const void* in, std::size_t rows, std::ptrdiff_t in_stride,
                   std::ptrdiff_t in_lane_stride, double* out) const {
    Scratch<SmallValue> slots(slot_count_);
    SmallValue* s = slots.get();
    load_constants(s);
    const auto width = static_cast<std::size_t>(output_lanes_);
    const auto row_bytes = in_stride * static_cast<std::ptrdiff_t>(sizeof(double));
    const auto lane_bytes = in_lane_stride * static_cast<std::ptrdiff_t>(sizeof(double));
    for (std::size_t row = 0; row < rows; ++row) {
        const unsigned char* source = static_cast<const unsigned char*>(in) + static_cast<std::ptrdiff_t>(row) * row_bytes;
        try {
            std::ptrdiff_t lane = 0;
            for (std::size_t k = 0; k < inputs_.size(); ++k) {
                SmallValue value;
                value.dimension = lane_dimension_[k];
                for (int i = 0; i < value.dimension; ++i, ++lane) {
                    value.lanes[static_cast<std::size_t>(i)] = load_double(source + lane * lane_bytes);
                }
                require_finite_lanes(value);
                put(s, static_cast<std::uint32_t>(k), value);
            }
            run_forward(s);
        } catch (const std::invalid_argument& error) {
            rethrow_for_row(error, row);
        } catch (const std::out_of_range& error) {
            rethrow_for_row(error, row);
        } catch (const std::logic_error& error) {
            rethrow_for_row(error, row);
        }
        double* target = out + row * width;
        for (std::uint32_t slot : output_slots_) {
            const SmallValue& value = s[slot];
            for (int i = 0; i < lane_dimension_[slot]; ++i) {
                *target++ = value.lanes[static_cast<std::size_t>(i)];
            }
        }
    }
}

}  // namespace varnel::symbolic
