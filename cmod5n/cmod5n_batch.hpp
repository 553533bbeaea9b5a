// The exact search over many pixels, one pixel per vector lane, generic over
// a vector type, in an unnamed namespace like cmod5n_vector_model.hpp. This
// is what the grid runs.
//
// Each lane guesses its answer g (cmod5n_guess.hpp; two vectors of pixels at
// once on float lanes where the instruction set has them) and then proves it with
// bounds computed for all lanes at once (provedAnswers): the candidates before
// g - 1 lie below the observation by a block bound and a mean-value bound from
// the model's slope, and candidates g - 1, g and g + 1 are decided in order by
// their own bounds, or by the model itself where an observation lies within
// the bounds' margin of a modelled value. The bounds (cmod5n_bounds_*.hpp) hold
// for the computed model values and every operation on them is lane by lane;
// so a lane's proved answer is the first qualifying candidate, exactly as the
// in-order scan finds it. Any other lane (a guess off by more than one, a
// model that does not provably rise, an observation of -inf, a geometry the
// bounds do not handle or with gamma <= 0) gets the pruned search of its own
// pixel (cmod5n_search.hpp).
#pragma once

#include <cstdint>

#include "cmod5n/cmod5n_bounds_candidate.hpp"
#include "cmod5n/cmod5n_bounds_slope.hpp"
#include "cmod5n/cmod5n_guess.hpp"
#include "cmod5n/cmod5n_search.hpp"
#include "cmod5n/cmod5n_vector_model.hpp"

