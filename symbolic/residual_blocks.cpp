// The blocks of a least-squares problem: a walk of each residual's cone in
// the problem's compiled tape for the unknowns it reaches, and the blocks'
// rows of the Jacobian from ranges of that tape or, where a block's cone is
// not one range, from a small compiled function of its own.
#include "symbolic/detail/residual_blocks.h"

#include <algorithm>
#include <cstring>

#include "symbolic/detail/checks.h"
#include "symbolic/detail/operators.h"
#include "symbolic/detail/tape.h"
#include "symbolic/detail/tape_passes.h"

namespace varnel::symbolic {

namespace {

// The lanes an instruction's operand j has.
int operand_lanes(const detail::Instruction& in, int j) {
    if (in.code == detail::Code::Pack) {
        return 1;
    }
    return j == 0 ? in.left_dimension : in.right_dimension;
}

int operand_count(const detail::Instruction& in) {
    switch (in.code) {
        case detail::Code::Pack: return in.extra;
        case detail::Code::Component: return 1;
        default: return rule_operands(in.op);
    }
}

}  // namespace

ResidualBlocks::ResidualBlocks(const Function& function) {
    const std::vector<Value>& inputs = function.inputs();
    const std::vector<Value>& outputs = function.outputs();
    const std::vector<detail::Instruction>& code = function.code_;
    constexpr auto kNone = static_cast<std::uint32_t>(-1);
    // The input whose lanes start at a lane: the inputs' lanes come first,
    // in input order, so they are the columns'.
    std::vector<std::uint32_t> input_at(static_cast<std::size_t>(function.input_lanes_), kNone);
    column_start_.reserve(inputs.size() + 1);
    column_start_.push_back(0);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        input_at[static_cast<std::size_t>(column_start_.back())] = static_cast<std::uint32_t>(k);
        column_start_.push_back(column_start_.back() + inputs[k].dimension());
    }
    // The instruction whose result starts at a lane, for the lanes from the
    // first result on; below them are the leaves'.
    const std::uint32_t leaves =
        code.empty() ? static_cast<std::uint32_t>(function.lane_count_) : code.front().out;
    std::vector<std::uint32_t> owner(function.lane_count_ - leaves, kNone);
    for (std::size_t k = 0; k < code.size(); ++k) {
        owner[code[k].out - leaves] = static_cast<std::uint32_t>(k);
    }

    // The walks of the outputs' cones over the tape, which lies in one
    // array, rather than over the graph's nodes. An instruction's or an
    // input's entry is the last block that reached it, plus one, so no walk
    // has to clear what the last one left.
    std::vector<std::uint32_t> instruction_seen_by(code.size(), 0);
    std::vector<std::uint32_t> input_seen_by(inputs.size(), 0);
    std::vector<std::uint32_t> stack;
    std::vector<std::uint32_t> reached;
    unknown_start_.reserve(outputs.size() + 1);
    row_start_.reserve(outputs.size() + 1);
    row_width_.reserve(outputs.size());
    unknown_start_.push_back(0);
    row_start_.push_back(0);
    for (std::size_t b = 0; b < outputs.size(); ++b) {
        const auto stamp = static_cast<std::uint32_t>(b + 1);
        reached.clear();
        auto visit = [&](std::uint32_t lane) {
            if (lane < input_at.size()) {
                const std::uint32_t k = input_at[lane];
                if (input_seen_by[k] != stamp) {
                    input_seen_by[k] = stamp;
                    reached.push_back(k);
                }
            } else if (lane >= leaves) {
                const std::uint32_t k = owner[lane - leaves];
                if (instruction_seen_by[k] != stamp) {
                    instruction_seen_by[k] = stamp;
                    stack.push_back(k);
                }
            }
        };
        visit(function.output_at_[b]);
        while (!stack.empty()) {
            const detail::Instruction& in = code[stack.back()];
            stack.pop_back();
            for (int j = 0; j < operand_count(in); ++j) {
                visit(in.operand[j]);
            }
        }
        std::sort(reached.begin(), reached.end());
        int width = 0;
        for (std::uint32_t k : reached) {
            width += inputs[k].dimension();
        }
        unknowns_.insert(unknowns_.end(), reached.begin(), reached.end());
        unknown_start_.push_back(unknowns_.size());
        const int lanes = outputs[b].dimension();
        row_start_.push_back(row_start_.back() + lanes);
        row_width_.push_back(width);
        nonzeros_ += static_cast<std::int64_t>(lanes) * width;
    }
}


