#pragma once

#include "cmod5n/cmod5n_bounds_terms.hpp"

namespace quorvane::cmod5n {
namespace {

// Lower and upper bounds of ln(linear modelled sigma0) at single candidates,
// per lane, from the same operations as modelDb. With SLEEF (SSE2) the cheap
// library calls (exp, and tanh for its place in B1) are the model's own and
// give its bits; with the inline functions (kInlineBounds) tanh, B1's exp and
// the logistic's exp are enclosed instead, and B1 and A3 with them. Each
// power is replaced by its logarithm, which turns its rounding and that of
// the products into a small absolute error in the logarithm. Lanes where a
// factor might overflow or underflow, or the base of the final power might
// be at most 0, get the bounds [-inf, +inf], except that a base at most 0
// everywhere gives an upper bound of -inf (sigma is 0 or NaN there).

// [a + b] widened for its rounding and the errors of the terms' own factors.
template <class V>
V lnSumUp(V a, V b) {
    return a + b + ((absv(a) + absv(b)) * V::broadcast(kRel) + V::broadcast(kLnSlack));
}

template <class V>
V lnSumDown(V a, V b) {
    return a + b - ((absv(a) + absv(b)) * V::broadcast(kRel) + V::broadcast(kLnSlack));
}

// Absolute widening of ln A3 from the logistic with the inline exp: the model
// computes 1 / (x + 1) from SLEEF's x = exp(-s), the bound from expFast's x';
// ln(1 + x') - ln(1 + x) is within 2^-47.9 of ln(1 + x) (x / (1 + x) is at
// most ln(1 + x)), which kRel covers, and the four roundings of the two
// quotients within 2^-51 absolute, which this covers.
inline constexpr double kLogisticSlack = 0x1p-50;

// With t and decay intervals holding the model's tanh(tanhArgument(p, v)) and
// exp(decayArgument(v)) at v (tanhRange, decayRange).
template <class V>
void lnSigmaRange(const Pixel<V>& p, V v, Range<V> t, Range<V> decay, V& lnLow, V& lnHigh) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const V slack = V::broadcast(kLnSlack);

    // ln A3. Below S0: A3 = g (s/S0)^e with e > 0, so ln A3 = ln g + e ln(s/S0).
    // Above: A3 = 1 / (exp(-s) + 1) (with SLEEF, the model's bits).
    const V s = a3Argument(p, v);
    const auto below = s < p.S0;
    const unsigned belowBits = bits(below);
    constexpr unsigned kAll = (1u << V::kLanes) - 1u;
    V a3Low = zero, a3High = zero;
    if (belowBits != 0) {
        const V l = simd::logFast(s / p.S0);
        a3Low = lnSumDown(lnPowerDown(p.e, l), p.lnGLow);
        a3High = lnSumUp(lnPowerUp(p.e, l), p.lnGHigh);
    }
    if (belowBits != kAll) {
        if constexpr (kInlineBounds<V>) {
            const V l = simd::logFast(logisticFromExp(boundExp(-s)));
            const V slackA3 = V::broadcast(kLogisticSlack);
            a3Low = select(below, a3Low, down(l) - slackA3);
            a3High = select(below, a3High, up(l) + slackA3);
        } else {
            const V l = simd::logFast(logistic(s));
            a3Low = select(below, a3Low, down(l));
            a3High = select(below, a3High, up(l));
        }
    }
    const V ga = p.gamma * a3Low, gb = p.gamma * a3High;
    const V lnA3gLow = down(minv(ga, gb)) - slack;
    const V lnA3gHigh = up(maxv(ga, gb)) + slack;

    // 10^(A1 v + A0): the exponent is the model's.
    const V lnP10 = (p.A1 * v + p.A0) * V::broadcast(kLn10);
    const V lnP10Low = down(lnP10) - slack;
    const V lnP10High = up(lnP10) + slack;

    // B1 (as baseTerms): num = C14 (X + 1) - ((X + 0.5) - t) (C15 v) rises with
    // t (C15 v >= 0), num / den falls with den for num >= 0 and rises for
    // num < 0 (den >= 1); each operation rounded monotonically, so the ends
    // enclose the model's bits. With SLEEF both ends are the model's B1.
    V B1Low, B1High;
    if constexpr (kInlineBounds<V>) {
        const V q = V::broadcast(C15) * v;
        const V numLo = p.c14x1 - (p.xh - t.lo) * q, numHi = p.c14x1 - (p.xh - t.hi) * q;
        const V denLo = decay.lo + one, denHi = decay.hi + one;
        B1Low = numLo / select(numLo >= zero, denHi, denLo);
        B1High = numHi / select(numHi >= zero, denLo, denHi);
    } else {
        B1Low = B1High = b1(p, v, t.lo, decay.lo);
    }

    // V2: the cube (y - 1)^C20 enclosed by (x x) x widened.
    const V y = v2Argument(p, v);
    const auto lower = y < V::broadcast(C19);
    V V2Low = y, V2High = y;
    if (bits(lower) != 0) {
        const V c = cube(y - one);
        V2Low = select(lower, v2FromCube(p, down(c)), y);
        V2High = select(lower, v2FromCube(p, up(c)), y);
    }
    // B2 = exp(-V2) (D2 V2 - D1), exp(-V2) > 0.
    const Range<V> B2 = b2Range(p, {V2Low, V2High}, expOfMinus(Range<V>{V2Low, V2High}));

    // base = B2 cos2 + (B1 cos1 + 1).
    Range<V> rest{B1Low * p.cos1 + one, B1Low * p.cos1 + one};
    if constexpr (kInlineBounds<V>) {
        const Range<V> B1c = scaled(Range<V>{B1Low, B1High}, p.cos1);
        rest = {B1c.lo + one, B1c.hi + one};
    }
    const Range<V> B2c = scaled(B2, p.cos2);
    const V baseLow = B2c.lo + rest.lo;
    const V baseHigh = B2c.hi + rest.hi;
    const V fp = V::broadcast(kFinalExponent);
    const V lnPLow = lnPowerDown(fp, simd::logFast(baseLow)) - slack;
    const V lnPHigh = lnPowerUp(fp, simd::logFast(baseHigh)) + slack;

    const V lnB0Low = lnSumDown(lnP10Low, lnA3gLow), lnB0High = lnSumUp(lnP10High, lnA3gHigh);
    const V lnLo = lnSumDown(lnPLow, lnB0Low), lnHi = lnSumUp(lnPHigh, lnB0High);

    // Every factor and product a normal, finite number.
    const V floor = V::broadcast(kLnFloor), ceiling = V::broadcast(kLnCeiling);
    const auto safe = (floor <= a3Low) & (floor <= lnA3gLow) & (lnA3gHigh <= ceiling) &
                      (floor <= lnP10Low) & (lnP10High <= ceiling) & (floor <= lnPLow) &
                      (lnPHigh <= ceiling) & (floor <= lnB0Low) & (lnB0High <= ceiling) &
                      (floor <= lnLo) & (lnHi <= ceiling) & (zero < baseLow);
    lnLow = select(safe, lnLo, V::broadcast(-kInf));
    lnHigh = select(safe, lnHi, select(baseHigh <= zero, V::broadcast(-kInf), V::broadcast(kInf)));
}

template <class V>
void lnSigmaRange(const Pixel<V>& p, V v, V& lnLow, V& lnHigh) {
    lnSigmaRange(p, v, tanhRange(tanhArgument(p, v)), decayRange(decayArgument(v)), lnLow, lnHigh);
}

}  // namespace
}  // namespace quorvane::cmod5n
