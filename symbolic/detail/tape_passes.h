// The passes over a Function's tape: values, adjoints and tangents, for one
// row or for a block of rows at once. Lane k of row r of a block lives at
// lanes[k * stride + r], so each instruction is dispatched once per block
// and its row loop is plain arithmetic over neighbouring numbers; one row is
// the block of stride 1, for which the row loops vanish. The rules are those
// of operators.h, applied per row in the order of eval and backward, so
// every row's numbers are theirs bit for bit. Internal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

// One lane of a two-operand operator over the rows. A result's lanes are
// its own, apart from its operands': the loops vectorise. Finiteness is
// gathered into one flag rather than checked with a branch per result: the
// pass stays a straight line, and only a pass whose flag drops looks for
// the failure.
// Each returns not_finite_bit over its results: 0 when all are finite.
template <typename Rule, typename Rows>
inline std::uint64_t forward_scalar(double* __restrict y, const double* a, const double* b, Rows rows) {
    std::uint64_t bad = 0;
    for (std::size_t r = 0; r < rows.count; ++r) {
        const double value = Rule::value(a[r], b[r]);
        y[r] = value;
        bad |= not_finite_bit(value);
    }
    return bad;
}

// A rule that stays finite gathers no flag (see stays_finite).
template <typename Rule, typename Rows>
inline std::uint64_t forward_unary(double* __restrict y, const double* x, Rows rows) {
    std::uint64_t bad = 0;
    for (std::size_t r = 0; r < rows.count; ++r) {
        const double value = Rule::value(x[r]);
        y[r] = value;
        if constexpr (!stays_finite<Rule>) {
            bad |= not_finite_bit(value);
        }
    }
    return bad;
}

// The same, also keeping the derivative.
template <typename Rule, typename Rows>
inline std::uint64_t forward_paired(double* __restrict y, double* __restrict derivative, const double* x,
                                    Rows rows) {
    std::uint64_t bad = 0;
    for (std::size_t r = 0; r < rows.count; ++r) {
        Rule::value_and_derivative(x[r], y + r, derivative + r);
        if constexpr (!stays_finite<Rule>) {
            bad |= not_finite_bit(y[r]);
        }
    }
    return bad;
}

// Any operator with a rule, lane by lane, a one-lane operand repeated over
// the lanes. With `kept`, a paired rule also leaves its derivative there,
// at the result's lanes, for the reverse and tangent passes.
template <typename Rows>
[[gnu::noinline]] std::uint64_t forward_lanes(const detail::Instruction& in, double* v, double* kept, Rows rows) {
    const std::size_t stride = rows.stride;
    const int n = in.dimension;
    double* y = v + in.out * stride;
    const double* a = v + in.operand[0] * stride;
    std::uint64_t bad = 0;
    with_rule(
        in.op,
        [&](auto rule) {
            using Rule = decltype(rule);
            if constexpr (Rule::operands == 2) {
                const double* b = v + in.operand[1] * stride;
                for (int i = 0; i < n; ++i) {
                    bad |= forward_scalar<Rule>(y + static_cast<std::size_t>(i) * stride,
                                                   a + broadcast_index(in.left_dimension, i) * stride,
                                                   b + broadcast_index(in.right_dimension, i) * stride, rows);
                }
            } else {
                for (int i = 0; i < n; ++i) {
                    const std::size_t lane = static_cast<std::size_t>(i) * stride;
                    if constexpr (is_paired<Rule>) {
                        if (kept != nullptr) {
                            bad |= forward_paired<Rule>(y + lane, kept + in.out * stride + lane, a + lane, rows);
                            continue;
                        }
                    }
                    bad |= forward_unary<Rule>(y + lane, a + lane, rows);
                }
            }
        },
        unsupported_tape_op);
    return bad;
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

// An empty statement that claims to change x in a register, so that the
// compiler keeps the branch that chose it (x86; elsewhere nothing).
inline void keep_branch([[maybe_unused]] double& x) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm("" : "+x"(x));
#endif
}

