// Evaluation and gradients: the depth-first order of a graph, forward
// evaluation into a per-call cache, reverse-mode gradient propagation and
// clearing. Nothing computed here outlives the call.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <memory_resource>
#include <vector>

#include "symbolic/checks.h"
#include "symbolic/id_map.h"
#include "symbolic/lane_arithmetic.h"
#include "symbolic/symbolic.h"

namespace varnel::symbolic {
namespace {

using Order = std::vector<Value>;
using VisitedSet = IdSet;
// Made for one entry per node of the order, so no entry moves while the
// gradient rules hold several of them and insert others.
using LaneMap = IdMap<SmallValue>;

// Depth-first post-order, inputs in index order, a node marked on entry and
// appended after its inputs. The explicit stack keeps a deep chain from
// overflowing the call stack.
void build_topology(const Value& output, Order& order, VisitedSet& visited) {
    struct Frame {
        const Value* value;
        int next_input;
    };
    std::vector<Frame> stack;
    auto enter = [&](const Value& value) {
        require_valid(value, "backward value");
        if (visited.insert(value.node().id)) {
            stack.push_back({&value, 0});
        }
    };
    enter(output);
    while (!stack.empty()) {
        const std::size_t top = stack.size() - 1;
        const ValueNode& node = stack[top].value->node();
        if (stack[top].next_input < node.input_count) {
            const int index = stack[top].next_input++;
            enter(node.inputs[static_cast<std::size_t>(index)]);
        } else {
            order.push_back(*stack[top].value);
            stack.pop_back();
        }
    }
}

const SmallValue& cached(const Value& value, const LaneMap& cache) {
    const SmallValue* found = cache.find(value.node().id);
    if (found == nullptr) {
        throw std::logic_error("missing symbolic evaluation cache entry");
    }
    return *found;
}

SmallValue evaluate_from_cache(const Value& value, const LaneMap& cache) {
    return cached(value, cache);
}

SmallValue evaluate_pack(const Value& value, const LaneMap& cache) {
    const int dimension = value.dimension();
    require_dimension(dimension);
    SmallValue result;
    result.dimension = dimension;
    for (int i = 0; i < value.input_count(); ++i) {
        const SmallValue& input = cached(value.input(i), cache);
        if (input.dimension != 1) {
            throw std::logic_error("Pack input is not scalar");
        }
        result.lanes[static_cast<std::size_t>(i)] = input.lanes[0];
    }
    return result;
}

SmallValue evaluate_node(const Value& value, const LaneMap& cache) {
    switch (value.kind()) {
        case ValueKind::Constant:
        case ValueKind::Parameter:
            return value.value();
        case ValueKind::Undefined:
            throw std::logic_error("cannot evaluate symbolic graph with Undefined values");
        default:
            break;
    }
    switch (value.op()) {
        case ExpressionOp::Pack:
            return evaluate_pack(value, cache);
        case ExpressionOp::Component: {
            const SmallValue& input = cached(value.input(0), cache);
            return small_value(input[value.component_index()]);
        }
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: {
            const SmallValue& right = cached(value.input(1), cache);
            const SmallValue& left = cached(value.input(0), cache);
            return binary_constant(value.op(), left, right, value.dimension());
        }
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos:
            return unary_constant(value.op(), cached(value.input(0), cache));
        default:
            throw std::logic_error("unsupported symbolic expression op");
    }
}

LaneMap evaluate_topology(const Order& order,
                          std::pmr::memory_resource* memory = std::pmr::new_delete_resource()) {
    LaneMap cache(order.size(), memory);
    for (const Value& value : order) {
        cache.try_emplace(value.id(), evaluate_node(value, cache));
    }
    return cache;
}

SmallValue& grad_slot(LaneMap& grads, const Value& value) {
    const ValueNode& node = value.node();
    require_dimension(node.dimension);
    SmallValue zero;
    zero.dimension = node.dimension;
    return *grads.try_emplace(node.id, zero).first;
}

// Index of the lane that lane i of a broadcast operand reads and receives.
std::size_t broadcast_index(const SmallValue& value, int i) {
    return value.dimension == 1 ? 0 : static_cast<std::size_t>(i);
}

void propagate_binary(const Value& value, const SmallValue& upstream, const LaneMap& cache,
                      LaneMap& grads) {
    const SmallValue& a = cached(value.input(0), cache);
    const SmallValue& b = cached(value.input(1), cache);
    SmallValue& left = grad_slot(grads, value.input(0));
    SmallValue& right = grad_slot(grads, value.input(1));
    const ExpressionOp op = value.op();
    for (int i = 0; i < value.dimension(); ++i) {
        const double g = upstream.lanes[static_cast<std::size_t>(i)];
        const double ai = broadcast_lane(a, i);
        const double bi = broadcast_lane(b, i);
        double& l = left.lanes[broadcast_index(left, i)];
        switch (op) {
            case ExpressionOp::Add:
                l += g;
                right.lanes[broadcast_index(right, i)] += g;
                break;
            case ExpressionOp::Subtract:
                l += g;
                right.lanes[broadcast_index(right, i)] -= g;
                break;
            case ExpressionOp::Multiply:
                l += g * bi;
                right.lanes[broadcast_index(right, i)] += g * ai;
                break;
            case ExpressionOp::Divide:
                l += g / bi;
                right.lanes[broadcast_index(right, i)] += (-g * ai) / (bi * bi);
                break;
            default:
                throw std::logic_error("unsupported binary backward op");
        }
    }
}

void propagate_unary(const Value& value, const SmallValue& upstream, const LaneMap& cache,
                     LaneMap& grads) {
    const SmallValue& x = cached(value.input(0), cache);
    SmallValue& slot = grad_slot(grads, value.input(0));
    const ExpressionOp op = value.op();
    for (int i = 0; i < value.dimension(); ++i) {
        const double g = upstream.lanes[static_cast<std::size_t>(i)];
        const double xi = x[i];
        double& s = slot.lanes[static_cast<std::size_t>(i)];
        switch (op) {
            case ExpressionOp::Negate: s -= g; break;
            case ExpressionOp::Sin: s += std::cos(xi) * g; break;
            case ExpressionOp::Cos: s += -std::sin(xi) * g; break;
            default: throw std::logic_error("unsupported unary backward op");
        }
    }
}

void propagate(const Value& value, const SmallValue& upstream, const LaneMap& cache,
               LaneMap& grads) {
    switch (value.op()) {
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide:
            propagate_binary(value, upstream, cache, grads);
            return;
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos:
            propagate_unary(value, upstream, cache, grads);
            return;
        case ExpressionOp::Pack:
            for (int k = 0; k < value.input_count(); ++k) {
                SmallValue& slot = grad_slot(grads, value.input(k));
                slot.lanes[0] += upstream[k];
            }
            return;
        case ExpressionOp::Component: {
            SmallValue& slot = grad_slot(grads, value.input(0));
            // Forward evaluation has already checked the index against the
            // input's lanes.
            slot.lanes[static_cast<std::size_t>(value.component_index())] += upstream[0];
            return;
        }
        default:
            throw std::logic_error("unsupported symbolic backward op");
    }
}

void reverse_pass(const Order& order, const LaneMap& cache, LaneMap& grads) {
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const ValueNode& node = it->node();
        if (node.kind != ValueKind::Expression) {
            continue;
        }
        const SmallValue* entry = grads.find(node.id);
        if (entry == nullptr) {
            continue;
        }
        propagate(*it, *entry, cache, grads);
    }
}

// Every check runs before the first write, so a pass that fails leaves all
// gradients as they were.
void store_gradients(const Order& order, const LaneMap& grads) {
    std::vector<std::pair<ValueNode*, const SmallValue*>> updates;
    for (const Value& value : order) {
        ValueNode& node = value.mutable_node();
        if (node.kind != ValueKind::Parameter) {
            continue;
        }
        const SmallValue* entry = grads.find(node.id);
        if (entry == nullptr) {
            continue;
        }
        require_dimension(node.dimension);
        if (entry->dimension < node.dimension) {
            throw std::out_of_range("symbolic value lane index out of range");
        }
        updates.emplace_back(&node, entry);
    }
    for (const auto& [node, entry] : updates) {
        if (!node->grad) {
            SmallValue zero;
            zero.dimension = node->dimension;
            node->grad = zero;
        }
        for (int i = 0; i < node->dimension; ++i) {
            node->grad->lanes[static_cast<std::size_t>(i)] += entry->lanes[static_cast<std::size_t>(i)];
        }
    }
}

}  // namespace

