// The sparse step's factorisation against others, on the normal equations
// J^T J of the network of bench/sparse_network.py (the grid perturbed by up
// to 0.15, distances to the right, lower and lower-right neighbours, one
// point and one y fixed): the solver's own supernodal LL^T
// (symbolic/supernodal_cholesky.cpp), Eigen's simplicial LDL^T and LL^T in the
// approximate minimum degree order, in METIS's nested dissection (Eigen's
// MetisSupport) and in the grid's own order, and through Eigen's
// CholmodSupport CHOLMOD's simplicial and supernodal factorisations in its
// AMD and METIS orders. CPU seconds of the symbolic analysis and of one
// numeric factorisation (the mean of REPEATS), the factor's entries and
// CHOLMOD's count of its floating-point operations. Not part of the build:
// CHOLMOD is not a dependency of varnel (bench/README.md says why).
//
//   apt-get install libsuitesparse-dev libmetis-dev
//   g++ -O3 -DNDEBUG -std=c++17 -I. -I/usr/include/eigen3 -I/usr/include/suitesparse
//       bench/cpp/sparse_factorizations.cpp symbolic/supernodal_cholesky.cpp
//       symbolic/supernodal_kernels.cpp -lcholmod -lmetis -o /tmp/sparse_factorizations
//   /tmp/sparse_factorizations POINTS [REPEATS] [two]
//
// `two` stops after the first two rows: the supernodal factorisation and
// Eigen's simplicial LDL^T, in AMD order both.
#include <Eigen/CholmodSupport>
// Eigen/MetisSupport prints with std::cerr without including <iostream>.
#include <iostream>
#include <Eigen/MetisSupport>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <type_traits>
#include <vector>

#include "symbolic/detail/supernodal_cholesky.h"

namespace {

using Matrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// The lower triangle of J^T J, with 1e-9 on the diagonal as the smallest
// damping of a step.
Matrix network_normal_equations(int points) {
    const int width = static_cast<int>(std::sqrt(static_cast<double>(points)));
    const int height = (points + width - 1) / width;
    std::mt19937 random(0);
    std::uniform_real_distribution<double> perturb(-0.15, 0.15);
    std::vector<double> px, py;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            px.push_back(x + perturb(random));
            py.push_back(y + perturb(random));
        }
    }
    std::vector<Eigen::Triplet<double>> entries;
    int row = 0;
    auto tie = [&](int k, int j) {
        const double dx = px[j] - px[k], dy = py[j] - py[k], d = std::hypot(dx, dy);
        entries.emplace_back(row, 2 * j, dx / d);
        entries.emplace_back(row, 2 * j + 1, dy / d);
        entries.emplace_back(row, 2 * k, -dx / d);
        entries.emplace_back(row, 2 * k + 1, -dy / d);
        ++row;
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int k = y * width + x;
            if (x + 1 < width) tie(k, k + 1);
            if (y + 1 < height) tie(k, k + width);
            if (x + 1 < width && y + 1 < height) tie(k, k + width + 1);
        }
    }
    entries.emplace_back(row++, 0, 1.0);
    entries.emplace_back(row++, 1, 1.0);
    entries.emplace_back(row++, 3, 1.0);
    Eigen::SparseMatrix<double> jacobian(row, 2 * width * height);
    jacobian.setFromTriplets(entries.begin(), entries.end());
    Matrix normal = (jacobian.transpose() * jacobian).triangularView<Eigen::Lower>();
    for (int j = 0; j < normal.cols(); ++j) {
        normal.coeffRef(j, j) += 1e-9;
    }
    normal.makeCompressed();
    return normal;
}

template <typename Factor>
void measure(const char* name, Factor& factor, const Matrix& a, int repeats) {
    double start = cpu_seconds();
    factor.analyzePattern(a);
    const double analyse = cpu_seconds() - start;
    start = cpu_seconds();
    for (int i = 0; i < repeats; ++i) {
        factor.factorize(a);
    }
    const double numeric = (cpu_seconds() - start) / repeats;
    const Eigen::VectorXd b = Eigen::VectorXd::Ones(a.cols());
    const Eigen::VectorXd x = factor.solve(b);
    const double residual = (a.selfadjointView<Eigen::Lower>() * x - b).norm() / b.norm();
    std::printf("%-34s analyse %7.3f  factorise %7.3f  ", name, analyse, numeric);
    if constexpr (std::is_base_of_v<Eigen::CholmodBase<Matrix, Eigen::Lower, Factor>, Factor>) {
        std::printf("entries %10.0f  flops %9.3g", factor.cholmod().lnz, factor.cholmod().fl);
    } else {
        std::printf("entries %10ld  %15s", static_cast<long>(factor.matrixL().nestedExpression().nonZeros()) + a.cols(),
                    "");
    }
    std::printf("  |Ax-b|/|b| %.0e\n", residual);
}

