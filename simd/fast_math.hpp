// exp and log written out over any vector type of simd/, for the search's
// first guess and bounds, where a library call costs more than the function:
// inlined, they are a few fused polynomial steps the compiler can interleave.
// They do not give SLEEF's bits; what they guarantee is an error bound.
//
// expFast(x), for x in [-708, 709]: x = k ln 2 + r with k the integer
// nearest x / ln 2 and |r| <= ln 2 / 2 (Cody-Waite: k ln2Hi is exact, so r
// carries one rounding of k ln2Lo), e^r by its Taylor polynomial of degree
// 12 (remainder below |r|^13 / 13! e^|r| < 2.4e-16 relative), times 2^k
// through the exponent field, exact. Relative error below 2^-48 in all.
// Above 709 +inf (a bound there is +inf anyway), below -708 0 (the exact value is below DBL_MIN, within
// the absolute slack the bounds add), NaN for NaN.
//
// logFast(x), for x > 0 finite: x = m 2^e with m in [sqrt(1/2), sqrt(2)]
// (subnormals scaled by 2^54 first), ln m = 2 atanh(z) with z = (m - 1) /
// (m + 1), |z| <= 0.1716, by its series to z^17 (remainder below
// |z|^18 / 19 < 1.6e-15 of ln m, relative, since |ln m| >= 2 |z|), plus
// e ln 2. m - 1 is exact (Sterbenz); the rest are a few roundings of terms
// whose sum is at least half the largest of them (|e ln 2| >= 2 |ln m| when
// e != 0), so the relative error stays below 2^-46. log(0) = -inf,
// log(+inf) = +inf, NaN for x < 0 and for NaN.
//
// expRough and logRough, the first guess's, are shorter: on double lanes
// within 1e-8 relative; on float lanes (the guess runs there where an
// instruction set has them) the same reductions with float constants, e^r to
// degree 6 and the series to z^7, within a few float roundings (below 1e-6
// relative), for x in [-86, 88] (exp; 0 below, +inf above) and positive
// floats (log).
#pragma once

