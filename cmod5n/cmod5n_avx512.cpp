// The wind speed kernels built for avx512 (-mavx512f -mavx2 -mfma).
#include "simd/avx512.hpp"

#include "cmod5n/cmod5n_probes.hpp"

namespace quorvane::cmod5n {

constinit const SearchKernels kSearchKernelsAvx512 = makeSearchKernels<simd::avx512::Vec>(simd::Isa::Avx512);

}  // namespace quorvane::cmod5n
