// The exact pruned search of the candidate ladder, generic over a vector type.
//
// Include only from the per-instruction-set kernel translation units, with V
// one of the grid/simd_*.hpp vector types. V lives in an unnamed namespace, so
// every instantiation here is local to its translation unit. Nothing in this
// header may be a non-template function, and it calls no inline function of
// other headers: such code would be compiled with the unit's -m flags and could
// be merged with a copy used on a CPU without them.
//
// Point evaluations repeat the scalar model operation by operation with the
// vector SLEEF functions, which return the same bits as the scalar ones, so a
// candidate's modelled dB is the same whichever lane, path or vector width
// computes it.
//
// The pruning rests on upper bounds of the modelled dB over a block of
// consecutive candidates. Each bound encloses the *computed* value at every
// candidate of the block, not only the mathematical one:
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

#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"

namespace quorvane::cmod5n::search {

inline constexpr double kRel = 0x1p-40;
inline constexpr double kTiny = 0x1p-1020;
inline constexpr double kLn10 = 2.302585092994046;
inline constexpr double kInf = __builtin_inf();
// Log bounds of factors are raised to at least this, just above
// ln(DBL_MIN) = -708.396: a factor that underflowed is at most DBL_MIN.
inline constexpr double kLnFloor = -708.0;
// Above this, a factor or product might overflow.
inline constexpr double kLnCeiling = 700.0;
inline constexpr double kMarginDb = 1e-6;
inline constexpr double kMarginRel = 1e-12;
// Absolute slack of a logarithm bound at one candidate, far above the
// relative rounding of the powers and products it stands for.
inline constexpr double kLnSlack = 1e-12;

// Blocks are split into kSplit parts; blocks of at most kLeaf candidates are
// scanned.
inline constexpr int kSplit = 8;
inline constexpr int kLeaf = 8;

// ---------------------------------------------------------------------------
// Lane helpers for the bounds.

// max(a, floor), keeping NaN.
template <class V>
V atLeast(V a, double floor) {
    const V f = V::broadcast(floor);
    return select(a < f, f, a);
}

// A number at least a (resp. at most a) and at least (resp. at most) any
// library function value whose exact counterpart lies at or below (resp.
// above) the exact counterpart of the computed a. Infinities stay put.
template <class V>
V up(V a) {
    const V f = select(a >= V::broadcast(0.0), V::broadcast(1.0 + kRel), V::broadcast(1.0 - kRel));
    return mulAdd(a, f, V::broadcast(kTiny));
}

template <class V>
V down(V a) {
    const V f = select(a >= V::broadcast(0.0), V::broadcast(1.0 - kRel), V::broadcast(1.0 + kRel));
    return mulAdd(a, f, V::broadcast(-kTiny));
}

// Ladder speeds i * 0.01 for i = first, first + 1, ... across the lanes,
// computed like the scalar ladder.
template <class V>
V ladderSpeeds(int first) {
    return (V::broadcast(static_cast<double>(first)) + V::iota()) * V::broadcast(kSpeedStep);
}

// ---------------------------------------------------------------------------
// One pixel: its geometry terms in every lane, and what the bounds need.

template <class V>
struct Pixel {
    V X, cos1, cos2, A0, A1, A2, gamma, S0, V0, D1, D2, b, g;
    V e;      // (1 - g) * S0, the exponent of the A3 power below S0
    V c14x1;  // C14 * (X + 1)
    V xc16;   // X + C16
    V xh;     // X + 0.5
    V sigma0;