// One row's one-lane step. The last such result also stays in a register:
// an operand that is it comes from there rather than from memory, where it
// would wait for its own store to land, so a chain of one-lane steps runs
// at the pace of its arithmetic. The operand test is a branch, which the
// processor predicts, not a conditional move, which would wait for the load.
template <typename Rule>
inline std::uint64_t forward_one(const detail::Instruction& in, double* v, double& last, std::uint32_t& last_at) {
    double x;
    double z;
    if (in.operand[0] == last_at) {
        x = last;
        keep_branch(x);
    } else {
        x = v[in.operand[0]];
    }
    if (in.operand[1] == last_at) {
        z = last;
        keep_branch(z);
    } else {
        z = v[in.operand[1]];
    }
    last = Rule::value(x, z);
    last_at = in.out;
    v[in.out] = last;
    return not_finite_bit(last);
}

// One row's one-lane step whose operands on `sides` (bit 0 left, bit 1
// right) are the step before's result, `last`: from the register, with no
// test of where the operand lives.
template <typename Rule>
inline std::uint64_t forward_after(const detail::Instruction& in, unsigned sides, double* v, double& last,
                                   std::uint32_t& last_at) {
    double x;
    double z;
    if ((sides & 1) != 0) {
        x = last;
        keep_branch(x);
    } else {
        x = v[in.operand[0]];
    }
    if ((sides & 2) != 0) {
        z = last;
        keep_branch(z);
    } else {
        z = v[in.operand[1]];
    }
    last = Rule::value(x, z);
    last_at = in.out;
    v[in.out] = last;
    return not_finite_bit(last);
}

// A Multiply1 and the Add1 after it that reads its product
// (Instruction::pair): one dispatch for the two, and with kLeads for the
// step joined to them as well. Each is rounded as alone, never as one
// fused multiply-add (the library is compiled with -ffp-contract=off), and
// every result is stored, as apart. Returns how many instructions it ran.
inline std::ptrdiff_t forward_joined(const detail::Instruction* in, double* v, double& last, std::uint32_t& last_at,
                                     std::uint64_t& bad) {
    using detail::pair_reads;
    if ((in[0].pair & detail::kPairSides) == 0) {
        // A product, then a pair whose product reads it.
        bad |= forward_one<MultiplyRule>(in[0], v, last, last_at);
        bad |= forward_after<MultiplyRule>(in[1], pair_reads(in[1]), v, last, last_at);
        bad |= forward_after<AddRule>(in[2], in[2].pair & detail::kPairSides, v, last, last_at);
        return 3;
    }
    bad |= forward_one<MultiplyRule>(in[0], v, last, last_at);
    bad |= forward_after<AddRule>(in[1], in[1].pair & detail::kPairSides, v, last, last_at);
    if ((in[0].pair & detail::kLeads) == 0) {
        return 2;
    }
    // A pair, then a quotient that reads its sum.
    bad |= forward_after<DivideRule>(in[2], pair_reads(in[2]), v, last, last_at);
    return 3;
}

// One row's arithmetic on several lanes: a one-lane operand is read at
// step 0, so it repeats. Out of line, so that the one-lane steps' loop
// keeps its registers.
template <typename Rule>
inline std::uint64_t forward_wide(const detail::Instruction& in, double* v) {
    const std::size_t left_step = in.left_dimension != 1;
    const std::size_t right_step = in.right_dimension != 1;
    const double* a = v + in.operand[0];
    const double* b = v + in.operand[1];
    double* __restrict y = v + in.out;
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < in.dimension; ++i) {
        const double value = Rule::value(a[i * left_step], b[i * right_step]);
        y[i] = value;
        bad |= not_finite_bit(value);
    }
    return bad;
}

[[gnu::noinline]] inline std::uint64_t forward_wide(const detail::Instruction& in, double* v) {
    using detail::Code;
    switch (in.code) {
        case Code::AddN: return forward_wide<AddRule>(in, v);
        case Code::SubtractN: return forward_wide<SubtractRule>(in, v);
        case Code::MultiplyN: return forward_wide<MultiplyRule>(in, v);
        default: return forward_wide<DivideRule>(in, v);
    }
}

