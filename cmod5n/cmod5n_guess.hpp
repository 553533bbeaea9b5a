// A first guess of the wind speed search's answer for each lane's pixel,
// generic over a vector type, in an unnamed namespace like
// cmod5n_vector_model.hpp. The model is evaluated with inline functions
// (simd/fast_math.hpp) and no care for rounding, at a few speeds found by
// Newton and secant steps; the guess only decides where the exact search
// starts looking, so a wrong guess costs time, never exactness.
//
// Where the instruction set has float lanes (V::Narrow, twice the double
// lanes), the guess runs there, for two vectors of pixels at once: float's
// rounding (a few 1e-6 dB in the excess, a few 1e-6 m/s in the speed) is far
// below the ladder's step of 0.01 m/s, and a crossing that close to a
// candidate is within the one candidate either side that the proof takes.
#pragma once

#include "cmod5n/cmod5n_vector_model.hpp"
#include "simd/fast_math.hpp"
#include "simd/pair.hpp"

namespace quorvane::cmod5n {
namespace {

// The pixel's terms the guess uses, over lanes of F (double lanes: the Pixel
// itself; float lanes: GuessTerms, two Pixels narrowed).
template <class F>
struct GuessTerms {
    F A0, A1, A2, gamma, S0, V0, D1, D2, b, cos1, cos2;
    F lnG, e, c14x1, xc16, xh, sigma0;
    F invS0, invV0;  // 1 / S0 and 1 / V0, set by withReciprocals
};

// t with its reciprocals: the guess multiplies by them where the model
// divides (the guess need not round as the model does).
template <class F>
GuessTerms<F> withReciprocals(GuessTerms<F> t) {
    t.invS0 = F::broadcast(1.0) / t.S0;
    t.invV0 = F::broadcast(1.0) / t.V0;
    return t;
}

// The guess's terms as floats, each from narrow(term), term(pixel) giving a
// term of a pixel.
template <class F, class Narrow>
GuessTerms<F> narrowedTerms(Narrow narrow) {
    GuessTerms<F> t;
    t.A0 = narrow([](const auto& p) { return p.A0; });
    t.A1 = narrow([](const auto& p) { return p.A1; });
    t.A2 = narrow([](const auto& p) { return p.A2; });
    t.gamma = narrow([](const auto& p) { return p.gamma; });
    t.S0 = narrow([](const auto& p) { return p.S0; });
    t.V0 = narrow([](const auto& p) { return p.V0; });
    t.D1 = narrow([](const auto& p) { return p.D1; });
    t.D2 = narrow([](const auto& p) { return p.D2; });
    t.b = narrow([](const auto& p) { return p.b; });
    t.cos1 = narrow([](const auto& p) { return p.cos1; });
    t.cos2 = narrow([](const auto& p) { return p.cos2; });
    t.lnG = narrow([](const auto& p) { return p.lnG; });
    t.e = narrow([](const auto& p) { return p.e; });
    t.c14x1 = narrow([](const auto& p) { return p.c14x1; });
    t.xc16 = narrow([](const auto& p) { return p.xc16; });
    t.xh = narrow([](const auto& p) { return p.xh; });
    t.sigma0 = narrow([](const auto& p) { return p.sigma0; });
    return withReciprocals(t);
}

// About the modelled dB minus the observation at the speeds v (NaN where the
// model is), with the terms p over lanes of F: the model's expressions with
// the rough exp and log, tanh(a) as 1 - 2 / (E + 1) with E = e^(2a). On float
// lanes (p a GuessTerms) the chain of the guess waits for each division, so
// there it multiplies by 1 / S0 and 1 / V0, and B1 = (C14 (X + 1) -
// ((X + 0.5) - t) C15 v) / (d + 1) takes one division as
// ((C14 (X + 1) - (X - 0.5) C15 v) (E + 1) - 2 C15 v) / ((E + 1) (d + 1)).
template <class F, class P>
F approxExcessDb(const P& p, F v) {
    using simd::expRough;
    using simd::logRough;
    constexpr bool kReciprocals = requires { p.invS0; };
    const F one = F::broadcast(1.0);
    const F s = p.A2 * v;
    const F lnA3 = byBranch<F>(
        s < p.S0,
        [&] {
            if constexpr (kReciprocals) {
                return p.lnG + p.e * logRough(s * p.invS0);
            } else {
                return p.lnG + p.e * logRough(s / p.S0);
            }
        },
        [&] { return -logRough(expRough(-s) + one); });
    const F tanhArg = F::broadcast(4.0) * (p.xc16 + F::broadcast(C17) * v);
    const F E1 = expRough(F::broadcast(2.0) * tanhArg) + one;
    const F decay = expRough(F::broadcast(0.34) * (v - F::broadcast(C18)));
    const F q = F::broadcast(C15) * v;
    F B1, y;
    if constexpr (kReciprocals) {
        B1 = ((p.c14x1 - (p.xh - one) * q) * E1 - F::broadcast(2.0) * q) / (E1 * (decay + one));
        y = v * p.invV0 + one;
    } else {
        const F t = one - F::broadcast(2.0) / E1;
        B1 = (p.c14x1 - (p.xh - t) * q) / (decay + one);
        y = v / p.V0 + one;
    }
    const F ym1 = y - one;
    const F V2 = select(y < F::broadcast(C19), (ym1 * ym1 * ym1) * p.b + F::broadcast(kV2Offset), y);
    const F B2 = expRough(-V2) * (p.D2 * V2 - p.D1);
    const F base = B2 * p.cos2 + (B1 * p.cos1 + one);
    const F lnSigma = (p.A1 * v + p.A0) * F::broadcast(kLn10) + p.gamma * lnA3 +
                      F::broadcast(kFinalExponent) * logRough(base);
    return lnSigma * F::broadcast(10.0 / kLn10) - p.sigma0;
}

// Secant steps of the guess after its Newton step.
inline constexpr int kSecantSteps = 2;

// The secant root in ln v of the excess through (w0, f0) and (w1, f1); w1
// where the secant is undefined.
template <class F>
F secantRoot(F w0, F f0, F w1, F f1) {
    const F w = w1 - f1 * ((w1 - w0) / (f1 - f0));
    return select((w - w) <= F::broadcast(0.0), w, w1);
}

// Each lane's guess of its first qualifying candidate (kLadderLast + 1: none
// near the ladder), from the cheap model in w = ln v, where it is nearly
// linear: at 10 m/s, a Newton step with the slope of B0 alone, then
// kSecantSteps secant steps and a last secant root. On realistic pixels this
// is the answer itself about 998 times in 1000. F::kLanes guesses.
template <class F, class P>
[[gnu::flatten]] void guessFrom(const P& p, int* guess) {
    const F lo = F::broadcast(-6.9);  // ln 0.001
    const F hi = F::broadcast(3.27);  // ln 26.3
    const F v0 = F::broadcast(10.0);
    F w0 = F::broadcast(2.302585092994046);  // ln 10
    F f0 = approxExcessDb(p, v0);
    // d(dB)/dw of B0 = 10^(A1 v + A0) A3^gamma at v0, with A3 the logistic:
    // (10 / ln 10) v (A1 ln 10 + gamma A2 / (1 + exp(A2 v))).
    const F b0Slope = F::broadcast(10.0 / kLn10) * v0 *
                      (p.A1 * F::broadcast(kLn10) + p.gamma * p.A2 / (simd::expRough(p.A2 * v0) + F::broadcast(1.0)));
    F w1 = maxv(minv(w0 - f0 / b0Slope, hi), lo);
    F f1 = approxExcessDb(p, simd::expRough(w1));
    for (int step = 0; step < kSecantSteps; ++step) {
        const F w = maxv(minv(secantRoot(w0, f0, w1, f1), hi), lo);
        w0 = w1;
        f0 = f1;
        w1 = w;
        f1 = approxExcessDb(p, simd::expRough(w));
    }
    alignas(64) double v[F::kLanes], S0[F::kLanes];
    store(v, simd::expRough(maxv(minv(secantRoot(w0, f0, w1, f1), hi), lo)));
    store(S0, p.S0);
    for (int k = 0; k < F::kLanes; ++k) {
        const double i = __builtin_ceil(v[k] * (1.0 / kSpeedStep) - 1e-9);
        guess[k] = i < 0.0 ? 0 : i > kLadderLast + 1 ? kLadderLast + 1 : static_cast<int>(i);
        // Below the ladder's first step: the model is -inf at speed 0 where
        // S0 > 0, so the first candidate that can qualify is 1; else 0.
        if (v[k] < 0.5 * kSpeedStep) guess[k] = S0[k] > 0.0 ? 1 : 0;
    }
}

// The number of pixels guessed at once: two vectors where V has float lanes.
template <class V>
inline constexpr int kGuessLanes = HasFloatLanes<V> ? 2 * V::kLanes : V::kLanes;

// Guesses for the lanes of p, then (with float lanes) those of q: kGuessLanes
// guesses.
template <class V>
void guessLanes(const Pixel<V>& p, const Pixel<V>& q, int* guess) {
    if constexpr (HasFloatLanes<V>) {
        using F = typename V::Narrow;
        static_assert(F::kLanes == 2 * V::kLanes);
        guessFrom<F>(narrowedTerms<F>([&](auto term) { return narrow(term(p), term(q)); }), guess);
    } else {
        guessFrom<V>(p, guess);
    }
}

// Guesses for the lanes of p, two vectors of V taken as one (simd/pair.hpp).
template <class V>
void guessLanes(const Pixel<simd::Pair<V>>& p, int* guess) {
    using F = typename V::Narrow;
    guessFrom<F>(narrowedTerms<F>([&](auto term) {
                     const simd::Pair<V> x = term(p);
                     return narrow(x.a, x.b);
                 }),
                 guess);
}

// The guess for a pixel held in every lane.
template <class V>
int guessOf(const Pixel<V>& p) {
    int guess[kGuessLanes<V>];
    guessLanes(p, p, guess);
    return guess[0];
}

}  // namespace
}  // namespace quorvane::cmod5n