    bool boundsUsable;      // the geometry satisfies what the bounds assume
    bool gammaNonNegative;  // A3^gamma increases with A3
    V lnG;                  // ln g widened up (gamma >= 0) or down (gamma < 0)
    V lnGLow, lnGHigh;      // ln g widened down and up
    V lnThreshold;          // ln of the linear sigma0 below which a block is skipped
    V lnThresholdUp;        // ln of the linear sigma0 above which a candidate qualifies
    double rootTanhDown;    // at most t at speed 0
};

// Bounds at the low end of a block of candidates, taken at the candidate just
// before it (at speed 0 for a block starting there). The three functions are
// monotone in the speed, so their values there bound the whole block; this
// saves evaluating them at both ends of every block.
struct LowEnd {
    double tanhDown;  // at most t = tanh(4 ((X + C16) + C17 v))
    double expDown;   // at most exp(0.34 (v - C18))
    double expV2Up;   // at least exp(-V2)
};

template <class V>
double lastLane(V a) {
    alignas(64) double t[V::kLanes];
    store(t, a);
    return t[V::kLanes - 1];
}

template <class V>
double firstLane(V a) {
    alignas(64) double t[V::kLanes];
    store(t, a);
    return t[0];
}

template <class V>
void setupPixel(Pixel<V>& p, const Geometry& geo, double sigma0) {
    p.X = V::broadcast(geo.X);
    p.cos1 = V::broadcast(geo.cos1);
    p.cos2 = V::broadcast(geo.cos2);
    p.A0 = V::broadcast(geo.A0);
    p.A1 = V::broadcast(geo.A1);
    p.A2 = V::broadcast(geo.A2);
    p.gamma = V::broadcast(geo.gamma);
    p.S0 = V::broadcast(geo.S0);
    p.V0 = V::broadcast(geo.V0);
    p.D1 = V::broadcast(geo.D1);
    p.D2 = V::broadcast(geo.D2);
    p.b = V::broadcast(geo.b);
    p.g = V::broadcast(geo.g);
    // Same expressions as the scalar model, hence the same doubles.
    const double e = (1.0 - geo.g) * geo.S0;
    p.e = V::broadcast(e);
    p.c14x1 = V::broadcast(C14 * (geo.X + 1.0));
    p.xc16 = V::broadcast(geo.X + C16);
    p.xh = V::broadcast(geo.X + 0.5);
    p.sigma0 = V::broadcast(sigma0);

    const double terms[] = {geo.X,     geo.cos1, geo.cos2, geo.A0, geo.A1, geo.A2, geo.gamma,
                            geo.S0,    geo.V0,   geo.D1,   geo.D2, geo.b,  geo.g,  e};
    bool finite = true;
    for (const double t : terms) finite = finite && __builtin_isfinite(t);
    // s = A2 v and y = v / V0 + 1 must grow with v, b > 0 keeps the V2 branch
    // increasing, gamma != 0 keeps gamma ln A3 free of 0 * inf, and below S0
    // the power of s / S0 must increase.
    p.boundsUsable = finite && geo.A2 > 0.0 && geo.V0 > 0.0 && geo.b > 0.0 && geo.gamma != 0.0 &&
                     (geo.S0 <= 0.0 || (e > 0.0 && geo.g > 0.0));
    p.gammaNonNegative = geo.gamma >= 0.0;
    const V lnG = logLoose(p.g);
    p.lnGLow = down(lnG);
    p.lnGHigh = up(lnG);
    p.lnG = p.gammaNonNegative ? p.lnGHigh : p.lnGLow;
    const double margin = kMarginDb + kMarginRel * __builtin_fabs(sigma0);
    p.lnThreshold = V::broadcast((sigma0 - margin) * (kLn10 / 10.0));
    // NaN for sigma0 = -inf: then no candidate is taken without evaluating it.
    p.lnThresholdUp = V::broadcast((sigma0 + margin) * (kLn10 / 10.0));
    // At speed 0 the argument of tanh is 4 ((X + C16) + C17 * 0) = 4 (X + C16).
    p.rootTanhDown = firstLane(down(tanhLoose(V::broadcast(4.0) * p.xc16)));
}

// The low end for the first block of the ladder. V2 >= a for every candidate
// (the cube is at least 0, and the other branch has V2 = y >= C19 > a), and
// exp(0.34 (v - C18)) >= 0.
template <class V>
LowEnd rootLowEnd(const Pixel<V>& p) {
    static const double expMinusA = firstLane(up(exp(V::broadcast(-kV2Offset))));
    return LowEnd{p.rootTanhDown, 0.0, expMinusA};
}

// ---------------------------------------------------------------------------
// The forward model at the speeds v, operation by operation as the scalar
// sigma0Cmod5n. A branch's functions are called only when a lane takes it.

template <class V>
V modelDb(const Pixel<V>& p, V v) {
    const V one = V::broadcast(1.0);
    const V s = p.A2 * v;
    const auto below = s < p.S0;
    const unsigned belowBits = bits(below);
    constexpr unsigned kAll = (1u << V::kLanes) - 1u;
    V A3;
    if (belowBits == kAll) {
        A3 = pow(s / p.S0, p.e) * p.g;
    } else if (belowBits == 0) {
        A3 = one / (exp(-s) + one);
    } else {
        A3 = select(below, pow(s / p.S0, p.e) * p.g, one / (exp(-s) + one));
    }
    const V B0 = pow(V::broadcast(10.0), p.A1 * v + p.A0) * pow(A3, p.gamma);
    const V t = tanh(V::broadcast(4.0) * (p.xc16 + V::broadcast(C17) * v));
    const V B1 = (p.c14x1 - (p.xh - t) * (V::broadcast(C15) * v)) /
                 (exp(V::broadcast(0.34) * (v - V::broadcast(C18))) + one);
    const V y = v / p.V0 + one;
    const auto lower = y < V::broadcast(C19);
    V V2 = y;
    if (bits(lower) != 0) {
        V2 = select(lower, pow(y - one, V::broadcast(C20)) * p.b + V::broadcast(kV2Offset), y);
    }
    const V B2 = exp(-V2) * (p.D2 * V2 - p.D1);
    const V sigma = pow(B2 * p.cos2 + (B1 * p.cos1 + one), V::broadcast(kFinalExponent)) * B0;
    return log10(sigma) * V::broadcast(10.0);
}

// First qualifying candidate among first .. first + lanes - 1 (capped at the
// ladder's end), as a lane bit set.
template <class V>
unsigned qualifyingLanes(const Pixel<V>& p, int first) {
    const V d = modelDb(p, ladderSpeeds<V>(first)) - p.sigma0;
    unsigned q = bits(d >= V::broadcast(0.0));
    const int past = first + V::kLanes - 1 - kLadderLast;
    if (past > 0) q &= (1u << (V::kLanes - past)) - 1u;
    return q;
}

// Scans lo .. hi in order, a vector of consecutive candidates at a time. The
// last vector may run past hi: a qualifying candidate there is still the first
// one after lo, because every candidate before it was evaluated. -1: none.
template <class V>
int scanRange(const Pixel<V>& p, int lo, int hi) {
    for (int i = lo; i <= hi; i += V::kLanes) {
        const unsigned q = qualifyingLanes(p, i);
        if (q != 0) return i + __builtin_ctz(q);
    }
    return -1;
}

// ---------------------------------------------------------------------------
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
    const V c19 = V::broadcast(C19), a = V::broadcast(kV2Offset);
    const V yh = vb / p.V0 + one;
    const V xh = minv(yh, c19) - one;
    const V highBranch = up(xh * xh * xh) * p.b + a;
    const V V2hi = select(yh < c19, highBranch, maxv(yh, highBranch));

