// Bounds of the modelled sigma0 that let the search skip candidates without
// evaluating them: an upper bound over a block of consecutive candidates, and
// lower and upper bounds at single candidates. Generic over a vector type, in
// an unnamed namespace like cmod5n_vector_model.hpp.
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
//    than any error in the subnormal range).
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

// B2 = exp(-V2) (D2 V2 - D1) for V2 in v2 and exp(-V2) in the positive range e.
template <class V>
Range<V> b2Range(const Pixel<V>& p, Range<V> v2, Range<V> e) {
    const V La = b2Factor(p, v2.lo), Lb = b2Factor(p, v2.hi);
    const V Llo = minv(La, Lb), Lhi = maxv(La, Lb);
    return {minv(e.lo * Llo, e.hi * Llo), maxv(e.lo * Lhi, e.hi * Lhi)};
}

// ---------------------------------------------------------------------------
// Upper bound of ln(linear modelled sigma0) over a block of candidates.

// Bounds at the low end of a block of candidates, taken at the candidate just
// before it (at speed 0 for a block starting there). The three functions are
// monotone in the speed, so their values there bound the whole block; this
// saves evaluating them at both ends of every block.
struct LowEnd {
    double tanhDown;  // at most t = tanh(4 ((X + C16) + C17 v))
    double expDown;   // at most exp(0.34 (v - C18))
    double expV2Up;   // at least exp(-V2)
};

// The low end for the first block of the ladder. V2 >= a for every candidate
// (the cube is at least 0, and the other branch has V2 = y >= C19 > a), and
// exp(0.34 (v - C18)) >= 0.
template <class V>
LowEnd rootLowEnd(const Pixel<V>& p) {
    static const double expMinusA = firstLane(up(exp(V::broadcast(-kV2Offset))));
    return LowEnd{p.rootTanhDown, 0.0, expMinusA};
}

// Upper bound of ln(linear modelled sigma0) over the speeds [va, vb] per lane,
// for consecutive blocks in consecutive lanes. low holds the low end of the
// block in lane 0 and on return that of the block after the last lane; the
// low ends of the lanes' blocks are stored to lowTanh, lowExp and lowExpV2.
template <class V>
V lnSigmaUpper(const Pixel<V>& p, V va, V vb, LowEnd& low, double* lowTanh, double* lowExp,
               double* lowExpV2) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const V minusInf = V::broadcast(-kInf);

    // V2 over y = v / V0 + 1 in [yl, yh], y >= 1. Below C19 the branch is
    // (y - 1)^3 b + a (the cube bounded through (x x) x), above it y.
    const V c19 = V::broadcast(C19);
    const V yh = v2Argument(p, vb);
    const V highBranch = v2FromCube(p, up(cube(minv(yh, c19) - one)));
    const V V2hi = select(yh < c19, highBranch, maxv(yh, highBranch));

    // The library calls come first, while little else is live across them.
    // t = tanh(4 ((X + C16) + C17 v)), exp(0.34 (v - C18)) and exp(-V2) are
    // needed at the block's end only; their low ends come from the block
    // before.
    const V tRaw = tanhLoose(tanhArgument(p, vb));
    const V dRaw = exp(decayArgument(vb));
    const V eRaw = exp(-V2hi);

    // A3 over s = A2 v in [sl, sh]. Below S0 it is g (s/S0)^e, above the
    // logistic; both increase. Lanes can hold candidates of either branch.
    const V sl = a3Argument(p, va);
    const V sh = a3Argument(p, vb);
    const auto has1 = sl < p.S0;
    const auto has2 = sh >= p.S0;
    V l1 = minusInf, l2 = minusInf, lnA3;
    if (p.gammaNonNegative) {
        // Upper bound of ln A3. Below S0, s/S0 < 1 rounds to at most 1; the
        // floor on it only loosens the bound and keeps the logarithm finite.
        if (bits(has1) != 0) {
            const V q = maxv(minv(sh / p.S0, one), V::broadcast(1e-300));
            l1 = lnPowerUp(p.e, logLoose(q)) + p.lnG;
        }
        if (bits(has2) != 0) l2 = up(logLoose(logisticFromExp(maxv(down(exp(-sh)), zero))));
        lnA3 = select(has1 & has2, maxv(l1, l2), select(has1, l1, l2));
    } else {
        // Lower bound of ln A3; candidates above S0 have s >= max(sl, S0).
        if (bits(has1) != 0) l1 = lnPowerDown(p.e, logLoose(sl / p.S0)) + p.lnG;
        if (bits(has2) != 0) l2 = down(logLoose(logisticFromExp(up(exp(-maxv(sl, p.S0))))));
        lnA3 = select(has1 & has2, minv(l1, l2), select(has1, l1, l2));
    }
    const V lnA3g = up(p.gamma * lnA3);

    // 10^(A1 v + A0): A1 may have either sign.
    const V wh = maxv(p.A1 * va, p.A1 * vb) + p.A0;
    const V lnP10 = up(wh * V::broadcast(kLn10));

    // B1 = (C14 (X + 1) - ((X + 0.5) - t) (C15 v)) / (exp(0.34 (v - C18)) + 1).
    const V th = up(tRaw);
    const V tEnd = down(tRaw);
    const V tl = shiftInFirst(tEnd, low.tanhDown);
    const V ml = p.xh - th, mh = p.xh - tl;
    const V ql = V::broadcast(C15) * va, qh = V::broadcast(C15) * vb;  // >= 0
    const V prodLo = minv(ml * ql, ml * qh);
    const V prodHi = maxv(mh * ql, mh * qh);
    const V numLo = p.c14x1 - prodHi, numHi = p.c14x1 - prodLo;
    const V dEnd = maxv(down(dRaw), zero);
    const V dl = shiftInFirst(dEnd, low.expDown);
    const V denLo = dl + one;
    const V denHi = up(dRaw) + one;
    const Range<V> B1{numLo / select(numLo >= zero, denHi, denLo),
                      numHi / select(numHi >= zero, denLo, denHi)};

    // The lower-bound formula of V2 at the block's start, and at its end for
    // the next block.
    const V V2lo = v2Down(p, v2Argument(p, va));
    const V V2loEnd = v2Down(p, yh);

    // B2 = exp(-V2) (D2 V2 - D1); the exponential factor is positive. For the
    // next block, exp(-V2loEnd) = exp(-V2hi) exp(gap) <= exp(-V2hi) (1 + 2 gap)
    // while the gap is at most 1.
    const V gap = V2hi - V2loEnd;
    const V eEnd = select(gap <= one, up(eRaw * (one + (gap + gap))), V::broadcast(kInf));
    const V Ehi = shiftInFirst(eEnd, low.expV2Up);
    const Range<V> B2 = b2Range(p, {V2lo, V2hi}, {maxv(down(eRaw), zero), Ehi});

    store(lowTanh, tl);
    store(lowExp, dl);
    store(lowExpV2, Ehi);
    low = LowEnd{lastLane(tEnd), lastLane(dEnd), lastLane(eEnd)};

    // Upper end of the base B2 cos2 + (B1 cos1 + 1), for cosines of any sign.
    const V baseHi = scaled(B2, p.cos2).hi + (scaled(B1, p.cos1).hi + one);
    const V lnP = lnPowerUp(V::broadcast(kFinalExponent), logLoose(baseHi));

    // ln of B0 = 10^w A3^gamma, then of sigma = base^1.6 B0; each sum widened
    // for its own rounding, each factor at least ln DBL_MIN.
    const V rel = V::broadcast(kRel);
    const V f10 = atLeast(lnP10, kLnFloor), fA3 = atLeast(lnA3g, kLnFloor);
    const V lnB0 = atLeast(f10 + fA3 + ((absv(f10) + absv(fA3)) * rel + rel), kLnFloor);
    const V fP = atLeast(lnP, kLnFloor);
    V lnSigma = atLeast(fP + lnB0 + ((absv(fP) + absv(lnB0)) * rel + rel), kLnFloor);

    // A base at most 0 gives a power of 0 or NaN: sigma is 0 or NaN.
    lnSigma = select(baseHi <= V::broadcast(0.0), minusInf, lnSigma);
    // Possible overflow of a factor or product: no bound.
    const V ceiling = V::broadcast(kLnCeiling);
    const auto overflow =
        (lnP10 > ceiling) | (lnA3g > ceiling) | (lnB0 > ceiling) | (lnP > ceiling) | (lnSigma > ceiling);
    return select(overflow, V::broadcast(kInf), lnSigma);
}

