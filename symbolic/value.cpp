// Nodes and handles: kind and operator texts, the id counter, node creation,
// accessors, set_value, debug_string and release of long chains.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/kept_scratch.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

std::atomic<std::uint64_t> g_next_value_id{1};

// Releasing a graph. Destroying a node's inputs from its destructor would
// take one stack frame per level of a chain, and a work list that grows
// would need memory exactly when memory may have run out. So a node that
// dies while a release is already running on this thread is not destroyed
// at once: it waits, whole, in its own block, until the running release
// comes to it and drops its inputs one at a time. Whether a drop destroys a
// node is decided by the reference count's own atomic decrement, so a handle
// dropped on another thread at the same moment is safe: exactly one of the
// two drops destroys the node, after both threads are done with it.
//
// A waiting node's block has been handed back to the allocator below (the
// library's use of it, the reference counts before the node, is over), so
// its first bytes carry the list of waiting nodes. That list needs no memory
// of its own, and the release needs no stack beyond its own frame.
struct WaitingNode {
    WaitingNode* next;
    ValueNode* node;
};

struct ReleaseState {
    // True while a release runs on this thread.
    bool running = false;
    // A node whose last holder has just let go during a release, until the
    // allocator is handed its block.
    ValueNode* dying = nullptr;
    // The nodes waiting for the running release, last in first out.
    WaitingNode* waiting = nullptr;
};

thread_local ReleaseState t_release;

// In a shared library loaded at run time, the C library allocates a thread's
// block of thread-local data on its first use; a release that runs once
// memory is exhausted must not be that first use, so the loading thread
// takes its block now.
// The empty asm keeps the compiler from dropping the access.
[[maybe_unused]] const bool g_release_state_ready = [] {
    ReleaseState* state = &t_release;
    asm volatile("" : : "r"(state) : "memory");
    return true;
}();

bool has_inputs(const ValueNode& node) noexcept {
    for (const Value& input : node.inputs) {
        if (!input.same_node(Value{})) {
            return true;
        }
    }
    return false;
}

// Drops every handle in `inputs`; an expression node that dies of it waits
// in its block, a leaf is destroyed on the spot. Each drop reads the
// input's reference count and, should it die, its inputs: those reads are
// started for all of them at once, so the drops do not wait for each from
// memory in turn.
void drop_all(std::array<Value, 4>& inputs) noexcept {
    for (const Value& input : inputs) {
        if (!input.same_node(Value{})) {
            const ValueNode& next = input.node();
            __builtin_prefetch(&next.id);
            __builtin_prefetch(&next.inputs);
        }
    }
    for (Value& input : inputs) {
        input = Value();
    }
}

// The allocator of every node the library makes. std::allocate_shared puts
// the node and its reference counts in one block from allocate(), destroys
// the node through destroy() when its last holder lets go, and then gives
// the block back through deallocate(). That these two calls come one after
// the other on the releasing thread, with no weak reference to a node
// (none is ever made), is how libstdc++ releases such a block
// (_Sp_counted_base::_M_release, then _Sp_counted_ptr_inplace::_M_dispose
// and _M_destroy); the release test checks it for the library in use.
template <typename T>
struct NodeAllocator {
    using value_type = T;

    NodeAllocator() noexcept = default;
    template <typename U>
    NodeAllocator(const NodeAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks come from operator new");
        return static_cast<T*>(::operator new(count * sizeof(T)));
    }

    void deallocate(T* block, std::size_t count) noexcept {
        ReleaseState& state = t_release;
        ValueNode* const node = state.dying;
        if (node != nullptr) {
            state.dying = nullptr;
            const auto start = reinterpret_cast<std::uintptr_t>(block);
            const auto at = reinterpret_cast<std::uintptr_t>(node);
            if (at >= start + sizeof(WaitingNode) && at < start + count * sizeof(T)) {
                state.waiting = ::new (static_cast<void*>(block)) WaitingNode{state.waiting, node};
                return;
            }
            // No room in front of the node for the list entry: it is
            // released here instead, one stack frame deeper.
            node->~ValueNode();
        }
        ::operator delete(static_cast<void*>(block));
    }

    // An expression node waits; a leaf has no inputs to release, and a
    // leaf made by hand with inputs releases them in a release of its own.
    void destroy(ValueNode* node) noexcept {
        if (node->kind == ValueKind::Expression && t_release.running) {
            t_release.dying = node;
            return;
        }
        node->~ValueNode();
    }

    template <typename U>
    bool operator==(const NodeAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const NodeAllocator<U>&) const noexcept { return false; }
};

// Checks come first, so a failed creation never consumes an id.
std::shared_ptr<ValueNode> allocate_node(ValueKind kind, int dimension) {
    auto node = std::allocate_shared<ValueNode>(NodeAllocator<ValueNode>{});
    node->id = g_next_value_id.fetch_add(1, std::memory_order_seq_cst);
    node->kind = kind;
    node->dimension = dimension;
    return node;
}

}  // namespace

const char* to_string(ValueKind kind) noexcept {
    switch (kind) {
        case ValueKind::Constant: return "Constant";
        case ValueKind::Parameter: return "Parameter";
        case ValueKind::Undefined: return "Undefined";
        case ValueKind::Expression: return "Expression";
    }
    return "Unknown";
}

