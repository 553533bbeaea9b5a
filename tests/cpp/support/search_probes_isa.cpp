// The probe table of one instruction set, compiled once per set with its
// flags and QUORVANE_PROBE_ISA set to its simd::Isa value.
#if QUORVANE_PROBE_ISA == 0
#include "simd/sse2.hpp"
#define QUORVANE_PROBE_VEC simd::sse2::Vec
#define QUORVANE_PROBE_TABLE kSearchProbesSse2
#define QUORVANE_KERNEL_TABLE kSearchKernelsSse2
#elif QUORVANE_PROBE_ISA == 1
#include "simd/avx2.hpp"
#define QUORVANE_PROBE_VEC simd::avx2::Vec
#define QUORVANE_PROBE_TABLE kSearchProbesAvx2
#define QUORVANE_KERNEL_TABLE kSearchKernelsAvx2
#elif QUORVANE_PROBE_ISA == 2
#include "simd/avx512.hpp"
#define QUORVANE_PROBE_VEC simd::avx512::Vec
#define QUORVANE_PROBE_TABLE kSearchProbesAvx512
#define QUORVANE_KERNEL_TABLE kSearchKernelsAvx512
#else
#error "QUORVANE_PROBE_ISA must be 0 (sse2), 1 (avx2) or 2 (avx512)"
#endif

#include "cmod5n/cmod5n_batch.hpp"
#include "cmod5n/cmod5n_bounds_block.hpp"
#include "cmod5n/cmod5n_bounds_candidate.hpp"
#include "cmod5n/cmod5n_bounds_slope.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_search.hpp"
#include "simd/fast_math.hpp"
#include "tests/cpp/support/search_probes.hpp"

namespace quorvane::cmod5n {
namespace {

template <class V>
double windspeedScan(double wind_dir, double inc_angle, double sigma0) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0)) return kFallbackSpeed;
    return speedOf(scanRange(p, 0, kLadderLast));
}

// The search started from a given guess, right or wrong; the same answer.
template <class V>
double windspeedSearchFrom(double wind_dir, double inc_angle, double sigma0, int guess) {
    return searchPixel<V>(wind_dir, inc_angle, sigma0, [guess](const Pixel<V>&) { return guess; });
}

// The search's guess for a pixel (-1 when it makes none).
template <class V>
int guessAt(double wind_dir, double inc_angle, double sigma0) {
    Pixel<V> p;
    if (!preparePixel(p, wind_dir, inc_angle, sigma0) || !p.boundsUsable) return -1;
    return guessOf(p);
}

template <class V>
void modelDbAt(double wind_dir, double inc_angle, const int* index, double* out, int n) {
    const Pixel<V> p = pixelAt<V>(wind_dir, inc_angle);
    alignas(64) double r[V::kLanes];
    for (int i = 0; i < n; i += V::kLanes) {
        store(r, modelDb(p, candidateSpeeds<V>(index, i, n)));
        for (int k = 0; k < V::kLanes && i + k < n; ++k) out[i + k] = r[k];
    }
}

// The bound of the block lo .. hi as the search computes it: lane 0 bounds the
// candidate before the block (or speed 0), which gives lane 1 its low end.
template <class V>
double blockUpperDb(double wind_dir, double inc_angle, int lo, int hi) {
    const Pixel<V> p = pixelAt<V>(wind_dir, inc_angle);
    if (!p.boundsUsable) return __builtin_nan("");
    const double before = candidateSpeed(lo > 0 ? lo - 1 : 0);
    alignas(64) double va[V::kLanes];
    alignas(64) double vb[V::kLanes];
    for (int k = 0; k < V::kLanes; ++k) {
        va[k] = k == 0 ? before : candidateSpeed(lo);
        vb[k] = k == 0 ? before : candidateSpeed(hi);
    }
    LowEnd low = rootLowEnd(p);
    alignas(64) double lows[2][V::kLanes];
    alignas(64) double r[V::kLanes];
    store(r, dbFromLn(lnSigmaUpper(p, V::load(va), V::load(vb), low, lows[0], lows[1])));
    return r[1];
}

