// The wind speed kernels built for sse2 (baseline x86-64, no extra flags).
#include "simd/sse2.hpp"

#include "cmod5n/cmod5n_probes.hpp"

namespace quorvane::cmod5n {

constinit const SearchKernels kSearchKernelsSse2 = makeSearchKernels<simd::sse2::Vec>(simd::Isa::Sse2);

}  // namespace quorvane::cmod5n
