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
    return {exp(-v2.hi), exp(-v2.lo)};
}

// B2 = exp(-V2) (D2 V2 - D1) for V2 in v2, for the computed and the exact
// function alike. With D1, D2 > 0, B2 rises up to its peak at V2 = 1 + D1/D2
// and falls after it (its derivative is exp(-V2) (D1 + D2 - D2 V2)), so over a
// range it lies between its values at the ends, and below the peak when the
// range holds it. An end value computed as exp(-x) (D2 x - D1), with exp
// within kRel and each operation rounded, lies within
// exp(-x) (D2 x + D1) 2^-50 of the exact one; the same holds for the computed
// model at any V2 of the range, and that error decreases with V2 for
// V2 >= a > 1. So the ends' values widened by twice the error at the low end
// (taken as kRel instead of 2^-50) enclose both. A peak at a V2 rounded
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

// ---------------------------------------------------------------------------
// Upper bound of ln(linear modelled sigma0) over a block of candidates.

// Bounds at the low end of a block of candidates, taken at the candidate just
// before it (at speed 0 for a block starting there). The two functions are
// monotone in the speed, so their values there bound the whole block; this
// saves evaluating them at both ends of every block.
struct LowEnd {
    double tanhDown;  // at most t = tanh(4 ((X + C16) + C17 v))
    double expDown;   // at most exp(0.34 (v - C18))
};

// Low ends per lane, as in LowEnd.
template <class V>
struct LaneEnds {
    V tanhDown, expDown;
};

// The low ends for blocks starting at speed 0; exp(0.34 (v - C18)) >= 0.
template <class V>
LaneEnds<V> rootLaneEnds(const Pixel<V>& p) {
    return LaneEnds<V>{p.rootTanhDown, V::broadcast(0.0)};
}

// The low end for the first block of the ladder.
template <class V>
LowEnd rootLowEnd(const Pixel<V>& p) {
    const LaneEnds<V> root = rootLaneEnds(p);
    return LowEnd{firstLane(root.tanhDown), firstLane(root.expDown)};
}

// The terms of the base of the final power over a block [va, vb], from t and
// exp(0.34 (v - C18)) at vb (tRaw, dRaw), their low ends and V2's range.
// Each range encloses the computed and the exact term at every speed of the
// block.
template <class V>
struct BaseTerms {
    Range<V> t;    // tanh(4 ((X + C16) + C17 v))
    Range<V> den;  // exp(0.34 (v - C18)) + 1
    Range<V> num;  // C14 (X + 1) - ((X + 0.5) - t) (C15 v)
    Range<V> B1;   // num / den
    Range<V> expV2;  // exp(-V2) at V2's ends, as computed (increasing order)
    Range<V> B2;     // exp(-V2) (D2 V2 - D1)
};

template <class V>
BaseTerms<V> baseTerms(const Pixel<V>& p, V va, V vb, Range<V> V2, V tRaw, V dRaw, const LaneEnds<V>& low) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    BaseTerms<V> r;
    // B1 = (C14 (X + 1) - ((X + 0.5) - t) (C15 v)) / (exp(0.34 (v - C18)) + 1).
    r.t = {low.tanhDown, up(tRaw)};
    const V ml = p.xh - r.t.hi, mh = p.xh - r.t.lo;
    const V ql = V::broadcast(C15) * va, qh = V::broadcast(C15) * vb;  // >= 0
    const V prodLo = minv(ml * ql, ml * qh);
    const V prodHi = maxv(mh * ql, mh * qh);
    r.num = {p.c14x1 - prodHi, p.c14x1 - prodLo};
    r.den = {low.expDown + one, up(dRaw) + one};
    r.B1 = {r.num.lo / select(r.num.lo >= zero, r.den.hi, r.den.lo),
            r.num.hi / select(r.num.hi >= zero, r.den.lo, r.den.hi)};
    r.expV2 = expOfMinus(V2);
    r.B2 = b2Range(p, V2, r.expV2);
    return r;
}

