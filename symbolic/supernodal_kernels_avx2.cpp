// The supernodal Cholesky's dense kernels for processors with AVX2 and FMA
// (compiled with -mavx2 -mfma), in their own namespace, Eigen's renamed
// with them: see supernodal_kernels.cpp.
#define Eigen varnel_avx2_eigen
#define VARNEL_KERNELS avx2
#include "supernodal_kernels.cpp"
