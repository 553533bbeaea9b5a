// Two vectors of a simd/ wrapper taken as one vector of twice the lanes:
// every operation is done on both halves, lane by lane as the wrapper does it
// (the same SLEEF functions, the same bits per lane). The search's proof is a
// long chain of dependent steps per vector; two independent chains side by
// side let the processor overlap them.
//
// Include after the wrapper (simd/avx2.hpp or simd/avx512.hpp), only from
// the kernel units built for it; like the wrappers, everything lives in an
// unnamed namespace.
#pragma once

#include <utility>

namespace quorvane::simd {
namespace {

template <class V>
struct Pair {
    static constexpr int kLanes = 2 * V::kLanes;
    static constexpr bool kFma = V::kFma;
    using Half = V;
    V a, b;  // lanes 0 .. V::kLanes - 1, then the rest

    static Pair broadcast(double x) { return {V::broadcast(x), V::broadcast(x)}; }
    static Pair load(const double* p) { return {V::load(p), V::load(p + V::kLanes)}; }
    static Pair iota() { return {V::iota(), V::iota() + V::broadcast(V::kLanes)}; }
};

template <class V>
struct PairMask {
    using Half = decltype(std::declval<V>() < std::declval<V>());
    Half a, b;
};

template <class V>
void store(double* p, Pair<V> x) {
    store(p, x.a);
    store(p + V::kLanes, x.b);
}

template <class V>
Pair<V> operator+(Pair<V> x, Pair<V> y) { return {x.a + y.a, x.b + y.b}; }
template <class V>
Pair<V> operator-(Pair<V> x, Pair<V> y) { return {x.a - y.a, x.b - y.b}; }
template <class V>
Pair<V> operator*(Pair<V> x, Pair<V> y) { return {x.a * y.a, x.b * y.b}; }
template <class V>
Pair<V> operator/(Pair<V> x, Pair<V> y) { return {x.a / y.a, x.b / y.b}; }
template <class V>
Pair<V> operator-(Pair<V> x) { return {-x.a, -x.b}; }

template <class V>
PairMask<V> operator<(Pair<V> x, Pair<V> y) { return {x.a < y.a, x.b < y.b}; }
template <class V>
PairMask<V> operator<=(Pair<V> x, Pair<V> y) { return {x.a <= y.a, x.b <= y.b}; }
template <class V>
PairMask<V> operator>=(Pair<V> x, Pair<V> y) { return {x.a >= y.a, x.b >= y.b}; }
template <class V>
PairMask<V> operator>(Pair<V> x, Pair<V> y) { return {x.a > y.a, x.b > y.b}; }
template <class V>
PairMask<V> operator&(PairMask<V> x, PairMask<V> y) { return {x.a & y.a, x.b & y.b}; }
template <class V>
PairMask<V> operator|(PairMask<V> x, PairMask<V> y) { return {x.a | y.a, x.b | y.b}; }
template <class V>
unsigned bits(PairMask<V> m) { return bits(m.a) | (bits(m.b) << V::kLanes); }

template <class V>
Pair<V> select(PairMask<V> m, Pair<V> x, Pair<V> y) { return {select(m.a, x.a, y.a), select(m.b, x.b, y.b)}; }
template <class V>
Pair<V> minv(Pair<V> x, Pair<V> y) { return {minv(x.a, y.a), minv(x.b, y.b)}; }
template <class V>
Pair<V> maxv(Pair<V> x, Pair<V> y) { return {maxv(x.a, y.a), maxv(x.b, y.b)}; }
template <class V>
Pair<V> absv(Pair<V> x) { return {absv(x.a), absv(x.b)}; }
template <class V>
Pair<V> mulAdd(Pair<V> x, Pair<V> y, Pair<V> z) { return {mulAdd(x.a, y.a, z.a), mulAdd(x.b, y.b, z.b)}; }

template <class V>
Pair<V> cos(Pair<V> x) { return {cos(x.a), cos(x.b)}; }
template <class V>
Pair<V> exp(Pair<V> x) { return {exp(x.a), exp(x.b)}; }
template <class V>
Pair<V> pow(Pair<V> x, Pair<V> y) { return {pow(x.a, y.a), pow(x.b, y.b)}; }
template <class V>
Pair<V> tanh(Pair<V> x) { return {tanh(x.a), tanh(x.b)}; }
template <class V>
Pair<V> log10(Pair<V> x) { return {log10(x.a), log10(x.b)}; }
template <class V>
Pair<V> tanhLoose(Pair<V> x) { return {tanhLoose(x.a), tanhLoose(x.b)}; }

template <class V>
Pair<V> addToExponent(Pair<V> x, Pair<V> y) { return {addToExponent(x.a, y.a), addToExponent(x.b, y.b)}; }
template <class V>
Pair<V> splitExponent(Pair<V> x, Pair<V>& mantissa) {
    return {splitExponent(x.a, mantissa.a), splitExponent(x.b, mantissa.b)};
}

// Arithmetic and comparisons with a double taken in every lane.
template <class V>
Pair<V> operator+(Pair<V> x, double y) { return x + Pair<V>::broadcast(y); }
template <class V>
Pair<V> operator+(double x, Pair<V> y) { return Pair<V>::broadcast(x) + y; }
template <class V>
Pair<V> operator-(Pair<V> x, double y) { return x - Pair<V>::broadcast(y); }
template <class V>
Pair<V> operator-(double x, Pair<V> y) { return Pair<V>::broadcast(x) - y; }
template <class V>
Pair<V> operator*(Pair<V> x, double y) { return x * Pair<V>::broadcast(y); }
template <class V>
Pair<V> operator*(double x, Pair<V> y) { return Pair<V>::broadcast(x) * y; }
template <class V>
Pair<V> operator/(Pair<V> x, double y) { return x / Pair<V>::broadcast(y); }
template <class V>
Pair<V> operator/(double x, Pair<V> y) { return Pair<V>::broadcast(x) / y; }
template <class V>
PairMask<V> operator<(Pair<V> x, double y) { return x < Pair<V>::broadcast(y); }
template <class V>
PairMask<V> operator<=(Pair<V> x, double y) { return x <= Pair<V>::broadcast(y); }
template <class V>
PairMask<V> operator>(Pair<V> x, double y) { return x > Pair<V>::broadcast(y); }
template <class V>
PairMask<V> operator>=(Pair<V> x, double y) { return x >= Pair<V>::broadcast(y); }

}  // namespace
}  // namespace quorvane::simd
