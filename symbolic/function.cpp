// Compiled functions: the graph below the outputs, frozen into an array of
// instructions in the depth-first order that eval and backward use and run
// with the same derivative rules, so that the numbers are theirs bit for
// bit. The passes themselves are in detail/tape_passes.h.
#include "symbolic/function.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

#include "symbolic/detail/block_passes.h"
#include "symbolic/detail/checks.h"
#include "symbolic/detail/id_map.h"
#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"
#include "symbolic/detail/tape_passes.h"

namespace varnel::symbolic {
namespace {

using detail::Code;
using detail::Instruction;

constexpr std::uint32_t kUnfinished = std::numeric_limits<std::uint32_t>::max();

// The reverse and tangent sweeps of one row, inline, and of a block of
// rows, through the build of the passes for this processor.
void reverse_sweep(const Instruction* begin, const Instruction* end, const double* values, const double* kept,
                   double* adjoints, OneRow rows) {
    run_reverse(begin, end, values, kept, adjoints, rows);
}

void reverse_sweep(const Instruction* begin, const Instruction* end, const double* values, const double* kept,
                   double* adjoints, RowBlock rows) {
    detail::block_passes().reverse(begin, end, values, kept, adjoints, rows.stride, rows.count);
}

template <std::size_t Directions>
void tangent_sweep(const Instruction* begin, const Instruction* end, const double* values, const double* kept,
                   double* tangents, OneRow rows) {
    run_tangent<Directions>(begin, end, values, kept, tangents, rows);
}

template <std::size_t Directions>
void tangent_sweep(const Instruction* begin, const Instruction* end, const double* values, const double* kept,
                   double* tangents, RowBlock rows) {
    constexpr std::size_t at = Directions == 1 ? 0 : Directions == 2 ? 1 : Directions == 4 ? 2 : 3;
    detail::block_passes().tangent[at](begin, end, values, kept, tangents, rows.stride, rows.count);
}

// A block's forward pass; false when a lane is not finite somewhere.
bool forward_block(const Instruction* begin, const Instruction* end, double* values, double* kept, RowBlock rows) {
    return detail::block_passes().forward(begin, end, values, kept, rows.stride, rows.count);
}

// Per-call storage. Lanes are written before they are read, so it is left
// uninitialised: clearing a large graph's lanes would cost as much as
// running it.
class Scratch {
public:
    explicit Scratch(std::size_t count) : data_(static_cast<double*>(::operator new((count + 1) * sizeof(double)))) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { ::operator delete(data_); }
    double* get() const { return data_; }

private:
    double* data_;
};

// A constant's dimension and the bits of its lanes: constants equal in
// both share their lanes in a Function (see Function::Function).
using ConstantBits = std::array<std::uint64_t, 5>;

ConstantBits bits_of(const ValueNode& node) {
    ConstantBits bits{};
    bits[0] = static_cast<std::uint64_t>(node.dimension);
    std::memcpy(bits.data() + 1, node.value.lanes.data(), static_cast<std::size_t>(node.dimension) * sizeof(double));
    return bits;
}

// A node found by the walk that makes a Function: its first lane once
// placed (kUnfinished until then), its dimension, whether it is a constant.
struct Found {
    std::uint32_t lane;
    std::int32_t dimension;
    bool constant;
};

// A node as that walk leaves it, copied while the node is at hand: what
// placing it and emitting its instruction read, its operands as indices
// among the nodes found.
struct Step {
    const Value* value;
    std::uint32_t found;
    std::array<std::uint32_t, 4> operand;
    std::int32_t dimension;
    std::int32_t input_count;
    std::int32_t component_index;
    ValueKind kind;
    ExpressionOp op;
};

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

// Arithmetic gets instructions of its own, for one lane and for several;
// every other operator with a rule runs lane by lane.
Code arithmetic_code(ExpressionOp op, bool one_lane) {
    switch (op) {
        case ExpressionOp::Add: return one_lane ? Code::Add1 : Code::AddN;
        case ExpressionOp::Subtract: return one_lane ? Code::Subtract1 : Code::SubtractN;
        case ExpressionOp::Multiply: return one_lane ? Code::Multiply1 : Code::MultiplyN;
        case ExpressionOp::Divide: return one_lane ? Code::Divide1 : Code::DivideN;
        default: return Code::Lanes;
    }
}

[[noreturn]] void throw_cannot_combine(int a, int b) {
    throw std::invalid_argument("cannot combine symbolic values with dimensions " + std::to_string(a) + " and " +
                                std::to_string(b));
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
    // Every node is looked up by id once, when the walk reaches it through
    // an edge: the index gives its place among the nodes found, and all
    // else is read by that place, so placing the nodes and emitting their
    // instructions probe no table and touch no node again. A node is made
    // after its operands, so a graph built in one go has its ids between
    // the least and the greatest of its inputs and outputs: that span is
    // the index's window, unless it is far more ids than so many inputs
    // and outputs make likely (other graphs' nodes between them). The hash
    // table beside it starts small and grows: a solver compiles functions
    // of a few nodes, where a larger table cost more to clear than the
    // rest of the compile.
    std::uint64_t least_id = ~std::uint64_t{0};
    std::uint64_t greatest_id = 0;
    for (const std::vector<Value>* values : {&outputs_, &inputs_}) {
        for (const Value& value : *values) {
            if (!is_empty(value)) {
                least_id = std::min(least_id, value.node().id);
                greatest_id = std::max(greatest_id, value.node().id);
            }
        }
    }
    const std::uint64_t span_limit = 16 * (std::uint64_t{inputs_.size()} + outputs_.size() + 16);
    const bool windowed = greatest_id >= least_id && greatest_id - least_id < span_limit;
    const std::size_t window = windowed ? static_cast<std::size_t>(greatest_id - least_id + 1) : 0;
    IdWindowIndex found_at(least_id, window, inputs_.size() + 16);
    // Room for every node the window promises, which only the nodes found
    // touch.
    std::vector<Found> found;
    found.reserve(inputs_.size() + window + 16);
    for (const Value& input : inputs_) {
        require_valid(input, "function input");
        const ValueNode& node = input.node();
        if (node.kind != ValueKind::Undefined && node.kind != ValueKind::Parameter) {
            throw std::invalid_argument("function inputs must be Undefined or Parameter values");
        }
        if (!found_at.try_emplace(node.id, static_cast<std::uint32_t>(found.size())).second) {
            throw std::invalid_argument("function input is listed twice");
        }
        found.push_back({static_cast<std::uint32_t>(input_lanes_), node.dimension, false});
        input_lanes_ += node.dimension;
    }

    // First the order: depth-first post-order over the outputs in turn,
    // inputs in index order, a node marked on entry, the order of eval and
    // backward. An explicit stack, so a deep chain cannot overflow the call
    // stack. The order in blocks: growing one array of its size would copy
    // it and touch twice its memory, which a fresh process pays in page
    // faults.
    std::deque<Step> order;
    std::vector<std::uint32_t> output_found;
    output_found.reserve(outputs_.size());
    std::size_t expressions = 0;
    std::size_t constant_lanes = 0;
    // Where each distinct constant's lanes start among the constants'.
    // Graphs repeat a few constants many times (x * 0.5 makes a constant
    // each time); sharing their lanes keeps a call's lanes, which it copies
    // in, zeroes and sweeps, as few as the distinct values. A constant's
    // lanes are only read, so which node they came from makes no
    // difference to any number. Their lanes follow the inputs', so they are
    // placed as the walk leaves them.
    std::map<ConstantBits, std::uint32_t> constant_at;
    std::size_t parameter_lanes = 0;
    struct Frame {
        const Value* value;
        const ValueNode* node;
        std::uint32_t found;
        int next_input;
        std::array<std::uint32_t, 4> operand;
    };
    std::vector<Frame> stack;
    // The walk waits on memory at each node of a graph larger than the
    // caches, one node after another. With many outputs, the cones of the
    // outputs kAhead places on are fetched meanwhile, breadth first: a node
    // whose lines were asked for kLag nodes before is read, and its
    // operands asked for in turn, three such for each node the walk finds
    // (an output's cone has more paths than nodes). So many misses are in
    // flight at once, and a cone is at hand when the walk reaches it. A
    // full ring drops what comes: fetching is only a hint.
    constexpr std::size_t kAhead = 32;
    constexpr std::size_t kLag = 32;
    constexpr std::size_t kRing = 512;
    std::array<const ValueNode*, kRing> ring;
    std::size_t ring_head = 0;
    std::size_t ring_tail = 0;
    auto fetch = [&](const ValueNode& node) {
        if (ring_tail - ring_head < kRing) {
            __builtin_prefetch(&node);
            __builtin_prefetch(&node.inputs);
            __builtin_prefetch(&node.input_count);
            ring[ring_tail++ % kRing] = &node;
        }
    };
    auto fetch_operands = [&] {
        for (int round = 0; round < 3 && ring_tail - ring_head > kLag; ++round) {
            const ValueNode& node = *ring[ring_head++ % kRing];
            for (int i = 0; i < std::min(node.input_count, 4); ++i) {
                const auto at = static_cast<std::size_t>(i);
                if (!is_empty(node.inputs[at]) && (at == 0 || !node.inputs[at].same_node(node.inputs[at - 1]))) {
                    fetch(node.inputs[at].node());
                }
            }
        }
    };
    if (outputs_.size() > kAhead) {
        for (std::size_t k = 0; k < kAhead; ++k) {
            fetch(outputs_[k].node());
        }
    }
    // The index of the node among those found, a new one put on the stack.
    auto enter = [&](const Value& value) {
        require_valid(value, "backward value");
        const ValueNode& node = value.node();
        const auto [at, inserted] = found_at.try_emplace(node.id, static_cast<std::uint32_t>(found.size()));
        const std::uint32_t index = *at;
        if (inserted) {
            fetch_operands();
            found.push_back({kUnfinished, node.dimension, node.kind == ValueKind::Constant});
            stack.push_back({&value, &node, index, 0, {}});
            // The walk reaches each operand after the subtrees of those
            // before it: fetching their nodes now hides most of the misses
            // of a graph larger than the caches (its id and kind, and its
            // operands further on).
            for (int i = 0; i < std::min(node.input_count, 4); ++i) {
                const Value& operand = node.inputs[static_cast<std::size_t>(i)];
                if (!is_empty(operand)) {
                    __builtin_prefetch(&operand.node());
                    __builtin_prefetch(&operand.node().input_count);
                }
            }
        }
        return index;
    };
    auto finish = [&](const Frame& frame) {
        const ValueNode& node = *frame.node;
        if (node.kind == ValueKind::Undefined) {
            throw undefined_leaf_error(node);
        }
        const auto lanes = static_cast<std::size_t>(node.dimension);
        switch (node.kind) {
            case ValueKind::Expression: ++expressions; break;
            case ValueKind::Constant: {
                const auto [at, inserted] =
                    constant_at.try_emplace(bits_of(node), static_cast<std::uint32_t>(constant_lanes));
                if (inserted) {
                    constant_lanes += lanes;
                    constant_lanes_.insert(constant_lanes_.end(), node.value.lanes.begin(),
                                           node.value.lanes.begin() + node.dimension);
                }
                found[frame.found].lane = static_cast<std::uint32_t>(input_lanes_) + at->second;
                break;
            }
            default: parameter_lanes += lanes; break;
        }
        order.push_back({frame.value, frame.found, frame.operand, node.dimension, node.input_count,
                         node.component_index, node.kind, node.op});
    };
    for (std::size_t k = 0; k < outputs_.size(); ++k) {
        if (k + kAhead < outputs_.size()) {
            fetch(outputs_[k + kAhead].node());
        }
        output_found.push_back(enter(outputs_[k]));
        while (!stack.empty()) {
            const std::size_t depth = stack.size() - 1;
            const ValueNode& node = *stack[depth].node;
            const int next = stack[depth].next_input;
            if (next < node.input_count) {
                stack[depth].next_input = next + 1;
                const std::uint32_t operand = enter(node.inputs[static_cast<std::size_t>(next)]);
                if (next < 4) {
                    stack[depth].operand[static_cast<std::size_t>(next)] = operand;
                }
            } else {
                finish(stack[depth]);
                stack.pop_back();
            }
        }
    }

    // Then the lanes and the tape, in arrays of their final size: growing
    // them would cost more than everything else here together. Constants
    // and Parameters sit together after the inputs, so a call starts by
    // copying them in one piece each.
    code_.reserve(expressions);
    parameters_.reserve(order.size() - expressions);
    // Every node's lanes: the inputs', then the others'.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> nodes;
    nodes.reserve(inputs_.size() + order.size());
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        nodes.emplace_back(found[k].lane, found[k].dimension);
    }
    auto next_parameter = static_cast<std::uint32_t>(static_cast<std::size_t>(input_lanes_) + constant_lanes);
    auto next_expression = static_cast<std::uint32_t>(next_parameter + parameter_lanes);
    for (const Step& step : order) {
        const auto lanes = static_cast<std::uint32_t>(step.dimension);
        std::uint32_t& lane = found[step.found].lane;
        switch (step.kind) {
            case ValueKind::Constant: break;
            case ValueKind::Parameter:
                lane = next_parameter;
                next_parameter += lanes;
                parameters_.push_back({lane, *step.value});
                break;
            default:
                lane = next_expression;
                next_expression += lanes;
                emit(step, lane, found);
                break;
        }
        nodes.emplace_back(lane, step.dimension);
    }
    lane_count_ = next_expression;
    for (const std::uint32_t index : output_found) {
        output_at_.push_back(found[index].lane);
        output_lanes_ += found[index].dimension;
    }
    mark_first_adjoint_writes(nodes);
    mark_pairs();
}

// A multiply and the add after it that reads its product, as in y * c + d,
// are one step of one row's passes (Instruction::pair). In the forward pass
// so are such a pair and the multiply before it whose product the pair's
// multiply reads, as in a * b * 0.5 + 0.5, or the divide after it that
// reads the pair's sum, as in a / (b * b + 2.0): one dispatch for three
// instructions, each handing its result to the next in a register.
void Function::mark_pairs() {
    const auto reads = [](const Instruction& reader, const Instruction& made) {
        return static_cast<std::uint8_t>((reader.operand[0] == made.out ? 1 : 0) |
                                         (reader.operand[1] == made.out ? 2 : 0));
    };
    for (std::size_t k = 0; k + 1 < code_.size(); ++k) {
        Instruction& product = code_[k];
        Instruction& sum = code_[k + 1];
        if (product.code != Code::Multiply1 || sum.code != Code::Add1) {
            continue;
        }
        const std::uint8_t side = reads(sum, product);
        product.pair = side;
        sum.pair = side;
    }
    for (std::size_t k = 0; k + 2 < code_.size(); ++k) {
        Instruction& first = code_[k];
        Instruction& second = code_[k + 1];
        if (first.code != Code::Multiply1 || first.pair != 0) {
            continue;
        }
        // A paired multiply that reads the product before it.
        if (second.code == Code::Multiply1 && second.pair != 0 && reads(second, first) != 0) {
            first.pair = detail::kLeads;
            second.pair = static_cast<std::uint8_t>(second.pair | reads(second, first) << 2);
        }
    }
    for (std::size_t k = 0; k + 2 < code_.size(); ++k) {
        Instruction& product = code_[k];
        Instruction& quotient = code_[k + 2];
        if (product.code != Code::Multiply1 || (product.pair & detail::kPairSides) == 0 ||
            quotient.code != Code::Divide1) {
            continue;
        }
        const std::uint8_t side = reads(quotient, code_[k + 1]);
        if (side != 0) {
            product.pair = static_cast<std::uint8_t>(product.pair | detail::kLeads);
            quotient.pair = static_cast<std::uint8_t>(side << 2);
        }
    }
}

// The reverse pass visits a node's readers last to first, so the first
// write into its adjoint lanes is its last reader's. Unless the node is an
// output (whose seed is there first), that write assigns 0 + d, which is
// what adding into zeroed lanes gives bit for bit, and the node's lanes
// need no zeroing. A Component writes one lane of several: a node read
// last by Components is spared the zeroing when every lane of it is picked
// after its last other reader, and each lane's last pick assigns. A node
// read twice by one instruction (x * x, a Pack of x and x) is assigned at
// its first operand, as the reverse pass writes that one first.
void Function::mark_first_adjoint_writes(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& nodes) {
    // By a node's first lane, its last reader and its last reader that is
    // not a Component; by lane, the last Component that picks it.
    std::vector<std::uint32_t> last_reader(lane_count_, kUnfinished);
    std::vector<std::uint32_t> last_whole(lane_count_, kUnfinished);
    std::vector<std::uint32_t> last_pick(lane_count_, kUnfinished);
    for (std::size_t k = 0; k < code_.size(); ++k) {
        const Instruction& in = code_[k];
        const auto at = static_cast<std::uint32_t>(k);
        if (in.code == Code::Component) {
            last_reader[in.operand[0]] = at;
            // A lane the operand lacks is refused before any reverse pass.
            if (static_cast<std::uint32_t>(in.extra) < in.left_dimension) {
                last_pick[in.operand[0] + static_cast<std::uint32_t>(in.extra)] = at;
            }
            continue;
        }
        const int operands = in.code == Code::Pack ? in.extra : rule_operands(in.op);
        for (int j = 0; j < operands; ++j) {
            last_reader[in.operand[j]] = at;
            last_whole[in.operand[j]] = at;
        }
    }
    for (const std::uint32_t output : output_at_) {
        last_reader[output] = kUnfinished;
    }
    std::vector<bool> zeroed(lane_count_, false);
    for (const auto& [lane, lanes] : nodes) {
        const std::uint32_t reader = last_reader[lane];
        if (reader == kUnfinished) {
            std::fill_n(zeroed.begin() + lane, lanes, true);
            continue;
        }
        if (code_[reader].code == Code::Component) {
            const std::uint32_t whole = last_whole[lane];
            const bool picked = std::all_of(last_pick.begin() + lane, last_pick.begin() + lane + lanes,
                                            [&](std::uint32_t pick) {
                                                return pick != kUnfinished && (whole == kUnfinished || pick > whole);
                                            });
            if (!picked) {
                std::fill_n(zeroed.begin() + lane, lanes, true);
                continue;
            }
            for (std::uint32_t i = lane; i < lane + lanes; ++i) {
                code_[last_pick[i]].first = 1;
            }
            continue;
        }
        Instruction& in = code_[reader];
        int j = 0;
        while (in.operand[j] != lane) ++j;
        in.first = static_cast<std::uint8_t>(in.first | (1u << j));
    }
    for (std::uint32_t lane = 0; lane < lane_count_;) {
        if (!zeroed[lane]) {
            ++lane;
            continue;
        }
        const std::uint32_t begin = lane;
        while (lane < lane_count_ && zeroed[lane]) ++lane;
        zeroed_adjoints_.emplace_back(begin, lane);
    }
}

void Function::zero_adjoints(double* adjoints, std::size_t stride) const {
    for (const auto& [begin, end] : zeroed_adjoints_) {
        zero(adjoints + begin * stride, (end - begin) * stride);
    }
}

// The instruction of an expression node, whose operands all have lanes.
template <typename Step, typename Found>
void Function::emit(const Step& node, std::uint32_t lane, const std::vector<Found>& found) {
    Instruction in{node.op, Code::Lanes, static_cast<std::uint8_t>(node.dimension), 0, 0, 0, 0, -1, lane, {0, 0, 0, 0}};
    const auto operand_of = [&](int i) -> const Found& {
        if (i >= node.input_count) {
            node.value->input(i);  // refuses an operand the node lacks, as eval does
        }
        return found[node.operand[static_cast<std::size_t>(i)]];
    };
    const auto operand = [&](int i) { return operand_of(i).lane; };
    const auto dimension = [&](int i) { return static_cast<std::uint8_t>(operand_of(i).dimension); };
    // Nodes made directly with make_expression may be inconsistent: what
    // would read or write past a node's lanes is refused here, with eval's
    // message where it has one. A Component's lane is refused when run, as
    // eval refuses it.
    require_dimension(node.dimension);
    switch (node.op) {
        case ExpressionOp::Pack:
            in.code = Code::Pack;
            in.extra = node.input_count;
            if (node.input_count > node.dimension) {
                throw std::out_of_range("symbolic value lane index out of range");
            }
            for (int i = 0; i < node.input_count; ++i) {
                if (dimension(i) != 1) {
                    throw std::logic_error("Pack input is not scalar");
                }
                in.operand[i] = operand(i);
            }
            break;
        case ExpressionOp::Component:
            in.code = Code::Component;
            in.extra = node.component_index;
            in.operand[0] = operand(0);
            in.left_dimension = dimension(0);
            break;
        default: {
            const int operands = rule_operands(node.op);
            if (operands == 0) {
                unsupported_tape_op();
            }
            in.operand[0] = operand(0);
            in.left_dimension = dimension(0);
            const auto fits = [&](int lanes) { return lanes == 1 || lanes == node.dimension; };
            if (operands == 1 && in.left_dimension != node.dimension) {
                throw_cannot_combine(in.left_dimension, node.dimension);
            }
            if (operands == 2) {
                in.operand[1] = operand(1);
                in.right_dimension = dimension(1);
                if (!fits(in.left_dimension) || !fits(in.right_dimension)) {
                    throw_cannot_combine(in.left_dimension, in.right_dimension);
                }
                in.extra = operand_of(1).constant ? 0 : 1;
                in.code = arithmetic_code(node.op, node.dimension == 1);
            }
        }
    }
    code_.push_back(in);
}

// The constants' and Parameters' lanes, then the inputs'.
void Function::load_values(const std::vector<SmallValue>& inputs, double* values) const {
    // std::copy rather than memcpy: with no constants the source is null.
    std::copy(constant_lanes_.begin(), constant_lanes_.end(), values + input_lanes_);
    for (const auto& parameter : parameters_) {
        const ValueNode& node = parameter.item.node();
        std::memcpy(values + parameter.lane, node.value.lanes.data(), static_cast<std::size_t>(node.dimension) * sizeof(double));
    }
    double* lane = values;
    for (const SmallValue& input : inputs) {
        lane = std::copy(input.lanes.begin(), input.lanes.begin() + input.dimension, lane);
    }
}

// Refuses what the checked pass of eval would refuse: the same class and
// message, for the same first lane that is not finite.
void Function::forward(const std::vector<SmallValue>& inputs, double* values, double* kept) const {
    load_values(inputs, values);
    if (!run_forward(code_.data(), code_.data() + code_.size(), values, kept, OneRow{})) {
        refuse_lanes_not_finite();
    }
}

namespace {

// A forward sweep carries this many directions at most: enough to pay each
// instruction's dispatch once for the few unknowns of most problems, few
// enough that a block's tangents stay in cache.
constexpr std::size_t kMaxDirections = 8;

// Sweeps are 1, 2, 4 or 8 directions wide, so that the loop over them has
// a fixed length; the directions beyond `count` run along 0, unread.
constexpr std::size_t sweep_width(std::size_t count) {
    return count <= 2 ? count : count <= 4 ? 4 : kMaxDirections;
}

// sweep(integral_constant of the width) for `count` directions.
template <typename Sweep>
void with_directions(std::size_t count, Sweep&& sweep) {
    switch (sweep_width(count)) {
        case 1: sweep(std::integral_constant<std::size_t, 1>{}); break;
        case 2: sweep(std::integral_constant<std::size_t, 2>{}); break;
        case 4: sweep(std::integral_constant<std::size_t, 4>{}); break;
        default: sweep(std::integral_constant<std::size_t, kMaxDirections>{}); break;
    }
}

// The scratch lanes per row that jacobian_rows sweeps in: one set of lanes
// in reverse, one per direction of the widest sweep forward.
std::size_t tangent_lanes(std::size_t lane_count, int output_lanes, int input_lanes) {
    if (output_lanes <= input_lanes) {
        return lane_count;
    }
    return lane_count * sweep_width(std::min(static_cast<std::size_t>(input_lanes), kMaxDirections));
}

}  // namespace

void Function::seed_outputs(const std::vector<SmallValue>& seeds, double* adjoints) const {
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        double* lanes = adjoints + output_at_[k];
        for (int i = 0; i < seeds[k].dimension; ++i) {
            lanes[i] += seeds[k].lanes[static_cast<std::size_t>(i)];
        }
    }
}