SmallValue Value::evaluate() const {
    Order order;
    VisitedSet visited(256);
    build_topology(*this, order, visited);
    const LaneMap cache = evaluate_topology(order);
    return evaluate_from_cache(*this, cache);
}

void Value::backward(SmallValue seed) const {
    require_valid(*this, "backward value");
    require_finite(seed);
    if (seed.dimension != dimension()) {
        throw std::invalid_argument("backward seed dimension does not match output dimension");
    }
    Order order;
    VisitedSet visited(256);
    build_topology(*this, order, visited);
    // The cache and the gradient map come from one block. The C library keeps
    // freed memory for reuse only up to a threshold that follows the largest
    // block it has seen; two blocks of half the size would be handed back
    // after every pass and fault in again on the next one.
    std::pmr::monotonic_buffer_resource arena(2 * LaneMap::block_bytes(order.size()));
    const LaneMap cache = evaluate_topology(order, &arena);
    LaneMap grads(order.size(), &arena);
    grads.try_emplace(id(), seed);
    reverse_pass(order, cache, grads);
    store_gradients(order, grads);
}

void Value::backward() const {
    if (dimension() != 1) {
        throw std::invalid_argument("backward() without seed requires scalar output");
    }
    backward(small_value(1.0));
}

void Value::zero_grad() const {
    Order order;
    VisitedSet visited(256);
    build_topology(*this, order, visited);
    for (const Value& value : order) {
        ValueNode& node = value.mutable_node();
        if (node.kind == ValueKind::Parameter) {
            node.grad.reset();
        }
    }
}

}  // namespace varnel::symbolic
