// The supernodal Cholesky factorisation against Eigen's dense one on the
// same matrices: solves, the inverse's diagonal, refactorisation with new
// values, and semidefinite matrices whose free directions it counts; each
// with every set of dense kernels this processor runs.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "symbolic/detail/supernodal_cholesky.h"

namespace {

using varnel::symbolic::SupernodalCholesky;
using varnel::symbolic::SupernodalKernels;
using Matrix = SupernodalCholesky::Matrix;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// A symmetric pattern as a dense 0/1 matrix (the diagonal always in).
using Pattern = std::function<MatrixXd(std::mt19937&)>;

MatrixXd random_pattern(std::mt19937& random, int n, double density) {
    std::bernoulli_distribution pick(density);
    MatrixXd p = MatrixXd::Identity(n, n);
    for (int j = 0; j < n; ++j) {
        for (int i = j + 1; i < n; ++i) {
            if (pick(random)) p(i, j) = p(j, i) = 1.0;
        }
    }
    return p;
}

// The 2-lane points of a width x height grid tied to their right, lower and
// lower-right neighbours, as the networks the solver meets.
MatrixXd grid_pattern(int width, int height) {
    const int n = 2 * width * height;
    MatrixXd p = MatrixXd::Identity(n, n);
    auto tie = [&](int a, int b) {
        for (int i = 0; i < 2; ++i) {
            for (int j = 0; j < 2; ++j) {
                p(2 * a + i, 2 * b + j) = p(2 * b + j, 2 * a + i) = 1.0;
                p(2 * a + i, 2 * a + j) = p(2 * b + i, 2 * b + j) = 1.0;
            }
        }
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int k = y * width + x;
            if (x + 1 < width) tie(k, k + 1);
            if (y + 1 < height) tie(k, k + width);
            if (x + 1 < width && y + 1 < height) tie(k, k + width + 1);
        }
    }
    return p;
}

struct PatternCase {
    std::string name;
    Pattern pattern;
};

std::vector<PatternCase> pattern_cases() {
    return {
        {"OneColumn", [](std::mt19937&) { return MatrixXd::Identity(1, 1); }},
        {"Random", [](std::mt19937& r) { return random_pattern(r, 60, 0.06); }},
        {"EmptyColumns",
         [](std::mt19937& r) {
             MatrixXd p = random_pattern(r, 40, 0.1);
             for (int j : {0, 7, 39}) {
                 p.row(j).setZero();
                 p.col(j).setZero();
                 p(j, j) = 1.0;
             }
             return p;
         }},
        // A path: every column a supernode of its own.
        {"Path",
         [](std::mt19937&) {
             MatrixXd p = MatrixXd::Identity(30, 30);
             for (int j = 0; j + 1 < 30; ++j) p(j, j + 1) = p(j + 1, j) = 1.0;
             return p;
         }},
        {"DenseColumn",
         [](std::mt19937& r) {
             MatrixXd p = random_pattern(r, 50, 0.03);
             p.col(17).setOnes();
             p.row(17).setOnes();
             return p;
         }},
        // Two parts nothing ties: the elimination tree is a forest.
        {"Disconnected",
         [](std::mt19937& r) {
             MatrixXd p = MatrixXd::Zero(45, 45);
             p.topLeftCorner(20, 20) = random_pattern(r, 20, 0.3);
             p.bottomRightCorner(25, 25) = random_pattern(r, 25, 0.2);
             return p;
         }},
        // One supernode wider than a panel.
        {"Dense", [](std::mt19937&) { return MatrixXd::Ones(75, 75); }},
        // Supernodes of two lanes up to separators wider than a panel, each
        // updated by many below it.
        {"Grid", [](std::mt19937&) { return grid_pattern(20, 16); }},
    };
}

// A positive definite matrix of that pattern: random entries, a diagonal
// that dominates.
MatrixXd positive_definite(const MatrixXd& pattern, std::mt19937& random) {
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const Eigen::Index n = pattern.rows();
    MatrixXd a = MatrixXd::Zero(n, n);
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = j + 1; i < n; ++i) {
            if (pattern(i, j) != 0.0) a(i, j) = a(j, i) = uniform(random);
        }
    }
    for (Eigen::Index j = 0; j < n; ++j) {
        a(j, j) = a.col(j).cwiseAbs().sum() + 0.1 + std::abs(uniform(random));
    }
    return a;
}

