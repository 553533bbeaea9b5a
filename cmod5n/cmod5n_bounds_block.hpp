// Upper bound of ln(linear modelled sigma0) over a block of consecutive
// candidates, and the low ends the search carries from block to block. The
// rules that make a bound hold for computed values: cmod5n_bounds_terms.hpp.
#pragma once

#include "cmod5n/cmod5n_bounds_terms.hpp"

namespace quorvane::cmod5n {
namespace {

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

// The terms of the base of the final power over a block [va, vb], from upper
// bounds of t and exp(0.34 (v - C18)) at vb (tHigh, dHigh: at least the
// computed and the exact values there), their low ends and V2's range.
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
BaseTerms<V> baseTerms(const Pixel<V>& p, V va, V vb, Range<V> V2, V tHigh, V dHigh, const LaneEnds<V>& low) {
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    BaseTerms<V> r;
    // B1 = (C14 (X + 1) - ((X + 0.5) - t) (C15 v)) / (exp(0.34 (v - C18)) + 1).
    r.t = {low.tanhDown, tHigh};
    const V ml = p.xh - r.t.hi, mh = p.xh - r.t.lo;
    const V ql = V::broadcast(C15) * va, qh = V::broadcast(C15) * vb;  // >= 0
    const V prodLo = minv(ml * ql, ml * qh);
    const V prodHi = maxv(mh * ql, mh * qh);
    r.num = {p.c14x1 - prodHi, p.c14x1 - prodLo};
    r.den = {low.expDown + one, dHigh + one};
    r.B1 = {r.num.lo / select(r.num.lo >= zero, r.den.hi, r.den.lo),
            r.num.hi / select(r.num.hi >= zero, r.den.lo, r.den.hi)};
    r.expV2 = expOfMinus(V2);
    r.B2 = b2Range(p, V2, r.expV2);
    return r;
}

// The upper bound of ln sigma = ln 10^w + gamma ln A3 + 1.6 ln base from upper
// bounds of its terms: lnP10 of w ln 10, lnA3g of gamma ln A3, and baseHi of
// the base.
template <class V>
V lnSigmaUpperOf(V lnP10, V lnA3g, V baseHi) {
    const V minusInf = V::broadcast(-kInf);
    const V lnP = lnPowerUp(V::broadcast(kFinalExponent), simd::logFast(baseHi));

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
    const V dRaw = boundExp(decayArgument(vb));
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
            l1 = lnPowerUp(p.e, simd::logFast(q)) + p.lnG;
        }
        if (bits(has2) != 0) l2 = up(simd::logFast(logisticFromExp(maxv(down(boundExp(-sh)), zero))));
        lnA3 = select(has1 & has2, maxv(l1, l2), select(has1, l1, l2));
    } else {
        // Lower bound of ln A3; candidates above S0 have s >= max(sl, S0).
        if (bits(has1) != 0) l1 = lnPowerDown(p.e, simd::logFast(sl / p.S0)) + p.lnG;
        if (bits(has2) != 0) l2 = down(simd::logFast(logisticFromExp(up(boundExp(-maxv(sl, p.S0))))));
        lnA3 = select(has1 & has2, minv(l1, l2), select(has1, l1, l2));
    }
    const V lnA3g = up(p.gamma * lnA3);

    // 10^(A1 v + A0): A1 may have either sign.
    const V wh = maxv(p.A1 * va, p.A1 * vb) + p.A0;
    const V lnP10 = up(wh * V::broadcast(kLn10));

    const BaseTerms<V> terms = baseTerms(p, va, vb, V2, up(tRaw), up(dRaw), low);
    const Range<V>& B1 = terms.B1;
    const Range<V>& B2 = terms.B2;

    // Upper end of the base B2 cos2 + (B1 cos1 + 1), for cosines of any sign.
    const V baseHi = scaled(B2, p.cos2).hi + (scaled(B1, p.cos1).hi + one);
    return lnSigmaUpperOf(lnP10, lnA3g, baseHi);
}

