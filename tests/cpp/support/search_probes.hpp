// The wind speed search's inner quantities for the tests and benchmarks: the
// in-order scan, the guess, the search from any guess, the vector model and
// the bounds at given candidates. One table per instruction set, each built
// from search_probes_isa.cpp with that set's flags, beside the production
// table of the same set.
#pragma once

#include <cstdint>

#include "cmod5n/cmod5n_kernels.hpp"
#include "simd/cpu_features.hpp"

namespace quorvane::support {

struct SearchProbes {
    simd::Isa isa;
    // The production kernels of the same instruction set.
    const cmod5n::SearchKernels* kernels;
    // searchMany with the lanes' guesses replaced by guess[0..n) (any ints):
    // the same answers, for every guess.
    void (*searchManyFrom)(const double* wind_dir, const double* inc_angle, const double* sigma0,
                           const int* guess, double* out, std::int64_t n);
    // The search's answer by evaluating candidates in order, a vector at a time.
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
    // The many-pixel search's cheaper bound, in dB, of the modelled value at
    // every candidate 0..hi (lnSigmaUpperFromZero); NaN when the geometry is
    // one it does not bound so.
    double (*zeroUpperDb)(double wind_dir, double inc_angle, int hi);
    // The exact search started from the guess that the first qualifying
    // candidate is index guess (any int): the same answer as search, for
    // every guess.
    double (*searchFrom)(double wind_dir, double inc_angle, double sigma0, int guess);
    // The guess the search starts from (-1 when it starts from none).
    int (*guess)(double wind_dir, double inc_angle, double sigma0);
    // The lower and upper bounds, in dB, by which the search decides single
    // candidates index[0..n) without evaluating them; -inf and +inf where it
    // has none.
    void (*candidateRangeDb)(double wind_dir, double inc_angle, const int* index, double* low,
                             double* high, int n);
    // The inline functions of the bounds (logFast, expFast) and of the guess
    // (logRough, expRough) at x[0..n).
    void (*logFast)(const double* x, double* out, int n);
    void (*expFast)(const double* x, double* out, int n);
    void (*logRough)(const double* x, double* out, int n);
    void (*expRough)(const double* x, double* out, int n);
};

extern constinit const SearchProbes kSearchProbesSse2, kSearchProbesAvx2, kSearchProbesAvx512;

// The probes for isa, or nullptr when this CPU cannot run them.
const SearchProbes* searchProbes(simd::Isa isa);

// The probes for simd::active().
const SearchProbes& activeSearchProbes();

}  // namespace quorvane::support