const char* to_string(ExpressionOp op) noexcept {
    switch (op) {
        case ExpressionOp::None: return "None";
        case ExpressionOp::Pack: return "Pack";
        case ExpressionOp::Component: return "Component";
        case ExpressionOp::Add: return "Add";
        case ExpressionOp::Subtract: return "Subtract";
        case ExpressionOp::Multiply: return "Multiply";
        case ExpressionOp::Divide: return "Divide";
        case ExpressionOp::Negate: return "Negate";
        case ExpressionOp::Sin: return "Sin";
        case ExpressionOp::Cos: return "Cos";
        case ExpressionOp::Sqrt: return "Sqrt";
        case ExpressionOp::Exp: return "Exp";
        case ExpressionOp::Log: return "Log";
        case ExpressionOp::Tan: return "Tan";
        case ExpressionOp::Asin: return "Asin";
        case ExpressionOp::Acos: return "Acos";
        case ExpressionOp::Atan: return "Atan";
        case ExpressionOp::Sinh: return "Sinh";
        case ExpressionOp::Cosh: return "Cosh";
        case ExpressionOp::Tanh: return "Tanh";
        case ExpressionOp::Abs: return "Abs";
        case ExpressionOp::Pow: return "Pow";
        case ExpressionOp::Atan2: return "Atan2";
        case ExpressionOp::Hypot: return "Hypot";
        case ExpressionOp::Log1p: return "Log1p";
        case ExpressionOp::Expm1: return "Expm1";
        case ExpressionOp::Cbrt: return "Cbrt";
    }
    return "Unknown";
}

// The outermost release on a thread drops this node's inputs, then those
// of every node that died of it, until none is left waiting. A release that
// starts while another runs (a node made by hand, which never waits, dying
// during it) works through the nodes that died after it started and leaves
// the rest to the outer one. Nothing here allocates or throws.
ValueNode::~ValueNode() {
    release_scratch_kept_for(id);
    if (!has_inputs(*this)) {
        return;
    }
    ReleaseState& state = t_release;
    const bool outer_running = state.running;
    WaitingNode* const outer_waiting = state.waiting;
    state.running = true;
    drop_all(inputs);
    while (state.waiting != outer_waiting) {
        WaitingNode* const entry = state.waiting;
        state.waiting = entry->next;
        // The node is destroyed and its block freed before its inputs are
        // dropped, from the handles moved out here, as a node that never
        // waited is: blocks then go back to the allocator from the top of
        // the graph down, which measured faster than each after its inputs.
        ValueNode* const node = entry->node;
        std::array<Value, 4> held = std::move(node->inputs);
        node->~ValueNode();
        ::operator delete(static_cast<void*>(entry));
        drop_all(held);
    }
    state.running = outer_running;
}

SmallValue Value::value() const {
    const ValueNode& n = node();
    if (n.kind != ValueKind::Constant && n.kind != ValueKind::Parameter) {
        throw std::logic_error("symbolic value has no direct numeric value");
    }
    return n.value;
}

SmallValue Value::hint() const {
    const ValueNode& n = node();
    if (!n.hint) {
        throw std::logic_error("symbolic value has no hint");
    }
    return *n.hint;
}

SmallValue Value::grad() const {
    const ValueNode& n = node();
    if (!n.grad) {
        throw std::logic_error("symbolic value has no gradient");
    }
    return *n.grad;
}

void Value::set_value(SmallValue value) const {
    require_finite(value);
    ValueNode& n = mutable_node();
    if (n.kind != ValueKind::Parameter) {
        throw std::logic_error("set_value() is only valid for Parameter values");
    }
    if (value.dimension != n.dimension) {
        throw std::invalid_argument("set_value() dimension does not match Parameter dimension");
    }
    n.value = value;
}

std::string Value::debug_string() const {
    const ValueNode& n = node();
    std::string text = to_string(n.kind);
    text += '<';
    text += std::to_string(n.dimension);
    text += ">#";
    text += std::to_string(n.id);
    if (!n.name.empty()) {
        text += '(';
        text += n.name;
        text += ')';
    }
    if (n.kind == ValueKind::Expression) {
        text += " op=";
        text += to_string(n.op);
    }
    return text;
}

Value make_node(ValueKind kind, int dimension, SmallValue value,
                std::optional<SmallValue> hint, std::string name) {
    require_dimension(dimension);
    if (value.dimension != 0) {
        require_finite(value);
    }
    if (hint) {
        require_finite(*hint);
        if (hint->dimension != dimension) {
            throw std::invalid_argument("symbolic hint dimension mismatch");
        }
    }
    auto node = allocate_node(kind, dimension);
    node->value = value;
    node->hint = hint;
    node->name = std::move(name);
    return Value(std::move(node));
}

Value make_expression(ExpressionOp op, int dimension, std::array<Value, 4> inputs,
                      int input_count, int component_index) {
    require_dimension(dimension);
    if (input_count < 1 || input_count > 4) {
        throw std::invalid_argument("symbolic expression input count must be in 1..4");
    }
    for (int i = 0; i < input_count; ++i) {
        require_valid(inputs[static_cast<std::size_t>(i)], "expression input");
    }
    auto node = allocate_node(ValueKind::Expression, dimension);
    node->op = op;
    node->inputs = std::move(inputs);
    node->input_count = input_count;
    node->component_index = component_index;
    return Value(std::move(node));
}

}  // namespace varnel::symbolic
