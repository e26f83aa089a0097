// The dense work of the supernodal Cholesky factorisation and of its
// selected inverse, built twice: for any x86-64 processor, and with AVX2
// and FMA, which run these products about 1.6 times as fast; the
// factorisation picks one set when it is first used. Their results differ
// in rounding only. Internal: not installed.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace varnel::symbolic {

struct SupernodalKernels {
    // product (below x across, column-major) = L(R, K) L(Q, K)^T, where
    // L(R, K) is the below x columns block at `l` (column stride
    // `stride`) and L(Q, K) its first `across` rows.
    void (*update_product)(const double* l, std::ptrdiff_t stride, std::ptrdiff_t below, std::ptrdiff_t across,
                           std::ptrdiff_t columns, double* product);
    // Factorises a supernode's m x w block (column-major) in place, its
    // updates applied; a pivot at or below free_pivot becomes a unit
    // column. Returns the number of such pivots.
    std::ptrdiff_t (*factorize_block)(double* block, std::ptrdiff_t m, std::ptrdiff_t w, double free_pivot);
    // One supernode's step of the selected inverse Z: from its factored
    // block l (rows = w + m, w columns) and Z(S, S) (m x m, its lower
    // triangle, column-major in `zss`, stride m), writes Z(J, J) and
    // Z(S, J) into z_block (rows x w, column-major). `scratch` holds at
    // least 3 w^2 + m w doubles.
    void (*inverse_step)(const double* l, std::ptrdiff_t w, std::ptrdiff_t m, const double* zss, double* z_block,
                         double* scratch);
};

// Storage for what the kernels read and write, aligned to 64 bytes. The
// AVX2 kernels handle a column's leading entries before its first 32-byte
// boundary apart from the rest, with plain multiplies and adds where the
// rest has fused ones: with the blocks at the same alignment in every run,
// every entry is rounded the same way in every run.
template <typename T>
struct KernelAllocator {
    using value_type = T;
    KernelAllocator() = default;
    template <typename U>
    KernelAllocator(const KernelAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{64}); }
    template <typename U>
    bool operator==(const KernelAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const KernelAllocator<U>&) const noexcept { return false; }
};
using KernelBuffer = std::vector<double, KernelAllocator<double>>;

// The set for this processor: AVX2's where the processor has it and the
// build made it, else the generic one.
const SupernodalKernels& supernodal_kernels();
// Each set by name; the AVX2 one null where the build or the processor
// lacks it.
const SupernodalKernels& generic_supernodal_kernels();
const SupernodalKernels* avx2_supernodal_kernels();

}  // namespace varnel::symbolic
