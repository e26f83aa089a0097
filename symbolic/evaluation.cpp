// Evaluation and gradients: the depth-first order of a graph, forward
// evaluation, reverse-mode gradient propagation and clearing.
//
// A pass walks the graph once into flat arrays: the nodes in depth-first
// post-order, and for each node the positions of its inputs in that order.
// Values and gradients then live in arrays indexed by position, so the
// forward and reverse loops look nothing up by id. The output handle keeps
// every node alive for the whole call, so the arrays hold plain node
// pointers. The arrays are kept per thread for reuse, within the bounds of
// kept_scratch.h; every pass writes each entry before reading it, so nothing
// computed carries over between calls.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/id_map.h"
#include "symbolic/detail/kept_blocks.h"
#include "symbolic/detail/kept_scratch.h"
#include "symbolic/detail/operators.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

// Positions of a node's inputs in the order.
using Operands = std::array<std::uint32_t, 4>;

// The position of an input whose own visit had not finished when its
// consumer's did: only a node that reaches itself has one. It is never below
// the consumer's position, so the forward loop reports it as missing.
constexpr std::uint32_t kPending = UINT32_MAX;

// What the forward and reverse loops read of a node, copied while the walk
// has the node at hand, so that those loops never go back to node memory.
struct Step {
    ValueKind kind;
    ExpressionOp op;
    std::int32_t dimension;
    std::int32_t input_count;
    std::int32_t component_index;
};

struct Frame {
    ValueNode* node;
    std::uint32_t entry;
    int next_input;
    Operands operands;
};

struct Scratch final : ScratchMemory {
    std::vector<ValueNode*> nodes;
    std::vector<Step> steps;
    std::vector<Operands> operands;
    // By order of entry: the position a node finished at, or kPending.
    std::vector<std::uint32_t> finished_at;
    // The entries of the nodes just below the output, by distance (see
    // DescendingIdIndex).
    std::vector<std::uint32_t> window;
    std::vector<Frame> stack;
    // Forward values; a leaf's is copied by the walk.
    std::vector<SmallValue> values;
    // Dimension 0 marks a node without a gradient entry yet.
    std::vector<SmallValue> grads;
    std::vector<std::uint32_t> parameters;
    KeptBlocks blocks;

    std::size_t bytes() const noexcept override {
        return nodes.capacity() * sizeof(ValueNode*) + steps.capacity() * sizeof(Step) +
               operands.capacity() * sizeof(Operands) + finished_at.capacity() * sizeof(std::uint32_t) +
               window.capacity() * sizeof(std::uint32_t) +
               stack.capacity() * sizeof(Frame) + values.capacity() * sizeof(SmallValue) +
               grads.capacity() * sizeof(SmallValue) + parameters.capacity() * sizeof(std::uint32_t) +
               blocks.bytes();
    }

    void release() noexcept override {
        std::vector<ValueNode*>().swap(nodes);
        std::vector<Step>().swap(steps);
        std::vector<Operands>().swap(operands);
        std::vector<std::uint32_t>().swap(finished_at);
        std::vector<std::uint32_t>().swap(window);
        std::vector<Frame>().swap(stack);
        std::vector<SmallValue>().swap(values);
        std::vector<SmallValue>().swap(grads);
        std::vector<std::uint32_t>().swap(parameters);
        blocks.release();
    }
};

// A pass's use of its thread's scratch (see kept_scratch.h), from its start
// to its end, whether it returns or throws.
class ThreadScratch {
public:
    explicit ThreadScratch(const Value& output) : output_(output) { state().keeper.begin(); }
    ThreadScratch(const ThreadScratch&) = delete;
    ThreadScratch& operator=(const ThreadScratch&) = delete;
    ~ThreadScratch() {
        State& s = state();
        const std::uint64_t id = output_.same_node(Value{}) ? 0 : output_.node().id;
        s.keeper.end(id, s.scratch.nodes.capacity() > 4 * s.scratch.nodes.size());
    }

    Scratch& get() { return state().scratch; }

private:
    struct State {
        Scratch scratch;
        ScratchKeeper keeper{scratch};
    };

    // Out of line: inlined, it let the compiler specialise the passes for
    // this one thread-local object, and then every use of the scratch in
    // their loops asked the C library for the thread's copy again
    // (__tls_get_addr, a call per access in a shared library).
    [[gnu::noinline]] static State& state() {
        thread_local State state;
        return state;
    }

    const Value& output_;
};