namespace quorvane::simd {
namespace {

// x = k ln 2 + r, |r| <= ln 2 / 2, with t = 0x1.8p52 + k (k in its low bits).
template <class V>
[[gnu::always_inline]] inline V reduceExp(V x, V& t) {
    const V big = V::broadcast(0x1.8p52);
    t = x * V::broadcast(1.4426950408889634) + big;
    const V k = t - big;
    return (x - k * V::broadcast(0x1.62e42fefa3800p-1)) - k * V::broadcast(0x1.ef35793c7673p-45);
}

// e^r from its Taylor polynomial p, times 2^k; the limits of expFast.
template <class V>
[[gnu::always_inline]] inline V finishExp(V x, V p, V t) {
    const V y = addToExponent(p, t);
    const V hi = V::broadcast(709.0), lo = V::broadcast(-708.0);
    return select(x <= hi, select(x >= lo, y, V::broadcast(0.0)),
                  select(x > hi, V::broadcast(__builtin_inf()), x));
}

template <class V>
[[gnu::always_inline]] inline V expFast(V x) {
    V t;
    const V r = reduceExp(x, t);
    constexpr double c[] = {1.0 / 479001600, 1.0 / 39916800, 1.0 / 3628800, 1.0 / 362880, 1.0 / 40320,
                            1.0 / 5040,      1.0 / 720,      1.0 / 120,     1.0 / 24,     1.0 / 6,
                            0.5,             1.0,            1.0};
    // Estrin's scheme: c[0] r^12 + ... + c[12] with pairs c[i] r + c[i + 1].
    const auto pair = [&](int i) { return mulAdd(V::broadcast(c[i]), r, V::broadcast(c[i + 1])); };
    const V r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
    const V p0 = mulAdd(pair(1), r2, pair(3)), p1 = mulAdd(pair(5), r2, pair(7)), p2 = mulAdd(pair(9), r2, pair(11));
    return finishExp(x, mulAdd(mulAdd(V::broadcast(c[0]), r4, p0), r8, mulAdd(p1, r4, p2)), t);
}

// Whether V's lanes are floats (4 bytes a lane) rather than doubles.
template <class V>
inline constexpr bool kFloatLanes = sizeof(V) == 4 * V::kLanes;

// expRough on float lanes: x = k ln 2 + r with ln 2 split for floats (k times
// the high part exact for |k| < 256), e^r to degree 6 (remainder below
// 1.3e-7), times 2^k through the exponent field.
template <class V>
[[gnu::always_inline]] inline V expRoughFloat(V x) {
    const V big = V::broadcast(0x1.8p23);
    const V t = x * V::broadcast(1.4426950408889634) + big;
    const V k = t - big;
    const V r = (x - k * V::broadcast(0x1.62e4p-1)) - k * V::broadcast(0x1.7f7d1cp-20);
    const auto pair = [&](double a, double b) { return mulAdd(V::broadcast(a), r, V::broadcast(b)); };
    const V r2 = r * r, r4 = r2 * r2;
    const V hi = mulAdd(V::broadcast(1.0 / 720), r2, pair(1.0 / 120, 1.0 / 24));
    const V lo = mulAdd(pair(1.0 / 6, 0.5), r2, pair(1.0, 1.0));
    const V y = addToExponent(mulAdd(hi, r4, lo), t);
    const V top = V::broadcast(88.0), bottom = V::broadcast(-86.0);
    return select(x <= top, select(x >= bottom, y, V::broadcast(0.0)),
                  select(x > top, V::broadcast(__builtin_inf()), x));
}

// expFast to degree 7: relative error below 1e-8, for the first guess.
template <class V>
[[gnu::always_inline]] inline V expRough(V x) {
    if constexpr (kFloatLanes<V>) {
        return expRoughFloat(x);
    } else {
        V t;
        const V r = reduceExp(x, t);
        const auto pair = [&](double a, double b) { return mulAdd(V::broadcast(a), r, V::broadcast(b)); };
        const V r2 = r * r, r4 = r2 * r2;
        const V hi = mulAdd(pair(1.0 / 5040, 1.0 / 720), r2, pair(1.0 / 120, 1.0 / 24));
        const V lo = mulAdd(pair(1.0 / 6, 0.5), r2, pair(1.0, 1.0));
        return finishExp(x, mulAdd(hi, r4, lo), t);
    }
}

// ln x from the series of 2 atanh(z) to z^(2 terms - 1).
template <class V, int kTerms>
[[gnu::always_inline]] inline V logSeries(V x) {
    const V one = V::broadcast(1.0);
    const auto subnormal = x < V::broadcast(0x1p-1022);
    const V scaled = select(subnormal, x * V::broadcast(0x1p54), x);
    V m;
    V e = splitExponent(scaled, m);
    e = select(subnormal, e - V::broadcast(54.0), e);
    const auto high = m > V::broadcast(1.4142135623730951);
    m = select(high, m * V::broadcast(0.5), m);
    e = select(high, e + one, e);
    const V z = (m - one) / (m + one);
    const V z2 = z * z;
    V s = V::broadcast(2.0 / (2 * kTerms - 1));
    for (int j = kTerms - 2; j >= 0; --j) s = mulAdd(s, z2, V::broadcast(2.0 / (2 * j + 1)));
    const V ln = mulAdd(e, V::broadcast(0x1.62e42fefa3800p-1), mulAdd(e, V::broadcast(0x1.ef35793c7673p-45), s * z));
    const V zero = V::broadcast(0.0), inf = V::broadcast(__builtin_inf());
    return select(x > zero, select(x < inf, ln, x),
                  select(x >= zero, -inf, select(x < zero, V::broadcast(__builtin_nan("")), x)));
}

template <class V>
[[gnu::always_inline]] inline V logFast(V x) {
    return logSeries<V, 9>(x);
}

// logRough on float lanes: as logSeries with float limits (subnormals scaled
// by 2^24), the series to z^7 (remainder below 1e-7 of ln m).
template <class V>
[[gnu::always_inline]] inline V logRoughFloat(V x) {
    const V one = V::broadcast(1.0);
    const auto subnormal = x < V::broadcast(0x1p-126);
    const V scaled = select(subnormal, x * V::broadcast(0x1p24), x);
    V m;
    V e = splitExponent(scaled, m);
    e = select(subnormal, e - V::broadcast(24.0), e);
    const auto high = m > V::broadcast(1.4142135623730951);
    m = select(high, m * V::broadcast(0.5), m);
    e = select(high, e + one, e);
    const V z = (m - one) / (m + one);
    const V z2 = z * z;
    const V s = mulAdd(mulAdd(mulAdd(V::broadcast(2.0 / 7), z2, V::broadcast(2.0 / 5)), z2, V::broadcast(2.0 / 3)), z2,
                       V::broadcast(2.0));
    const V ln = mulAdd(e, V::broadcast(0.6931471805599453), s * z);
    const V zero = V::broadcast(0.0), inf = V::broadcast(__builtin_inf());
    return select(x > zero, select(x < inf, ln, x),
                  select(x >= zero, -inf, select(x < zero, V::broadcast(__builtin_nan("")), x)));
}

// logFast to z^9: relative error below 1e-8, for the first guess.
template <class V>
[[gnu::always_inline]] inline V logRough(V x) {
    if constexpr (kFloatLanes<V>) {
        return logRoughFloat(x);
    } else {
        return logSeries<V, 5>(x);
    }
}

}  // namespace
}  // namespace quorvane::simd