std::vector<SmallValue> Function::evaluate(const std::vector<SmallValue>& inputs) const {
    require_input_values(inputs, inputs_);
    Scratch values(lane_count_);
    forward(inputs, values.get(), nullptr);
    std::vector<SmallValue> result(outputs_.size());
    for (std::size_t k = 0; k < outputs_.size(); ++k) {
        result[k].dimension = outputs_[k].node().dimension;
        std::memcpy(result[k].lanes.data(), values.get() + output_at_[k],
                    static_cast<std::size_t>(result[k].dimension) * sizeof(double));
    }
    return result;
}

std::vector<SmallValue> Function::vjp(const std::vector<SmallValue>& inputs,
                                      const std::vector<SmallValue>& seeds) const {
    require_input_values(inputs, inputs_);
    require_seeds(seeds, outputs_);
    Scratch work(3 * lane_count_);
    double* values = work.get();
    double* kept = values + lane_count_;
    double* adj = kept + lane_count_;
    forward(inputs, values, kept);
    zero(adj, lane_count_);
    seed_outputs(seeds, adj);
    run_reverse(code_.data(), code_.data() + code_.size(), values, kept, adj, OneRow{});

    std::vector<SmallValue> gradients(inputs_.size());
    const double* lane = adj;
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        gradients[k].dimension = inputs[k].dimension;
        std::memcpy(gradients[k].lanes.data(), lane, static_cast<std::size_t>(inputs[k].dimension) * sizeof(double));
        lane += inputs[k].dimension;
    }
    // Nothing below can fail: the gradients are written all or not at all.
    add_parameter_gradients(adj);
    return gradients;
}

