// A first guess of the wind speed search's answer for each lane's pixel,
// generic over a vector type, in an unnamed namespace like
// cmod5n_vector_model.hpp. The model is evaluated with inline functions
// (simd/fast_math.hpp) and no care for rounding, at a few speeds found by Newton and secant steps; the
// guess only decides where the exact search starts looking, so a wrong guess
// costs time, never exactness.
#pragma once

#include "cmod5n/cmod5n_vector_model.hpp"
#include "simd/fast_math.hpp"

namespace quorvane::cmod5n {
namespace {

// About the modelled dB minus the observation at the speeds v (NaN where the
// model is).
template <class V>
V approxExcessDb(const Pixel<V>& p, V v) {
    using simd::expRough;
    using simd::logRough;
    const V one = V::broadcast(1.0);
    const V s = a3Argument(p, v);
    const V lnA3 = byBranch<V>(
        s < p.S0, [&] { return p.lnG + p.e * logRough(s / p.S0); }, [&] { return -logRough(expRough(-s) + one); });
    // tanh(a) = 1 - 2 / (e^(2a) + 1).
    const V t = one - V::broadcast(2.0) / (expRough(V::broadcast(2.0) * tanhArgument(p, v)) + one);
    const V B1 = (p.c14x1 - (p.xh - t) * (V::broadcast(C15) * v)) / (expRough(decayArgument(v)) + one);
    const V y = v2Argument(p, v);
    const V V2 = select(y < V::broadcast(C19), v2FromCube(p, cube(y - one)), y);
    const V B2 = expRough(-V2) * b2Factor(p, V2);
    const V lnSigma = (p.A1 * v + p.A0) * V::broadcast(kLn10) + p.gamma * lnA3 +
                      V::broadcast(kFinalExponent) * logRough(powerBase(p, B1, B2));
    return dbFromLn(lnSigma) - p.sigma0;
}

// Secant steps of the guess after its Newton step.
inline constexpr int kSecantSteps = 2;

// The secant root in ln v of the excess through (w0, f0) and (w1, f1); w1
// where the secant is undefined.
template <class V>
V secantRoot(V w0, V f0, V w1, V f1) {
    const V w = w1 - f1 * ((w1 - w0) / (f1 - f0));
    return select(isFinite(w), w, w1);
}

// Each lane's guess of its first qualifying candidate (kLadderLast + 1: none
// near the ladder), from the cheap model in w = ln v, where it is nearly
// linear: at 10 m/s, a Newton step with the slope of B0 alone, then
// kSecantSteps secant steps and a last secant root. On realistic pixels this
// is the answer itself about 998 times in 1000.
template <class V>
void guessLanes(const Pixel<V>& p, int* guess) {
    const V lo = V::broadcast(-6.9);  // ln 0.001
    const V hi = V::broadcast(3.27);  // ln 26.3
    const V v0 = V::broadcast(10.0);
    V w0 = V::broadcast(2.302585092994046);  // ln 10
    V f0 = approxExcessDb(p, v0);
    // d(dB)/dw of B0 = 10^(A1 v + A0) A3^gamma at v0, with A3 the logistic:
    // (10 / ln 10) v (A1 ln 10 + gamma A2 / (1 + exp(A2 v))).
    const V b0Slope = V::broadcast(10.0 / kLn10) * v0 *
                      (p.A1 * V::broadcast(kLn10) + p.gamma * p.A2 / (simd::expRough(p.A2 * v0) + V::broadcast(1.0)));
    V w1 = maxv(minv(w0 - f0 / b0Slope, hi), lo);
    V f1 = approxExcessDb(p, simd::expRough(w1));
    for (int step = 0; step < kSecantSteps; ++step) {
        const V w = maxv(minv(secantRoot(w0, f0, w1, f1), hi), lo);
        w0 = w1;
        f0 = f1;
        w1 = w;
        f1 = approxExcessDb(p, simd::expRough(w));
    }
    alignas(64) double v[V::kLanes], S0[V::kLanes];
    store(v, simd::expRough(maxv(minv(secantRoot(w0, f0, w1, f1), hi), lo)));
    store(S0, p.S0);
    for (int k = 0; k < V::kLanes; ++k) {
        const double i = __builtin_ceil(v[k] * (1.0 / kSpeedStep) - 1e-9);
        guess[k] = i < 0.0 ? 0 : i > kLadderLast + 1 ? kLadderLast + 1 : static_cast<int>(i);
        // Below the ladder's first step: the model is -inf at speed 0 where
        // S0 > 0, so the first candidate that can qualify is 1; else 0.
        if (v[k] < 0.5 * kSpeedStep) guess[k] = S0[k] > 0.0 ? 1 : 0;
    }
}

// The guess for a pixel held in every lane.
template <class V>
int guessOf(const Pixel<V>& p) {
    int guess[V::kLanes];
    guessLanes(p, guess);
    return guess[0];
}

}  // namespace
}  // namespace quorvane::cmod5n