// Depth-first post-order, inputs in index order, a node marked on entry and
// listed after its inputs. The explicit stack keeps a deep chain from
// overflowing the call stack. Nodes are told apart by id alone.
void walk(const Value& output, Scratch& s) {
    s.nodes.clear();
    s.steps.clear();
    s.values.clear();
    s.operands.clear();
    s.finished_at.clear();
    s.stack.clear();
    // An empty output is refused when entered, before any lookup.
    DescendingIdIndex entered(s.window, &s.blocks, output.same_node(Value{}) ? 0 : output.node().id);
    // Enters a node not seen before and returns kPending; returns the
    // position of one seen before (kPending while it is being visited).
    auto enter = [&](const Value& value) {
        require_valid(value, "backward value");
        ValueNode& node = value.mutable_node();
        const auto entry = static_cast<std::uint32_t>(s.finished_at.size());
        const auto [slot, inserted] = entered.try_emplace(node.id, entry);
        if (!inserted) {
            return s.finished_at[*slot];
        }
        s.finished_at.push_back(kPending);
        s.stack.push_back({&node, entry, 0, {}});
        // The inputs are entered next: start fetching their nodes now, so
        // the walk does not wait for each from memory in turn.
        for (int i = 0; i < node.input_count && i < 4; ++i) {
            const Value& input = node.inputs[static_cast<std::size_t>(i)];
            if (!input.same_node(Value{})) {
                const ValueNode& next = input.node();
                __builtin_prefetch(&next.id);
                __builtin_prefetch(&next.inputs);
                __builtin_prefetch(&next.input_count);
            }
        }
        return kPending;
    };
    enter(output);
    while (!s.stack.empty()) {
        const std::size_t top = s.stack.size() - 1;
        ValueNode& node = *s.stack[top].node;
        if (s.stack[top].next_input < node.input_count) {
            const int index = s.stack[top].next_input++;
            const std::uint32_t seen = enter(node.inputs[static_cast<std::size_t>(index)]);
            if (s.stack.size() == top + 1) {
                s.stack[top].operands[static_cast<std::size_t>(index)] = seen;
            }
            continue;
        }
        const auto position = static_cast<std::uint32_t>(s.nodes.size());
        s.nodes.push_back(&node);
        s.steps.push_back({node.kind, node.op, node.dimension, node.input_count, node.component_index});
        s.values.push_back(node.value);
        s.operands.push_back(s.stack[top].operands);
        s.finished_at[s.stack[top].entry] = position;
        s.stack.pop_back();
        if (!s.stack.empty()) {
            Frame& parent = s.stack.back();
            parent.operands[static_cast<std::size_t>(parent.next_input - 1)] = position;
        }
    }
}

// The value of the input at `position`, computed earlier in this pass.
const SmallValue& computed(const Scratch& s, std::uint32_t position, std::uint32_t current) {
    if (position >= current) {
        throw std::logic_error("missing symbolic evaluation cache entry");
    }
    return s.values[position];
}

void require_inputs(const Step& node, int count) {
    if (node.input_count < count) {
        throw std::out_of_range("symbolic expression input index out of range");
    }
}

SmallValue evaluate_pack(const Step& node, const Operands& in, std::uint32_t current,
                         const Scratch& s) {
    require_dimension(node.dimension);
    SmallValue result;
    result.dimension = node.dimension;
    for (int i = 0; i < node.input_count; ++i) {
        const SmallValue& input = computed(s, in[static_cast<std::size_t>(i)], current);
        if (input.dimension != 1) {
            throw std::logic_error("Pack input is not scalar");
        }
        result.lanes[static_cast<std::size_t>(i)] = input.lanes[0];
    }
    return result;
}

SmallValue evaluate_node(const Step& node, const Operands& in, std::uint32_t current,
                         const Scratch& s) {
    switch (node.kind) {
        case ValueKind::Constant:
        case ValueKind::Parameter:
            return s.values[current];
        case ValueKind::Undefined:
            throw std::logic_error("cannot evaluate symbolic graph with Undefined values");
        default:
            break;
    }
    return with_rule(
        node.op,
        [&](auto rule) -> SmallValue {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                require_inputs(node, 2);
                const SmallValue& right = computed(s, in[1], current);
                const SmallValue& left = computed(s, in[0], current);
                return binary_lanes<Rule>(left, right, node.dimension);
            } else {
                require_inputs(node, 1);
                return unary_lanes<Rule>(computed(s, in[0], current));
            }
        },
        [&]() -> SmallValue {
            switch (node.op) {
                case ExpressionOp::Pack:
                    return evaluate_pack(node, in, current, s);
                case ExpressionOp::Component:
                    require_inputs(node, 1);
                    return small_value(computed(s, in[0], current)[node.component_index]);
                default:
                    throw std::logic_error("unsupported symbolic expression op");
            }
        });
}

void evaluate_all(Scratch& s) {
    const auto count = static_cast<std::uint32_t>(s.nodes.size());
    for (std::uint32_t p = 0; p < count; ++p) {
        s.values[p] = evaluate_node(s.steps[p], s.operands[p], p, s);
    }
}

// The gradient entry of the node at `position`, created with zero lanes.
SmallValue& grad_slot(Scratch& s, std::uint32_t position) {
    const int dimension = s.steps[position].dimension;
    require_dimension(dimension);
    SmallValue& entry = s.grads[position];
    if (entry.dimension == 0) {
        entry = SmallValue{};
        entry.dimension = dimension;
    }
    return entry;
}

