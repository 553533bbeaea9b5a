#pragma once

#include "cmod5n/cmod5n_bounds_terms.hpp"

namespace quorvane::cmod5n {
namespace {

// Lower and upper bounds of ln(linear modelled sigma0) at single candidates,
// per lane, from the same operations as modelDb. The cheap library calls
// (exp, and tanh for its place in B1) are the model's own and give its bits;
// each power is replaced by its logarithm, which turns its rounding and that
// of the products into a small absolute error in the logarithm. Lanes where a
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

// With t = tanh(tanhArgument(p, v)) and decay = exp(decayArgument(v)), the
// model's own values at v, given.
template <class V>
void lnSigmaRange(const Pixel<V>& p, V v, V t, V decay, V& lnLow, V& lnHigh) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const V slack = V::broadcast(kLnSlack);

    // ln A3. Below S0: A3 = g (s/S0)^e with e > 0, so ln A3 = ln g + e ln(s/S0).
    // Above: A3 = 1 / (exp(-s) + 1), the model's bits.
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
        const V l = simd::logFast(logistic(s));
        a3Low = select(below, a3Low, down(l));
        a3High = select(below, a3High, up(l));
    }
    const V ga = p.gamma * a3Low, gb = p.gamma * a3High;
    const V lnA3gLow = down(minv(ga, gb)) - slack;
    const V lnA3gHigh = up(maxv(ga, gb)) + slack;

    // 10^(A1 v + A0): the exponent is the model's.
    const V lnP10 = (p.A1 * v + p.A0) * V::broadcast(kLn10);
    const V lnP10Low = down(lnP10) - slack;
    const V lnP10High = up(lnP10) + slack;

    // B1, the model's bits.
    const V B1 = b1(p, v, t, decay);

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
    const V rest = B1 * p.cos1 + one;
    const Range<V> B2c = scaled(B2, p.cos2);
    const V baseLow = B2c.lo + rest;
    const V baseHigh = B2c.hi + rest;
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
    lnSigmaRange(p, v, tanh(tanhArgument(p, v)), exp(decayArgument(v)), lnLow, lnHigh);
}

}  // namespace
}  // namespace quorvane::cmod5n