void Function::add_parameter_gradients(const double* adjoints) const {
    for (const auto& parameter : parameters_) {
        ValueNode& node = parameter.item.mutable_node();
        if (!node.grad) {
            SmallValue zero_lanes;
            zero_lanes.dimension = node.dimension;
            node.grad = zero_lanes;
        }
        const double* lanes = adjoints + parameter.lane;
        for (int i = 0; i < node.dimension; ++i) {
            node.grad->lanes[static_cast<std::size_t>(i)] += lanes[i];
        }
    }
}

// Every output lane's derivative with respect to every input lane, by one
// reverse sweep per output lane or forward sweeps along up to
// kMaxDirections input lanes at once, whichever are fewer; put(row of the
// block, output lane, input lane, d). `lanes` holds tangent_lanes() lanes
// per row.
template <typename Block, typename Put>
void Function::jacobian_rows(const double* values, const double* kept, double* lanes, Block rows, Put put) const {
    const Instruction* begin = code_.data();
    const Instruction* end = begin + code_.size();
    const std::size_t stride = rows.stride;
    const auto columns = static_cast<std::size_t>(input_lanes_);
    if (output_lanes_ <= input_lanes_) {
        std::size_t row = 0;
        for (std::size_t k = 0; k < outputs_.size(); ++k) {
            for (int i = 0; i < outputs_[k].node().dimension; ++i, ++row) {
                zero(lanes, lane_count_ * stride);
                double* seed = lanes + (output_at_[k] + static_cast<std::size_t>(i)) * stride;
                for (std::size_t r = 0; r < rows.count; ++r) seed[r] = 1.0;
                reverse_sweep(begin, end, values, kept, lanes, rows);
                for (std::size_t c = 0; c < columns; ++c) {
                    for (std::size_t r = 0; r < rows.count; ++r) put(r, row, c, lanes[c * stride + r]);
                }
            }
        }
        return;
    }
    // The inputs' lanes come first in the lane array, so column c is lane
    // c; the constants' and Parameters' follow, up to the first
    // instruction's result, and the sweep sets every lane from there on.
    const std::size_t leaves = code_.empty() ? lane_count_ : code_.front().out;
    for (std::size_t first = 0; first < columns; first += kMaxDirections) {
        const std::size_t count = std::min(columns - first, kMaxDirections);
        with_directions(count, [&](auto width) {
            constexpr std::size_t directions = decltype(width)::value;
            zero(lanes, leaves * stride * directions);
            for (std::size_t d = 0; d < count; ++d) {
                double* seed = lanes + (first + d) * stride * directions + d;
                for (std::size_t r = 0; r < rows.count; ++r) seed[r * directions] = 1.0;
            }
            tangent_sweep<directions>(begin, end, values, kept, lanes, rows);
            std::size_t row = 0;
            for (std::size_t k = 0; k < outputs_.size(); ++k) {
                for (int i = 0; i < outputs_[k].node().dimension; ++i, ++row) {
                    const double* lane = lanes + (output_at_[k] + static_cast<std::size_t>(i)) * stride * directions;
                    for (std::size_t r = 0; r < rows.count; ++r) {
                        for (std::size_t d = 0; d < count; ++d) put(r, row, first + d, lane[r * directions + d]);
                    }
                }
            }
        });
    }
}

