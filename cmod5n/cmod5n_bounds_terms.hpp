// Bounds of the modelled sigma0 that let the search skip candidates without
// evaluating them: this file holds what they share (the slack constants,
// intervals, and ranges of the model's terms V2 and B2); the bounds over a
// block of candidates, at single candidates and from the model's slope have
// their own files (cmod5n_bounds_block.hpp, cmod5n_bounds_candidate.hpp,
// cmod5n_bounds_slope.hpp). Generic over a vector type, in an unnamed
// namespace like cmod5n_vector_model.hpp.
//
// Each bound encloses the *computed* value at every candidate it covers, not
// only the mathematical one:
//  - For +, -, *, / the computed result is the rounded exact result, and
//    rounding to nearest is monotone; so evaluating an operation at the
//    corners of its operands' intervals (in the same rounding) encloses it
//    with no widening.
//  - A library function is within a few ULP of the mathematical function,
//    which is monotone on the pieces used here; its value at an interval end
//    is widened by kRel relative (about 4000 ULP) plus kTiny absolute (more
//    than any error in the subnormal range). The logarithms are the inline
//    logFast (simd/fast_math.hpp), within 2^-46 relative: 64 times inside
//    kRel. Where the bounds take exp inline (kInlineBounds: expFast, within
//    2^-48 relative) the same widening covers it; the tanh of a candidate's
//    bound is then enclosed absolutely (tanhRange).
//  - The final product of powers is bounded through its natural logarithm:
//    ln(10^w) = w ln 10, ln(A3^gamma) = gamma ln A3, ln(base^1.6) = 1.6 ln base.
//    Underflowed factors are taken as at most DBL_MIN, and anything that could
//    overflow makes the bound +inf.
// A block is skipped only when the bound lies below the observation by a
// margin of 1e-6 dB (plus 1e-12 relative), far above all of the slack. A NaN
// bound means the block is searched. Geometries with a non-finite term, or
// outside what the monotonicity arguments assume, are scanned without bounds;
// for the others every quantity in a bound is finite or an infinity that
// the code expects, so the hardware min and max (which drop a NaN) are safe.
#pragma once

#include "cmod5n/cmod5n_vector_model.hpp"
#include "simd/fast_math.hpp"
#include "simd/pair.hpp"