// Every instruction's value; false when a lane is not finite somewhere.
// The passes start on a cache line of their own, so that their loops keep
// one placement whatever code comes before them (an edit elsewhere in
// the file moved a call's time by a tenth).
template <typename Rows>
[[gnu::aligned(64)]] bool run_forward(const detail::Instruction* begin, const detail::Instruction* end, double* v, double* kept,
                 Rows rows) {
    using detail::Code;
    const std::size_t stride = rows.stride;
    std::uint64_t bad = 0;
    double last = 0.0;
    auto last_at = static_cast<std::uint32_t>(-1);
    for (const detail::Instruction* it = begin; it != end; ++it) {
        const detail::Instruction& in = *it;
        double* y = v + in.out * stride;
        const double* a = v + in.operand[0] * stride;
        const double* b = v + in.operand[1] * stride;
        if constexpr (std::is_same_v<Rows, OneRow>) {
            switch (in.code) {
                case Code::Add1: bad |= forward_one<AddRule>(in, v, last, last_at); continue;
                case Code::Subtract1: bad |= forward_one<SubtractRule>(in, v, last, last_at); continue;
                case Code::Multiply1:
                    if (in.pair != 0) {
                        it += forward_joined(it, v, last, last_at, bad) - 1;
                        continue;
                    }
                    bad |= forward_one<MultiplyRule>(in, v, last, last_at);
                    continue;
                case Code::Divide1: bad |= forward_one<DivideRule>(in, v, last, last_at); continue;
                case Code::AddN:
                case Code::SubtractN:
                case Code::MultiplyN:
                case Code::DivideN: bad |= forward_wide(in, v); continue;
                default: break;  // every lane is written once: `last` stays its lane's value
            }
        }
        switch (in.code) {
            case Code::Add1: bad |= forward_scalar<AddRule>(y, a, b, rows); break;
            case Code::Subtract1: bad |= forward_scalar<SubtractRule>(y, a, b, rows); break;
            case Code::Multiply1: bad |= forward_scalar<MultiplyRule>(y, a, b, rows); break;
            case Code::Divide1: bad |= forward_scalar<DivideRule>(y, a, b, rows); break;
            case Code::AddN:
            case Code::SubtractN:
            case Code::MultiplyN:
            case Code::DivideN:
            case Code::Lanes: bad |= forward_lanes(in, v, kept, rows); break;
            case Code::Component:
                if (static_cast<std::uint32_t>(in.extra) >= in.left_dimension) {
                    refuse_lane(bad == 0);
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
    return bad == 0;
}

// An adjoint lane after a contribution d: d + 0 at the first write into it
// (see Instruction::first), which is what adding into a zeroed lane gives
// bit for bit, else the lane plus d.
inline double added(bool first, const double& lane, double d) {
    return first ? d + 0.0 : lane + d;
}

// An upstream lane added into an operand's adjoint lane over the rows. The
// choice is made once, outside the row loop, which then vectorises.
inline void add_rows(double* __restrict lane, const double* g, bool first, std::size_t count) {
    if (first) {
        for (std::size_t r = 0; r < count; ++r) lane[r] = added(true, lane[r], g[r]);
    } else {
        for (std::size_t r = 0; r < count; ++r) lane[r] = added(false, lane[r], g[r]);
    }
}

// What one lane of a two-operand operator adds into its operands' adjoint
// lanes over the rows, the left one's before the right one's. Apart, they
// vectorise; x * x adds both into the same lanes.
template <typename Rule, typename Rows>
inline void reverse_apart(const double* a, const double* b, const double* y, const double* g, double* __restrict left,
                          double* __restrict right, bool right_varies, bool first_left, bool first_right,
                          Rows rows) {
    for (std::size_t r = 0; r < rows.count; ++r) {
        const Adjoints d = Rule::adjoint(a[r], b[r], y[r], g[r], right_varies);
        left[r] = added(first_left, left[r], d.left);
        right[r] = added(first_right, right[r], d.right);
    }
}

template <typename Rule, typename Rows>
inline void reverse_scalar(const double* a, const double* b, const double* y, const double* g, double* left,
                           double* right, bool right_varies, bool first_left, bool first_right, Rows rows) {
    if (left != right) {
        reverse_apart<Rule>(a, b, y, g, left, right, right_varies, first_left, first_right, rows);
        return;
    }
    for (std::size_t r = 0; r < rows.count; ++r) {
        const Adjoints d = Rule::adjoint(a[r], b[r], y[r], g[r], right_varies);
        left[r] = added(first_left, left[r], d.left);
        left[r] += d.right;
    }
}

// Whether lane i's write into an operand of `dimension` lanes is the
// instruction's first there: a one-lane operand is written at every lane.
inline bool first_write(const detail::Instruction& in, int operand, int dimension, int i) {
    return ((in.first >> operand) & 1) != 0 && (dimension != 1 || i == 0);
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
                    reverse_scalar<Rule>(x + li, z + ri, y + yi, g + yi, left + li, right + ri, in.extra != 0,
                                         first_write(in, 0, in.left_dimension, i),
                                         first_write(in, 1, in.right_dimension, i), rows);
                }
            } else {
                const double* derivative = kept + in.out * stride;
                const bool first = (in.first & 1) != 0;
                for (int i = 0; i < n; ++i) {
                    const std::size_t lane = static_cast<std::size_t>(i) * stride;
                    double* __restrict to = left + lane;
                    for (std::size_t r = 0; r < rows.count; ++r) {
                        if constexpr (is_paired<Rule>) {
                            to[r] = added(first, to[r], Rule::adjoint_by(derivative[lane + r], g[lane + r]));
                        } else {
                            to[r] = added(first, to[r], Rule::adjoint(x[lane + r], y[lane + r], g[lane + r]));
                        }
                    }
                }
            }
        },
        unsupported_tape_op);
}