std::vector<double> Function::jacobian(const std::vector<SmallValue>& inputs) const {
    require_input_values(inputs, inputs_);
    Scratch work(2 * lane_count_ + tangent_lanes(lane_count_, output_lanes_, input_lanes_));
    double* values = work.get();
    double* kept = values + lane_count_;
    double* lanes = kept + lane_count_;
    forward(inputs, values, kept);
    std::vector<double> result(static_cast<std::size_t>(output_lanes_) * static_cast<std::size_t>(input_lanes_));
    jacobian_rows(values, kept, lanes, OneRow{}, [&](std::size_t, std::size_t row, std::size_t column, double d) {
        result[row * static_cast<std::size_t>(input_lanes_) + column] = d;
    });
    return result;
}

void Function::value_and_jacobian(const std::vector<SmallValue>& inputs, double* values, double* jacobian) const {
    require_input_values(inputs, inputs_);
    Scratch work(2 * lane_count_ + tangent_lanes(lane_count_, output_lanes_, input_lanes_));
    double* lanes = work.get();
    double* kept = lanes + lane_count_;
    forward(inputs, lanes, kept);
    for (std::size_t k = 0; k < outputs_.size(); ++k) {
        const double* output = lanes + output_at_[k];
        values = std::copy(output, output + outputs_[k].node().dimension, values);
    }
    const auto columns = static_cast<std::size_t>(input_lanes_);
    jacobian_rows(lanes, kept, kept + lane_count_, OneRow{},
                  [&](std::size_t, std::size_t row, std::size_t column, double d) { jacobian[row * columns + column] = d; });
}


