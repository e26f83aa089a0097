// The passes over a Function's tape: values, adjoints and tangents, for one
// row or for a block of rows at once. Lane k of row r of a block lives at
// lanes[k * stride + r], so each instruction is dispatched once per block
// and its row loop is plain arithmetic over neighbouring numbers; one row is
// the block of stride 1, for which the row loops vanish. The rules are those
// of operators.h, applied per row in the order of eval and backward, so
// every row's numbers are theirs bit for bit. Internal.
#pragma once

#include <cstddef>
#include <cstring>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"

namespace varnel::symbolic {
namespace {

struct OneRow {
    static constexpr std::size_t stride = 1;
    static constexpr std::size_t count = 1;
};

// `count` rows of a block laid out for `stride` rows.
struct RowBlock {
    std::size_t stride;
    std::size_t count;
};

[[noreturn]] inline void unsupported_tape_op() {
    throw std::logic_error("unsupported symbolic expression op");
}

// One-lane arithmetic. Finiteness is gathered into one flag rather than
// checked with a branch per result: the pass stays a straight line, and
// only a pass whose flag drops looks for the failure.
template <typename Rule, typename Rows>
inline bool forward_scalar(double* y, const double* a, const double* b, Rows rows) {
    bool finite = true;
    for (std::size_t r = 0; r < rows.count; ++r) {
        const double value = Rule::value(a[r], b[r]);
        y[r] = value;
        finite &= is_finite_lane(value);
    }
    return finite;
}

// Any operator with a rule, lane by lane, a one-lane operand repeated over
// the lanes. With `kept`, a paired rule also leaves its derivative there,
// at the result's lanes, for the reverse and tangent passes.
template <typename Rows>
[[gnu::noinline]] bool forward_lanes(const detail::Instruction& in, double* v, double* kept, Rows rows) {
    const std::size_t stride = rows.stride;
    const int n = in.dimension;
    double* y = v + in.out * stride;
    const double* a = v + in.operand[0] * stride;
    bool finite = true;
    with_rule(
        in.op,
        [&](auto rule) {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                const double* b = v + in.operand[1] * stride;
                for (int i = 0; i < n; ++i) {
                    const double* ai = a + broadcast_index(in.left_dimension, i) * stride;
                    const double* bi = b + broadcast_index(in.right_dimension, i) * stride;
                    double* yi = y + static_cast<std::size_t>(i) * stride;
                    for (std::size_t r = 0; r < rows.count; ++r) {
                        yi[r] = Rule::value(ai[r], bi[r]);
                        finite &= is_finite_lane(yi[r]);
                    }
                }
            } else {
                for (int i = 0; i < n; ++i) {
                    const std::size_t lane = static_cast<std::size_t>(i) * stride;
                    for (std::size_t r = 0; r < rows.count; ++r) {
                        if constexpr (is_paired<Rule>) {
                            if (kept != nullptr) {
                                const ValueAndDerivative pair = Rule::value_and_derivative(a[lane + r]);
                                y[lane + r] = pair.value;
                                kept[in.out * stride + lane + r] = pair.derivative;
                            } else {
                                y[lane + r] = Rule::value(a[lane + r]);
                            }
                        } else {
                            y[lane + r] = Rule::value(a[lane + r]);
                        }
                        finite &= is_finite_lane(y[lane + r]);
                    }
                }
            }
        },
        unsupported_tape_op);
    return finite;
}

// A Component of a lane its operand lacks, which only a node made directly
// with make_expression can be: eval's error, unless a lane before it went
// bad, whose error eval gives first.
[[noreturn]] [[gnu::noinline]] inline void refuse_lane(bool finite_so_far) {
    if (!finite_so_far) {
        refuse_lanes_not_finite();
    }
    throw std::out_of_range("symbolic value lane index out of range");
}

inline void copy_rows(double* to, const double* from, std::size_t count) {
    std::memcpy(to, from, count * sizeof(double));
}

// Every instruction's value; false when a lane is not finite somewhere.
template <typename Rows>
bool run_forward(const detail::Instruction* begin, const detail::Instruction* end, double* v, double* kept,
                 Rows rows) {
    using detail::Code;
    const std::size_t stride = rows.stride;
    bool finite = true;
    for (const detail::Instruction* it = begin; it != end; ++it) {
        const detail::Instruction& in = *it;
        double* y = v + in.out * stride;
        const double* a = v + in.operand[0] * stride;
        const double* b = v + in.operand[1] * stride;
        switch (in.code) {
            case Code::Add1: finite &= forward_scalar<AddRule>(y, a, b, rows); break;
            case Code::Subtract1: finite &= forward_scalar<SubtractRule>(y, a, b, rows); break;
            case Code::Multiply1: finite &= forward_scalar<MultiplyRule>(y, a, b, rows); break;
            case Code::Divide1: finite &= forward_scalar<DivideRule>(y, a, b, rows); break;
            case Code::Lanes: finite &= forward_lanes(in, v, kept, rows); break;
            case Code::Component:
                if (static_cast<std::uint32_t>(in.extra) >= in.left_dimension) {
                    refuse_lane(finite);
                }
                copy_rows(y, a + static_cast<std::size_t>(in.extra) * stride, rows.count);
                break;
            case Code::Pack:
                for (int k = 0; k < in.extra; ++k) {
                    copy_rows(y + static_cast<std::size_t>(k) * stride, v + in.operand[k] * stride, rows.count);
                }
                break;
        }
    }
    return finite;
}

template <typename Rule, typename Rows>
inline void reverse_scalar(const double* a, const double* b, const double* y, const double* g, double* left,
                           double* right, Rows rows) {
    for (std::size_t r = 0; r < rows.count; ++r) {
        const Adjoints d = Rule::adjoint(a[r], b[r], y[r], g[r], true);
        left[r] += d.left;
        right[r] += d.right;
    }
}

// The adjoint of an instruction run lane by lane, the left operand's
// contribution added before the right one's, lane by lane. A paired rule
// takes the derivative its forward pass kept.
template <typename Rows>
[[gnu::noinline]] void reverse_lanes(const detail::Instruction& in, const double* v, const double* kept,
                                     double* adj, Rows rows) {
    const std::size_t stride = rows.stride;
    const int n = in.dimension;
    const double* x = v + in.operand[0] * stride;
    const double* y = v + in.out * stride;
    const double* g = adj + in.out * stride;
    double* left = adj + in.operand[0] * stride;
    with_rule(
        in.op,
        [&](auto rule) {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                const double* z = v + in.operand[1] * stride;
                double* right = adj + in.operand[1] * stride;
                for (int i = 0; i < n; ++i) {
                    const std::size_t li = broadcast_index(in.left_dimension, i) * stride;
                    const std::size_t ri = broadcast_index(in.right_dimension, i) * stride;
                    const std::size_t yi = static_cast<std::size_t>(i) * stride;
                    for (std::size_t r = 0; r < rows.count; ++r) {
                        const Adjoints d = Rule::adjoint(x[li + r], z[ri + r], y[yi + r], g[yi + r], in.extra != 0);
                        left[li + r] += d.left;
                        right[ri + r] += d.right;
                    }
                }
            } else {
                const double* derivative = kept + in.out * stride;
                for (int i = 0; i < n; ++i) {
                    const std::size_t lane = static_cast<std::size_t>(i) * stride;
                    for (std::size_t r = 0; r < rows.count; ++r) {
                        if constexpr (is_paired<Rule>) {
                            left[lane + r] += Rule::adjoint_by(derivative[lane + r], g[lane + r]);
                        } else {
                            left[lane + r] += Rule::adjoint(x[lane + r], y[lane + r], g[lane + r]);
                        }
                    }
                }
            }
        },
        unsupported_tape_op);
}