    // The library calls come first, while little else is live across them.
    // t = tanh(4 ((X + C16) + C17 v)), exp(0.34 (v - C18)) and exp(-V2) are
    // needed at the block's end only; their low ends come from the block
    // before.
    const V tRaw = tanhLoose(V::broadcast(4.0) * (p.xc16 + V::broadcast(C17) * vb));
    const V dRaw = exp(V::broadcast(0.34) * (vb - V::broadcast(C18)));
    const V eRaw = exp(-V2hi);

    // A3 over s = A2 v in [sl, sh]. Below S0 it is g (s/S0)^e, above the
    // logistic; both increase. Lanes can hold candidates of either branch.
    const V sl = p.A2 * va;
    const V sh = p.A2 * vb;
    const auto has1 = sl < p.S0;
    const auto has2 = sh >= p.S0;
    V l1 = minusInf, l2 = minusInf, lnA3;
    if (p.gammaNonNegative) {
        // Upper bound of ln A3. Below S0, s/S0 < 1 rounds to at most 1; the
        // floor on it only loosens the bound and keeps the logarithm finite.
        if (bits(has1) != 0) {
            const V q = maxv(minv(sh / p.S0, one), V::broadcast(1e-300));
            l1 = up(p.e * up(logLoose(q))) + p.lnG;
        }
        if (bits(has2) != 0) {
            const V ex = maxv(down(exp(-sh)), zero);
            l2 = up(logLoose(one / (ex + one)));
        }
        lnA3 = select(has1 & has2, maxv(l1, l2), select(has1, l1, l2));
    } else {
        // Lower bound of ln A3; candidates above S0 have s >= max(sl, S0).
        if (bits(has1) != 0) l1 = down(p.e * down(logLoose(sl / p.S0))) + p.lnG;
        if (bits(has2) != 0) {
            const V ex = up(exp(-maxv(sl, p.S0)));
            l2 = down(logLoose(one / (ex + one)));
        }
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
    const V B1lo = numLo / select(numLo >= zero, denHi, denLo);
    const V B1hi = numHi / select(numHi >= zero, denLo, denHi);

    // The lower-bound formula of V2 at the block's start, and at its end for
    // the next block.
    const V yl = va / p.V0 + one;
    const V xl = yl - one, xe = yh - one;
    const V V2lo = select(yl < c19, minv(maxv(down(xl * xl * xl), zero) * p.b + a, c19), yl);
    const V V2loEnd = select(yh < c19, minv(maxv(down(xe * xe * xe), zero) * p.b + a, c19), yh);

    // B2 = exp(-V2) (D2 V2 - D1); the exponential factor is positive. For the
    // next block, exp(-V2loEnd) = exp(-V2hi) exp(gap) <= exp(-V2hi) (1 + 2 gap)
    // while the gap is at most 1.
    const V Elo = maxv(down(eRaw), zero);
    const V gap = V2hi - V2loEnd;
    const V eEnd = select(gap <= one, up(eRaw * (one + (gap + gap))), V::broadcast(kInf));
    const V Ehi = shiftInFirst(eEnd, low.expV2Up);
    const V La = p.D2 * V2lo - p.D1, Lb = p.D2 * V2hi - p.D1;
    const V Llo = minv(La, Lb), Lhi = maxv(La, Lb);
    const V B2lo = minv(Elo * Llo, Ehi * Llo);
    const V B2hi = maxv(Elo * Lhi, Ehi * Lhi);

    store(lowTanh, tl);
    store(lowExp, dl);
    store(lowExpV2, Ehi);
    low = LowEnd{lastLane(tEnd), lastLane(dEnd), lastLane(eEnd)};

    // Upper end of the base B2 cos2 + (B1 cos1 + 1), for cosines of any sign.
    const V baseHi = maxv(B2lo * p.cos2, B2hi * p.cos2) + (maxv(B1lo * p.cos1, B1hi * p.cos1) + one);
    const V lnP = up(V::broadcast(kFinalExponent) * up(logLoose(baseHi)));

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

    // ln A3. Below S0: A3 = g (s/S0)^e with e > 0, so ln A3 = ln g + e ln(s/S0).
    // Above: A3 = 1 / (exp(-s) + 1), the model's bits.
    const V s = p.A2 * v;
    const auto below = s < p.S0;
    const unsigned belowBits = bits(below);
    constexpr unsigned kAll = (1u << V::kLanes) - 1u;
    V a3Low = zero, a3High = zero;
    if (belowBits != 0) {
        const V l = logLoose(s / p.S0);
        a3Low = lnSumDown(down(p.e * down(l)), p.lnGLow);
        a3High = lnSumUp(up(p.e * up(l)), p.lnGHigh);
    }
    if (belowBits != kAll) {
        const V l = logLoose(one / (exp(-s) + one));
        a3Low = select(below, a3Low, down(l));
        a3High = select(below, a3High, up(l));
    }
    const V ga = p.gamma * a3Low, gb = p.gamma * a3High;
    const V lnA3gLow = down(minv(ga, gb)) - V::broadcast(kLnSlack);
    const V lnA3gHigh = up(maxv(ga, gb)) + V::broadcast(kLnSlack);

    // 10^(A1 v + A0): the exponent is the model's.
    const V lnP10 = (p.A1 * v + p.A0) * V::broadcast(kLn10);
    const V lnP10Low = down(lnP10) - V::broadcast(kLnSlack);
    const V lnP10High = up(lnP10) + V::broadcast(kLnSlack);

    // B1, the model's bits.
    const V t = tanh(V::broadcast(4.0) * (p.xc16 + V::broadcast(C17) * v));
    const V B1 = (p.c14x1 - (p.xh - t) * (V::broadcast(C15) * v)) /
                 (exp(V::broadcast(0.34) * (v - V::broadcast(C18))) + one);

    // V2: the cube (y - 1)^C20 enclosed by (x x) x widened.
    const V y = v / p.V0 + one;
    const auto lower = y < V::broadcast(C19);
    V V2Low = y, V2High = y;
    if (bits(lower) != 0) {
        const V x = y - one;
        const V cube = x * x * x;
        V2Low = select(lower, down(cube) * p.b + V::broadcast(kV2Offset), y);
        V2High = select(lower, up(cube) * p.b + V::broadcast(kV2Offset), y);
    }
    // B2 = exp(-V2) (D2 V2 - D1), exp(-V2) > 0.
    const V eLow = maxv(down(exp(-V2High)), zero);
    const V eHigh = up(exp(-V2Low));
    const V La = p.D2 * V2Low - p.D1, Lb = p.D2 * V2High - p.D1;
    const V Llo = minv(La, Lb), Lhi = maxv(La, Lb);
    const V B2lo = minv(eLow * Llo, eHigh * Llo);
    const V B2hi = maxv(eLow * Lhi, eHigh * Lhi);

    // base = B2 cos2 + (B1 cos1 + 1).
    const V rest = B1 * p.cos1 + one;
    const V baseLow = minv(B2lo * p.cos2, B2hi * p.cos2) + rest;
    const V baseHigh = maxv(B2lo * p.cos2, B2hi * p.cos2) + rest;
    const V fp = V::broadcast(kFinalExponent);
    const V lnPLow = down(fp * down(logLoose(baseLow))) - V::broadcast(kLnSlack);
    const V lnPHigh = up(fp * up(logLoose(baseHigh))) + V::broadcast(kLnSlack);

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
// The search.

// First qualifying candidate at or after lo, given that none before lo
// qualifies; -1 when none in lo .. hi does. low: the block's low end. Blocks
// are split into kSplit parts whose bounds are computed together; parts that
// cannot hold a qualifying candidate are skipped, the others searched left to
// right.
template <class V>
int findFirst(const Pixel<V>& p, int lo, int hi, LowEnd low) {
    const int n = hi - lo + 1;
    if (n <= kLeaf) return scanRange(p, lo, hi);
    const int size = (n + kSplit - 1) / kSplit;
    const int parts = (n + size - 1) / size;
    // Part k is lo + k size .. min(lo + (k + 1) size - 1, hi); lanes past the
    // last part repeat hi and are ignored.
    const V top = V::broadcast(static_cast<double>(hi));
    const V step = V::broadcast(kSpeedStep);
    alignas(64) double lowTanh[kSplit];
    alignas(64) double lowExp[kSplit];
    alignas(64) double lowExpV2[kSplit];
    unsigned skip = 0;
    for (int k = 0; k < kSplit; k += V::kLanes) {
        const V first = V::broadcast(static_cast<double>(lo + k * size)) + V::iota() * V::broadcast(size);
        const V last = minv(first + V::broadcast(size - 1), top);
        const V lnS = lnSigmaUpper(p, minv(first, top) * step, last * step, low, lowTanh + k, lowExp + k,
                                   lowExpV2 + k);
        skip |= bits(lnS < p.lnThreshold) << k;
    }
    unsigned open = ~skip & ((1u << parts) - 1u);
    while (open != 0) {
        const int k = __builtin_ctz(open);
        open &= open - 1;
        const int first = lo + k * size;
        const int found = findFirst(p, first, first + size - 1 < hi ? first + size - 1 : hi,
                                    LowEnd{lowTanh[k], lowExp[k], lowExpV2[k]});
        if (found >= 0) return found;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// A first guess of the answer. The model is evaluated with cheaper functions
// and no care for rounding, at a few speeds, and the crossing interpolated;
// the guess only decides where the exact search below starts looking.

// About the modelled dB minus the observation at the speeds v (NaN where the
// model is).
template <class V>
V approxExcessDb(const Pixel<V>& p, V v) {
    const V one = V::broadcast(1.0);
    const V s = p.A2 * v;
    const auto below = s < p.S0;
    const unsigned belowBits = bits(below);
    constexpr unsigned kAll = (1u << V::kLanes) - 1u;
    V lnA3;
    if (belowBits == kAll) {
        lnA3 = p.lnG + p.e * logLoose(s / p.S0);
    } else if (belowBits == 0) {
        lnA3 = -logLoose(exp(-s) + one);
    } else {
        lnA3 = select(below, p.lnG + p.e * logLoose(s / p.S0), -logLoose(exp(-s) + one));
    }
    const V t = tanhLoose(V::broadcast(4.0) * (p.xc16 + V::broadcast(C17) * v));
    const V B1 = (p.c14x1 - (p.xh - t) * (V::broadcast(C15) * v)) /
                 (exp(V::broadcast(0.34) * (v - V::broadcast(C18))) + one);
    const V y = v / p.V0 + one;
    const V x = y - one;
    const V V2 = select(y < V::broadcast(C19), x * x * x * p.b + V::broadcast(kV2Offset), y);
    const V B2 = exp(-V2) * (p.D2 * V2 - p.D1);
    const V base = B2 * p.cos2 + (B1 * p.cos1 + one);
    const V lnSigma = (p.A1 * v + p.A0) * V::broadcast(kLn10) + p.gamma * lnA3 +
                      V::broadcast(kFinalExponent) * logLoose(base);
    return lnSigma * V::broadcast(10.0 / kLn10) - p.sigma0;
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
template <class V>
int crossingIndex(double a, double fa, double b, double fb) {
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
    if (j == 0) return crossingIndex<V>(a, fa, u[0], g[0]);
    if (j == kGuessPoints) return crossingIndex<V>(u[kGuessPoints - 1], g[kGuessPoints - 1], b, fb);
    return crossingIndex<V>(u[j - 1], g[j - 1], u[j], g[j]);
}

// ---------------------------------------------------------------------------
// The search from a guess. The kGuessWindow candidates from the guess minus
// kGuessBefore on are decided one by one (by their own bounds, or evaluated
// where these leave any doubt); the candidates before them are covered by
// kSplit consecutive blocks, the nearest ones the shortest, and bounded
// together. Every block whose bound does not exclude it is searched, in order,
// before the window's answer is taken; when the window holds no qualifying
// candidate the search goes on after it. So a wrong guess costs time only.

inline constexpr int kGuessWindow = 8;
inline constexpr int kGuessBefore = 4;
// Size of the block nearest to the window; each further one is twice as long,
// the first block takes what remains.
inline constexpr int kNearestBlock = 3;

// First qualifying candidate among start .. start + kGuessWindow - 1 (all on
// the ladder), -1 when none. A candidate is taken from its bounds when every
// one before it in the window is excluded by them and its lower bound clears
// the observation; otherwise the vector is evaluated.
template <class V>
int scanWindow(const Pixel<V>& p, int start) {
    for (int i = start; i < start + kGuessWindow; i += V::kLanes) {
        V lnLow, lnHigh;
        lnSigmaRange(p, ladderSpeeds<V>(i), lnLow, lnHigh);
        const unsigned open = ~bits(lnHigh < p.lnThreshold) & ((1u << V::kLanes) - 1u);
        if (open == 0) continue;
        const int k = __builtin_ctz(open);
        if (((bits(p.lnThresholdUp < lnLow) >> k) & 1u) != 0) return i + k;
        const unsigned q = qualifyingLanes(p, i);
        if (q != 0) return i + __builtin_ctz(q);
    }
    return -1;
}

// The low end of a block that starts after candidate last.
template <class V>
LowEnd lowEndAfter(const Pixel<V>& p, int last) {
    const V v = V::broadcast(static_cast<double>(last) * kSpeedStep);
    alignas(64) double unused[3][V::kLanes];
    LowEnd low = rootLowEnd(p);
    lnSigmaUpper(p, v, v, low, unused[0], unused[1], unused[2]);
    return low;
}

template <class V>
int searchFromGuess(const Pixel<V>& p, int guess) {
    if (guess < 0) guess = 0;
    if (guess > kLadderLast + 1) guess = kLadderLast + 1;
    int start = guess - kGuessBefore;
    if (start > kLadderLast + 1 - kGuessWindow) start = kLadderLast + 1 - kGuessWindow;
    if (start < 0) start = 0;
    if (start > 0) {
        // Blocks lo[k] .. hi[k]; empty ones (at the left) hold speed 0 alone and
        // are not searched.
        alignas(64) double va[kSplit];
        alignas(64) double vb[kSplit];
        int lo[kSplit], hi[kSplit];
        int end = start - 1, size = kNearestBlock;
        for (int k = kSplit - 1; k >= 0; --k) {
            hi[k] = end;
            lo[k] = k == 0 || end - size + 1 < 0 ? 0 : end - size + 1;
            if (end < 0) lo[k] = 0;
            va[k] = static_cast<double>(end < 0 ? 0 : lo[k]) * kSpeedStep;
            vb[k] = static_cast<double>(end < 0 ? 0 : end) * kSpeedStep;
            end = lo[k] - 1;
            size += size;
        }
        alignas(64) double lowTanh[kSplit];
        alignas(64) double lowExp[kSplit];
        alignas(64) double lowExpV2[kSplit];
        LowEnd low = rootLowEnd(p);
        unsigned skip = 0;
        for (int k = 0; k < kSplit; k += V::kLanes) {
            const V lnS = lnSigmaUpper(p, V::load(va + k), V::load(vb + k), low, lowTanh + k, lowExp + k,
                                       lowExpV2 + k);
            skip |= bits(lnS < p.lnThreshold) << k;
        }
        for (int k = 0; k < kSplit; ++k) {
            if (hi[k] < 0 || ((skip >> k) & 1u) != 0) continue;
            const int found = findFirst(p, lo[k], hi[k], LowEnd{lowTanh[k], lowExp[k], lowExpV2[k]});
            if (found >= 0) return found;
        }
    }
    const int found = scanWindow(p, start);
    if (found >= 0) return found;
    const int next = start + kGuessWindow;
    if (next > kLadderLast) return -1;
    return findFirst(p, next, kLadderLast, lowEndAfter(p, next - 1));
}

// Prepares the pixel; returns false when the answer is known without any
// candidate: every modelled value is NaN, or the observation is NaN or +inf.
template <class V>
bool preparePixel(Pixel<V>& p, double wind_dir, double inc_angle, double sigma0) {
    if (!(sigma0 < kInf)) return false;
    const Geometry geo = sleefGeometry(wind_dir, inc_angle, V::kFma);
    // NaN A0 makes 10^(A1 v + A0) NaN, a NaN cosine the base of the final
    // power: every modelled value is NaN then.
    if (geo.A0 != geo.A0 || geo.cos1 != geo.cos1 || geo.cos2 != geo.cos2) return false;
    setupPixel(p, geo, sigma0);
    return true;
}

template <class V>
double speedOf(int index) {
    return index < 0 ? kFallbackSpeed : static_cast<double>(index) * kSpeedStep;
}

template <class V>
double windspeedSearch(double wind_dir, double inc_angle, double sigma0) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0)) return kFallbackSpeed;
    const int found =
        p.boundsUsable ? searchFromGuess(p, guessIndex(p)) : scanRange(p, 0, kLadderLast);
    return speedOf<V>(found);
}

// The search started from a given guess, right or wrong; the same answer.
template <class V>
double windspeedSearchFrom(double wind_dir, double inc_angle, double sigma0, int guess) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0)) return kFallbackSpeed;
    const int found = p.boundsUsable ? searchFromGuess(p, guess) : scanRange(p, 0, kLadderLast);
    return speedOf<V>(found);
}