// One row's one-lane adjoint step. As in the forward pass, the last two
// adjoint lanes written stay in registers, and an upstream lane that is one
// of them is taken from there: a chain's adjoint then does not wait for
// its own stores. Other instructions write adjoint lanes too, so they forget
// the two (`Recent::forget`).
struct Recent {
    std::uint32_t at[2] = {static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1)};
    double value[2] = {0.0, 0.0};

    double upstream(std::uint32_t lane, const double* adj) const {
        double g;
        if (lane == at[1]) {
            g = value[1];
            keep_branch(g);
        } else if (lane == at[0]) {
            g = value[0];
            keep_branch(g);
        } else {
            g = adj[lane];
        }
        return g;
    }
    void forget() { at[0] = at[1] = static_cast<std::uint32_t>(-1); }
    // After a write of one lane: it is the more recent of the two, and the
    // other stays unless it was the same lane (at[1] is asked first).
    void wrote(std::uint32_t lane, double lane_value) {
        if (at[1] != lane) {
            at[0] = at[1];
            value[0] = value[1];
        }
        at[1] = lane;
        value[1] = lane_value;
    }
};

// It adds even at a first write (Instruction::first): a branch there costs
// one row more than zeroing its lanes does, so a one-row pass starts from
// all adjoint lanes zeroed.
//
// A right operand that is a Constant (Instruction::extra 0) gets nothing:
// nobody reads a Constant's adjoint, and for a product or a quotient that
// spares the arithmetic of its contribution as well as the lane's load and
// store. Its lane then keeps whatever it held, unread.
template <typename Rule, bool RightVaries>
inline void reverse_one(const detail::Instruction& in, const double* v, double* adj, Recent& recent) {
    const std::uint32_t a = in.operand[0];
    const std::uint32_t b = in.operand[1];
    const Adjoints d = Rule::adjoint(v[a], v[b], v[in.out], recent.upstream(in.out, adj), true);
    const double left = adj[a] + d.left;
    adj[a] = left;
    if constexpr (RightVaries) {
        const double right = adj[b] + d.right;  // after the store: x * x adds both into one lane
        adj[b] = right;
        recent.at[0] = a;
        recent.value[0] = a == b ? right : left;
        recent.at[1] = b;
        recent.value[1] = right;
    } else {
        recent.wrote(a, left);
    }
}