// Upper bound of ln(linear modelled sigma0) over the speeds [va, vb] per lane.
// The values of the two monotone functions at vb (the low ends of a block
// that starts after vb) go to ends; lowFrom(ends) gives each lane's low ends,
// which must hold at a speed at or before va.
template <class V, class LowFrom>
V lnSigmaUpperWith(const Pixel<V>& p, V va, V vb, LowFrom lowFrom, LaneEnds<V>& ends) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const V minusInf = V::broadcast(-kInf);

    const Range<V> V2 = v2Range(p, va, vb);

    // t = tanh(4 ((X + C16) + C17 v)) and exp(0.34 (v - C18)) are needed at
    // the block's end only; their low ends come from lowFrom.
    const V tRaw = tanhLoose(tanhArgument(p, vb));
    const V dRaw = exp(decayArgument(vb));
    ends.tanhDown = down(tRaw);
    ends.expDown = maxv(down(dRaw), zero);
    const LaneEnds<V> low = lowFrom(ends);

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

    const BaseTerms<V> terms = baseTerms(p, va, vb, V2, tRaw, dRaw, low);
    const Range<V>& B1 = terms.B1;
    const Range<V>& B2 = terms.B2;

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

// Upper bound of ln(linear modelled sigma0) over the speeds [va, vb] per lane,
// for consecutive blocks in consecutive lanes. low holds the low end of the
// block in lane 0 and on return that of the block after the last lane; the
// low ends of the lanes' blocks are stored to lowTanh and lowExp.
template <class V>
V lnSigmaUpper(const Pixel<V>& p, V va, V vb, LowEnd& low, double* lowTanh, double* lowExp) {
    LaneEnds<V> lows, ends;
    const V lnSigma = lnSigmaUpperWith(
        p, va, vb,
        [&](const LaneEnds<V>& e) {
            lows = LaneEnds<V>{shiftInFirst(e.tanhDown, low.tanhDown), shiftInFirst(e.expDown, low.expDown)};
            return lows;
        },
        ends);
    store(lowTanh, lows.tanhDown);
    store(lowExp, lows.expDown);
    low = LowEnd{lastLane(ends.tanhDown), lastLane(ends.expDown)};
    return lnSigma;
}

// The low ends of kSplit consecutive blocks, as lnSigmaUpper stores them.
struct BlockLowEnds {
    alignas(64) double tanh[kSplit];
    alignas(64) double exp[kSplit];

    LowEnd at(int k) const { return LowEnd{tanh[k], exp[k]}; }
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
        const V lnS = lnSigmaUpper(p, v.lo, v.hi, low, lows.tanh + k, lows.exp + k);
        skip |= bits(lnS < p.lnThreshold) << k;
    }
    return skip;
}

// The low ends of blocks that start after the speeds v: the two functions
// there, as lnSigmaUpperWith takes them at a block's end.
template <class V>
LaneEnds<V> laneEndsAt(const Pixel<V>& p, V v) {
    return LaneEnds<V>{down(tanhLoose(tanhArgument(p, v))), maxv(down(exp(decayArgument(v))), V::broadcast(0.0))};
}

// The low end of a block that starts after candidate last.
template <class V>
LowEnd lowEndAfter(const Pixel<V>& p, int last) {
    const LaneEnds<V> ends = laneEndsAt(p, V::broadcast(candidateSpeed(last)));
    return LowEnd{firstLane(ends.tanhDown), firstLane(ends.expDown)};
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
    const Range<V> B2 = b2Range(p, {V2Low, V2High}, expOfMinus(Range<V>{V2Low, V2High}));

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

// ---------------------------------------------------------------------------
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
template <class V>
V lnSigmaUpperSloped(const Pixel<V>& p, V va, V vb, V vTop, V lnTop, const LaneEnds<V>& low) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const Range<V> V2 = v2Range(p, va, vTop);
    const V tRaw = tanhLoose(tanhArgument(p, vTop));
    const V dRaw = exp(decayArgument(vTop));
    const BaseTerms<V> terms = baseTerms(p, va, vTop, V2, tRaw, dRaw, low);

    // gamma (ln A3)' at least.
    const V sl = a3Argument(p, va), sh = a3Argument(p, vTop);
    const V logisticSlope = down(p.A2 / up(exp(sh) + one));
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
    const V decayHi = up(minv(up(dRaw), V::broadcast(0.25)) * V::broadcast(0.34));
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

}  // namespace
}  // namespace quorvane::cmod5n