// The lower triangle of `a` on the lower triangle of `pattern`, compressed.
Matrix lower_of(const MatrixXd& a, const MatrixXd& pattern) {
    std::vector<Eigen::Triplet<double, int>> entries;
    for (int j = 0; j < a.cols(); ++j) {
        for (int i = j; i < a.rows(); ++i) {
            if (pattern(i, j) != 0.0 || i == j) entries.emplace_back(i, j, a(i, j));
        }
    }
    Matrix lower(a.rows(), a.cols());
    lower.setFromTriplets(entries.begin(), entries.end());
    lower.makeCompressed();
    return lower;
}

// The kernel sets, by name; a test of a set this processor or build lacks
// is skipped.
const std::vector<std::string> kKernelSets = {"Generic", "Avx2"};

const SupernodalKernels* kernels_named(const std::string& name) {
    return name == "Generic" ? &varnel::symbolic::generic_supernodal_kernels()
                             : varnel::symbolic::avx2_supernodal_kernels();
}

double relative_error(const VectorXd& got, const VectorXd& expected) {
    return (got - expected).norm() / expected.norm();
}

class SupernodalAgainstDense
    : public ::testing::TestWithParam<std::tuple<PatternCase, unsigned, std::string>> {};

TEST_P(SupernodalAgainstDense, SolvesAndInverseDiagonalAreTheDenseFactorisations) {
    const auto& [shape, seed, kernel_set] = GetParam();
    const SupernodalKernels* kernels = kernels_named(kernel_set);
    if (kernels == nullptr) GTEST_SKIP() << kernel_set << " kernels are not built or not supported here";
    std::mt19937 random(seed);
    const MatrixXd pattern = shape.pattern(random);
    // Analysed once, factorised twice: the second must not keep the first's
    // values.
    const MatrixXd first = positive_definite(pattern, random);
    const MatrixXd a = positive_definite(pattern, random);
    Matrix lower = lower_of(first, pattern);
    SupernodalCholesky factor(lower, *kernels);
    ASSERT_EQ(factor.factorize(lower.valuePtr(), 1e-12), 0);
    lower = lower_of(a, pattern);
    ASSERT_EQ(factor.factorize(lower.valuePtr(), 1e-12), 0);

    const Eigen::LLT<MatrixXd> dense(a);
    for (int k = 0; k < 3; ++k) {
        const VectorXd b = VectorXd::Random(a.rows());
        EXPECT_LT(relative_error(factor.solve(b), dense.solve(b)), 1e-10) << "right-hand side " << k;
    }
    const VectorXd expected = dense.solve(MatrixXd::Identity(a.rows(), a.cols())).diagonal();
    EXPECT_LT((factor.inverse_diagonal() - expected).cwiseQuotient(expected).lpNorm<Eigen::Infinity>(), 1e-10);
    // The selected inverse took the factor's place; a new factorisation
    // solves again.
    ASSERT_EQ(factor.factorize(lower.valuePtr(), 1e-12), 0);
    const VectorXd b = VectorXd::Random(a.rows());
    EXPECT_LT(relative_error(factor.solve(b), dense.solve(b)), 1e-10);
}

INSTANTIATE_TEST_SUITE_P(Patterns, SupernodalAgainstDense,
                         ::testing::Combine(::testing::ValuesIn(pattern_cases()), ::testing::Values(1U, 2U),
                                            ::testing::ValuesIn(kKernelSets)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + std::to_string(std::get<1>(info.param)) +
                                    "_" + std::get<2>(info.param);
                         });

// The number of parts the pattern's edges connect.
Eigen::Index parts(const MatrixXd& pattern) {
    const Eigen::Index n = pattern.rows();
    std::vector<Eigen::Index> part(static_cast<std::size_t>(n), -1);
    Eigen::Index count = 0;
    for (Eigen::Index start = 0; start < n; ++start) {
        if (part[static_cast<std::size_t>(start)] != -1) continue;
        std::vector<Eigen::Index> stack = {start};
        part[static_cast<std::size_t>(start)] = count;
        while (!stack.empty()) {
            const Eigen::Index j = stack.back();
            stack.pop_back();
            for (Eigen::Index i = 0; i < n; ++i) {
                if (pattern(i, j) != 0.0 && part[static_cast<std::size_t>(i)] == -1) {
                    part[static_cast<std::size_t>(i)] = count;
                    stack.push_back(i);
                }
            }
        }
        ++count;
    }
    return count;
}