// The bound of the block lo .. hi from its last candidate's upper bound and
// the model's slope, as the many-pixel search computes it, with the low ends
// at the candidate before lo (at speed 0 for lo = 0); NaN for geometries it
// does not bound so.
template <class V>
double slopedUpperDb(double wind_dir, double inc_angle, int lo, int hi) {
    const Geometry geo = sleefGeometry(wind_dir, inc_angle, V::kFma);
    if (!boundsHandle(geo) || !(geo.gamma > 0.0)) return __builtin_nan("");
    Pixel<V> p;
    setupPixel(p, geo, 0.0);
    const LaneEnds<V> low = laneEndsAt(p, V::broadcast(candidateSpeed(lo > 0 ? lo - 1 : 0)));
    const V last = V::broadcast(candidateSpeed(hi));
    V lnLow, lnHigh;
    lnSigmaRange(p, last, lnLow, lnHigh);
    return firstLane(dbFromLn(lnSigmaUpperSloped(p, V::broadcast(candidateSpeed(lo)), last, last, lnHigh, low)));
}

template <class V>
double zeroUpperDb(double wind_dir, double inc_angle, int hi) {
    const Geometry geo = sleefGeometry(wind_dir, inc_angle, V::kFma);
    if (!boundsHandle(geo) || !(geo.gamma > 0.0)) return __builtin_nan("");
    Pixel<V> p;
    setupPixel(p, geo, 0.0);
    return firstLane(dbFromLn(lnSigmaUpperFromZero(p, V::broadcast(candidateSpeed(hi)))));
}

// The bounds, in dB, that the search puts on the modelled values at the
// candidates index[0..n); -inf and +inf where it has none.
template <class V>
void candidateRangeDbAt(double wind_dir, double inc_angle, const int* index, double* low, double* high,
                        int n) {
    const Pixel<V> p = pixelAt<V>(wind_dir, inc_angle);
    alignas(64) double lo[V::kLanes];
    alignas(64) double hi[V::kLanes];
    for (int i = 0; i < n; i += V::kLanes) {
        V lnLow, lnHigh;
        lnSigmaRange(p, candidateSpeeds<V>(index, i, n), lnLow, lnHigh);
        store(lo, dbFromLn(lnLow));
        store(hi, dbFromLn(lnHigh));
        for (int k = 0; k < V::kLanes && i + k < n; ++k) {
            low[i + k] = p.boundsUsable ? lo[k] : -kInf;
            high[i + k] = p.boundsUsable ? hi[k] : kInf;
        }
    }
}

// f over x[0..n), a vector at a time.
template <class V, V (*f)(V)>
void overLanes(const double* x, double* out, int n) {
    alignas(64) double in[V::kLanes];
    alignas(64) double r[V::kLanes];
    for (int i = 0; i < n; i += V::kLanes) {
        for (int k = 0; k < V::kLanes; ++k) in[k] = i + k < n ? x[i + k] : 1.0;
        store(r, f(V::load(in)));
        for (int k = 0; k < V::kLanes && i + k < n; ++k) out[i + k] = r[k];
    }
}

}  // namespace
}  // namespace quorvane::cmod5n

namespace quorvane::support {

using Vec = QUORVANE_PROBE_VEC;

constinit const SearchProbes QUORVANE_PROBE_TABLE = {static_cast<simd::Isa>(QUORVANE_PROBE_ISA),
                                                     &cmod5n::QUORVANE_KERNEL_TABLE,
                                                     &cmod5n::searchManyFrom<Vec>,
                                                     &cmod5n::windspeedScan<Vec>,
                                                     &cmod5n::modelDbAt<Vec>,
                                                     &cmod5n::blockUpperDb<Vec>,
                                                     &cmod5n::slopedUpperDb<Vec>,
                                                     &cmod5n::zeroUpperDb<Vec>,
                                                     &cmod5n::windspeedSearchFrom<Vec>,
                                                     &cmod5n::guessAt<Vec>,
                                                     &cmod5n::candidateRangeDbAt<Vec>,
                                                     &cmod5n::overLanes<Vec, simd::logFast<Vec>>,
                                                     &cmod5n::overLanes<Vec, simd::expFast<Vec>>,
                                                     &cmod5n::overLanes<Vec, simd::logRough<Vec>>,
                                                     &cmod5n::overLanes<Vec, simd::expRough<Vec>>};

}  // namespace quorvane::support
