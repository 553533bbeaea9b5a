// The vectorised wind speed kernels, one set per instruction set, and the
// run-time choice among them.
//
// Every set evaluates the model with SLEEF's functions of one family (FMA for
// AVX2 and AVX-512, non-FMA for SSE2) and returns, for every input, exactly
// the ladder candidate of the straightforward scan with the scalar SLEEF
// functions of that family.
#pragma once

#include <cstdint>

#include "cmod5n/cmod5n_model.hpp"
#include "simd/cpu_features.hpp"

namespace quorvane::cmod5n {

// The geometry terms with SLEEF's scalar functions (purecfma when fma is true,
// purec otherwise). Defined in a translation unit built for plain x86-64.
Geometry sleefGeometry(double wind_dir, double inc_angle, bool fma);

// What production calls; the tests' and benchmarks' probes of the search's
// inner quantities are built separately (tests/cpp/support/search_probes.hpp).
struct SearchKernels {
    simd::Isa isa;
    // The exact pruned search: the speed of the first qualifying candidate.
    double (*search)(double wind_dir, double inc_angle, double sigma0);
    // The search of n pixels, one per vector lane: out[i] is search(wind_dir[i],
    // inc_angle[i], sigma0[i]).
    void (*searchMany)(const double* wind_dir, const double* inc_angle, const double* sigma0, double* out,
                       std::int64_t n);
};

// One table per instruction set, each defined in the unit built for it
// (cmod5n_<isa>.cpp).
extern constinit const SearchKernels kSearchKernelsSse2, kSearchKernelsAvx2, kSearchKernelsAvx512;

// The kernels for isa, or nullptr when this CPU cannot run them.
const SearchKernels* searchKernels(simd::Isa isa);

// The kernels for simd::active().
const SearchKernels& activeSearchKernels();

}  // namespace quorvane::cmod5n
