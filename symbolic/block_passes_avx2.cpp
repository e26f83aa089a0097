// The block passes for processors with AVX2 (compiled with -mavx2), in a
// namespace of their own: see block_passes.cpp.
#define VARNEL_BLOCKS avx2
#include "block_passes.cpp"