// --- Calls over rows ----------------------------------------------------------

namespace {

// A block of rows takes about this much scratch on its thread: it stays in
// the core's own cache, and is long enough that each instruction's dispatch
// is paid once over many rows.
constexpr std::size_t kBlockBytes = 256 * 1024;
constexpr std::size_t kMaxBlockRows = 256;
// Work, in instructions times rows, below which threads cost more to start
// than they save.
constexpr std::size_t kThreadedWork = std::size_t{1} << 19;
// How often the calling thread asks whether to stop.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

std::size_t block_height(std::size_t lanes_per_row) {
    return std::clamp<std::size_t>(kBlockBytes / (std::max<std::size_t>(lanes_per_row, 1) * sizeof(double)), 1,
                                   kMaxBlockRows);
}

// The cores this thread may run on: those of its affinity mask where the
// system has one (a container or taskset may allow fewer than the machine
// has), else the machine's.
unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    }
#endif
    return std::max(std::thread::hardware_concurrency(), 1U);
}

// One lane of a block's rows into every width-th number of `to`: the
// column of an output laid out row after row.
inline void store_column(double* to, std::size_t width, const double* lane, std::size_t count) {
    if (width == 1) {
        std::memcpy(to, lane, count * sizeof(double));
        return;
    }
    for (std::size_t r = 0; r < count; ++r, to += width) *to = lane[r];
}

