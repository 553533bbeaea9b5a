// The wind speed kernels built for avx512 (-mavx512f -mavx2 -mfma).
#include "grid/simd_avx512.hpp"

#include "cmod5n/cmod5n_search.hpp"

namespace quorvane::cmod5n {

extern const SearchKernels kSearchKernelsAvx512;
const SearchKernels kSearchKernelsAvx512 =
    search::makeSearchKernels<simd::avx512::Vec>(cpu::Isa::Avx512);

}  // namespace quorvane::cmod5n