template <typename Rule>
inline void reverse_one(const detail::Instruction& in, const double* v, double* adj, Recent& recent) {
    if (in.extra != 0) {
        reverse_one<Rule, true>(in, v, adj, recent);
    } else {
        reverse_one<Rule, false>(in, v, adj, recent);
    }
}

// One row's sine or cosine of one lane, the commonest operators without an
// instruction kind of their own: the derivative the forward pass kept
// times the upstream lane, inline rather than through reverse_lanes' call
// and operator switch. (Their forward step stays in forward_lanes: its
// libm call, inline, made the forward loop spill its registers around it.)
template <typename Rule>
inline void reverse_paired_one(const detail::Instruction& in, const double* kept, double* adj, Recent& recent) {
    const std::uint32_t a = in.operand[0];
    const double left = adj[a] + Rule::adjoint_by(kept[in.out], recent.upstream(in.out, adj));
    adj[a] = left;
    recent.wrote(a, left);
}

// One row's arithmetic on several lanes, lane by lane, the left operand's
// contribution added before the right one's: a repeated one-lane operand
// gathers every lane's, and x * x both into the same lanes.
template <typename Rule>
inline void reverse_wide(const detail::Instruction& in, const double* v, double* adj) {
    const std::size_t left_step = in.left_dimension != 1;
    const std::size_t right_step = in.right_dimension != 1;
    const double* a = v + in.operand[0];
    const double* b = v + in.operand[1];
    const double* y = v + in.out;
    const double* g = adj + in.out;
    double* left = adj + in.operand[0];
    double* right = adj + in.operand[1];
    for (std::size_t i = 0; i < in.dimension; ++i) {
        const Adjoints d = Rule::adjoint(a[i * left_step], b[i * right_step], y[i], g[i], in.extra != 0);
        const int lane = static_cast<int>(i);
        left[i * left_step] = added(first_write(in, 0, in.left_dimension, lane), left[i * left_step], d.left);
        right[i * right_step] = added(first_write(in, 1, in.right_dimension, lane), right[i * right_step], d.right);
    }
}

// Out of line, as forward_wide.
[[gnu::noinline]] inline void reverse_wide(const detail::Instruction& in, const double* v, double* adj) {
    using detail::Code;
    switch (in.code) {
        case Code::AddN: reverse_wide<AddRule>(in, v, adj); break;
        case Code::SubtractN: reverse_wide<SubtractRule>(in, v, adj); break;
        case Code::MultiplyN: reverse_wide<MultiplyRule>(in, v, adj); break;
        default: reverse_wide<DivideRule>(in, v, adj); break;
    }
}

