// Nodes and handles: kind and operator texts, the id counter, node creation,
// accessors, set_value, debug_string and release of long chains.
#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "symbolic/detail/checks.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

std::atomic<std::uint64_t> g_next_value_id{1};

// Checks come first, so a failed creation never consumes an id.
std::shared_ptr<ValueNode> allocate_node(ValueKind kind, int dimension) {
    auto node = std::make_shared<ValueNode>();
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

// The handles still to be dropped by the outermost node destructor running
// on this thread; null when none is running. It points at that destructor's
// local list, so nothing here outlives the thread or needs destroying.
namespace {
thread_local std::vector<std::shared_ptr<ValueNode>>* t_pending_release = nullptr;
}  // namespace

ValueNode::~ValueNode() {
    // Destroying inputs recursively would use one stack frame per level of a
    // chain. Instead, a node destroyed while another one is being destroyed
    // on this thread hands its inputs to that outer destructor, which drops
    // them one at a time. Whether a drop destroys a node is decided by the
    // reference count's own atomic decrement, never by a read of the count,
    // so a handle dropped on another thread at the same moment is safe:
    // exactly one of the two drops destroys the node, after both threads are
    // done with it.
    //
    // A leaf, or a node whose inputs all have other holders (a temporary
    // expression over named values), skips the work list: its inputs are
    // dropped by the members' own destructors. The count read for that is
    // only a hint and touches no input. Should another thread drop its
    // handle meanwhile, so that one of ours becomes the last, that input's
    // destructor simply runs as an outermost one and releases what lies
    // below it through its own list.
    bool any_sole = false;
    for (const Value& input : inputs) {
        if (!input.node_) {
            continue;
        }
        // An input listed more than once (x + x) may be held by this node
        // alone through several of its slots.
        long held_here = 0;
        for (const Value& other : inputs) {
            held_here += other.node_ == input.node_ ? 1 : 0;
        }
        any_sole = any_sole || input.node_.use_count() <= held_here;
    }
    if (!any_sole) {
        return;
    }
    // The thread-local slot's address is looked up once.
    std::vector<std::shared_ptr<ValueNode>>*& outer = t_pending_release;
    if (outer != nullptr) {
        for (Value& input : inputs) {
            if (input.node_) {
                try {
                    outer->push_back(std::move(input.node_));
                } catch (const std::bad_alloc&) {
                    // Out of memory for the list: this input is dropped with
                    // the node, one level deeper.
                }
            }
        }
        return;
    }
    std::vector<std::shared_ptr<ValueNode>> pending;
    outer = &pending;
    for (Value& input : inputs) {
        input.node_.reset();
    }
    while (!pending.empty()) {
        std::shared_ptr<ValueNode> next = std::move(pending.back());
        pending.pop_back();
        next.reset();
    }
    outer = nullptr;
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
