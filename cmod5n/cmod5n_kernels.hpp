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

struct SearchKernels {
    simd::Isa isa;
    // The exact pruned search: the speed of the first qualifying candidate.
    double (*search)(double wind_dir, double inc_angle, double sigma0);
    // The search of n pixels, one per vector lane: out[i] is search(wind_dir[i],
    // inc_angle[i], sigma0[i]).
    void (*searchMany)(const double* wind_dir, const double* inc_angle, const double* sigma0, double* out,
                       std::int64_t n);
    // searchMany with the lanes' guesses replaced by guess[0..n) (any ints):
    // the same answers, for every guess.
    void (*searchManyFrom)(const double* wind_dir, const double* inc_angle, const double* sigma0,
                           const int* guess, double* out, std::int64_t n);
    // The same answer by evaluating candidates in order, a vector at a time.
    double (*scan)(double wind_dir, double inc_angle, double sigma0);
    // Modelled dB at the ladder candidates index[0..n), as the search
    // evaluates them.
    void (*modelDb)(double wind_dir, double inc_angle, const int* index, double* out, int n);
    // The search's upper bound, in dB, of the modelled value at every
    // candidate lo..hi; NaN when the geometry is one the bounds do not handle.
    double (*blockUpperDb)(double wind_dir, double inc_angle, int lo, int hi);
    // The many-pixel search's bound, in dB, of the modelled value at every
    // candidate lo..hi from candidate hi's bound and the model's slope; NaN
    // when the geometry is one it does not bound so.
    double (*slopedUpperDb)(double wind_dir, double inc_angle, int lo, int hi);
    // The exact search started from the guess that the first qualifying
    // candidate is index guess (any int): the same answer as search, for
    // every guess.
    double (*searchFrom)(double wind_dir, double inc_angle, double sigma0, int guess);
    // The guess search starts from (-1 when it starts from none).
    int (*guess)(double wind_dir, double inc_angle, double sigma0);
    // The lower and upper bounds, in dB, by which the search decides single
    // candidates index[0..n) without evaluating them; -inf and +inf where it
    // has none.
    void (*candidateRangeDb)(double wind_dir, double inc_angle, const int* index, double* low,
                             double* high, int n);
};

// One table per instruction set, each defined in the unit built for it
// (cmod5n_<isa>.cpp).
extern constinit const SearchKernels kSearchKernelsSse2, kSearchKernelsAvx2, kSearchKernelsAvx512;

// The kernels for isa, or nullptr when this CPU cannot run them.
const SearchKernels* searchKernels(simd::Isa isa);

// The kernels for simd::best().
const SearchKernels& activeSearchKernels();

}  // namespace quorvane::cmod5n