// The first `width` lanes of a block's rows into rows of `width` numbers,
// row after row. Each row's few numbers are written together, and for a
// row of 2 to 4 numbers the loop over them unrolls; a wider row is written
// lane by lane.
template <std::size_t Width>
void store_rows_of(double* to, const double* lanes, std::size_t stride, std::size_t count) {
    for (std::size_t r = 0; r < count; ++r, to += Width) {
        for (std::size_t c = 0; c < Width; ++c) to[c] = lanes[c * stride + r];
    }
}

inline void store_rows(double* to, std::size_t width, const double* lanes, std::size_t stride, std::size_t count) {
    switch (width) {
        case 2: store_rows_of<2>(to, lanes, stride, count); return;
        case 3: store_rows_of<3>(to, lanes, stride, count); return;
        case 4: store_rows_of<4>(to, lanes, stride, count); return;
        default:
            for (std::size_t c = 0; c < width; ++c) store_column(to + c, width, lanes + c * stride, count);
    }
}

template <typename Error>
[[noreturn]] void rethrow_for_row(const Error& error, std::size_t row) {
    throw Error("row " + std::to_string(row) + ": " + error.what());
}

void lower_to(std::atomic<std::size_t>& target, std::size_t value) {
    std::size_t current = target.load();
    while (value < current && !target.compare_exchange_weak(current, value)) {
    }
}

}  // namespace

// Where the rows come from: row r's lane k at in + r * row_bytes + k *
// lane_bytes, its seeds (when there are any) at seeds + r * seed_stride.
struct Function::Rows {
    const unsigned char* in;
    std::size_t count;
    std::ptrdiff_t row_bytes;
    std::ptrdiff_t lane_bytes;
    const double* seeds;
    std::ptrdiff_t seed_stride;
};

namespace {

// Runs a step that touches the Parameters as the options ask.
void touch_parameters(const RowOptions& options, const std::function<void()>& step) {
    if (options.with_parameters) {
        options.with_parameters(step);
    } else {
        step();
    }
}

}  // namespace

// The lanes of the Parameters, in lane order, read once for a call over
// rows so that every row sees the same values. The room is made first:
// the step only copies.
std::vector<double> Function::read_parameters(const RowOptions& options) const {
    std::size_t count = 0;
    for (const auto& parameter : parameters_) {
        count += static_cast<std::size_t>(parameter.item.node().dimension);
    }
    std::vector<double> lanes(count);
    if (count != 0) {
        touch_parameters(options, [&] {
            double* lane = lanes.data();
            for (const auto& parameter : parameters_) {
                const ValueNode& node = parameter.item.node();
                lane = std::copy_n(node.value.lanes.begin(), node.dimension, lane);
            }
        });
    }
    return lanes;
}

// The constants' lanes and then the Parameters', one run after the
// inputs', each the same in every row of the block.
void Function::fill_block(double* values, std::size_t stride, const std::vector<double>& parameters) const {
    double* lane = values + static_cast<std::size_t>(input_lanes_) * stride;
    for (const double constant : constant_lanes_) {
        lane = std::fill_n(lane, stride, constant);
    }
    for (const double parameter : parameters) {
        lane = std::fill_n(lane, stride, parameter);
    }
}

