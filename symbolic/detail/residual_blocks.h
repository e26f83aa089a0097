// The structure of a least-squares problem: each residual output is a
// block that reaches a few of the unknowns, so its rows of the Jacobian
// are zero outside their lanes. Internal: not installed.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "symbolic/detail/tape_lanes.h"
#include "symbolic/function.h"
#include "symbolic/solve.h"

namespace varnel::symbolic {

// Which unknowns each output of a Function reaches, found by one walk of
// the output's cone in the Function's tape per output. The Jacobian's nonzero pattern follows:
// block b's rows (its output's lanes) hold the lanes of its unknowns, in
// the unknowns' order, and nothing else.
class ResidualBlocks {
public:
    explicit ResidualBlocks(const Function& function);

    std::size_t size() const noexcept { return row_start_.size() - 1; }
    // The unknowns block b reaches, as indices into the Function's inputs,
    // ascending.
    const std::uint32_t* unknowns_begin(std::size_t b) const { return unknowns_.data() + unknown_start_[b]; }
    const std::uint32_t* unknowns_end(std::size_t b) const { return unknowns_.data() + unknown_start_[b + 1]; }
    // Block b's first row lane, and the number of columns (unknown lanes)
    // each of its rows has.
    std::int64_t row_start(std::size_t b) const { return row_start_[b]; }
    int row_count(std::size_t b) const { return static_cast<int>(row_start_[b + 1] - row_start_[b]); }
    int row_width(std::size_t b) const { return row_width_[b]; }
    // The first lane of unknown k in the vector of all unknown lanes.
    int column_start(std::size_t k) const { return column_start_[k]; }

    int rows() const noexcept { return static_cast<int>(row_start_.back()); }
    int columns() const noexcept { return column_start_.back(); }
    // Nonzeros of the Jacobian's pattern: the lanes each row reaches.
    std::int64_t nonzeros() const noexcept { return nonzeros_; }

private:
    std::vector<std::uint32_t> unknowns_;
    std::vector<std::size_t> unknown_start_;
    std::vector<std::int64_t> row_start_;
    std::vector<int> row_width_;
    std::vector<int> column_start_;
    std::int64_t nonzeros_ = 0;
};

// The blocks of a problem's residuals, found when it was made.
const ResidualBlocks& blocks_of(const LeastSquaresProblem& problem);

// The Jacobian in compressed rows on the blocks' pattern: row r's entries
// are values[row_starts[r] .. row_starts[r + 1]), in the columns of
// column_indices there, ascending.
struct CompressedRows {
    Eigen::Index rows = 0;
    Eigen::Index columns = 0;
    std::vector<std::int64_t> row_starts;
    std::vector<std::int32_t> column_indices;
    std::vector<double> values;
};

// The Jacobian of a Function's outputs block by block. The Function's tape
// holds each output's instructions after the previous output's, so a block
// whose cone reads nothing of an earlier block but leaves is one range of
// the tape: its rows come from one forward pass of the whole tape and a
// reverse pass over that range alone. Any other block (one that shares a
// sub-expression with an earlier one, or has more lanes than its unknowns)
// is compiled on its own, over its cone and the unknowns it reaches. Both
// ways give a block's rows the numbers of its own compiled Function, bit
// for bit: the same instructions in the same order. The forward pass is
// that of `lanes`, which a residual evaluation at the same point may have
// run already.
class BlockJacobian {
public:
    BlockJacobian(const Function& function, const ResidualBlocks& blocks, TapeLanes& lanes);

    // The pattern, with every value 0.
    const CompressedRows& pattern() const noexcept { return pattern_; }
    // The values at x (all the unknowns' lanes) into `values`, laid out as
    // pattern().values. Throws the evaluation's error for a lane that is
    // not finite in x.
    void evaluate(const Eigen::VectorXd& x, std::vector<double>& values);
    // How many blocks are compiled on their own rather than swept over a
    // range of the Function's tape.
    std::size_t compiled_blocks() const noexcept { return functions_.size(); }

private:
    // A block swept over instructions [begin, end) of the tape, whose
    // leaves' adjoint lanes are zeroed_[zeroed_begin .. zeroed_end).
    struct Range {
        std::size_t block;
        std::uint32_t begin;
        std::uint32_t end;
        std::uint32_t zeroed_begin;
        std::uint32_t zeroed_end;
    };
    void sweep(const Eigen::VectorXd& x, std::vector<double>& values);

    const Function& function_;
    const ResidualBlocks& blocks_;
    TapeLanes& lanes_;
    std::vector<Range> ranges_;
    std::vector<std::uint32_t> zeroed_;
    // The whole tape's adjoint lanes, for the swept blocks, kept for the
    // next call.
    std::vector<double> adjoints_;
    // One per block compiled on its own, and the block it is.
    std::vector<Function> functions_;
    std::vector<std::size_t> block_of_;
    std::vector<SmallValue> point_;
    CompressedRows pattern_;
};

}  // namespace varnel::symbolic
