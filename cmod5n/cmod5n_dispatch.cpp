// Geometry with SLEEF's scalar functions and the choice of vector kernels.
// Built for plain x86-64.
#include "cmod5n/cmod5n_kernels.hpp"
#include "grid/sleef_scalar.hpp"

namespace quorvane::cmod5n {

extern const SearchKernels kSearchKernelsSse2;
extern const SearchKernels kSearchKernelsAvx2;
extern const SearchKernels kSearchKernelsAvx512;

Geometry sleefGeometry(double wind_dir, double inc_angle, bool fma) {
    // b is the same number at every call; it is worked out once per family.
    if (fma) {
        static const double b = v2Scale<SleefScalarMath<true>>();
        return makeGeometry<SleefScalarMath<true>>(wind_dir, inc_angle, b);
    }
    static const double b = v2Scale<SleefScalarMath<false>>();
    return makeGeometry<SleefScalarMath<false>>(wind_dir, inc_angle, b);
}

const SearchKernels* searchKernels(cpu::Isa isa) {
    if (!cpu::supports(isa)) return nullptr;
    switch (isa) {
        case cpu::Isa::Sse2: return &kSearchKernelsSse2;
        case cpu::Isa::Avx2: return &kSearchKernelsAvx2;
        case cpu::Isa::Avx512: return &kSearchKernelsAvx512;
    }
    return nullptr;
}

const SearchKernels& activeSearchKernels() {
    static const SearchKernels* const active = searchKernels(cpu::best());
    return *active;
}

}  // namespace quorvane::cmod5n
