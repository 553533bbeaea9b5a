// The exact pruned search of the candidate ladder, generic over a vector type,
// in an unnamed namespace like cmod5n_vector_model.hpp.
//
// The search returns the first candidate whose modelled dB reaches the
// observation, as the in-order scan does: it visits blocks of candidates left
// to right and skips a block only when its upper bound (cmod5n_bounds_block.hpp)
// proves that no candidate in it qualifies. It starts near a first guess of
// the answer (cmod5n_guess.hpp) and proves the candidates before it away.
#pragma once

#include "cmod5n/cmod5n_bounds_block.hpp"
#include "cmod5n/cmod5n_bounds_candidate.hpp"
#include "cmod5n/cmod5n_guess.hpp"
#include "cmod5n/cmod5n_vector_model.hpp"

namespace quorvane::cmod5n {
namespace {

// Blocks of at most kLeaf candidates are scanned.
inline constexpr int kLeaf = 8;

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
    BlockLowEnds lows;
    const unsigned skip = excludedBlocks(
        p,
        [&](int k) {
            const V first = V::broadcast(static_cast<double>(lo + k * size)) + V::iota() * V::broadcast(size);
            const V last = minv(first + V::broadcast(size - 1), top);
            return Range<V>{minv(first, top) * step, last * step};
        },
        low, lows);
    unsigned open = ~skip & ((1u << parts) - 1u);
    while (open != 0) {
        const int k = __builtin_ctz(open);
        open &= open - 1;
        const int first = lo + k * size;
        const int found = findFirst(p, first, first + size - 1 < hi ? first + size - 1 : hi, lows.at(k));
        if (found >= 0) return found;
    }
    return -1;
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
            va[k] = candidateSpeed(end < 0 ? 0 : lo[k]);
            vb[k] = candidateSpeed(end < 0 ? 0 : end);
            end = lo[k] - 1;
            size += size;
        }
        BlockLowEnds lows;
        const unsigned skip = excludedBlocks(
            p, [&](int k) { return Range<V>{V::load(va + k), V::load(vb + k)}; }, rootLowEnd(p), lows);
        for (int k = 0; k < kSplit; ++k) {
            if (hi[k] < 0 || ((skip >> k) & 1u) != 0) continue;
            const int found = findFirst(p, lo[k], hi[k], lows.at(k));
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

// The speed of a pixel by the search started from guess(p), a ladder index
// (any int), or by the scan where the bounds do not apply.
template <class V, class Guess>
double searchPixel(double wind_dir, double inc_angle, double sigma0, Guess guess) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0)) return kFallbackSpeed;
    return speedOf(p.boundsUsable ? searchFromGuess(p, guess(p)) : scanRange(p, 0, kLadderLast));
}

template <class V>
double windspeedSearch(double wind_dir, double inc_angle, double sigma0) {
    return searchPixel<V>(wind_dir, inc_angle, sigma0, [](const Pixel<V>& p) { return guessOf(p); });
}

}  // namespace
}  // namespace quorvane::cmod5n
