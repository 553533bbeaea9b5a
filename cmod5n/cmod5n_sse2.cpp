// The wind speed kernels built for sse2 (baseline x86-64, no extra flags).
#include "simd/sse2.hpp"

#include "cmod5n/cmod5n_batch.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_search.hpp"

namespace quorvane::cmod5n {

using Vec = simd::sse2::Vec;

constinit const SearchKernels kSearchKernelsSse2 = {simd::Isa::Sse2, &windspeedSearch<Vec>, &searchMany<Vec>};

}  // namespace quorvane::cmod5n
