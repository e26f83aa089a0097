// The supernodal factorisation's two kernel sets side by side, on the
// normal equations J^T J (plus 1e-3 on the diagonal) of the network of
// bench/sparse_network.py with random entries in J's pattern: CPU seconds
// of the analysis, of a numeric factorisation and of the selected inverse's
// diagonal (means of REPEATS, the sets taking turns), and the stored
// entries and floating-point operations of the factor. Not part of the
// build; from the project's folder:
//
//   g++ -O3 -DNDEBUG -std=c++17 -I. -I/usr/include/eigen3 -mavx2 -mfma \
//       -c symbolic/supernodal_kernels_avx2.cpp -o /tmp/kernels_avx2.o
//   g++ -O3 -DNDEBUG -std=c++17 -I. -I/usr/include/eigen3 -DVARNEL_AVX2_KERNELS \
//       bench/cpp/supernodal_kernels.cpp symbolic/supernodal_cholesky.cpp \
//       symbolic/supernodal_kernels.cpp /tmp/kernels_avx2.o -o /tmp/supernodal_kernels
//   /tmp/supernodal_kernels POINTS [REPEATS]
#include <Eigen/SparseCore>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "symbolic/detail/supernodal_cholesky.h"

namespace {

using varnel::symbolic::SupernodalCholesky;
using varnel::symbolic::SupernodalKernels;
using Matrix = SupernodalCholesky::Matrix;

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

Matrix network_normal_equations(int points) {
    int width = 1;
    while ((width + 1) * (width + 1) <= points) ++width;
    const int height = (points + width - 1) / width;
    const int n = 2 * width * height;
    std::mt19937 random(1);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<Eigen::Triplet<double, int>> entries;
    int row = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int k = y * width + x;
            for (const auto& [dx, dy] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 1}}) {
                if (x + dx >= width || y + dy >= height) continue;
                const int j = k + dy * width + dx;
                const double a = uniform(random), b = uniform(random);
                entries.emplace_back(row, 2 * k, -a);
                entries.emplace_back(row, 2 * k + 1, -b);
                entries.emplace_back(row, 2 * j, a);
                entries.emplace_back(row, 2 * j + 1, b);
                ++row;
            }
        }
    }
    Eigen::SparseMatrix<double, Eigen::ColMajor, int> jacobian(row, n);
    jacobian.setFromTriplets(entries.begin(), entries.end());
    Matrix normal = jacobian.transpose() * jacobian;
    for (int i = 0; i < n; ++i) normal.coeffRef(i, i) += 1e-3;
    Matrix lower = normal.triangularView<Eigen::Lower>();
    lower.makeCompressed();
    return lower;
}

struct Times {
    double analysis = 0.0;
    double factorize = 0.0;
    double inverse = 0.0;
};

}  // namespace

int main(int argc, char** argv) {
    const int points = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const Matrix lower = network_normal_equations(points);
    const SupernodalKernels* avx2 = varnel::symbolic::avx2_supernodal_kernels();
    const std::vector<std::pair<const char*, const SupernodalKernels*>> sets = {
        {"generic", &varnel::symbolic::generic_supernodal_kernels()}, {"AVX2 and FMA", avx2}};
    std::vector<Times> times(sets.size());
    std::int64_t stored = 0;
    for (int r = 0; r < repeats; ++r) {
        for (std::size_t s = 0; s < sets.size(); ++s) {
            if (sets[s].second == nullptr) continue;
            double start = cpu_seconds();
            SupernodalCholesky factor(lower, *sets[s].second);
            times[s].analysis += cpu_seconds() - start;
            start = cpu_seconds();
            if (factor.factorize(lower.valuePtr(), 1e-12) != 0) {
                std::fprintf(stderr, "the matrix was found singular\n");
                return 1;
            }
            times[s].factorize += cpu_seconds() - start;
            start = cpu_seconds();
            const double sum = factor.inverse_diagonal().sum();
            times[s].inverse += cpu_seconds() - start;
            stored = factor.stored_entries();
            if (!(sum > 0.0)) return 1;
        }
    }
    std::printf("%d points, %ld unknown lanes, %ld stored entries of the factor, %d repeats\n", points,
                static_cast<long>(lower.cols()), static_cast<long>(stored), repeats);
    std::printf("%-14s %10s %10s %10s\n", "kernels", "analysis", "factorize", "inverse");
    for (std::size_t s = 0; s < sets.size(); ++s) {
        if (sets[s].second == nullptr) {
            std::printf("%-14s not built or not supported here\n", sets[s].first);
            continue;
        }
        std::printf("%-14s %10.4f %10.4f %10.4f\n", sets[s].first, times[s].analysis / repeats,
                    times[s].factorize / repeats, times[s].inverse / repeats);
    }
    return 0;
}
