// Large least-squares problems: where each residual reaches only a few of
// the unknowns, the Jacobian is almost all zeros, and the solver works on
// its nonzeros alone (residual by residual, with a sparse factorisation of
// the trust-region step) rather than on the dense matrix. least_squares and
// solve of solve.h choose that way by the problem's size and fill; the
// calls here let the caller choose, and return the sparse Jacobian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "symbolic/solve.h"

namespace varnel::symbolic {

// How the solver holds the Jacobian. Auto: Sparse when the problem has at
// least sparse_from_unknown_lanes unknown lanes and at most a
// sparse_up_to_fill fraction of the Jacobian's entries can be nonzero,
// Dense otherwise.
enum class JacobianLayout : std::uint8_t { Auto, Dense, Sparse };

inline constexpr int sparse_from_unknown_lanes = 100;
inline constexpr double sparse_up_to_fill = 0.05;

// "auto", "dense", "sparse".
const char* to_string(JacobianLayout layout) noexcept;
// The layout of that name; std::invalid_argument for any other.
JacobianLayout jacobian_layout_from_string(const std::string& name);

// The entries of the Jacobian that the residuals' graph can make nonzero:
// each residual lane times the lanes of the unknowns below it, as found
// when the problem was made.
std::int64_t jacobian_nonzeros(const LeastSquaresProblem& problem);
// What Auto picks for the problem: Dense or Sparse.
JacobianLayout choose_layout(const LeastSquaresProblem& problem);

// A Jacobian in compressed rows: row r's entries are
// values[row_starts[r] .. row_starts[r + 1]), in the columns of
// column_indices there, ascending. Entries of the pattern may be 0.
struct SparseJacobian {
    int rows = 0;
    int columns = 0;
    std::vector<std::int64_t> row_starts;
    std::vector<std::int32_t> column_indices;
    std::vector<double> values;
};

// A solve with the layout it used. With Sparse, summary.jacobian and
// summary.covariance are empty (their dense n-by-n and m-by-n forms are
// what the sparse way avoids): the Jacobian is in `jacobian`, and the
// standard errors come from the diagonal of the inverse of J^T J, found
// from its sparse factor. When J is rank deficient there, they are empty
// and the message says how many directions of the unknowns the residuals
// leave undetermined.
struct LayoutSolveSummary {
    SolveSummary summary;
    JacobianLayout layout = JacobianLayout::Dense;
    SparseJacobian jacobian;
};

// least_squares and solve of solve.h, in the given layout (Auto as they
// choose); the same checks, options and results.
LayoutSolveSummary least_squares(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                                 const SolveOptions& options, JacobianLayout layout);
LayoutSolveSummary solve(const LeastSquaresProblem& problem, const std::vector<SmallValue>& x0,
                         const SolveOptions& options, JacobianLayout layout);

}  // namespace varnel::symbolic
