// The wind direction of a grid row, generic over a vector type.
//
// Include only from the per-instruction-set kernel translation units, with V
// one of the simd/ vector types and Bits that unit's bit-level helpers:
//   Bits::withSignOfNegated(m, u)  m (sign bit clear) with the sign of -u
//   Bits::flipSign(p, a, b)        p negated in the lanes where exactly one
//                                  of the masks a, b is set
//   Bits::roundingInDoubt(m)       lanes whose double m lies within
//                                  kDirectAngleMarginUlps ulps of a float32
//                                  rounding midpoint of its binade, or is
//                                  below 2^-125, or NaN
//   Bits::sameBits(a, b)           lanes where a and b have the same bits
// and optionally its own loops for contiguous rows and for directAngles:
//   Bits::contiguousRow(pu, pv, po, columns)  returns the columns it did
//   Bits::directAngles(u, v, angle, n)
// Like the search kernels (cmod5n_vector_model.hpp), everything here lives in
// an unnamed namespace, local to each unit and built with its flags, and the
// code reads the views' fields directly instead of calling their inline
// member functions, which have external linkage.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "era5/wind_angle_kernels.hpp"
#include "grid/grid_view.hpp"

namespace quorvane::era5 {
namespace {

// The components of the last lane a row took through the formula, the
// arguments it passed to the C library's atan2 and the result. Where lanes
// in doubt are common they come in runs: NaN regions (the same NaN in every
// pixel) and calm patches (zero components) repeat the components, and a zero
// component repeats the arguments (y = +-0, x = +-1). A repeat takes the
// stored result, which is what the formula or the call would give again:
// each is a function of its operands' bits.
struct FormulaMemo {
    std::uint64_t u = 0, v = 0, y = 0, x = 0;
    double result = 0.0;
    bool filled = false;
};

// ERA5_windAngle (wind_angle.cpp) in the lanes of redo, a in the others:
// s = sqrt(u u + v v), y = (-u) / s, x = (-v) / s in vector operations,
// which round as the scalar ones and pass NaNs on as they do (an operand's
// NaN made quiet, the first operand's of two, so the dividend's in the
// divisions), then the C library's atan2 of each lane's y and x. The order of
// the sum's operands cannot change a result: they are both NaN only when u
// and v are, and then y and x are the negated components' NaNs whatever s is.
// Out of line, keeping the row loop's registers free.
template <class V, class M>
[[gnu::noinline]] V windAngleExact(V u, V v, M redo, V a, FormulaMemo& memo) {
    const V s = sqrt(u * u + v * v);
    const V y = (-u) / s;
    const V x = (-v) / s;
    alignas(64) double us[V::kLanes];
    alignas(64) double vs[V::kLanes];
    alignas(64) double ys[V::kLanes];
    alignas(64) double xs[V::kLanes];
    alignas(64) double r[V::kLanes];
    store(us, u);
    store(vs, v);
    store(ys, y);
    store(xs, x);
    store(r, a);
    for (unsigned lanes = bits(redo); lanes != 0; lanes &= lanes - 1) {
        const int k = __builtin_ctz(lanes);
        const auto yBits = std::bit_cast<std::uint64_t>(ys[k]);
        const auto xBits = std::bit_cast<std::uint64_t>(xs[k]);
        if (!memo.filled || yBits != memo.y || xBits != memo.x) {
            memo.y = yBits;
            memo.x = xBits;
            memo.result = std::atan2(ys[k], xs[k]);
            memo.filled = true;
        }
        memo.u = std::bit_cast<std::uint64_t>(us[k]);
        memo.v = std::bit_cast<std::uint64_t>(vs[k]);
        r[k] = memo.result;
    }
    return V::load(r);
}

// The same, but without the call where every lane of redo repeats the
// memo's components, as in NaN regions and calm patches.
template <class V, class Bits, class M>
[[gnu::always_inline]] inline V formulaInLanes(V u, V v, M redo, V a, FormulaMemo& memo) {
    if (memo.filled) {
        const auto repeat = Bits::sameBits(u, V::broadcast(std::bit_cast<double>(memo.u))) &
                            Bits::sameBits(v, V::broadcast(std::bit_cast<double>(memo.v)));
        if ((bits(redo) & ~bits(repeat)) == 0) return select(redo, V::broadcast(memo.result), a);
    }
    return windAngleExact(u, v, redo, a, memo);
}

// |A|, the magnitude of the direct arc tangent A of (-u, -v): one division
// and a short polynomial instead of a square root, two divisions and atan2.
//
// Octants: n <= d are |u| and |v| sorted. When n > d tan(pi/8) the pair is
// turned by pi/4 to (n - d, n + d), both exact in double because n/d lies in
// (0.41, 1] and both are float32 values. The test rounds (in double), so
// t = num/den lies within tan(pi/8) (1 + 2^-50) in magnitude, atan(t) within
// pi/8 (1 + 2^-50), and |A| = O +- atan(t) with O a multiple of pi/4 picked
// by the octant, at least O/2, and never -0. A takes the sign of -u.
//
// atan(t) = t + t z R(z), z = t^2, with R the degree-6 minimax polynomial for
// the relative error of atan on |t| <= tan(pi/8) (1 + 1e-6). With the double
// coefficients below its relative error is at most 7.86e-13 (evaluated in
// 60-digit arithmetic on 2e5 points; the error curve equioscillates).
//
// Error of A against the formula's double a (ERA5_windAngle), for finite u,
// v not both zero, with theta = atan2(-u, -v) exactly:
//  - The formula: u u and v v are exact and nothing over- or underflows for
//    float32 inputs, so y = (-u/s)(1 + e1), x = (-v/s)(1 + e2), |e| <= 2^-53;
//    s cancels in the angle, and the ratio error moves it by at most
//    |e1 - e2| |sin 2 theta| / 2 <= 2^-52 |theta|. Then the C library's atan2:
//    glibc's table of known maximum errors (manual, "Known Maximum Errors in
//    Math Functions", made from sysdeps/x86_64/fpu/libm-test-ulps) lists no
//    error for the double atan2 on x86_64 in the default rounding and 1 ulp
//    in the directed roundings, counted from the correctly rounded result,
//    so within 2 ulps of the exact value. The table reports what glibc's
//    tests found, not a proof; this bound allows twice that, 4 ulps,
//    <= 4 2^-52 |a|. So |a - theta| <= 10.01 2^-53 |theta|.
//  - The direct path: the rounded quotient (2^-53 relative) moves atan(t) by
//    no more than that relative amount, since t / (1 + t^2) <= atan t; z, the
//    polynomial and t z carry a factor |z R| <= 0.06, and the last
//    multiply-add rounds once (twice without FMA, the product's rounding again
//    scaled by 0.06): at most 2.5 2^-53 relative in p = atan(t). O is within
//    2^-52 O of k pi/4, |p| <= |A| and O <= 2 |A|, and the final addition
//    rounds once: |A - theta| <= |theta| (7.86e-13 + 5.5 2^-53).
//  - Together |A - a| <= |theta| (7.86e-13 + 15.51 2^-53) <= 7.88e-13 |A|
//    < 7100 ulp(A), as ulp(A) > 2^-53 |A| (kDirectAngleErrorUlps, 7200,
//    would still hold with up to 56 ulps of error in atan2).
// If A is farther than that from every float32 rounding midpoint, a lies
// between the same two midpoints and rounds to the same float32. For
// |A| >= 2^-125 (1 - 2^-25) both are float32 normal numbers, and the nearest
// midpoints outside A's binade are at least 2^27 ulp(A) away, so the test of
// A's low bits (kDirectAngleMarginUlps, over twice the bound) covers every
// midpoint.
//
// In sortedMagnitude a non-finite component makes n + d non-finite and the
// result NaN (magnitudeFromTangent alone leaves that to its caller: only a NaN
// in n carries through); both components zero give 0/0 = NaN. The formula
// decides those, down to the NaN's bits. Exactly one zero component gives a
// multiple of pi/2 (t = 0, within the error argument), or a zero, which goes
// to the formula as tiny.
//
// sortedMagnitude takes n, d (either may be NaN if a component is: then one
// of them is) and the octant masks: steep for |u| > |v| (|A| in (pi/4,
// 3pi/4)), back for v > 0 (|A| > pi/2) and turn for the pi/4 turn. It is
// reducedTangent (t) followed by magnitudeFromTangent (the polynomial and the
// octant), which a row loop may also run apart, a block apart.
template <class V, class M>
[[gnu::always_inline]] inline V reducedTangent(V n, V d, M turn) {
    return select(turn, n - d, n) / select(turn, n + d, d);
}

// |A| from the reduced argument t and the octant masks.
template <class V, class Bits, class M>
[[gnu::always_inline]] inline V magnitudeFromTangent(V t, M steep, M back, M turn) {
    constexpr double kPi = 3.141592653589793;
    // R(z), highest degree first.
    constexpr double kR6 = -0x1.36addc9e4f1abp-5;
    constexpr double kR5 = 0x1.1e5c705067239p-4;
    constexpr double kR4 = -0x1.7082bf8f36085p-4;
    constexpr double kR3 = 0x1.c6d1ec71fc6f3p-4;
    constexpr double kR2 = -0x1.2490c30b4ba91p-3;
    constexpr double kR1 = 0x1.999991fc45123p-3;
    constexpr double kR0 = -0x1.5555554edf772p-2;

    const V z = t * t;
    const V z2 = z * z;
    const V r01 = mulAdd(V::broadcast(kR1), z, V::broadcast(kR0));
    const V r23 = mulAdd(V::broadcast(kR3), z, V::broadcast(kR2));
    const V r45 = mulAdd(V::broadcast(kR5), z, V::broadcast(kR4));
    V r = mulAdd(V::broadcast(kR6), z2, r45);
    r = mulAdd(r, z2, r23);
    r = mulAdd(r, z2, r01);
    const V p = mulAdd(t * z, r, t);

    // Turned adds pi/4; steep reflects about pi/4 (pi/2 - .); back reflects
    // about pi/2 (pi - .). Each reflection negates p.
    V o = select(turn, V::broadcast(kPi / 4), V::broadcast(0.0));
    o = select(steep, V::broadcast(kPi / 2) - o, o);
    o = select(back, V::broadcast(kPi) - o, o);
    return o + Bits::flipSign(p, steep, back);
}

template <class V, class Bits, class M>
[[gnu::always_inline]] inline V sortedMagnitude(V n, V d, M steep, M back, M turn) {
    const V m = magnitudeFromTangent<V, Bits>(reducedTangent(n, d, turn), steep, back, turn);
    // + 0 * (n + d): m itself where the components are finite, else NaN.
    return mulAdd(n + d, V::broadcast(0.0), m);
}

inline constexpr double kTanPi8 = 0.41421356237309503;  // tan(pi/8)

template <class V, class Bits>
[[gnu::always_inline]] inline V directMagnitude(V u, V v) {
    const V ay = absv(u);  // |-u|
    const V ax = absv(v);  // |-v|
    // min and max return their second operand if either is NaN: one of n, d
    // is then NaN.
    const V n = minv(ay, ax);
    const V d = maxv(ax, ay);
    return sortedMagnitude<V, Bits>(n, d, ax < ay, v > V::broadcast(0.0), n > d * V::broadcast(kTanPi8));
}

// The formula's value for float32 rounding: the direct arc tangent where its
// float32 is provably the same, the formula itself for the lanes near a
// rounding midpoint, below 2^-125 (zero and float32 subnormal results) or
// NaN.
template <class V, class Bits>
[[gnu::always_inline]] inline V windAngleForFloat(V u, V v, FormulaMemo& memo) {
    const V m = directMagnitude<V, Bits>(u, v);
    const auto redo = Bits::roundingInDoubt(m);
    const V a = Bits::withSignOfNegated(m, u);
    if (__builtin_expect(bits(redo) == 0, 1)) return a;
    return formulaInLanes<V, Bits>(u, v, redo, a, memo);
}

template <class V, class Bits>
void windAngleRow(const grid::GridView<float>& wind_U10_view, const grid::GridView<float>& wind_V10_view,
                  const grid::GridView<float>& out_wind_angle, std::int64_t i, std::int64_t columns) {
    constexpr int kLanes = V::kLanes;
    const char* pu = wind_U10_view.data + i * wind_U10_view.stride[0];
    const char* pv = wind_V10_view.data + i * wind_V10_view.stride[0];
    char* po = out_wind_angle.data + i * out_wind_angle.stride[0];
    const std::int64_t su = wind_U10_view.stride[1];
    const std::int64_t sv = wind_V10_view.stride[1];
    const std::int64_t so = out_wind_angle.stride[1];
    std::int64_t j = 0;
    FormulaMemo memo;
    if (su == 4 && sv == 4 && so == 4) {
        // Contiguous rows: whole vectors straight from and to memory, two at
        // a time for independent work between the long dependency chains
        // (or as the instruction set's own loop has it).
        if constexpr (requires { Bits::contiguousRow(pu, pv, po, columns); }) {
            j = Bits::contiguousRow(pu, pv, po, columns);
        }
        for (; j + 2 * kLanes <= columns; j += 2 * kLanes) {
            const V u0 = V::loadFloats(pu + j * 4), u1 = V::loadFloats(pu + (j + kLanes) * 4);
            const V v0 = V::loadFloats(pv + j * 4), v1 = V::loadFloats(pv + (j + kLanes) * 4);
            const V m0 = directMagnitude<V, Bits>(u0, v0);
            const V m1 = directMagnitude<V, Bits>(u1, v1);
            const auto redo0 = Bits::roundingInDoubt(m0);
            const auto redo1 = Bits::roundingInDoubt(m1);
            V a0 = Bits::withSignOfNegated(m0, u0);
            V a1 = Bits::withSignOfNegated(m1, u1);
            if (__builtin_expect((bits(redo0) | bits(redo1)) != 0, 0)) {
                if (bits(redo0) != 0) a0 = formulaInLanes<V, Bits>(u0, v0, redo0, a0, memo);
                if (bits(redo1) != 0) a1 = formulaInLanes<V, Bits>(u1, v1, redo1, a1, memo);
            }
            storeFloats(po + j * 4, a0);
            storeFloats(po + (j + kLanes) * 4, a1);
        }
        for (; j + kLanes <= columns; j += kLanes) {
            storeFloats(po + j * 4, windAngleForFloat<V, Bits>(V::loadFloats(pu + j * 4),
                                                               V::loadFloats(pv + j * 4), memo));
        }
    }
    // Any strides (and the tail): element by element through a small buffer,
    // padded with components that need no fallback to the formula.
    alignas(64) double bu[kLanes];
    alignas(64) double bv[kLanes];
    alignas(64) double r[kLanes];
    while (j < columns) {
        const int n = columns - j < kLanes ? static_cast<int>(columns - j) : kLanes;
        for (int k = 0; k < kLanes; ++k) {
            float fu = 1.0f, fv = 1.0f;
            if (k < n) {
                __builtin_memcpy(&fu, pu + (j + k) * su, sizeof fu);
                __builtin_memcpy(&fv, pv + (j + k) * sv, sizeof fv);
            }
            bu[k] = fu;
            bv[k] = fv;
        }
        store(r, windAngleForFloat<V, Bits>(V::load(bu), V::load(bv), memo));
        for (int k = 0; k < n; ++k) {
            const float value = static_cast<float>(r[k]);
            __builtin_memcpy(po + (j + k) * so, &value, sizeof value);
        }
        j += n;
    }
}

template <class V, class Bits>
void directAngles(const float* u, const float* v, double* angle, std::int64_t n) {
    if constexpr (requires { Bits::directAngles(u, v, angle, n); }) {
        Bits::directAngles(u, v, angle, n);
    } else {
        constexpr int kLanes = V::kLanes;
        alignas(64) double bu[kLanes];
        alignas(64) double bv[kLanes];
        alignas(64) double r[kLanes];
        for (std::int64_t j = 0; j < n; j += kLanes) {
            const int m = n - j < kLanes ? static_cast<int>(n - j) : kLanes;
            for (int k = 0; k < kLanes; ++k) {
                bu[k] = k < m ? u[j + k] : 1.0f;
                bv[k] = k < m ? v[j + k] : 1.0f;
            }
            const V u0 = V::load(bu);
            store(r, Bits::withSignOfNegated(directMagnitude<V, Bits>(u0, V::load(bv)), u0));
            for (int k = 0; k < m; ++k) angle[j + k] = r[k];
        }
    }
}

// The kernel table of V's instruction set.
template <class V, class Bits>
constexpr WindAngleKernels makeWindAngleKernels(simd::Isa isa) {
    return WindAngleKernels{isa, &windAngleRow<V, Bits>, &directAngles<V, Bits>};
}

}  // namespace
}  // namespace quorvane::era5