// The pattern's graph Laplacian (weights on its edges): semidefinite, free
// along the indicator of each part the edges connect, one part fixed when
// `anchored` adds to one diagonal entry.
class SemidefiniteMatrices : public ::testing::TestWithParam<std::tuple<PatternCase, bool, std::string>> {};

TEST_P(SemidefiniteMatrices, CountTheirFreeDirectionsRatherThanFactorise) {
    const auto& [shape, anchored, kernel_set] = GetParam();
    const SupernodalKernels* kernels = kernels_named(kernel_set);
    if (kernels == nullptr) GTEST_SKIP() << kernel_set << " kernels are not built or not supported here";
    std::mt19937 random(5);
    const MatrixXd pattern = shape.pattern(random);
    const Eigen::Index n = pattern.rows();
    std::uniform_real_distribution<double> uniform(0.5, 1.5);
    MatrixXd a = MatrixXd::Zero(n, n);
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = j + 1; i < n; ++i) {
            if (pattern(i, j) == 0.0) continue;
            const double w = uniform(random);
            a(i, j) = a(j, i) = -w;
            a(i, i) += w;
            a(j, j) += w;
        }
    }
    if (anchored) a(0, 0) += 1.0;
    a /= std::max(1.0, a.diagonal().maxCoeff());
    const Matrix lower = lower_of(a, pattern);
    SupernodalCholesky factor(lower, *kernels);
    EXPECT_EQ(factor.factorize(lower.valuePtr(), 1e-10), parts(pattern) - (anchored ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Patterns, SemidefiniteMatrices,
                         ::testing::Combine(::testing::ValuesIn(pattern_cases()), ::testing::Bool(),
                                            ::testing::ValuesIn(kKernelSets)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + (std::get<1>(info.param) ? "_Anchored_" : "_") +
                                    std::get<2>(info.param);
                         });

// A dense semidefinite matrix of rank r in a random basis: the free
// directions are no columns of it, and show only as pivots that cancel to
// rounding.
TEST(SupernodalCholesky, DenseLowRankMatrixIsFoundSingular) {
    std::mt19937 random(3);
    std::normal_distribution<double> normal;
    MatrixXd b(37, 40);
    for (Eigen::Index i = 0; i < b.size(); ++i) b.data()[i] = normal(random);
    MatrixXd a = b.transpose() * b;
    a /= a.diagonal().maxCoeff();
    Matrix lower = lower_of(a, MatrixXd::Ones(40, 40));
    for (const std::string& kernel_set : kKernelSets) {
        const SupernodalKernels* kernels = kernels_named(kernel_set);
        if (kernels == nullptr) continue;
        SupernodalCholesky factor(lower, *kernels);
        EXPECT_EQ(factor.factorize(lower.valuePtr(), 1e-10), 3) << kernel_set;
    }
}

}  // namespace

namespace {

// The same matrix factorised and solved wherever the allocator puts the
// factor: a block's leading entries before an alignment boundary are
// rounded apart from the rest, so the factor's storage must sit at the same
// alignment in every run, whatever else the process has allocated.
TEST(SupernodalCholesky, ResultsDoNotDependOnWhereTheHeapPutsTheFactor) {
    std::mt19937 random(8);
    const MatrixXd pattern = grid_pattern(20, 16);
    const Matrix lower = lower_of(positive_definite(pattern, random), pattern);
    const VectorXd b = VectorXd::Random(lower.rows());
    std::vector<std::vector<double>> spacers;
    VectorXd first;
    for (std::size_t k = 0; k < 8; ++k) {
        spacers.emplace_back(k + 1, 0.0);
        SupernodalCholesky factor(lower);
        ASSERT_EQ(factor.factorize(lower.valuePtr(), 1e-12), 0);
        const VectorXd x = factor.solve(b);
        if (k == 0) {
            first = x;
            continue;
        }
        EXPECT_EQ(0, std::memcmp(x.data(), first.data(), sizeof(double) * static_cast<std::size_t>(x.size())))
            << "after a spacer of " << k + 1 << " doubles";
    }
}

}  // namespace