// The block's input lanes; false when one is not finite. Lane by lane, a
// pointer stepping over the rows, finiteness gathered as bits: one lane in
// rows next to each other is a plain copy, which vectorises.
bool Function::load_block(const Rows& rows, std::size_t first, std::size_t stride, std::size_t count,
                          double* values) const {
    const unsigned char* block = rows.in + static_cast<std::ptrdiff_t>(first) * rows.row_bytes;
    std::uint64_t bad = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(input_lanes_); ++k) {
        const unsigned char* from = block + static_cast<std::ptrdiff_t>(k) * rows.lane_bytes;
        double* __restrict to = values + k * stride;
        if (rows.row_bytes == static_cast<std::ptrdiff_t>(sizeof(double))) {
            for (std::size_t r = 0; r < count; ++r) {
                const double lane = load_double(from + r * sizeof(double));
                to[r] = lane;
                bad |= not_finite_bit(lane);
            }
            continue;
        }
        for (std::size_t r = 0; r < count; ++r, from += rows.row_bytes) {
            const double lane = load_double(from);
            to[r] = lane;
            bad |= not_finite_bit(lane);
        }
    }
    return bad == 0;
}

// The first row of a block with a lane that is not finite, else count:
// every lane is an input, a constant, a Parameter or an instruction's
// result, so this is the first row that eval would refuse.
std::size_t Function::first_bad_row(const double* values, std::size_t stride, std::size_t count) const {
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t lane = 0; lane < lane_count_; ++lane) {
            if (!is_finite_lane(values[lane * stride + r])) {
                return r;
            }
        }
    }
    return count;
}

// The error of a row that failed, as a call of that row alone raises it:
// its inputs checked first, then its seeds, then its values.
void Function::refuse_row(const Rows& rows, std::size_t row) const {
    try {
        const unsigned char* source = rows.in + static_cast<std::ptrdiff_t>(row) * rows.row_bytes;
        std::ptrdiff_t lane = 0;
        for (const Value& input : inputs_) {
            SmallValue value;
            value.dimension = input.node().dimension;
            for (int i = 0; i < value.dimension; ++i, ++lane) {
                value.lanes[static_cast<std::size_t>(i)] = load_double(source + lane * rows.lane_bytes);
            }
            require_finite_lanes(value);
        }
        if (rows.seeds != nullptr) {
            const double* seed = rows.seeds + static_cast<std::ptrdiff_t>(row) * rows.seed_stride;
            for (const Value& output : outputs_) {
                SmallValue value;
                value.dimension = output.node().dimension;
                std::copy(seed, seed + value.dimension, value.lanes.begin());
                seed += value.dimension;
                require_finite(value);
            }
        }
        // Its inputs and seeds are fine, so a value it computes is not.
        refuse_lanes_not_finite();
    } catch (const std::invalid_argument& error) {
        rethrow_for_row(error, row);
    }
}