// Backward's scheduling: the instructions in reverse, each adding what its
// upstream lanes give into its operands' adjoints. `kept` is what the
// forward pass kept. The adjoint lanes that are read before they are
// written (Function::zero_adjoints) are zero, the outputs' seeded; for one
// row, every adjoint lane is zero (see reverse_one), and a paired Add1 and
// the Multiply1 before it (Instruction::pair) are one step: a part of the
// tape that is run never starts between the two (the Add1 reads the
// product). The steps joined to a pair (kLeads) are run apart here: joined
// in this pass too, they ran more instructions, not fewer.
template <typename Rows>
[[gnu::aligned(64)]] void run_reverse(const detail::Instruction* begin, const detail::Instruction* end, const double* v,
                 const double* kept, double* adj, Rows rows) {
    using detail::Code;
    const std::size_t stride = rows.stride;
    Recent recent;
    for (const detail::Instruction* it = end; it != begin;) {
        const detail::Instruction& in = *--it;
        if constexpr (std::is_same_v<Rows, OneRow>) {
            switch (in.code) {
                case Code::Add1:
                    reverse_one<AddRule>(in, v, adj, recent);
                    if (in.pair != 0) {
                        // The product's upstream lane is the one just written: from a register.
                        reverse_one<MultiplyRule>(*--it, v, adj, recent);
                    }
                    continue;
                case Code::Subtract1: reverse_one<SubtractRule>(in, v, adj, recent); continue;
                case Code::Multiply1: reverse_one<MultiplyRule>(in, v, adj, recent); continue;
                case Code::Divide1: reverse_one<DivideRule>(in, v, adj, recent); continue;
                case Code::Lanes:
                    if (in.dimension == 1 && in.op == ExpressionOp::Sin) {
                        reverse_paired_one<SinRule>(in, kept, adj, recent);
                        continue;
                    }
                    if (in.dimension == 1 && in.op == ExpressionOp::Cos) {
                        reverse_paired_one<CosRule>(in, kept, adj, recent);
                        continue;
                    }
                    recent.forget();
                    break;
                default: recent.forget(); break;
            }
            switch (in.code) {
                case Code::AddN:
                case Code::SubtractN:
                case Code::MultiplyN:
                case Code::DivideN: reverse_wide(in, v, adj); continue;
                default: break;
            }
        }
        const double* g = adj + in.out * stride;
        const std::size_t a = in.operand[0] * stride;
        const std::size_t b = in.operand[1] * stride;
        const double* y = v + in.out * stride;
        const bool first_left = (in.first & 1) != 0;
        const bool first_right = (in.first & 2) != 0;
        switch (in.code) {
            case Code::Add1:
                reverse_scalar<AddRule>(v + a, v + b, y, g, adj + a, adj + b, true, first_left, first_right, rows);
                break;
            case Code::Subtract1:
                reverse_scalar<SubtractRule>(v + a, v + b, y, g, adj + a, adj + b, true, first_left, first_right,
                                             rows);
                break;
            case Code::Multiply1:
                reverse_scalar<MultiplyRule>(v + a, v + b, y, g, adj + a, adj + b, true, first_left, first_right,
                                             rows);
                break;
            case Code::Divide1:
                reverse_scalar<DivideRule>(v + a, v + b, y, g, adj + a, adj + b, true, first_left, first_right,
                                           rows);
                break;
            case Code::AddN:
            case Code::SubtractN:
            case Code::MultiplyN:
            case Code::DivideN:
            case Code::Lanes: reverse_lanes(in, v, kept, adj, rows); break;
            case Code::Component:
                add_rows(adj + a + static_cast<std::size_t>(in.extra) * stride, g, first_left, rows.count);
                break;
            case Code::Pack:
                for (int k = 0; k < in.extra; ++k) {
                    double* lane = adj + in.operand[k] * stride;
                    const double* gk = g + static_cast<std::size_t>(k) * stride;
                    add_rows(lane, gk, ((in.first >> k) & 1) != 0, rows.count);
                }
                break;
        }
    }
}

// Forward-mode derivatives along `Directions` directions in one sweep: the
// tangent of lane k of row r along direction d is at
// t[(k * stride + r) * Directions + d]. Each instruction is dispatched once
// for every direction, and its loop over them is arithmetic the compiler
// vectorises; each direction's numbers are those of a sweep along it
// alone, by the rules' tangent_along.
template <std::size_t Directions, typename Rule, typename Rows>
inline void tangent_two(const double* a, const double* b, const double* y, const double* ta, const double* tb,
                        double* __restrict ty, bool right_varies, Rows rows) {
    for (std::size_t r = 0; r < rows.count; ++r) {
        const auto along = Rule::tangent_along(a[r], b[r], y[r], right_varies);
        const std::size_t at = r * Directions;
        for (std::size_t d = 0; d < Directions; ++d) {
            ty[at + d] = along(ta[at + d], tb[at + d]);
        }
    }
}