// The search's guess for a pixel (-1 when it makes none).
template <class V>
int guessAt(double wind_dir, double inc_angle, double sigma0) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0) || !p.boundsUsable) return -1;
    return guessIndex(p);
}

template <class V>
double windspeedScan(double wind_dir, double inc_angle, double sigma0) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0)) return kFallbackSpeed;
    return speedOf<V>(scanRange(p, 0, kLadderLast));
}

template <class V>
void modelDbAt(double wind_dir, double inc_angle, const int* index, double* out, int n) {
    Pixel<V> p;
    setupPixel(p, sleefGeometry(wind_dir, inc_angle, V::kFma), 0.0);
    alignas(64) double v[V::kLanes];
    alignas(64) double r[V::kLanes];
    for (int i = 0; i < n; i += V::kLanes) {
        for (int k = 0; k < V::kLanes; ++k) {
            v[k] = static_cast<double>(i + k < n ? index[i + k] : 0) * kSpeedStep;
        }
        store(r, modelDb(p, V::load(v)));
        for (int k = 0; k < V::kLanes && i + k < n; ++k) out[i + k] = r[k];
    }
}

// The bound of the block lo .. hi as the search computes it: lane 0 bounds the
// candidate before the block (or speed 0), which gives lane 1 its low end.
template <class V>
double blockUpperDb(double wind_dir, double inc_angle, int lo, int hi) {
    Pixel<V> p;
    setupPixel(p, sleefGeometry(wind_dir, inc_angle, V::kFma), 0.0);
    if (!p.boundsUsable) return __builtin_nan("");
    const double before = static_cast<double>(lo > 0 ? lo - 1 : 0) * kSpeedStep;
    alignas(64) double va[V::kLanes];
    alignas(64) double vb[V::kLanes];
    for (int k = 0; k < V::kLanes; ++k) {
        va[k] = k == 0 ? before : static_cast<double>(lo) * kSpeedStep;
        vb[k] = k == 0 ? before : static_cast<double>(hi) * kSpeedStep;
    }
    LowEnd low = rootLowEnd(p);
    alignas(64) double lows[3][V::kLanes];
    alignas(64) double r[V::kLanes];
    store(r, lnSigmaUpper(p, V::load(va), V::load(vb), low, lows[0], lows[1], lows[2]));
    return r[1] * (10.0 / kLn10);
}