// Runs block(first row, RowBlock, scratch) over the rows, block after
// block, on the threads the options ask for; block returns the first of
// its rows that failed, or its row count. Blocks are handed out in order,
// so when one fails every block before it has run, and the error is that
// of the first failing row whatever the thread count.
template <typename Block>
bool Function::over_rows(const Rows& rows, std::size_t lanes_per_row, const RowOptions& options,
                         Block block) const {
    if (rows.count == 0) {
        return true;
    }
    const std::vector<double> parameters = read_parameters(options);
    const std::size_t height = block_height(lanes_per_row);
    const std::size_t blocks = (rows.count + height - 1) / height;
    std::size_t threads = options.threads;
    if (threads == 0) {
        threads = rows.count * (code_.size() + 1) >= kThreadedWork ? usable_cores() : 1;
        if (options.most_threads != 0) {
            threads = std::min<std::size_t>(threads, options.most_threads);
        }
    }
    threads = std::clamp<std::size_t>(threads, 1, blocks);

    std::atomic<std::size_t> next_block{0};
    std::atomic<std::size_t> first_bad{rows.count};
    std::atomic<bool> stop{false};
    std::vector<std::exception_ptr> failures(threads);
    auto work = [&](std::size_t thread) {
        try {
            Scratch scratch(lanes_per_row * height);
            double* lanes = scratch.get();
            fill_block(lanes, height, parameters);
            // The first block asks at once.
            auto polled = std::chrono::steady_clock::now() - kPollInterval;
            while (!stop.load(std::memory_order_relaxed)) {
                if (thread == 0 && options.interrupted) {
                    const auto now = std::chrono::steady_clock::now();
                    if (now - polled >= kPollInterval) {
                        polled = now;
                        if (options.interrupted()) {
                            stop = true;
                            break;
                        }
                    }
                }
                const std::size_t first = next_block.fetch_add(1) * height;
                if (first >= rows.count || first > first_bad.load()) {
                    break;
                }
                const RowBlock rows_here{height, std::min(height, rows.count - first)};
                const std::size_t bad = block(first, rows_here, lanes);
                if (bad < rows_here.count) {
                    lower_to(first_bad, first + bad);
                }
            }
        } catch (...) {
            failures[thread] = std::current_exception();
            stop = true;
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);
    for (std::size_t thread = 1; thread < threads; ++thread) {
        helpers.emplace_back(work, thread);
    }
    work(0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    if (stop) {
        return false;
    }
    if (first_bad.load() < rows.count) {
        refuse_row(rows, first_bad.load());
    }
    return true;
}

bool Function::map(const void* in, std::size_t rows, std::ptrdiff_t in_stride, std::ptrdiff_t in_lane_stride,
                   double* out, const RowOptions& options) const {
    const Rows source{static_cast<const unsigned char*>(in), rows,
                      in_stride * static_cast<std::ptrdiff_t>(sizeof(double)),
                      in_lane_stride * static_cast<std::ptrdiff_t>(sizeof(double)), nullptr, 0};
    const auto width = static_cast<std::size_t>(output_lanes_);
    return over_rows(source, lane_count_, options, [&](std::size_t first, RowBlock block, double* values) {
        const bool loaded = load_block(source, first, block.stride, block.count, values);
        std::size_t rows_here = block.count;
        if (!(forward_block(code_.data(), code_.data() + code_.size(), values, nullptr, block) & loaded)) {
            // The rows before a failing one are written, as row by row.
            rows_here = first_bad_row(values, block.stride, block.count);
        }
        // Lane by lane, each a plain loop over the rows.
        double* column = out + first * width;
        for (std::size_t k = 0; k < outputs_.size(); ++k) {
            for (int i = 0; i < outputs_[k].node().dimension; ++i, ++column) {
                store_column(column, width,
                             values + (output_at_[k] + static_cast<std::size_t>(i)) * block.stride, rows_here);
            }
        }
        return rows_here;
    });
}

bool Function::map_vjp(const void* in, std::size_t rows, std::ptrdiff_t in_stride, std::ptrdiff_t in_lane_stride,
                       const double* seeds, std::ptrdiff_t seed_stride, double* out, bool accumulate,
                       const RowOptions& options) const {
    const Rows source{static_cast<const unsigned char*>(in),
                      rows,
                      in_stride * static_cast<std::ptrdiff_t>(sizeof(double)),
                      in_lane_stride * static_cast<std::ptrdiff_t>(sizeof(double)),
                      seeds,
                      seed_stride};
    const auto width = static_cast<std::size_t>(input_lanes_);
    const std::size_t lanes_per_row = 3 * lane_count_;
    // The Parameters' lanes follow the constants' in one run. Each block
    // sums its rows' gradients of them, in row order, into its own place;
    // the blocks' sums are added in block order at the end, so the total
    // does not depend on which thread ran which block.
    const std::size_t parameters_at = static_cast<std::size_t>(input_lanes_) + constant_lanes_.size();
    std::size_t parameter_lanes = 0;
    for (const auto& parameter : parameters_) {
        parameter_lanes += static_cast<std::size_t>(parameter.item.node().dimension);
    }
    const std::size_t height = block_height(lanes_per_row);
    std::vector<double> sums(accumulate ? (rows + height - 1) / height * parameter_lanes : 0);
    const bool done = over_rows(source, lanes_per_row, options, [&](std::size_t first, RowBlock block, double* values) {
        const std::size_t stride = block.stride;
        double* kept = values + lane_count_ * stride;
        double* adj = kept + lane_count_ * stride;
        bool finite = load_block(source, first, stride, block.count, values);
        finite &= forward_block(code_.data(), code_.data() + code_.size(), values, kept, block);
        zero_adjoints(adj, stride);
        // Lane by lane, an output listed twice getting both seeds in list
        // order, as row by row.
        std::uint64_t bad_seeds = 0;
        const double* seed_lane = seeds + static_cast<std::ptrdiff_t>(first) * seed_stride;
        for (std::size_t k = 0; k < outputs_.size(); ++k) {
            for (int i = 0; i < outputs_[k].node().dimension; ++i, ++seed_lane) {
                double* __restrict to = adj + (output_at_[k] + static_cast<std::size_t>(i)) * stride;
                const double* seed = seed_lane;
                for (std::size_t r = 0; r < block.count; ++r, seed += seed_stride) {
                    to[r] += *seed;
                    bad_seeds |= not_finite_bit(*seed);
                }
            }
        }
        if (!(finite & (bad_seeds == 0))) {
            std::size_t bad = first_bad_row(values, stride, block.count);
            for (std::size_t r = 0; r < bad; ++r) {
                const double* seed = seeds + static_cast<std::ptrdiff_t>(first + r) * seed_stride;
                if (!std::all_of(seed, seed + output_lanes_, is_finite_lane)) {
                    bad = r;
                }
            }
            if (bad < block.count) {
                return bad;
            }
        }
        reverse_sweep(code_.data(), code_.data() + code_.size(), values, kept, adj, block);
        store_rows(out + first * width, width, adj, stride, block.count);
        if (accumulate) {
            double* sum = sums.data() + first / stride * parameter_lanes;
            for (std::size_t p = 0; p < parameter_lanes; ++p) {
                const double* lane = adj + (parameters_at + p) * stride;
                double total = lane[0];
                for (std::size_t r = 1; r < block.count; ++r) total += lane[r];
                sum[p] = total;
            }
        }
        return block.count;
    });
    if (!done || !accumulate) {
        return done;
    }
    // Every row is done: nothing below can fail.
    std::vector<double> totals(lane_count_, 0.0);
    for (std::size_t first = 0; first < sums.size(); first += parameter_lanes) {
        for (std::size_t p = 0; p < parameter_lanes; ++p) {
            totals[parameters_at + p] = first == 0 ? sums[p] : totals[parameters_at + p] + sums[first + p];
        }
    }
    touch_parameters(options, [&] { add_parameter_gradients(totals.data()); });
    return true;
}

bool Function::map_jacobian(const void* in, std::size_t rows, std::ptrdiff_t in_stride,
                            std::ptrdiff_t in_lane_stride, double* out, const RowOptions& options) const {
    const Rows source{static_cast<const unsigned char*>(in), rows,
                      in_stride * static_cast<std::ptrdiff_t>(sizeof(double)),
                      in_lane_stride * static_cast<std::ptrdiff_t>(sizeof(double)), nullptr, 0};
    const std::size_t columns = static_cast<std::size_t>(input_lanes_);
    const std::size_t size = static_cast<std::size_t>(output_lanes_) * columns;
    const std::size_t lanes_per_row = 2 * lane_count_ + tangent_lanes(lane_count_, output_lanes_, input_lanes_);
    return over_rows(source, lanes_per_row, options, [&](std::size_t first, RowBlock block, double* values) {
        double* kept = values + lane_count_ * block.stride;
        double* lanes = kept + lane_count_ * block.stride;
        const bool loaded = load_block(source, first, block.stride, block.count, values);
        if (!(forward_block(code_.data(), code_.data() + code_.size(), values, kept, block) & loaded)) {
            const std::size_t bad = first_bad_row(values, block.stride, block.count);
            if (bad < block.count) {
                return bad;
            }
        }
        double* matrices = out + first * size;
        jacobian_rows(values, kept, lanes, block, [&](std::size_t r, std::size_t row, std::size_t column, double d) {
            matrices[r * size + row * columns + column] = d;
        });
        return block.count;
    });
}

}  // namespace varnel::symbolic
