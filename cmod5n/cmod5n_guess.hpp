// A first guess of the wind speed search's answer, generic over a vector type,
// in an unnamed namespace like cmod5n_vector_model.hpp. The model is evaluated
// with cheaper functions and no care for rounding, at a few speeds, and the
// crossing interpolated; the guess only decides where the exact search starts
// looking, so a wrong guess costs time, never exactness.
#pragma once

#include "cmod5n/cmod5n_vector_model.hpp"

namespace quorvane::cmod5n {
namespace {

// About the modelled dB minus the observation at the speeds v (NaN where the
// model is).
template <class V>
V approxExcessDb(const Pixel<V>& p, V v) {
    const V one = V::broadcast(1.0);
    const V s = a3Argument(p, v);
    const V lnA3 = byBranch<V>(
        s < p.S0, [&] { return p.lnG + p.e * logLoose(s / p.S0); }, [&] { return -logLoose(exp(-s) + one); });
    const V B1 = b1(p, v, tanhLoose(tanhArgument(p, v)));
    const V y = v2Argument(p, v);
    const V V2 = select(y < V::broadcast(C19), v2FromCube(p, cube(y - one)), y);
    const V B2 = exp(-V2) * b2Factor(p, V2);
    const V lnSigma = (p.A1 * v + p.A0) * V::broadcast(kLn10) + p.gamma * lnA3 +
                      V::broadcast(kFinalExponent) * logLoose(powerBase(p, B1, B2));
    return dbFromLn(lnSigma) - p.sigma0;
}

inline constexpr int kGuessPoints = 8;

// approxExcessDb at speeds[0 .. kGuessPoints) into out; the points where it
// is at least 0 as a bit set.
template <class V>
unsigned approxExcessDbAt(const Pixel<V>& p, const double* speeds, double* out) {
    unsigned reached = 0;
    for (int k = 0; k < kGuessPoints; k += V::kLanes) {
        const V f = approxExcessDb(p, V::load(speeds + k));
        store(out + k, f);
        reached |= bits(f >= V::broadcast(0.0)) << k;
    }
    return reached;
}

// Ladder index of the first speed at or above the crossing between speeds a
// (excess fa < 0 or NaN) and b (fb >= 0), by linear interpolation.
inline int crossingIndex(double a, double fa, double b, double fb) {
    double v = b;
    if (__builtin_isfinite(fa) && __builtin_isfinite(fb) && fb > fa) v = a + (b - a) * (-fa / (fb - fa));
    const double i = __builtin_ceil(v * (1.0 / kSpeedStep) - 1e-9);
    return i < 0.0 ? 0 : i > kLadderLast + 1 ? kLadderLast + 1 : static_cast<int>(i);
}

// A guess of the first qualifying candidate (kLadderLast + 1: none). Eight
// speeds spread over the usual winds find the bracket of the crossing, eight
// more inside it narrow it down.
template <class V>
int guessIndex(const Pixel<V>& p) {
    alignas(64) static constexpr double kCoarse[kGuessPoints] = {1.5, 3.0, 4.5, 6.0, 8.0, 10.5, 14.0, 26.0};
    alignas(64) double f[kGuessPoints];
    const unsigned coarse = approxExcessDbAt(p, kCoarse, f);
    if (coarse == 0) return kLadderLast + 1;
    const int k = __builtin_ctz(coarse);
    const double a = k == 0 ? 0.0 : kCoarse[k - 1];
    const double fa = k == 0 ? -kInf : f[k - 1];
    const double b = kCoarse[k], fb = f[k];
    // Eight inner points of nine equal steps from a to b.
    const double h = (b - a) * (1.0 / (kGuessPoints + 1));
    alignas(64) double u[kGuessPoints];
    alignas(64) double g[kGuessPoints];
    for (int j = 0; j < kGuessPoints; ++j) u[j] = a + h * (j + 1);
    const unsigned fine = approxExcessDbAt(p, u, g);
    const int j = fine == 0 ? kGuessPoints : __builtin_ctz(fine);
    if (j == 0) return crossingIndex(a, fa, u[0], g[0]);
    if (j == kGuessPoints) return crossingIndex(u[kGuessPoints - 1], g[kGuessPoints - 1], b, fb);
    return crossingIndex(u[j - 1], g[j - 1], u[j], g[j]);
}

}  // namespace
}  // namespace quorvane::cmod5n
