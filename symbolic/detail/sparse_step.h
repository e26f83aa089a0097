// The linear algebra of the trust-region method on a sparse Jacobian.
// Internal: not installed.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <cstdint>
#include <vector>

#include "symbolic/detail/residual_blocks.h"
#include "symbolic/detail/supernodal_cholesky.h"

namespace varnel::symbolic {

// The normal equations J^T J of a Jacobian with a fixed pattern, scaled to
// a unit-sized diagonal and factorised by a supernodal Cholesky in a
// fill-reducing (approximate minimum degree) order. The pattern of J^T J and its ordering
// are worked out once, when the step is made; each factorisation after
// that is numeric only.
class SparseStep {
public:
    explicit SparseStep(const CompressedRows& pattern);

    // J^T J, J^T f and J's column norms for the values of J (laid out as
    // the pattern's) and the residuals f. Keeps `values` and `residuals`
    // by reference, for step and model_norm, until the next call.
    void assemble(const std::vector<double>& values, const Eigen::VectorXd& residuals);

    const Eigen::VectorXd& column_norms() const noexcept { return column_norms_; }
    // J^T f.
    const Eigen::VectorXd& gradient() const noexcept { return gradient_; }
    // The Levenberg-Marquardt step p that solves (J^T J + damping D^2) p =
    // -J^T f, D the diagonal of `scale` (positive): the least-squares
    // solution of [J; sqrt(damping) D] p = [-f; 0]. Where J is so near
    // losing rank that the normal equations lose that step (pivots of
    // their factor at the rounding level), the step is refined on the
    // least-squares problem itself; false when the factor left directions
    // free and refinement did not settle, which a larger damping mends.
    bool step(const Eigen::VectorXd& scale, double damping, Eigen::VectorXd& p);
    // |J p|.
    double model_norm(const Eigen::VectorXd& p) const;
    // Conjugate-gradient iterations the refinements of the steps so far
    // took, for tests.
    std::int64_t refinement_iterations() const noexcept { return refinement_iterations_; }
    // The diagonal of (J^T J)^-1, from the factor's selected inverse,
    // never the whole inverse. Returns the number of directions of the unknowns that J
    // leaves undetermined to rounding; the diagonal is only set when that
    // is 0.
    int normal_inverse_diagonal(Eigen::VectorXd& diagonal);

private:
    using Matrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

    // Factorises D^-1 J^T J D^-1 + damping I; returns the number of pivots
    // at or below free_pivot, which the factor takes as free.
    Eigen::Index factorize(const Eigen::VectorXd& scale, double damping, double free_pivot);
    // Pivots at or below this are rounding; the scaled matrix's diagonal
    // is at most 1.
    double singular_pivot() const;
    // Pivots at or below this are the factorisation's own rounding, below
    // which a factor is no use even as a preconditioner.
    double rounding_pivot() const;
    // J p and J^T s, from the values kept by assemble.
    void times(const Eigen::VectorXd& p, Eigen::VectorXd& jp) const;
    void transpose_times(const Eigen::VectorXd& s, Eigen::VectorXd& jts) const;
    // Refines p towards the damped least-squares solution; false when it
    // has not settled within the iterations allowed.
    bool refine(const Eigen::VectorXd& scale, double damping, Eigen::VectorXd& p);

    const CompressedRows& pattern_;
    const std::vector<double>* values_ = nullptr;
    const Eigen::VectorXd* residuals_ = nullptr;
    std::int64_t refinement_iterations_ = 0;
    // The lower triangle of J^T J, and the values of a scaled, damped copy
    // to factorise.
    Matrix normal_;
    std::vector<double> scaled_;
    // For each row of J, the places in normal_'s values of the products of
    // its entries' pairs (a, b), a <= b, in the order of a double loop.
    std::vector<std::int64_t> pair_place_;
    std::vector<std::int64_t> diagonal_place_;
    SupernodalCholesky factor_;
    Eigen::VectorXd gradient_;
    Eigen::VectorXd column_norms_;
};

}  // namespace varnel::symbolic
