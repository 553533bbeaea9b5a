#pragma once

#include "cmod5n/cmod5n_bounds_block.hpp"

namespace quorvane::cmod5n {
namespace {

// Upper bound over a block from a bound at its last candidate and a lower
// bound D of the slope of ln sigma, the mean value form. It is as tight as the
// bound at the last candidate wherever the model provably rises (D >= 0),
// however wide the block, where the bound of lnSigmaUpperWith loses a
// first-order amount to the separate bounds of B0 and the base.
//
// For the exact model with the pixel's double terms, ln sigma is continuous on
// a range where the base stays positive (A3's branches meet at S0, V2's at
// C19, up to jumps of a few ulp from the rounded g, a and b) and piecewise
// differentiable, so with D a lower bound of its slope over [va, vTop], for
// v in [va, vb], vb <= vTop,
//   ln sigma(v) <= ln sigma(vTop) - (vTop - v) D
//               <= ln sigma(vTop) - (vTop - vb) D   when D >= 0,
//               <= ln sigma(vTop) + (vTop - va) (-D) otherwise.
// Its slope is A1 ln 10 + gamma (ln A3)' + 1.6 base' / base with
//   (ln A3)' = A2 / (1 + exp(s)) from S0 on and e / v below it, both positive
//     and decreasing, so at least their values at vb (gamma > 0 here);
//   base' = B1' cos1 + B2' cos2;
//   B2' = exp(-V2) (D1 + D2 - D2 V2) V2', V2' = 1 / V0 from C19 on and
//     3 (y - 1)^2 b / V0 below, rising to 1 / V0 at C19 (b makes it so, up to
//     its rounding);
//   B1' = num' / den - num 0.34 d / den^2 with d = exp(0.34 (v - C18)),
//     den = d + 1, num' = C15 ((t - (X + 0.5)) + v t'), t' = 4 C17 (1 - t^2),
//     and 0 <= d / den^2 <= min(d, 1/4);
// each bounded by interval products over the block's ranges (baseTerms),
// rounded with a relative kRel and an absolute kSlopeSlack to spare.
//
// The computed model at any candidate of the block lies within eps of the
// exact one in ln sigma: the exponent w = A1 v + A0 is rounded twice
// (2^-52 (|A1| v + |A0|) ln 10 each), A3 carries a few ulp (times gamma in
// A3^gamma), the base an absolute few ulp of 1 + |B1| + |B2| (relative: over
// the base's lower bound, times 1.6), and each power, product and the
// logarithm one ulp; below 2^-45 (1 + (|A1| v + |A0|) + gamma + (1 + |B1| +
// |B2|) / base) in all, where eps takes 2^-30. A factor that underflows only
// lowers the computed value. So every candidate of the block has
//   ln sigma_computed <= lnTop + 2 eps + (the term above),
// with lnTop an upper bound of the computed ln sigma at vTop.

inline constexpr double kSlopeSlack = 1e-9;
inline constexpr double kModelErrorScale = 0x1p-30;

// The product ranges of a and b.
template <class V>
Range<V> times(Range<V> a, Range<V> b) {
    const V p1 = a.lo * b.lo, p2 = a.lo * b.hi, p3 = a.hi * b.lo, p4 = a.hi * b.hi;
    return {minv(minv(p1, p2), minv(p3, p4)), maxv(maxv(p1, p2), maxv(p3, p4))};
}

// The range of a widened by kRel relative and kSlopeSlack absolute.
template <class V>
Range<V> widened(Range<V> a) {
    return {down(a.lo) - V::broadcast(kSlopeSlack), up(a.hi) + V::broadcast(kSlopeSlack)};
}

// The upper bound of the computed ln sigma over the block [va, vb] per lane,
// from lnTop at vTop >= vb and the low ends of t and exp(0.34 (v - C18)) at or before
// va; +inf where the slope or the base cannot be bounded. For gamma > 0.
// tHigh and dHigh are upper bounds of the computed and exact tanh and exp of
// their arguments at vTop (from those the candidate bound at vTop has
// computed).
template <class V>
V lnSigmaUpperSloped(const Pixel<V>& p, V va, V vb, V vTop, V lnTop, const LaneEnds<V>& low, V tHigh, V dHigh) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const Range<V> V2 = v2Range(p, va, vTop);
    const BaseTerms<V> terms = baseTerms(p, va, vTop, V2, tHigh, dHigh, low);