template <std::size_t Directions, typename Rule, typename Rows>
inline void tangent_one(const double* x, const double* y, const double* derivative, const double* ta,
                        double* __restrict ty, Rows rows) {
    for (std::size_t r = 0; r < rows.count; ++r) {
        const std::size_t at = r * Directions;
        if constexpr (is_paired<Rule>) {
            const double by = derivative[r];
            for (std::size_t d = 0; d < Directions; ++d) ty[at + d] = Rule::tangent_by(by, ta[at + d]);
        } else {
            const auto along = Rule::tangent_along(x[r], y[r]);
            for (std::size_t d = 0; d < Directions; ++d) ty[at + d] = along(ta[at + d]);
        }
    }
}

// The tangent lanes of inputs, constants and Parameters are set beforehand
// (the directions in the inputs', 0 in the others'); every instruction sets
// all of its result's lanes. `kept` is what the forward pass kept.
template <std::size_t Directions, typename Rows>
void run_tangent(const detail::Instruction* begin, const detail::Instruction* end, const double* v,
                 const double* kept, double* t, Rows rows) {
    using detail::Code;
    const std::size_t stride = rows.stride;
    // One lane of every row of a block, along every direction.
    const std::size_t lane_size = stride * Directions;
    const std::size_t rows_size = rows.count * Directions;
    for (const detail::Instruction* it = begin; it != end; ++it) {
        const detail::Instruction& in = *it;
        double* ty = t + in.out * lane_size;
        const double* x = v + in.operand[0] * stride;
        const double* ta = t + in.operand[0] * lane_size;
        const double* y = v + in.out * stride;
        const double* z = v + in.operand[1] * stride;
        const double* tb = t + in.operand[1] * lane_size;
        const bool right_varies = in.extra != 0;
        // Lanes that a lane pick or a pack leaves unset (only a node made
        // directly with make_expression has them) stay 0.
        std::size_t moved = 0;
        switch (in.code) {
            case Code::Add1: tangent_two<Directions, AddRule>(x, z, y, ta, tb, ty, right_varies, rows); continue;
            case Code::Subtract1:
                tangent_two<Directions, SubtractRule>(x, z, y, ta, tb, ty, right_varies, rows);
                continue;
            case Code::Multiply1:
                tangent_two<Directions, MultiplyRule>(x, z, y, ta, tb, ty, right_varies, rows);
                continue;
            case Code::Divide1: tangent_two<Directions, DivideRule>(x, z, y, ta, tb, ty, right_varies, rows); continue;
            case Code::Component:
                copy_rows(ty, ta + static_cast<std::size_t>(in.extra) * lane_size, rows_size);
                moved = 1;
                break;
            case Code::Pack:
                for (int k = 0; k < in.extra; ++k) {
                    copy_rows(ty + static_cast<std::size_t>(k) * lane_size, t + in.operand[k] * lane_size, rows_size);
                }
                moved = static_cast<std::size_t>(in.extra);
                break;
            case Code::AddN:
            case Code::SubtractN:
            case Code::MultiplyN:
            case Code::DivideN:
            case Code::Lanes: break;
        }
        if (in.code == Code::Component || in.code == Code::Pack) {
            for (std::size_t k = moved; k < in.dimension; ++k) {
                std::memset(ty + k * lane_size, 0, rows_size * sizeof(double));
            }
            continue;
        }
        const int n = in.dimension;
        with_rule(
            in.op,
            [&](auto rule) {
                using Rule = decltype(rule);
                for (int i = 0; i < n; ++i) {
                    const std::size_t yi = static_cast<std::size_t>(i);
                    if constexpr (Rule::operands == 2) {
                        const std::size_t li = broadcast_index(in.left_dimension, i);
                        const std::size_t ri = broadcast_index(in.right_dimension, i);
                        tangent_two<Directions, Rule>(x + li * stride, z + ri * stride, y + yi * stride,
                                                      ta + li * lane_size, tb + ri * lane_size, ty + yi * lane_size,
                                                      right_varies, rows);
                    } else {
                        tangent_one<Directions, Rule>(x + yi * stride, y + yi * stride,
                                                      kept + (in.out + yi) * stride, ta + yi * lane_size,
                                                      ty + yi * lane_size, rows);
                    }
                }
            },
            unsupported_tape_op);
    }
}

}  // namespace
}  // namespace varnel::symbolic
