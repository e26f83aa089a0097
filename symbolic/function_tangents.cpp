// Forward-mode derivatives of a Function's tape along several directions
// in one sweep: the Jacobian's columns when outputs outnumber inputs. With
// the tape's lane kernels' tangent rules, so each number is the one a sweep
// along its direction alone would give.
#include <algorithm>
#include <stdexcept>

#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"
#include "symbolic/function.h"

namespace varnel::symbolic {
namespace {

using detail::Code;
using detail::Instruction;

[[noreturn]] void unsupported_op() {
    throw std::logic_error("unsupported symbolic expression op");
}

// The tangents of one instruction along `nd` directions, the directions of
// a lane side by side (see run_tangents). Fixed = nd when it is known at
// compile time, so that the loops over directions unroll; 0 otherwise.
template <std::size_t Fixed>
struct TangentSweep {
    const std::uint32_t* offset;
    const std::uint8_t* dimension;
    const SmallValue* s;
    double* tangents;
    std::size_t nd;

    double* of(std::uint32_t slot) const { return tangents + offset[slot] * count(); }
    std::size_t count() const { return Fixed != 0 ? Fixed : nd; }

    template <typename Rule>
    void scalar(const Instruction& in) const {
        const std::size_t n = count();
        const double x = s[in.operand[0]].lanes[0];
        const double z = s[in.operand[1]].lanes[0];
        const double y = s[in.out].lanes[0];
        const double* ta = of(in.operand[0]);
        const double* tb = of(in.operand[1]);
        double* t = of(in.out);
        for (std::size_t d = 0; d < n; ++d) {
            t[d] = Rule::tangent(x, z, y, ta[d], tb[d], in.extra != 0);
        }
    }

    void run(const Instruction& in) const {
        const std::size_t nd = count();
        double* t = of(in.out);
        const int n = in.dimension;
        const std::uint32_t a = in.operand[0];
        const double* ta = of(a);
        const SmallValue& x = s[a];
        const SmallValue& y = s[in.out];
        switch (in.code) {
            case Code::Add1: scalar<AddRule>(in); return;
            case Code::Subtract1: scalar<SubtractRule>(in); return;
            case Code::Multiply1: scalar<MultiplyRule>(in); return;
            case Code::Divide1: scalar<DivideRule>(in); return;
            case Code::Component:
                std::copy(ta + static_cast<std::size_t>(in.extra) * nd, ta + static_cast<std::size_t>(in.extra + 1) * nd,
                          t);
                return;
            case Code::Pack:
                std::fill(t, t + static_cast<std::size_t>(n) * nd, 0.0);
                for (int k = 0; k < in.extra && k < n; ++k) {
                    const double* lane = of(in.operand[k]);
                    std::copy(lane, lane + nd, t + static_cast<std::size_t>(k) * nd);
                }
                return;
            case Code::Lanes: break;
        }
        with_rule(
            in.op,
            [&](auto rule) {
                using Rule = decltype(rule);
                if constexpr (Rule::operands == 2) {
                    const std::uint32_t b = in.operand[1];
                    const SmallValue& z = s[b];
                    const double* tb = of(b);
                    for (int i = 0; i < n; ++i) {
                        const double xi = x.lanes[broadcast_index(x.dimension, i)];
                        const double zi = z.lanes[broadcast_index(z.dimension, i)];
                        const double yi = y.lanes[static_cast<std::size_t>(i)];
                        const double* tai = ta + broadcast_index(dimension[a], i) * nd;
                        const double* tbi = tb + broadcast_index(dimension[b], i) * nd;
                        double* ti = t + static_cast<std::size_t>(i) * nd;
                        for (std::size_t d = 0; d < nd; ++d) {
                            ti[d] = Rule::tangent(xi, zi, yi, tai[d], tbi[d], in.extra != 0);
                        }
                    }
                } else {
                    for (int i = 0; i < n; ++i) {
                        const auto lane = static_cast<std::size_t>(i);
                        const double* tai = ta + lane * nd;
                        double* ti = t + lane * nd;
                        for (std::size_t d = 0; d < nd; ++d) {
                            ti[d] = Rule::tangent(x.lanes[lane], y.lanes[lane], tai[d]);
                        }
                    }
                }
            },
            unsupported_op);
    }
};

template <std::size_t Fixed>
void sweep_tangents(const std::vector<Instruction>& code, const TangentSweep<Fixed>& sweep) {
    for (const Instruction& in : code) {
        sweep.run(in);
    }
}

}  // namespace

// Forward-mode derivatives along `directions` directions at once: the
// tangent of lane i of slot k along direction d is at
// tangents[(lane_offset_[k] + i) * directions + d]. One sweep pays each
// instruction's dispatch once for all directions; each number is what a
// sweep along its direction alone computes. Up to four directions, the
// common case of a few parameters, have loops of a fixed length.
void Function::run_tangents(const SmallValue* s, double* tangents, std::size_t directions) const {
    const std::uint32_t* offset = lane_offset_.data();
    const std::uint8_t* dimension = lane_dimension_.data();
    switch (directions) {
        case 1: sweep_tangents(code_, TangentSweep<1>{offset, dimension, s, tangents, 1}); break;
        case 2: sweep_tangents(code_, TangentSweep<2>{offset, dimension, s, tangents, 2}); break;
        case 3: sweep_tangents(code_, TangentSweep<3>{offset, dimension, s, tangents, 3}); break;
        case 4: sweep_tangents(code_, TangentSweep<4>{offset, dimension, s, tangents, 4}); break;
        default: sweep_tangents(code_, TangentSweep<0>{offset, dimension, s, tangents, directions}); break;
    }
}

}  // namespace varnel::symbolic
