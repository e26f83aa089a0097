// A Function's Jacobians: reverse sweeps, one per output lane, or forward
// sweeps carrying several input lanes' tangents at once. A source of their
// own, apart from the one-row call and vjp of function.cpp: the sweeps'
// instantiations there moved those passes' hot loops to other addresses,
// and a call and a vjp ran up to 1.35 times slower with the same work.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"
#include "symbolic/detail/tape_passes.h"
#include "symbolic/function.h"

namespace varnel::symbolic {
namespace {

using detail::Instruction;

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

inline void zero(double* lanes, std::size_t count) {
    std::memset(lanes, 0, count * sizeof(double));
}

}  // namespace

// One set of lanes in reverse, one per direction of the widest sweep
// forward.
std::size_t Function::tangent_lane_count() const {
    if (output_lanes_ <= input_lanes_) {
        return lane_count_;
    }
    return lane_count_ * sweep_width(std::min(static_cast<std::size_t>(input_lanes_), kMaxDirections));
}

// Every output lane's derivative with respect to every input lane, by one
// reverse sweep per output lane or forward sweeps along up to
// kMaxDirections input lanes at once, whichever are fewer; put(row of the
// block, output lane, input lane, d). `lanes` holds tangent_lane_count()
// lanes per row.
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
                run_reverse(begin, end, values, kept, lanes, rows);
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
            run_tangent<directions>(begin, end, values, kept, lanes, rows);
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

void Function::jacobian_block(const double* values, const double* kept, double* lanes, std::size_t stride,
                              std::size_t count, double* out) const {
    const auto columns = static_cast<std::size_t>(input_lanes_);
    const std::size_t size = static_cast<std::size_t>(output_lanes_) * columns;
    const auto put = [&](std::size_t r, std::size_t row, std::size_t column, double d) {
        out[r * size + row * columns + column] = d;
    };
    if (stride == 1) {
        jacobian_rows(values, kept, lanes, OneRow{}, put);
    } else {
        jacobian_rows(values, kept, lanes, RowBlock{stride, count}, put);
    }
}

}  // namespace varnel::symbolic
