// The wind speed kernels built for avx2 (-mavx2 -mfma).
#include "simd/avx2.hpp"

#include "cmod5n/cmod5n_probes.hpp"

namespace quorvane::cmod5n {

constinit const SearchKernels kSearchKernelsAvx2 = makeSearchKernels<simd::avx2::Vec>(simd::Isa::Avx2);

}  // namespace quorvane::cmod5n