// The low ends of kSplit consecutive blocks, as lnSigmaUpper stores them.
struct BlockLowEnds {
    alignas(64) double tanh[kSplit];
    alignas(64) double exp[kSplit];
    alignas(64) double expV2[kSplit];

    LowEnd at(int k) const { return LowEnd{tanh[k], exp[k], expV2[k]}; }
};

// Bounds kSplit consecutive blocks, those of lanes k .. k + lanes - 1 over
// the speeds speeds(k) = {va, vb}, the first one's low end being low. Returns
// the blocks whose bound lies below the observation (which can be skipped),
// as a bit set; their low ends go to lows.
template <class V, class Speeds>
unsigned excludedBlocks(const Pixel<V>& p, Speeds speeds, LowEnd low, BlockLowEnds& lows) {
    unsigned skip = 0;
    for (int k = 0; k < kSplit; k += V::kLanes) {
        const Range<V> v = speeds(k);
        const V lnS = lnSigmaUpper(p, v.lo, v.hi, low, lows.tanh + k, lows.exp + k, lows.expV2 + k);
        skip |= bits(lnS < p.lnThreshold) << k;
    }
    return skip;
}

// The low end of a block that starts after candidate last.
template <class V>
LowEnd lowEndAfter(const Pixel<V>& p, int last) {
    const V v = V::broadcast(candidateSpeed(last));
    alignas(64) double unused[3][V::kLanes];
    LowEnd low = rootLowEnd(p);
    lnSigmaUpper(p, v, v, low, unused[0], unused[1], unused[2]);
    return low;
}

// ---------------------------------------------------------------------------
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

template <class V>
void lnSigmaRange(const Pixel<V>& p, V v, V& lnLow, V& lnHigh) {
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
        const V l = logLoose(s / p.S0);
        a3Low = lnSumDown(lnPowerDown(p.e, l), p.lnGLow);
        a3High = lnSumUp(lnPowerUp(p.e, l), p.lnGHigh);
    }
    if (belowBits != kAll) {
        const V l = logLoose(logistic(s));
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
    const V B1 = b1(p, v, tanh(tanhArgument(p, v)));

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
    const Range<V> B2 = b2Range(p, {V2Low, V2High}, {maxv(down(exp(-V2High)), zero), up(exp(-V2Low))});

    // base = B2 cos2 + (B1 cos1 + 1).
    const V rest = B1 * p.cos1 + one;
    const Range<V> B2c = scaled(B2, p.cos2);
    const V baseLow = B2c.lo + rest;
    const V baseHigh = B2c.hi + rest;
    const V fp = V::broadcast(kFinalExponent);
    const V lnPLow = lnPowerDown(fp, logLoose(baseLow)) - slack;
    const V lnPHigh = lnPowerUp(fp, logLoose(baseHigh)) + slack;

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

}  // namespace
}  // namespace quorvane::cmod5n