// Backward's scheduling: the instructions in reverse, each adding what its
// upstream lanes give into its operands' adjoints. `kept` is what the
// forward pass kept.
template <typename Rows>
void run_reverse(const detail::Instruction* begin, const detail::Instruction* end, const double* v,
                 const double* kept, double* adj, Rows rows) {
    using detail::Code;
    const std::size_t stride = rows.stride;
    for (const detail::Instruction* it = end; it != begin;) {
        const detail::Instruction& in = *--it;
        const double* g = adj + in.out * stride;
        const std::size_t a = in.operand[0] * stride;
        const std::size_t b = in.operand[1] * stride;
        const double* y = v + in.out * stride;
        switch (in.code) {
            case Code::Add1: reverse_scalar<AddRule>(v + a, v + b, y, g, adj + a, adj + b, rows); break;
            case Code::Subtract1: reverse_scalar<SubtractRule>(v + a, v + b, y, g, adj + a, adj + b, rows); break;
            case Code::Multiply1: reverse_scalar<MultiplyRule>(v + a, v + b, y, g, adj + a, adj + b, rows); break;
            case Code::Divide1: reverse_scalar<DivideRule>(v + a, v + b, y, g, adj + a, adj + b, rows); break;
            case Code::Lanes: reverse_lanes(in, v, kept, adj, rows); break;
            case Code::Component: {
                double* left = adj + a + static_cast<std::size_t>(in.extra) * stride;
                for (std::size_t r = 0; r < rows.count; ++r) left[r] += g[r];
                break;
            }
            case Code::Pack:
                for (int k = 0; k < in.extra; ++k) {
                    double* lane = adj + in.operand[k] * stride;
                    const double* gk = g + static_cast<std::size_t>(k) * stride;
                    for (std::size_t r = 0; r < rows.count; ++r) lane[r] += gk[r];
                }
                break;
        }
    }
}