BlockJacobian::BlockJacobian(const Function& function, const ResidualBlocks& blocks, TapeLanes& lanes)
    : function_(function), blocks_(blocks), lanes_(lanes) {
    const std::vector<Value>& inputs = function.inputs();
    const std::vector<Value>& outputs = function.outputs();
    const std::vector<detail::Instruction>& code = function.code_;
    pattern_.rows = blocks.rows();
    pattern_.columns = blocks.columns();
    pattern_.row_starts.reserve(static_cast<std::size_t>(pattern_.rows) + 1);
    pattern_.row_starts.push_back(0);
    pattern_.column_indices.reserve(static_cast<std::size_t>(blocks.nonzeros()));

    // Lanes below the first instruction's result are the leaves': the
    // inputs', whose lanes are the columns' in order, the constants' and
    // the Parameters'. Results' lanes ascend along the tape.
    const std::uint32_t leaves =
        code.empty() ? static_cast<std::uint32_t>(function.lane_count_) : code.front().out;
    // The first instruction no earlier output's walk emitted.
    std::size_t next = 0;
    std::vector<Value> unknowns;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        // The block's own instructions: those its output's walk emitted,
        // ending with the output's, unless an earlier walk emitted the
        // output or the output is a leaf.
        const std::uint32_t at = function.output_at_[b];
        std::size_t begin = next;
        std::size_t end = next;
        if (at >= leaves && next < code.size() && code[next].out <= at) {
            while (code[end].out < at) ++end;
            next = ++end;
        }
        bool swept = begin != end && blocks.row_count(b) <= blocks.row_width(b);
        const auto zeroed_begin = static_cast<std::uint32_t>(zeroed_.size());
        for (std::size_t k = begin; swept && k < end; ++k) {
            const detail::Instruction& in = code[k];
            for (int j = 0; j < operand_count(in); ++j) {
                const std::uint32_t lane = in.operand[j];
                if (lane >= code[begin].out) {
                    continue;
                }
                if (lane >= leaves) {
                    swept = false;  // a result of an earlier block's walk
                    break;
                }
                for (int i = 0; i < operand_lanes(in, j); ++i) {
                    zeroed_.push_back(lane + static_cast<std::uint32_t>(i));
                }
            }
        }
        if (swept) {
            ranges_.push_back({b, static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end), zeroed_begin,
                               static_cast<std::uint32_t>(zeroed_.size())});
        } else {
            zeroed_.resize(zeroed_begin);
            unknowns.clear();
            for (const std::uint32_t* k = blocks.unknowns_begin(b); k != blocks.unknowns_end(b); ++k) {
                unknowns.push_back(inputs[*k]);
            }
            if (!unknowns.empty()) {
                functions_.emplace_back(std::vector<Value>{outputs[b]}, unknowns);
                block_of_.push_back(b);
            }
        }
        for (int row = 0; row < blocks.row_count(b); ++row) {
            for (const std::uint32_t* k = blocks.unknowns_begin(b); k != blocks.unknowns_end(b); ++k) {
                for (int lane = 0; lane < inputs[*k].dimension(); ++lane) {
                    pattern_.column_indices.push_back(blocks.column_start(*k) + lane);
                }
            }
            pattern_.row_starts.push_back(static_cast<std::int64_t>(pattern_.column_indices.size()));
        }
    }
    pattern_.values.assign(pattern_.column_indices.size(), 0.0);
}

// One forward pass of the whole tape, unless the lanes hold one at x
// already, then per swept block and output lane a reverse pass over its
// range from the lane seeded, as its own Function's jacobian runs one over
// its whole tape. The range reads and writes the adjoints of its results
// and of the leaves it reads, zeroed first; the tape's marks of first
// adjoint writes are for the whole tape, and here assign what adding into
// a zeroed lane gives, bit for bit.
void BlockJacobian::sweep(const Eigen::VectorXd& x, std::vector<double>& values) {
    const Function& f = function_;
    if (!lanes_.kept_at(x)) {
        lanes_.forward(x, true);
    }
    // The reverse passes read these and write no value lane.
    const double* v = lanes_.values();
    const double* kept = lanes_.kept();
    adjoints_.resize(f.lane_count_);
    double* adj = adjoints_.data();
    const detail::Instruction* code = f.code_.data();
    for (const Range& range : ranges_) {
        const std::size_t b = range.block;
        const std::uint32_t first = code[range.begin].out;
        const std::uint32_t at = f.output_at_[b];
        const int lanes = blocks_.row_count(b);
        double* row = values.data() + pattern_.row_starts[static_cast<std::size_t>(blocks_.row_start(b))];
        for (int i = 0; i < lanes; ++i) {
            std::fill(adj + first, adj + at + lanes, 0.0);
            for (std::uint32_t z = range.zeroed_begin; z < range.zeroed_end; ++z) {
                adj[zeroed_[z]] = 0.0;
            }
            adj[at + static_cast<std::uint32_t>(i)] = 1.0;
            run_reverse(code + range.begin, code + range.end, v, kept, adj, OneRow{});
            for (const std::uint32_t* k = blocks_.unknowns_begin(b); k != blocks_.unknowns_end(b); ++k) {
                row = std::copy(adj + blocks_.column_start(*k), adj + blocks_.column_start(*k + 1), row);
            }
        }
    }
}

void BlockJacobian::evaluate(const Eigen::VectorXd& x, std::vector<double>& values) {
    // Every block that reaches an unknown writes all of its rows' entries.
    values.resize(pattern_.column_indices.size());
    if (!ranges_.empty()) {
        sweep(x, values);
    }
    for (std::size_t f = 0; f < functions_.size(); ++f) {
        const std::size_t b = block_of_[f];
        point_.clear();
        for (const std::uint32_t* k = blocks_.unknowns_begin(b); k != blocks_.unknowns_end(b); ++k) {
            SmallValue value;
            value.dimension = blocks_.column_start(*k + 1) - blocks_.column_start(*k);
            for (int lane = 0; lane < value.dimension; ++lane) {
                value.lanes[static_cast<std::size_t>(lane)] = x(blocks_.column_start(*k) + lane);
            }
            point_.push_back(value);
        }
        // Rows of the block's lanes, each as wide as the pattern's rows.
        const std::vector<double> rows = functions_[f].jacobian(point_);
        std::memcpy(values.data() + pattern_.row_starts[static_cast<std::size_t>(blocks_.row_start(b))],
                    rows.data(), rows.size() * sizeof(double));
    }
}

}  // namespace varnel::symbolic