// The same figures for the solver's factorisation, whose analysis is its
// constructor; its pivots at or below 1e-12 would count as free.
void measure_supernodal(const Matrix& a, int repeats) {
    using varnel::symbolic::SupernodalCholesky;
    double start = cpu_seconds();
    SupernodalCholesky factor(a);
    const double analyse = cpu_seconds() - start;
    start = cpu_seconds();
    long free = 0;
    for (int i = 0; i < repeats; ++i) {
        free += static_cast<long>(factor.factorize(a.valuePtr(), 1e-12));
    }
    const double numeric = (cpu_seconds() - start) / repeats;
    const Eigen::VectorXd b = Eigen::VectorXd::Ones(a.cols());
    const Eigen::VectorXd x = factor.solve(b);
    const double residual = (a.selfadjointView<Eigen::Lower>() * x - b).norm() / b.norm();
    std::printf("%-34s analyse %7.3f  factorise %7.3f  entries %10lld  %15s  |Ax-b|/|b| %.0e%s\n",
                "varnel supernodal LL^T, AMD", analyse, numeric, static_cast<long long>(factor.stored_entries()), "",
                residual, free != 0 ? "  (free pivots!)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const int points = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    const bool two_only = argc > 3 && std::strcmp(argv[3], "two") == 0;
    const Matrix a = network_normal_equations(points);
    std::printf("%d unknown lanes, %ld entries in the lower triangle of J^T J\n", static_cast<int>(a.cols()),
                static_cast<long>(a.nonZeros()));
    measure_supernodal(a, repeats);
    Eigen::SimplicialLDLT<Matrix, Eigen::Lower, Eigen::AMDOrdering<int>> ldlt_amd;
    measure("Eigen simplicial LDL^T, AMD", ldlt_amd, a, repeats);
    if (two_only) {
        return 0;
    }
    Eigen::SimplicialLDLT<Matrix, Eigen::Lower, Eigen::MetisOrdering<int>> ldlt_metis;
    measure("Eigen simplicial LDL^T, METIS", ldlt_metis, a, repeats);
    if (points <= 30000) {  // the grid's order fills a band: 2 GB at 100,000 points
        Eigen::SimplicialLDLT<Matrix, Eigen::Lower, Eigen::NaturalOrdering<int>> ldlt_grid;
        measure("Eigen simplicial LDL^T, grid order", ldlt_grid, a, repeats);
    }
    Eigen::SimplicialLLT<Matrix, Eigen::Lower, Eigen::AMDOrdering<int>> llt_amd;
    measure("Eigen simplicial LL^T, AMD", llt_amd, a, repeats);
    Eigen::SimplicialLLT<Matrix, Eigen::Lower, Eigen::MetisOrdering<int>> llt_metis;
    measure("Eigen simplicial LL^T, METIS", llt_metis, a, repeats);
    const struct {
        const char* name;
        int ordering;
        int supernodal;
    } ways[] = {{"CHOLMOD simplicial LDL^T, AMD", CHOLMOD_AMD, CHOLMOD_SIMPLICIAL},
                {"CHOLMOD supernodal LL^T, AMD", CHOLMOD_AMD, CHOLMOD_SUPERNODAL},
                {"CHOLMOD simplicial LDL^T, METIS", CHOLMOD_METIS, CHOLMOD_SIMPLICIAL},
                {"CHOLMOD supernodal LL^T, METIS", CHOLMOD_METIS, CHOLMOD_SUPERNODAL}};
    for (const auto& way : ways) {
        Eigen::CholmodDecomposition<Matrix, Eigen::Lower> cholmod;
        cholmod.cholmod().nmethods = 1;
        cholmod.cholmod().method[0].ordering = way.ordering;
        cholmod.cholmod().supernodal = way.supernodal;
        cholmod.cholmod().final_ll = way.supernodal == CHOLMOD_SUPERNODAL;
        measure(way.name, cholmod, a, repeats);
    }
}