// Forward-mode derivatives: every instruction's tangent lanes for one
// direction in the inputs' lanes, set in `t` beforehand.
template <typename Rows>
void run_tangent(const detail::Instruction* begin, const detail::Instruction* end, const double* v,
                 const double* kept, double* t, Rows rows) {
    using detail::Code;
    const std::size_t stride = rows.stride;
    for (const detail::Instruction* it = begin; it != end; ++it) {
        const detail::Instruction& in = *it;
        double* ty = t + in.out * stride;
        const double* x = v + in.operand[0] * stride;
        const double* ta = t + in.operand[0] * stride;
        const double* y = v + in.out * stride;
        switch (in.code) {
            case Code::Component: copy_rows(ty, ta + static_cast<std::size_t>(in.extra) * stride, rows.count); continue;
            case Code::Pack:
                for (int k = 0; k < in.extra; ++k) {
                    copy_rows(ty + static_cast<std::size_t>(k) * stride, t + in.operand[k] * stride, rows.count);
                }
                continue;
            default: break;
        }
        const int n = in.dimension;
        with_rule(
            in.op,
            [&](auto rule) {
                using Rule = decltype(rule);
                if constexpr (Rule::operands == 2) {
                    const double* z = v + in.operand[1] * stride;
                    const double* tb = t + in.operand[1] * stride;
                    for (int i = 0; i < n; ++i) {
                        const std::size_t li = broadcast_index(in.left_dimension, i) * stride;
                        const std::size_t ri = broadcast_index(in.right_dimension, i) * stride;
                        const std::size_t yi = static_cast<std::size_t>(i) * stride;
                        for (std::size_t r = 0; r < rows.count; ++r) {
                            ty[yi + r] = Rule::tangent(x[li + r], z[ri + r], y[yi + r], ta[li + r], tb[ri + r],
                                                       in.extra != 0);
                        }
                    }
                } else {
                    const double* derivative = kept + in.out * stride;
                    for (std::size_t j = 0; j < static_cast<std::size_t>(n) * stride; j += stride) {
                        for (std::size_t r = 0; r < rows.count; ++r) {
                            if constexpr (is_paired<Rule>) {
                                ty[j + r] = Rule::tangent_by(derivative[j + r], ta[j + r]);
                            } else {
                                ty[j + r] = Rule::tangent(x[j + r], y[j + r], ta[j + r]);
                            }
                        }
                    }
                }
            },
            unsupported_tape_op);
    }
}

}  // namespace
}  // namespace varnel::symbolic
