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
double Sleef_atan2d1_u10purecfma(double, double);
}

namespace quorvane::simd {

template <bool Fma>
struct SleefScalarMath {
    static double cos(double x) {
        return Fma ? Sleef_cosd1_u10purecfma(x) : Sleef_cosd1_u10purec(x);
    }
    static double exp(double x) {
        return Fma ? Sleef_expd1_u10purecfma(x) : Sleef_expd1_u10purec(x);
    }
    static double pow(double x, double y) {
        return Fma ? Sleef_powd1_u10purecfma(x, y) : Sleef_powd1_u10purec(x, y);
    }
    static double tanh(double x) {
        return Fma ? Sleef_tanhd1_u10purecfma(x) : Sleef_tanhd1_u10purec(x);
    }
    static double log10(double x) {
        return Fma ? Sleef_log10d1_u10purecfma(x) : Sleef_log10d1_u10purec(x);
    }
    static double atan2(double y, double x) {
        return Fma ? Sleef_atan2d1_u10purecfma(y, x) : Sleef_atan2d1_u10purec(y, x);
    }
};

}  // namespace quorvane::simd
