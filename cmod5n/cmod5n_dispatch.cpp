// Geometry with SLEEF's scalar functions and the choice of vector kernels.
// Built for plain x86-64.
#include "cmod5n/cmod5n_kernels.hpp"
#include "simd/dispatch.hpp"
#include "simd/sleef_scalar.hpp"

namespace quorvane::cmod5n {

Geometry sleefGeometry(double wind_dir, double inc_angle, bool fma) {
    // b is the same number at every call; it is worked out once per family.
    if (fma) {
        static const double b = v2Scale<simd::SleefScalarMath<true>>();
        return makeGeometry<simd::SleefScalarMath<true>>(wind_dir, inc_angle, b);
    }
    static const double b = v2Scale<simd::SleefScalarMath<false>>();
    return makeGeometry<simd::SleefScalarMath<false>>(wind_dir, inc_angle, b);
}

// In the order of simd::Isa.
constexpr simd::IsaTables<SearchKernels> kTables = {&kSearchKernelsSse2, &kSearchKernelsAvx2,
                                                     &kSearchKernelsAvx512};

const SearchKernels* searchKernels(simd::Isa isa) { return simd::tableFor(kTables, isa); }

const SearchKernels& activeSearchKernels() { return simd::activeTable(kTables); }

}  // namespace quorvane::cmod5n