namespace quorvane::cmod5n {
namespace {

// The first block of the prefix ends at kFarShare tenths of the guess.
inline constexpr int kFarShare = 7;

// Whether the proof bounds the block from speed 0 cheaply first: AVX2 and
// AVX-512 (the sets with float lanes), one vector or two taken as one.
template <class V>
inline constexpr bool kCheapFarBound = HasFloatLanes<V>;
template <class V>
inline constexpr bool kCheapFarBound<simd::Pair<V>> = HasFloatLanes<V>;

// Where a candidate stands against the observation, per lane: proved to
// qualify (up), proved not to (down), or neither.
struct Standing {
    unsigned up, down;
};

// Candidates at the speeds v, given their bounds lnLow, lnHigh: the bounds
// decide, and where they leave doubt for a lane in need (an observation
// within the bounds' margin of the modelled value: a near tie) the model
// itself, evaluated for all lanes at once. A NaN difference does not qualify,
// as in the scan.
template <class V>
Standing standingFrom(const Pixel<V>& p, V v, V lnLow, V lnHigh, unsigned need) {
    Standing s{bits(p.lnThresholdUp < lnLow), bits(lnHigh < p.lnThreshold)};
    if ((need & ~s.up & ~s.down) != 0) {
        const unsigned reached = bits(modelDb(p, v) - p.sigma0 >= V::broadcast(0.0));
        s.up |= reached;
        s.down |= ~reached;
    }
    return s;
}

template <class V>
Standing standing(const Pixel<V>& p, V v, unsigned need) {
    V lnLow, lnHigh;
    lnSigmaRange(p, v, lnLow, lnHigh);
    return standingFrom(p, v, lnLow, lnHigh, need);
}

// The answer of each lane whose guess g is near enough to prove it: g - 1,
// g or g + 1 (kLadderLast + 1 for none qualifying), or -1 where it is not
// proved. The candidates before g - 1 are covered by the block 0 .. m (m at
// most 7/10 g), bounded by lnSigmaUpperFromZero or lnSigmaUpperWith, and the
// block m + 1 .. g - 2,
// bounded from candidate g - 1's upper bound and the model's slope
// (lnSigmaUpperSloped), which stays tight up to the observation where the
// model rises. Then g - 1, g and, if need be, g + 1 are taken in order, each
// by standing(). A guess of kLadderLast + 1 stands for no candidate
// qualifying: all are then proved below.
template <class V>
[[gnu::flatten]] void provedAnswers(const Pixel<V>& p, const int* guess, unsigned lanes, int* answer) {
    constexpr int kLanes = V::kLanes;
    alignas(64) double farEnd[kLanes], nearStart[kLanes], nearEnd[kLanes], before[kLanes], at[kLanes],
        after[kLanes];
    unsigned needFar = 0, needNear = 0, needBefore = 0, onLadder = 0, afterOnLadder = 0;
    for (int k = 0; k < kLanes; ++k) {
        const int g = guess[k];
        const int share = g * kFarShare / 10;
        const int m = share < g - 2 ? share : g - 2;
        // Unneeded blocks and candidates collapse to a speed of the ladder;
        // their bounds are not used.
        farEnd[k] = candidateSpeed(m > 0 ? m : 0);
        nearStart[k] = candidateSpeed(m + 1 < g - 1 ? m + 1 : 0);
        nearEnd[k] = candidateSpeed(m + 1 < g - 1 ? g - 2 : 0);
        before[k] = candidateSpeed(g > 0 ? g - 1 : 0);
        at[k] = candidateSpeed(g <= kLadderLast ? g : 0);
        after[k] = candidateSpeed(g < kLadderLast ? g + 1 : 0);
        needFar |= static_cast<unsigned>(m >= 0) << k;
        needNear |= static_cast<unsigned>(m + 1 < g - 1) << k;
        needBefore |= static_cast<unsigned>(g > 0) << k;
        onLadder |= static_cast<unsigned>(g <= kLadderLast) << k;
        afterOnLadder |= static_cast<unsigned>(g < kLadderLast) << k;
    }
    const V zero = V::broadcast(0.0);
    // The block from speed 0. With float lanes (AVX2, AVX-512) the cheap
    // bound from speed 0 first and the block's own bound only where that does
    // not lie below the observation; the near block's low ends are then those
    // at speed 0. SSE2 takes the block's own bound, and the near block its
    // low ends at the block's end.
    const V vFar = V::load(farEnd);
    unsigned farBelow = 0;
    if constexpr (kCheapFarBound<V>) farBelow = bits(lnSigmaUpperFromZero(p, vFar) < p.lnThreshold);
    LaneEnds<V> farEnds = rootLaneEnds(p);
    if (!kCheapFarBound<V> || (lanes & needFar & ~farBelow) != 0) {
        LaneEnds<V> ends;
        const V farBound = lnSigmaUpperWith(
            p, zero, vFar, [&](const LaneEnds<V>&) { return rootLaneEnds(p); }, ends);
        farBelow |= bits(farBound < p.lnThreshold);
        if constexpr (!kCheapFarBound<V>) farEnds = ends;
    }
    // tanh and exp at candidate g - 1 serve both bounds that need them.
    V beforeLow, beforeHigh;
    const V vBefore = V::load(before);
    const Range<V> tBefore = tanhRange(tanhArgument(p, vBefore));
    const Range<V> decayBefore = decayRange(decayArgument(vBefore));
    lnSigmaRange(p, vBefore, tBefore, decayBefore, beforeLow, beforeHigh);
    // With SLEEF the ranges are the model's values, widened here.
    const V tHigh = kInlineBounds<V> ? tBefore.hi : up(tBefore.hi);
    const V decayHigh = kInlineBounds<V> ? decayBefore.hi : up(decayBefore.hi);
    const V nearBound = lnSigmaUpperSloped(p, V::load(nearStart), V::load(nearEnd), vBefore, beforeHigh, farEnds,
                                           tHigh, decayHigh);
    const unsigned prefix = lanes & (farBelow | ~needFar) &
                            (bits(nearBound < p.lnThreshold) | ~needNear);

    // Candidate g - 1 (none before candidate 0).
    Standing b = standingFrom(p, vBefore, beforeLow, beforeHigh, prefix & needBefore);
    b.up &= needBefore;
    b.down |= ~needBefore;
    // Candidate g (past the ladder: none qualifies).
    const unsigned toAt = prefix & b.down;
    Standing a{~onLadder, 0};
    if ((toAt & onLadder) != 0) {
        const Standing s = standing(p, V::load(at), toAt & onLadder);
        a.up |= s.up & onLadder;
        a.down |= s.down & onLadder;
    }
    // Candidate g + 1 (past the ladder: none qualifies).
    const unsigned toAfter = toAt & a.down;
    Standing c{~afterOnLadder, 0};
    if ((toAfter & afterOnLadder) != 0) {
        const Standing s = standing(p, V::load(after), toAfter & afterOnLadder);
        c.up |= s.up & afterOnLadder;
    }
    for (int k = 0; k < kLanes; ++k) {
        const unsigned bit = 1u << k;
        answer[k] = (prefix & b.up & bit) != 0      ? guess[k] - 1
                    : (toAt & a.up & bit) != 0      ? guess[k]
                    : (toAfter & c.up & bit) != 0   ? guess[k] + 1
                                                    : -1;
    }
}

// The geometry of each lane's pixel, as sleefGeometry computes it.
template <class V>
GeometryOf<V> laneGeometry(V wind_dir, V inc_angle) {
    static const double b = sleefGeometry(0.0, 0.0, V::kFma).b;
    const V floor = V::broadcast(kIncidenceFloor);
    // As incidenceUsed: NaN fails the comparison and is kept.
    const V theta = select(inc_angle <= floor, floor, inc_angle);
    return geometryAt<LaneMath<V>>(wind_dir, theta, V::broadcast(b));
}

// kLanes pixels of the search: their inputs (lanes past n repeat the first
// pixel; their results are not used), the lanes the bounds handle and, when
// there are any, the pixel terms.
template <class V>
struct LaneBatch {
    alignas(64) double dir[V::kLanes], inc[V::kLanes], obs[V::kLanes];
    int n = 0;
    unsigned usable = 0;
    Pixel<V> p;
};

// Loads n pixels (0 < n <= kLanes) into b: the lanes the bounds handle with
// gamma > 0 and an observation below +inf are usable; the others get the
// pixel search (which knows the answer at once where every modelled value is
// NaN or the observation NaN or +inf).
template <class V>
void prepareLanes(LaneBatch<V>& b, const double* wind_dir, const double* inc_angle, const double* sigma0, int n) {
    constexpr int kLanes = V::kLanes;
    b.n = n;
    for (int k = 0; k < kLanes; ++k) {
        b.dir[k] = wind_dir[k < n ? k : 0];
        b.inc[k] = inc_angle[k < n ? k : 0];
        b.obs[k] = sigma0[k < n ? k : 0];
    }
    const V sig = V::load(b.obs);
    const GeometryOf<V> geo = laneGeometry(V::load(b.dir), V::load(b.inc));
    const unsigned lanes = (1u << n) - 1u;
    b.usable = bits(boundsHandle(geo) & (geo.gamma > 0.0) & (sig < kInf)) & lanes;
    if (b.usable != 0) {
        b.p.boundsUsable = true;
        setupLanes(b.p, geo, sig, true);
    }
}

// The speeds of b's pixels from the guesses g (each in 0 .. kLadderLast + 1):
// proved where the guess is near enough, else the pixel search (over V's
// lanes) from g (usable lanes, or any lane when the guesses were given) or
// from its own start.
template <class V, class W>
void finishLanes(const LaneBatch<W>& b, const int* g, bool given, double* out) {
    int answer[W::kLanes];
    for (int& a : answer) a = -1;
    if (b.usable != 0) provedAnswers(b.p, g, b.usable, answer);
    for (int k = 0; k < b.n; ++k) {
        if (answer[k] >= 0) {
            out[k] = answer[k] <= kLadderLast ? candidateSpeed(answer[k]) : kFallbackSpeed;
        } else if (((b.usable >> k) & 1u) != 0 || given) {
            const int from = g[k];
            out[k] = searchPixel<V>(b.dir[k], b.inc[k], b.obs[k], [from](const Pixel<V>&) { return from; });
        } else {
            out[k] = windspeedSearch<V>(b.dir[k], b.inc[k], b.obs[k]);
        }
    }
}

// The lanes of the many-pixel search: where V has float lanes, two vectors
// taken as one (simd/pair.hpp), whose proofs the processor overlaps and whose
// guesses fill one float vector; else V.
template <class V>
struct BatchLanes {
    using type = V;
};

template <HasFloatLanes V>
struct BatchLanes<V> {
    using type = simd::Pair<V>;
};

// The speeds of n <= kGuessLanes pixels; guess, when given, replaces the
// lanes' own guesses.
template <class V>
void searchLanes(const double* wind_dir, const double* inc_angle, const double* sigma0, const int* guess,
                 double* out, int n) {
    using W = typename BatchLanes<V>::type;
    static_assert(W::kLanes == kGuessLanes<V>);
    LaneBatch<W> b;
    prepareLanes(b, wind_dir, inc_angle, sigma0, n);
    int g[W::kLanes] = {};
    if (guess) {
        for (int k = 0; k < W::kLanes; ++k) {
            const int given = guess[k < n ? k : 0];
            g[k] = given < 0 ? 0 : given > kLadderLast + 1 ? kLadderLast + 1 : given;
        }
    } else if (b.usable != 0) {
        if constexpr (HasFloatLanes<V>) {
            guessLanes(b.p, g);
        } else {
            guessLanes(b.p, b.p, g);
        }
    }
    finishLanes<V>(b, g, guess != nullptr, out);
}

// searchLanes over n pixels, kGuessLanes at a time.
template <class V>
void searchManyFrom(const double* wind_dir, const double* inc_angle, const double* sigma0, const int* guess,
                    double* out, std::int64_t n) {
    constexpr int kStep = kGuessLanes<V>;
    for (std::int64_t i = 0; i < n; i += kStep) {
        const int m = n - i < kStep ? static_cast<int>(n - i) : kStep;
        searchLanes<V>(wind_dir + i, inc_angle + i, sigma0 + i, guess ? guess + i : nullptr, out + i, m);
    }
}

template <class V>
void searchMany(const double* wind_dir, const double* inc_angle, const double* sigma0, double* out,
                std::int64_t n) {
    searchManyFrom<V>(wind_dir, inc_angle, sigma0, nullptr, out, n);
}

}  // namespace
}  // namespace quorvane::cmod5n
