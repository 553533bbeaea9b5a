// The wind speed kernels built for avx2 (-mavx2 -mfma).
#include "grid/simd_avx2.hpp"

#include "cmod5n/cmod5n_search.hpp"

namespace quorvane::cmod5n {

extern const SearchKernels kSearchKernelsAvx2;
const SearchKernels kSearchKernelsAvx2 =
    search::makeSearchKernels<simd::avx2::Vec>(cpu::Isa::Avx2);

}  // namespace quorvane::cmod5n