namespace quorvane::cmod5n {
namespace {

// Log bounds of factors are raised to at least this, just above
// ln(DBL_MIN) = -708.396: a factor that underflowed is at most DBL_MIN.
inline constexpr double kLnFloor = -708.0;
// Above this, a factor or product might overflow.
inline constexpr double kLnCeiling = 700.0;
// Absolute slack of a logarithm bound at one candidate, far above the
// relative rounding of the powers and products it stands for.
inline constexpr double kLnSlack = 1e-12;
// Blocks are bounded kSplit at a time (the search splits a block into kSplit
// parts).
inline constexpr int kSplit = 8;

template <class V>
struct Range {
    V lo, hi;
};

// Whether the bounds take exp and tanh from the inline functions of
// simd/fast_math.hpp rather than from SLEEF: AVX2 and AVX-512, one vector or
// two taken as one. A library call in the middle of a bound spills every live
// vector register and stops the processor from overlapping the bounds; the
// inline functions interleave with the rest. SSE2 keeps SLEEF's.
template <class V>
inline constexpr bool kInlineBounds = HasFloatLanes<V>;
template <class V>
inline constexpr bool kInlineBounds<simd::Pair<V>> = HasFloatLanes<V>;

// exp for a bound, whose callers widen it by kRel: expFast (within 2^-48
// relative from -708 to 709, +inf above, 0 below, where the exact value is
// below DBL_MIN) or SLEEF's.
template <class V>
V boundExp(V x) {
    if constexpr (kInlineBounds<V>) {
        return simd::expFast(x);
    } else {
        return exp(x);
    }
}

// Absolute half-width of tanhRange's inline enclosure.
inline constexpr double kTanhSlack = 0x1p-40;

// An interval holding the model's t = tanh(a) (SLEEF's, within 1 ulp of the
// exact one) at the computed argument a = tanhArgument(p, v). Inline: t' =
// 1 - 2 / (E + 1) with E = expFast(2a); E's 2^-48 and the two roundings give
// 2 / (E + 1) within 2^-47.5 relative of 2 / (e^2a + 1) <= 2, hence t' within
// 2^-45 absolute of tanh(a) (absolute, not relative: t' cancels near a = 0),
// so t' -+ kTanhSlack holds both. Past expFast's range t' is -1 or 1, within
// e^-708 of tanh. Otherwise SLEEF's tanh itself, the model's bits, at both
// ends.
template <class V>
Range<V> tanhRange(V a) {
    if constexpr (kInlineBounds<V>) {
        const V one = V::broadcast(1.0);
        const V t = one - V::broadcast(2.0) / (simd::expFast(a + a) + one);
        const V slack = V::broadcast(kTanhSlack);
        return {t - slack, t + slack};
    } else {
        const V t = tanh(a);
        return {t, t};
    }
}

// An interval holding the model's exp(x), x = decayArgument(v): boundExp
// widened by kRel (at least 0), or SLEEF's exp itself at both ends.
template <class V>
Range<V> decayRange(V x) {
    if constexpr (kInlineBounds<V>) {
        const V d = simd::expFast(x);
        return {maxv(down(d), V::broadcast(0.0)), up(d)};
    } else {
        const V d = exp(x);
        return {d, d};
    }
}

// The range of x c for x in r, for c of either sign.
template <class V>
Range<V> scaled(Range<V> r, V c) {
    return {minv(r.lo * c, r.hi * c), maxv(r.lo * c, r.hi * c)};
}

// k ln x widened up (resp. down), for the logarithm ln of x from the cheap
// library function: the logarithm of x^k.
template <class V>
V lnPowerUp(V k, V ln) {
    return up(k * up(ln));
}

template <class V>
V lnPowerDown(V k, V ln) {
    return down(k * down(ln));
}

// V2 at least, at y = v / V0 + 1 >= 1: the branch below C19, (y - 1)^3 b + a
// with the cube widened down, is at most C19 there.
template <class V>
V v2Down(const Pixel<V>& p, V y) {
    const V c19 = V::broadcast(C19);
    const V cubeDown = maxv(down(cube(y - V::broadcast(1.0))), V::broadcast(0.0));
    return select(y < c19, minv(v2FromCube(p, cubeDown), c19), y);
}

// V2 over the speeds [va, vb]: over y = v / V0 + 1 in [ya, yb], y >= 1. Below
// C19 the branch is (y - 1)^3 b + a (the cube bounded through (x x) x),
// above it y.
template <class V>
Range<V> v2Range(const Pixel<V>& p, V va, V vb) {
    const V one = V::broadcast(1.0);
    const V c19 = V::broadcast(C19);
    const V yb = v2Argument(p, vb);
    const V highBranch = v2FromCube(p, up(cube(minv(yb, c19) - one)));
    return {v2Down(p, v2Argument(p, va)), select(yb < c19, highBranch, maxv(yb, highBranch))};
}

// exp(-V2) at the ends of a range of V2, as computed: {exp(-v2.hi), exp(-v2.lo)}.
template <class V>
Range<V> expOfMinus(Range<V> v2) {
    return {boundExp(-v2.hi), boundExp(-v2.lo)};
}

// B2 = exp(-V2) (D2 V2 - D1) for V2 in v2, for the computed and the exact
// function alike. With D1, D2 > 0, B2 rises up to its peak at V2 = 1 + D1/D2
// and falls after it (its derivative is exp(-V2) (D1 + D2 - D2 V2)), so over a
// range it lies between its values at the ends, and below the peak when the
// range holds it. An end value computed as exp(-x) (D2 x - D1), with exp
// within 2^-48 relative (SLEEF's, or boundExp's expFast) and each operation
// rounded, lies within exp(-x) (D2 x + D1) 2^-47 of the exact one; the same
// holds for the computed model at any V2 of the range, and that error
// decreases with V2 for V2 >= a > 1. So the ends' values widened by twice the
// error at the low end (taken as kRel instead of 2^-47) enclose both. A peak at a V2 rounded
// across a range end moves the ends' values by far less than that widening,
// B2 being flat there. e is expOfMinus(v2).
template <class V>
Range<V> b2Range(const Pixel<V>& p, Range<V> v2, Range<V> e) {
    const V ea = e.hi, eb = e.lo;
    const V Ba = ea * b2Factor(p, v2.lo), Bb = eb * b2Factor(p, v2.hi);
    const V rel = V::broadcast(2.0 * kRel);
    const V err = (ea * (p.D2 * v2.lo + p.D1)) * rel + V::broadcast(kTiny);
    const auto peakInside = (v2.lo <= p.b2PeakAt) & (p.b2PeakAt <= v2.hi);
    return {minv(Ba, Bb) - err, select(peakInside, p.b2Peak, maxv(Ba, Bb)) + err};
}

}  // namespace
}  // namespace quorvane::cmod5n
