// The supernodal Cholesky's dense kernels. This file is compiled twice:
// as itself, for any processor, and by supernodal_kernels_avx2.cpp with
// AVX2 and FMA, in a namespace of their own. Eigen's products, inlined here
// and instantiated as weak symbols, would otherwise be one definition the
// linker may take from either build, the AVX2 one included on a processor
// without it; so that build renames Eigen's namespace too, and uses no
// standard-library template that is not inlined (the test
// SupernodalKernels.Avx2BuildDefinesNoSharedWeakSymbols checks its object).
#ifndef VARNEL_KERNELS
#define VARNEL_KERNELS generic
#define VARNEL_KERNELS_CHOICE
#endif
#include "symbolic/detail/supernodal_kernels.h"

#include <Eigen/Dense>
#include <cmath>

namespace varnel::symbolic::VARNEL_KERNELS {
namespace {

using Index = std::ptrdiff_t;
using Block = Eigen::Map<Eigen::MatrixXd>;
using ConstBlock = Eigen::Map<const Eigen::MatrixXd>;
using StridedBlock = Eigen::Map<const Eigen::MatrixXd, 0, Eigen::OuterStride<>>;

// Columns of a panel factorised one at a time before the panel's product
// updates the block's columns to its right.
constexpr Index kPanel = 32;

void update_product(const double* l, Index stride, Index below, Index across, Index columns, double* product) {
    const StridedBlock source(l, below, columns, Eigen::OuterStride<>(stride));
    Block(product, below, across).noalias() = source * source.topRows(across).transpose();
}

Index factorize_block(double* block, Index m, Index w, double free_pivot) {
    Block a(block, m, w);
    Index free = 0;
    for (Index k = 0; k < w; k += kPanel) {
        const Index panel_end = k + kPanel < w ? k + kPanel : w;
        for (Index j = k; j < panel_end; ++j) {
            const double pivot = a(j, j);
            const Index under = m - j - 1;
            if (!(pivot > free_pivot)) {
                ++free;
                a(j, j) = 1.0;
                a.col(j).tail(under).setZero();
                continue;
            }
            const double l = std::sqrt(pivot);
            a(j, j) = l;
            a.col(j).tail(under) /= l;
            // The panel's columns to the right (their parts above the
            // diagonal too, which nothing reads).
            a.block(j + 1, j + 1, under, panel_end - j - 1).noalias() -=
                a.col(j).tail(under) * a.col(j).segment(j + 1, panel_end - j - 1).transpose();
        }
        if (panel_end < w) {
            a.block(panel_end, panel_end, m - panel_end, w - panel_end).noalias() -=
                a.block(panel_end, k, m - panel_end, panel_end - k) *
                a.block(panel_end, k, w - panel_end, panel_end - k).transpose();
        }
    }
    return free;
}

// With Lhat = L(S, J) L(J, J)^-1: Z(S, J) = -Z(S, S) Lhat and Z(J, J) =
// L(J, J)^-T L(J, J)^-1 - Z(S, J)^T Lhat.
void inverse_step(const double* l_block, Index w, Index m, const double* zss_lower, double* z_block,
                  double* scratch) {
    const ConstBlock l(l_block, w + m, w);
    const auto ljj = l.topRows(w).triangularView<Eigen::Lower>();
    Block linv(scratch, w, w);
    Block zjj(scratch + w * w, w, w);
    linv.setIdentity();
    ljj.solveInPlace(linv);
    zjj.noalias() = linv.transpose() * linv;
    if (m > 0) {
        Block lhat(scratch + 2 * w * w, m, w);
        lhat = l.bottomRows(m);
        ljj.solveInPlace<Eigen::OnTheRight>(lhat);
        Block product(scratch + 2 * w * w + m * w, m, w);
        const ConstBlock zss(zss_lower, m, m);
        // Eigen's blocked products divide by their sizes: only here, where
        // S is not empty.
        product.noalias() = zss.selfadjointView<Eigen::Lower>() * lhat;
        zjj.noalias() += product.transpose() * lhat;
        Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>>(z_block + w, m, w, Eigen::OuterStride<>(w + m)) =
            -product;
    }
    Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>>(z_block, w, w, Eigen::OuterStride<>(w + m)) = zjj;
}

}  // namespace

extern const SupernodalKernels kernels{update_product, factorize_block, inverse_step};

}  // namespace varnel::symbolic::VARNEL_KERNELS

#ifdef VARNEL_KERNELS_CHOICE
namespace varnel::symbolic {

#ifdef VARNEL_AVX2_KERNELS
namespace avx2 {
extern const SupernodalKernels kernels;
}
#endif

const SupernodalKernels* avx2_supernodal_kernels() {
#ifdef VARNEL_AVX2_KERNELS
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return supported ? &avx2::kernels : nullptr;
#else
    return nullptr;
#endif
}

const SupernodalKernels& generic_supernodal_kernels() { return generic::kernels; }

const SupernodalKernels& supernodal_kernels() {
    const SupernodalKernels* fast = avx2_supernodal_kernels();
    return fast != nullptr ? *fast : generic::kernels;
}

}  // namespace varnel::symbolic
#endif