// Upper bound of ln(linear modelled sigma0) over the speeds [0, vb] per lane,
// for gamma > 0 only: looser than lnSigmaUpperWith over the same block and
// much cheaper (no tanh, no exp of the block's ends but the logistic's).
// 10^(A1 v + A0) and A3 as there; the base from bounds of its terms that hold
// at every speed of the ladder:
//  - B2 for every V2 in [a, 1000], by b2Range from its values at both ends:
//    the computed V2 is at least a (the cube, (y - 1)^3 with y >= 1, is at
//    least 0, and b > 0) and below 6 (V2 = y = v / V0 + 1 from C19 on, and
//    V0 > 6.25 at every incidence); exp(-a) is a constant (the model's exp,
//    worked out once) and exp(-1000) is 0.
//  - B1 = num / den with t in [t(0), 1] (t increases with v; the computed
//    tanh is at most 1) in num as baseTerms takes it, and den >= 1 (the
//    computed exp is at least 0): B1 between min(num low, 0) and
//    max(num high, 0), for either sign of num.
template <class V>
V lnSigmaUpperFromZero(const Pixel<V>& p, V vb) {
    static const double expMinusA = firstLane(exp(V::broadcast(-kV2Offset)));
    const V one = V::broadcast(1.0);
    const V zero = V::broadcast(0.0);
    const V minusInf = V::broadcast(-kInf);

    // Upper bound of ln A3 over s in [0, sh], as lnSigmaUpperWith for
    // gamma >= 0 with sl = A2 0 = 0.
    const V sl = a3Argument(p, zero);
    const V sh = a3Argument(p, vb);
    const auto has1 = sl < p.S0;
    const auto has2 = sh >= p.S0;
    V l1 = minusInf, l2 = minusInf;
    if (bits(has1) != 0) {
        const V q = maxv(minv(sh / p.S0, one), V::broadcast(1e-300));
        l1 = lnPowerUp(p.e, simd::logFast(q)) + p.lnG;
    }
    if (bits(has2) != 0) l2 = up(simd::logFast(logisticFromExp(maxv(down(boundExp(-sh)), zero))));
    const V lnA3 = select(has1 & has2, maxv(l1, l2), select(has1, l1, l2));
    const V lnA3g = up(p.gamma * lnA3);

    const V wh = maxv(p.A1 * zero, p.A1 * vb) + p.A0;
    const V lnP10 = up(wh * V::broadcast(kLn10));

    const Range<V> B2 = b2Range(p, Range<V>{V::broadcast(kV2Offset), V::broadcast(1000.0)},
                                Range<V>{zero, V::broadcast(expMinusA)});
    // num = C14 (X + 1) - ((X + 0.5) - t) (C15 v), t in [t(0), 1], C15 v in
    // [0, C15 vb].
    const V ml = p.xh - up(one), mh = p.xh - p.rootTanhDown;
    const V ql = V::broadcast(C15) * zero, qh = V::broadcast(C15) * vb;
    const V numLo = p.c14x1 - maxv(mh * ql, mh * qh);
    const V numHi = p.c14x1 - minv(ml * ql, ml * qh);
    const Range<V> B1{minv(numLo, zero), maxv(numHi, zero)};
    const V baseHi = scaled(B2, p.cos2).hi + (scaled(B1, p.cos1).hi + one);
    return lnSigmaUpperOf(lnP10, lnA3g, baseHi);
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
    return LaneEnds<V>{down(tanhLoose(tanhArgument(p, v))), maxv(down(boundExp(decayArgument(v))), V::broadcast(0.0))};
}

// The low end of a block that starts after candidate last.
template <class V>
LowEnd lowEndAfter(const Pixel<V>& p, int last) {
    const LaneEnds<V> ends = laneEndsAt(p, V::broadcast(candidateSpeed(last)));
    return LowEnd{firstLane(ends.tanhDown), firstLane(ends.expDown)};
}

}  // namespace
}  // namespace quorvane::cmod5n
