// The wind speed kernels built for avx2 (-mavx2 -mfma).
#include "simd/avx2.hpp"

#include "cmod5n/cmod5n_batch.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_search.hpp"

namespace quorvane::cmod5n {

using Vec = simd::avx2::Vec;

constinit const SearchKernels kSearchKernelsAvx2 = {simd::Isa::Avx2, &windspeedSearch<Vec>, &searchMany<Vec>};

}  // namespace quorvane::cmod5n