// A Constant's gradient entry is never read, so a rule may leave it be.
template <typename Rule>
void propagate_binary(Scratch& s, std::uint32_t p) {
    const Step& node = s.steps[p];
    const Operands& in = s.operands[p];
    const SmallValue& upstream = s.grads[p];
    const SmallValue& a = s.values[in[0]];
    const SmallValue& b = s.values[in[1]];
    const SmallValue& y = s.values[p];
    const bool right_varies = s.steps[in[1]].kind != ValueKind::Constant;
    SmallValue& left = grad_slot(s, in[0]);
    SmallValue& right = grad_slot(s, in[1]);
    for (int i = 0; i < node.dimension; ++i) {
        const auto lane = static_cast<std::size_t>(i);
        const Adjoints d = Rule::adjoint(a.lanes[broadcast_index(a.dimension, i)],
                                         b.lanes[broadcast_index(b.dimension, i)], y.lanes[lane],
                                         upstream.lanes[lane], right_varies);
        left.lanes[broadcast_index(left.dimension, i)] += d.left;
        right.lanes[broadcast_index(right.dimension, i)] += d.right;
    }
}

template <typename Rule>
void propagate_unary(Scratch& s, std::uint32_t p) {
    const Step& node = s.steps[p];
    const std::uint32_t input = s.operands[p][0];
    const SmallValue& upstream = s.grads[p];
    const SmallValue& x = s.values[input];
    const SmallValue& y = s.values[p];
    SmallValue& slot = grad_slot(s, input);
    for (int i = 0; i < node.dimension; ++i) {
        const auto lane = static_cast<std::size_t>(i);
        slot.lanes[lane] += Rule::adjoint(x[i], y.lanes[lane], upstream.lanes[lane]);
    }
}

// Forward evaluation has checked every input count and index used here.
void propagate(Scratch& s, std::uint32_t p) {
    const Step& node = s.steps[p];
    with_rule(
        node.op,
        [&](auto rule) {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                propagate_binary<Rule>(s, p);
            } else {
                propagate_unary<Rule>(s, p);
            }
        },
        [&] {
            switch (node.op) {
                case ExpressionOp::Pack:
                    for (int k = 0; k < node.input_count; ++k) {
                        SmallValue& slot = grad_slot(s, s.operands[p][static_cast<std::size_t>(k)]);
                        slot.lanes[0] += s.grads[p][k];
                    }
                    return;
                case ExpressionOp::Component: {
                    SmallValue& slot = grad_slot(s, s.operands[p][0]);
                    slot.lanes[static_cast<std::size_t>(node.component_index)] += s.grads[p][0];
                    return;
                }
                default:
                    throw std::logic_error("unsupported symbolic backward op");
            }
        });
}

void reverse_pass(Scratch& s, const SmallValue& seed) {
    const auto count = static_cast<std::uint32_t>(s.nodes.size());
    if (s.grads.size() < count) {
        s.grads.resize(count);
    }
    for (std::uint32_t p = 0; p < count; ++p) {
        s.grads[p].dimension = 0;
    }
    s.grads[count - 1] = seed;
    for (std::uint32_t p = count; p-- > 0;) {
        if (s.steps[p].kind != ValueKind::Expression || s.grads[p].dimension == 0) {
            continue;
        }
        propagate(s, p);
    }
}

// Every check runs before the first write, so a pass that fails leaves all
// gradients as they were.
void store_gradients(Scratch& s) {
    s.parameters.clear();
    for (std::uint32_t p = 0; p < s.nodes.size(); ++p) {
        const Step& node = s.steps[p];
        if (node.kind != ValueKind::Parameter || s.grads[p].dimension == 0) {
            continue;
        }
        require_dimension(node.dimension);
        if (s.grads[p].dimension < node.dimension) {
            throw std::out_of_range("symbolic value lane index out of range");
        }
        s.parameters.push_back(p);
    }
    for (const std::uint32_t p : s.parameters) {
        ValueNode& node = *s.nodes[p];
        if (!node.grad) {
            SmallValue zero;
            zero.dimension = node.dimension;
            node.grad = zero;
        }
        for (int i = 0; i < node.dimension; ++i) {
            node.grad->lanes[static_cast<std::size_t>(i)] += s.grads[p].lanes[static_cast<std::size_t>(i)];
        }
    }
}

}  // namespace

SmallValue Value::evaluate() const {
    ThreadScratch scratch(*this);
    Scratch& s = scratch.get();
    walk(*this, s);
    evaluate_all(s);
    return s.values[s.nodes.size() - 1];
}

void Value::backward(SmallValue seed) const {
    require_valid(*this, "backward value");
    require_finite(seed);
    if (seed.dimension != dimension()) {
        throw std::invalid_argument("backward seed dimension does not match output dimension");
    }
    ThreadScratch scratch(*this);
    Scratch& s = scratch.get();
    walk(*this, s);
    evaluate_all(s);
    reverse_pass(s, seed);
    store_gradients(s);
}

void Value::backward() const {
    if (dimension() != 1) {
        throw std::invalid_argument("backward() without seed requires scalar output");
    }
    backward(small_value(1.0));
}

void Value::zero_grad() const {
    ThreadScratch scratch(*this);
    Scratch& s = scratch.get();
    walk(*this, s);
    for (ValueNode* node : s.nodes) {
        if (node->kind == ValueKind::Parameter) {
            node->grad.reset();
        }
    }
}

}  // namespace varnel::symbolic