    // gamma (ln A3)' at least.
    const V sl = a3Argument(p, va), sh = a3Argument(p, vTop);
    const V logisticSlope = down(p.A2 / up(boundExp(sh) + one));
    const V powerSlope = down(p.e / vTop);
    const auto has1 = sl < p.S0, has2 = sh >= p.S0;
    const V a3Slope = select(has1 & has2, minv(logisticSlope, powerSlope), select(has1, powerSlope, logisticSlope));
    const V b0Slope = p.A1 * V::broadcast(kLn10) + down(p.gamma * a3Slope);

    // B2'.
    const V ya = v2Argument(p, va);
    const V dv2Top = up(one / p.V0);
    const V dv2Low = select(ya < V::broadcast(C19), down(V::broadcast(3.0) * ((ya - one) * (ya - one)) * p.b / p.V0),
                            down(one / p.V0));
    const V peak = p.D1 + p.D2;
    const Range<V> slopeFactor{peak - p.D2 * V2.hi, peak - p.D2 * V2.lo};
    const Range<V> e{maxv(down(terms.expV2.lo), zero), up(terms.expV2.hi)};
    const Range<V> dB2 = widened(times(times(e, widened(slopeFactor)), Range<V>{maxv(dv2Low, zero), dv2Top}));

    // B1'.
    const V c = V::broadcast(4.0 * C17);
    const Range<V> t2 = {select(terms.t.lo * terms.t.hi > zero, minv(terms.t.lo * terms.t.lo, terms.t.hi * terms.t.hi), zero),
                         maxv(terms.t.lo * terms.t.lo, terms.t.hi * terms.t.hi)};
    const Range<V> dt = widened(Range<V>{c * (one - t2.hi), c * (one - t2.lo)});
    const Range<V> vdt = times(Range<V>{va, vb}, dt);
    const Range<V> dNum = widened(Range<V>{V::broadcast(C15) * ((terms.t.lo - p.xh) + vdt.lo),
                                           V::broadcast(C15) * ((terms.t.hi - p.xh) + vdt.hi)});
    const Range<V> inverseDen{one / terms.den.hi, one / terms.den.lo};
    const V decayHi = up(minv(dHigh, V::broadcast(0.25)) * V::broadcast(0.34));
    const Range<V> numDecay = times(terms.num, Range<V>{zero, decayHi});
    const Range<V> quotient = times(dNum, widened(inverseDen));
    const Range<V> dB1 = widened(Range<V>{quotient.lo - numDecay.hi, quotient.hi - numDecay.lo});

    // base' / base.
    const V baseLo = down(scaled(terms.B2, p.cos2).lo + (scaled(terms.B1, p.cos1).lo + one));
    const V baseHi = up(scaled(terms.B2, p.cos2).hi + (scaled(terms.B1, p.cos1).hi + one));
    const V dBaseLo = down(scaled(dB1, p.cos1).lo + scaled(dB2, p.cos2).lo);
    const V ratioLo = dBaseLo / select(dBaseLo < zero, baseLo, baseHi);
    const V slope = b0Slope + V::broadcast(kFinalExponent) * ratioLo;
    const V slopeLo = slope - (absv(b0Slope) + absv(ratioLo)) * V::broadcast(4.0 * kRel) - V::broadcast(kSlopeSlack);

    const V termsMax = one + maxv(absv(terms.B1.lo), absv(terms.B1.hi)) + maxv(absv(terms.B2.lo), absv(terms.B2.hi));
    const V eps = V::broadcast(kModelErrorScale) *
                  (one + absv(p.A1) * vTop + absv(p.A0) + p.gamma + termsMax / baseLo);
    // Rising (slopeLo >= 0): at most lnTop less the rise from vb to vTop.
    const V rise = down((vTop - vb) * slopeLo);
    const V fall = up((vTop - va) * -slopeLo);
    const V bound = lnTop + (eps + eps) + select(slopeLo >= zero, -rise, fall);
    // A base that may reach 0, or any NaN: no bound.
    return select((baseLo > zero) & (bound < V::broadcast(kInf)), bound, V::broadcast(kInf));
}

template <class V>
V lnSigmaUpperSloped(const Pixel<V>& p, V va, V vb, V vTop, V lnTop, const LaneEnds<V>& low) {
    return lnSigmaUpperSloped(p, va, vb, vTop, lnTop, low, up(tanhLoose(tanhArgument(p, vTop))),
                              up(boundExp(decayArgument(vTop))));
}

}  // namespace
}  // namespace quorvane::cmod5n
