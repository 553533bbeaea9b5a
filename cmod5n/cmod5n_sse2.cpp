// The wind speed kernels built for sse2 (baseline x86-64, no extra flags).
#include "grid/simd_sse2.hpp"

#include "cmod5n/cmod5n_search.hpp"

namespace quorvane::cmod5n {

extern const SearchKernels kSearchKernelsSse2;
const SearchKernels kSearchKernelsSse2 =
    search::makeSearchKernels<simd::sse2::Vec>(cpu::Isa::Sse2);

}  // namespace quorvane::cmod5n
