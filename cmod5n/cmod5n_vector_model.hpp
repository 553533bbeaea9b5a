// The CMOD5.N model over vector lanes, generic over a vector type: one pixel's
// terms in every lane, the model's sub-expressions that the point evaluation,
// the bounds and the first guess share, and the point evaluation itself.
//
// Include only from the per-instruction-set kernel translation units, with V
// one of the simd/ vector types. Everything here, like everything in the
// headers built on it, lives in an unnamed namespace, so each of those units
// compiles its own copy with its own -m flags and no other unit can link to
// it. For the same reason this code calls no inline function with external
// linkage from other headers: if the compiler kept an out-of-line copy of one,
// built with this unit's flags, the linker could pick it for a caller built
// for plain x86-64. The symbol test of tests/cpp checks that the kernel units
// define nothing but their table.
//
// Point evaluations repeat the scalar model (cmod5n_model.hpp) operation by
// operation with the vector SLEEF functions, which return the same bits as the
// scalar ones, so a candidate's modelled dB is the same whichever lane, path
// or vector width computes it.
#pragma once

#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "simd/fast_math.hpp"

namespace quorvane::cmod5n {
namespace {

inline constexpr double kInf = __builtin_inf();
inline constexpr double kLn10 = 2.302585092994046;

// Relative and absolute widening of a library function's value at a bound
// (about 4000 ULP, and more than any error in the subnormal range).
inline constexpr double kRel = 0x1p-40;
inline constexpr double kTiny = 0x1p-1020;
// A block is skipped when its bound lies this far below the observation.
inline constexpr double kMarginDb = 1e-6;
inline constexpr double kMarginRel = 1e-12;

// Whether V has float lanes (V::Narrow), for the guess.
template <class V>
concept HasFloatLanes = requires { typename V::Narrow; };

// ---------------------------------------------------------------------------
// Lane helpers.

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

// The speed of ladder candidate i, as the scalar ladder computes it.
inline double candidateSpeed(int i) { return static_cast<double>(i) * kSpeedStep; }

// The speed a search result stands for: kFallbackSpeed when none qualifies.
inline double speedOf(int index) { return index < 0 ? kFallbackSpeed : candidateSpeed(index); }

// dB from the natural logarithm of a linear value.
template <class V>
V dbFromLn(V ln) {
    return ln * V::broadcast(10.0 / kLn10);
}

// Ladder speeds i * 0.01 for i = first, first + 1, ... across the lanes,
// computed like the scalar ladder.
template <class V>
V ladderSpeeds(int first) {
    return (V::broadcast(static_cast<double>(first)) + V::iota()) * V::broadcast(kSpeedStep);
}

// The speeds of the candidates index[i .. i + lanes) (candidate 0 past n).
template <class V>
V candidateSpeeds(const int* index, int i, int n) {
    alignas(64) double v[V::kLanes];
    for (int k = 0; k < V::kLanes; ++k) v[k] = candidateSpeed(i + k < n ? index[i + k] : 0);
    return V::load(v);
}

// The wrappers' cos and exp under names a policy's members do not hide.
template <class V>
V laneCos(V x) {
    return cos(x);
}

template <class V>
V laneExp(V x) {
    return exp(x);
}

// below ? whenBelow() : whenAbove() lane by lane, calling each only when a
// lane takes it: the model's branches at s = S0 cost a library call each.
template <class V, class M, class Below, class Above>
V byBranch(M below, Below whenBelow, Above whenAbove) {
    constexpr unsigned kAll = (1u << V::kLanes) - 1u;
    const unsigned belowBits = bits(below);
    if (belowBits == kAll) return whenBelow();
    if (belowBits == 0) return whenAbove();
    return select(below, whenBelow(), whenAbove());
}

// ---------------------------------------------------------------------------
// One pixel: its geometry terms in every lane, and what the bounds need.

template <class V>
struct Pixel : GeometryOf<V> {
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
    V rootTanhDown;         // at most t at speed 0
    V b2PeakAt;             // 1 + D1 / D2, where B2 peaks (rounded)
    V b2Peak;               // at least B2 there, D2 exp(-(1 + D1 / D2))
};

// The geometry terms, each as a double and over lanes.
template <class V>
struct GeometryTerm {
    V GeometryOf<V>::*lanes;
    double Geometry::*term;
};

template <class V>
inline constexpr GeometryTerm<V> kGeometryTerms[] = {
    {&GeometryOf<V>::X, &Geometry::X},         {&GeometryOf<V>::cos1, &Geometry::cos1},
    {&GeometryOf<V>::cos2, &Geometry::cos2},   {&GeometryOf<V>::A0, &Geometry::A0},
    {&GeometryOf<V>::A1, &Geometry::A1},       {&GeometryOf<V>::A2, &Geometry::A2},
    {&GeometryOf<V>::gamma, &Geometry::gamma}, {&GeometryOf<V>::S0, &Geometry::S0},
    {&GeometryOf<V>::V0, &Geometry::V0},       {&GeometryOf<V>::D1, &Geometry::D1},
    {&GeometryOf<V>::D2, &Geometry::D2},       {&GeometryOf<V>::b, &Geometry::b},
    {&GeometryOf<V>::g, &Geometry::g}};

// One geometry in every lane.
template <class V>
GeometryOf<V> broadcastGeometry(const Geometry& geo) {
    GeometryOf<V> lanes;
    for (const auto& t : kGeometryTerms<V>) lanes.*t.lanes = V::broadcast(geo.*t.term);
    return lanes;
}

// x - x is 0 for a finite x, NaN otherwise.
template <class T>
auto isFinite(T x) {
    return (x - x) <= 0.0;
}

// Whether the bounds handle a geometry (for T double) or which lanes they
// handle (a mask, for T a vector type): every term finite, s = A2 v and
// y = v / V0 + 1 must grow with v, b > 0 keeps the V2 branch increasing,
// gamma != 0 keeps gamma ln A3 free of 0 * inf, below S0 the power of s / S0
// must increase (e = (1 - g) S0, as the model computes it), and D1, D2 > 0
// give B2 its single peak.
template <class T>
auto boundsHandle(const GeometryOf<T>& geo) {
    const T e = (1.0 - geo.g) * geo.S0;
    auto finite = isFinite(e);
    static constexpr T GeometryOf<T>::*kTerms[] = {
        &GeometryOf<T>::X,  &GeometryOf<T>::cos1,  &GeometryOf<T>::cos2, &GeometryOf<T>::A0, &GeometryOf<T>::A1,
        &GeometryOf<T>::A2, &GeometryOf<T>::gamma, &GeometryOf<T>::S0,   &GeometryOf<T>::V0, &GeometryOf<T>::D1,
        &GeometryOf<T>::D2, &GeometryOf<T>::b,     &GeometryOf<T>::g};
    for (const auto term : kTerms) finite = finite & isFinite(geo.*term);
    return finite & (geo.A2 > 0.0) & (geo.V0 > 0.0) & (geo.b > 0.0) & ((geo.gamma > 0.0) | (geo.gamma < 0.0)) &
           (geo.D1 > 0.0) & (geo.D2 > 0.0) & ((geo.S0 <= 0.0) | ((e > 0.0) & (geo.g > 0.0)));
}

// Fills p from the geometry of each lane and its observation. The derived
// terms are computed lane by lane with the same operations as the scalar
// model, hence the same doubles. lnG is widened for gamma >= 0 when
// gammaNonNegative, else for gamma < 0; the caller sets boundsUsable and
// gammaNonNegative for what the lanes hold.
template <class V>
void setupLanes(Pixel<V>& p, const GeometryOf<V>& geo, V sigma0, bool gammaNonNegative) {
    static_cast<GeometryOf<V>&>(p) = geo;
    const V one = V::broadcast(1.0);
    p.e = (one - p.g) * p.S0;
    p.c14x1 = V::broadcast(C14) * (p.X + one);
    p.xc16 = p.X + V::broadcast(C16);
    p.xh = p.X + V::broadcast(0.5);
    p.sigma0 = sigma0;

    p.gammaNonNegative = gammaNonNegative;
    const V lnG = simd::logFast(p.g);
    p.lnGLow = down(lnG);
    p.lnGHigh = up(lnG);
    p.lnG = gammaNonNegative ? p.lnGHigh : p.lnGLow;
    const V margin = V::broadcast(kMarginDb) + V::broadcast(kMarginRel) * absv(p.sigma0);
    const V toLn = V::broadcast(kLn10 / 10.0);
    p.lnThreshold = (p.sigma0 - margin) * toLn;
    // NaN for sigma0 = -inf: then no candidate is taken without evaluating it.
    p.lnThresholdUp = (p.sigma0 + margin) * toLn;
    // At speed 0 the argument of tanh is 4 ((X + C16) + C17 * 0) = 4 (X + C16).
    p.rootTanhDown = down(tanhLoose(V::broadcast(4.0) * p.xc16));
    p.b2PeakAt = one + p.D1 / p.D2;
    p.b2Peak = up(p.D2 * exp(-p.b2PeakAt));
}

// One pixel in every lane.
template <class V>
void setupPixel(Pixel<V>& p, const Geometry& geo, double sigma0) {
    p.boundsUsable = boundsHandle(geo);
    setupLanes(p, broadcastGeometry<V>(geo), V::broadcast(sigma0), geo.gamma >= 0.0);
}

// SLEEF's functions over V's lanes, as a math policy of the model templates:
// the same bits as the scalar family of V (simd/sleef_scalar.hpp).
template <class V>
struct LaneMath {
    static V cos(V x) { return laneCos(x); }
    static V exp(V x) { return laneExp(x); }
};

// The pixel's terms with SLEEF's scalar functions of V's family, for an
// observation of 0 dB (the probes that do not compare with one).
template <class V>
Pixel<V> pixelAt(double wind_dir, double inc_angle) {
    Pixel<V> p;
    setupPixel(p, sleefGeometry(wind_dir, inc_angle, V::kFma), 0.0);
    return p;
}

// ---------------------------------------------------------------------------
// Sub-expressions of the model at the speeds v, each written once, with the
// grouping of the scalar model.

// s = A2 v, the argument of A3.
template <class V>
V a3Argument(const Pixel<V>& p, V v) {
    return p.A2 * v;
}

// A3 below S0: g (s / S0)^e.
template <class V>
V a3Power(const Pixel<V>& p, V s) {
    return pow(s / p.S0, p.e) * p.g;
}

// 1 / (x + 1): the logistic of s from x = exp(-s).
template <class V>
V logisticFromExp(V x) {
    const V one = V::broadcast(1.0);
    return one / (x + one);
}

// A3 from S0 on: the logistic 1 / (exp(-s) + 1).
template <class V>
V logistic(V s) {
    return logisticFromExp(exp(-s));
}

// 4 ((X + C16) + C17 v), the argument of the tanh in B1.
template <class V>
V tanhArgument(const Pixel<V>& p, V v) {
    return V::broadcast(4.0) * (p.xc16 + V::broadcast(C17) * v);
}

// 0.34 (v - C18), the exponent in B1's denominator.
template <class V>
V decayArgument(V v) {
    return V::broadcast(0.34) * (v - V::broadcast(C18));
}

// B1 = (C14 (X + 1) - ((X + 0.5) - t) (C15 v)) / (exp(0.34 (v - C18)) + 1).
template <class V>
V b1(const Pixel<V>& p, V v, V t, V decay) {
    return (p.c14x1 - (p.xh - t) * (V::broadcast(C15) * v)) / (decay + V::broadcast(1.0));
}

template <class V>
V b1(const Pixel<V>& p, V v, V t) {
    return b1(p, v, t, exp(decayArgument(v)));
}

// y = v / V0 + 1, the argument of V2.
template <class V>
V v2Argument(const Pixel<V>& p, V v) {
    return v / p.V0 + V::broadcast(1.0);
}

template <class V>
V cube(V x) {
    return x * x * x;
}

// V2 below C19 from the cube (y - 1)^C20: cube b + a.
template <class V>
V v2FromCube(const Pixel<V>& p, V cube) {
    return cube * p.b + V::broadcast(kV2Offset);
}

// D2 V2 - D1, the second factor of B2.
template <class V>
V b2Factor(const Pixel<V>& p, V V2) {
    return p.D2 * V2 - p.D1;
}

// The base of the final power: B2 cos2 + (B1 cos1 + 1).
template <class V>
V powerBase(const Pixel<V>& p, V B1, V B2) {
    return B2 * p.cos2 + (B1 * p.cos1 + V::broadcast(1.0));
}

// ---------------------------------------------------------------------------
// The forward model at the speeds v, operation by operation as the scalar
// sigma0Cmod5n. A branch's functions are called only when a lane takes it.

template <class V>
V modelDb(const Pixel<V>& p, V v) {
    const V one = V::broadcast(1.0);
    const V s = a3Argument(p, v);
    const V A3 = byBranch<V>(s < p.S0, [&] { return a3Power(p, s); }, [&] { return logistic(s); });
    const V B0 = pow(V::broadcast(10.0), p.A1 * v + p.A0) * pow(A3, p.gamma);
    const V B1 = b1(p, v, tanh(tanhArgument(p, v)));
    const V y = v2Argument(p, v);
    const auto lower = y < V::broadcast(C19);
    V V2 = y;
    if (bits(lower) != 0) {
        V2 = select(lower, v2FromCube(p, pow(y - one, V::broadcast(C20))), y);
    }
    const V B2 = exp(-V2) * b2Factor(p, V2);
    const V sigma = pow(powerBase(p, B1, B2), V::broadcast(kFinalExponent)) * B0;
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

}  // namespace
}  // namespace quorvane::cmod5n
