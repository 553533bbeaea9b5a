// The wind speed kernels built for avx512 (-mavx512f -mavx2 -mfma).
#include "simd/avx512.hpp"

#include "cmod5n/cmod5n_batch.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_search.hpp"

namespace quorvane::cmod5n {

using Vec = simd::avx512::Vec;

constinit const SearchKernels kSearchKernelsAvx512 = {simd::Isa::Avx512, &windspeedSearch<Vec>, &searchMany<Vec>};

}  // namespace quorvane::cmod5n
