// SLEEF's scalar 1.0-ULP functions as a math policy for the model templates.
//
// Fma selects the purecfma family (hardware fused multiply-add; needs a CPU
// with FMA) or the purec family. Each gives the same bits as SLEEF's vector
// variants of the same family for the same input, which is what lets every
// path of a kernel agree bit for bit.
#pragma once

#include <sleef.h>

// sleef.h declares the purecfma scalars only when the including unit is built
// with FMA enabled; the library always has them, and they are called only on a
// CPU with FMA.
extern "C" {
double Sleef_cosd1_u10purecfma(double);
double Sleef_expd1_u10purecfma(double);
double Sleef_powd1_u10purecfma(double, double);
double Sleef_tanhd1_u10purecfma(double);
double Sleef_log10d1_u10purecfma(double);
}

namespace quorvane::simd {

template <bool Fma>
struct SleefScalarMath {
    static double cos(double x) { return call(Sleef_cosd1_u10purecfma, Sleef_cosd1_u10purec, x); }
    static double exp(double x) { return call(Sleef_expd1_u10purecfma, Sleef_expd1_u10purec, x); }
    static double pow(double x, double y) { return call(Sleef_powd1_u10purecfma, Sleef_powd1_u10purec, x, y); }
    static double tanh(double x) { return call(Sleef_tanhd1_u10purecfma, Sleef_tanhd1_u10purec, x); }
    static double log10(double x) { return call(Sleef_log10d1_u10purecfma, Sleef_log10d1_u10purec, x); }

private:
    // The function of the family applied: the first with FMA, the second
    // without (sleef.h declares the latter const, a different type).
    template <class WithFma, class WithoutFma, class... Args>
    static double call(WithFma& withFma, WithoutFma& withoutFma, Args... args) {
        if constexpr (Fma) {
            return withFma(args...);
        } else {
            return withoutFma(args...);
        }
    }
};

}  // namespace quorvane::simd