// The bounds, in dB, that the search puts on the modelled values at the
// candidates index[0..n); -inf and +inf where it has none.
template <class V>
void candidateRangeDbAt(double wind_dir, double inc_angle, const int* index, double* low, double* high,
                        int n) {
    Pixel<V> p;
    setupPixel(p, sleefGeometry(wind_dir, inc_angle, V::kFma), 0.0);
    alignas(64) double v[V::kLanes];
    alignas(64) double lo[V::kLanes];
    alignas(64) double hi[V::kLanes];
    for (int i = 0; i < n; i += V::kLanes) {
        for (int k = 0; k < V::kLanes; ++k) {
            v[k] = static_cast<double>(i + k < n ? index[i + k] : 0) * kSpeedStep;
        }
        V lnLow, lnHigh;
        lnSigmaRange(p, V::load(v), lnLow, lnHigh);
        store(lo, lnLow);
        store(hi, lnHigh);
        for (int k = 0; k < V::kLanes && i + k < n; ++k) {
            const bool usable = p.boundsUsable;
            low[i + k] = usable ? lo[k] * (10.0 / kLn10) : -kInf;
            high[i + k] = usable ? hi[k] * (10.0 / kLn10) : kInf;
        }
    }
}

template <class V>
constexpr SearchKernels makeSearchKernels(cpu::Isa isa) {
    return SearchKernels{isa,           V::kLanes,         &windspeedSearch<V>,
                         &windspeedScan<V>, &modelDbAt<V>, &blockUpperDb<V>,
                         &windspeedSearchFrom<V>, &guessAt<V>, &candidateRangeDbAt<V>};
}

}  // namespace quorvane::cmod5n::search
