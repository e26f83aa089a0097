// A sparse Cholesky factorisation L L^T a supernode at a time: runs of
// columns of L that share their pattern below the run are stored as dense
// column-major blocks, so that the numeric work is Eigen's dense products
// rather than one sparse column at a time. Internal: not installed.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <cstdint>
#include <vector>

#include "symbolic/detail/supernodal_kernels.h"

namespace varnel::symbolic {

class SupernodalCholesky {
public:
    using Matrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

    // Analyses the pattern of a symmetric matrix given by its lower
    // triangle, compressed, every diagonal entry present: an approximate
    // minimum degree order (postordered by its elimination tree), the
    // supernodes, their rows, and where each of the matrix's entries goes
    // in them. Later factorisations of matrices of this pattern are a
    // scatter and dense work into storage made here (Eigen's larger dense
    // products still take their packing buffers for the call).
    explicit SupernodalCholesky(const Matrix& lower, const SupernodalKernels& kernels = supernodal_kernels());

    // Factorises the matrix whose lower triangle has the analysed pattern
    // and these values (in the order of its valuePtr()). A pivot l_jj^2 at
    // or below `free_pivot` is a direction the matrix leaves free to
    // rounding: its column of L becomes the unit column (the rest of a
    // semidefinite matrix's row there is rounding too) and the factorisation
    // goes on. Returns the number of such pivots; the factor is only that of
    // the matrix when it is 0.
    Eigen::Index factorize(const double* values, double free_pivot);

    // The least pivot l_jj^2 of the last factorisation, free ones (1)
    // among them.
    double least_pivot() const;

    // x = A^-1 b, for the last factorisation.
    Eigen::VectorXd solve(const Eigen::VectorXd& b) const;

    // The diagonal of A^-1, for the last factorisation, from its selected
    // inverse (the entries of A^-1 on L's pattern, a supernode at a time
    // from the last), never the whole inverse. The selected inverse takes
    // the factor's place: factorise again before the next solve.
    Eigen::VectorXd inverse_diagonal();

    // The factor's stored entries, the upper triangles of the supernodes'
    // dense diagonal blocks with them.
    std::int64_t stored_entries() const noexcept { return static_cast<std::int64_t>(factor_.size()); }

private:
    struct Supernode {
        Eigen::Index first;    // its first column
        Eigen::Index columns;  // w: columns first .. first + w - 1
        Eigen::Index rows;     // m: its columns, then the rows below them
        std::int64_t row_start;    // its rows in rows_
        std::int64_t value_start;  // its m x w block in factor_, column-major
    };
    // A supernode K's (source's) rows at positions [begin, end) lie in the
    // columns of another (target), which K's rows from begin on update;
    // their positions among the target's rows start at
    // relative_[relative_start].
    struct Update {
        int source;
        int target;
        int begin;
        int end;
        std::int64_t relative_start;
    };

    const SupernodalKernels* kernels_;
    Eigen::Index n_ = 0;
    // The order: column k of the factor is column old_of_new_[k] of A.
    std::vector<int> old_of_new_;
    std::vector<Supernode> supernodes_;
    std::vector<int> supernode_of_;  // of each column of the factor
    std::vector<int> rows_;          // each supernode's rows, ascending
    // The updates each supernode receives, by source ascending.
    std::vector<std::int64_t> update_starts_;
    std::vector<Update> updates_;
    // A's stored entries by the supernode they fall in: entry
    // value_entry_[e] (in the order of A's valuePtr()) goes to
    // factor_[value_place_[e]]; supernode s's are from value_starts_[s].
    std::vector<std::int64_t> value_starts_;
    std::vector<std::int64_t> value_entry_;
    std::vector<std::int64_t> value_place_;
    // The updates' rows' positions in the supernodes they update.
    std::vector<int> relative_;
    KernelBuffer factor_;
    // Scratch of the factorisation: an update's dense product, the largest
    // one's size.
    KernelBuffer product_;
};

}  // namespace varnel::symbolic
