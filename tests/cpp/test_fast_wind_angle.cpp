// The direct arc tangent of the wind direction kernels: its error stays within
// the bound the kernels' float32 decision rests on, and every row kernel gives
// the scalar SLEEF form's float32 bits on random components, on components
// whose angle lies next to a float32 rounding midpoint, and on octant
// boundaries and special values.
#include <gtest/gtest.h>
#include <omp.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "era5/wind_angle.hpp"
#include "era5/wind_angle_kernels.hpp"
#include "grid/grid_view.hpp"
#include "simd/sleef_scalar.hpp"

namespace {

using quorvane::simd::Isa;
using quorvane::era5::WindAngleKernels;

constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<const WindAngleKernels*> availableKernels() {
    std::vector<const WindAngleKernels*> kernels;
    for (const Isa isa : quorvane::simd::kAllIsas) {
        if (const auto* k = quorvane::era5::windAngleKernels(isa)) kernels.push_back(k);
    }
    return kernels;
}

// The exact form in double with SLEEF's 1.0-ULP atan2 of one family.
template <bool Fma>
double exactAngle(double u, double v) {
    const double s = std::sqrt(u * u + v * v);
    const double y = (-u) / s;
    const double x = (-v) / s;
    return quorvane::simd::SleefScalarMath<Fma>::atan2(y, x);
}

double exactAngle(bool fma, double u, double v) {
    return fma ? exactAngle<true>(u, v) : exactAngle<false>(u, v);
}

// Distance of a double from the nearest float32 rounding midpoint of its
// binade, in its own ulps (the low 29 bits against 2^28).
std::int64_t ulpsFromMidpoint(double a) {
    const auto low = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(a) & 0x1FFFFFFF);
    return std::abs(low - 0x10000000);
}

bool sameFloat(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

quorvane::grid::GridView<float> rowView(std::vector<float>& values) {
    quorvane::grid::GridView<float> view;
    view.data = reinterpret_cast<char*>(values.data());
    view.extent[0] = 1;
    view.extent[1] = static_cast<std::int64_t>(values.size());
    view.stride[0] = static_cast<std::int64_t>(values.size() * sizeof(float));
    view.stride[1] = sizeof(float);
    return view;
}

// Runs one kernel over the components as a single contiguous row and counts
// the elements whose float32 differs from the scalar form (any NaN matches
// any NaN); reports the first few.
std::int64_t rowMismatches(const WindAngleKernels& k, std::vector<float> u, std::vector<float> v) {
    std::vector<float> out(u.size(), -7.0f);
    k.row(rowView(u), rowView(v), rowView(out), 0, static_cast<std::int64_t>(u.size()));
    const bool fma = quorvane::simd::usesFma(k.isa);
    std::int64_t mismatches = 0;
    for (std::size_t j = 0; j < u.size(); ++j) {
        const float want = static_cast<float>(exactAngle(fma, u[j], v[j]));
        if (!sameFloat(out[j], want) && mismatches++ < 5) {
            ADD_FAILURE() << std::hexfloat << "u " << u[j] << " v " << v[j] << ": row " << out[j]
                          << ", scalar " << want;
        }
    }
    return mismatches;
}

// Components of every kind: winds, magnitudes over the whole float32 range
// with independent exponents, and arbitrary finite bit patterns.
void randomComponents(std::size_t n, std::uint64_t seed, std::vector<float>& u, std::vector<float>& v) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> wind(0.0f, 8.0f);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> exponent(-149, 127);
    const auto anyFinite = [&] {
        float x;
        do x = std::bit_cast<float>(static_cast<std::uint32_t>(rng())); while (!std::isfinite(x));
        return x;
    };
    u.resize(n);
    v.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        switch (j % 4) {
            case 0:
            case 1:
                u[j] = wind(rng);
                v[j] = wind(rng);
                break;
            case 2: {
                const int e = exponent(rng);
                u[j] = static_cast<float>(std::ldexp(unit(rng) - 0.5, e));
                v[j] = static_cast<float>(std::ldexp(unit(rng) - 0.5, e + static_cast<int>(unit(rng) * 9) - 4));
                break;
            }
            default:
                u[j] = anyFinite();
                v[j] = anyFinite();
        }
    }
}

// Components whose exact angle lies within about 2^-40 (relative) of a float32
// rounding midpoint, often much closer: for a random float32 f in (0, pi] and
// the midpoint m above it, the continued fraction convergents p/q of tan(m)
// or cot(m) (scaled into [1/2, 1) by a power of two), with p, q < 2^24, give
// float32 components (q, p) whose angle is m within 1/q^2 relative. Octant,
// sign and a common power-of-two scale are random.
void midpointComponents(std::size_t n, std::uint64_t seed, std::vector<float>& u, std::vector<float>& v) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const float pi = static_cast<float>(M_PI);
    u.clear();
    v.clear();
    while (u.size() < n) {
        // Half the midpoints uniform in (0, pi], half log-uniform down to 2^-100.
        float f = unit(rng) < 0.5 ? static_cast<float>(unit(rng) * M_PI)
                                  : static_cast<float>(std::ldexp(1.0 + unit(rng), -static_cast<int>(unit(rng) * 100)));
        if (!(f > 0.0f) || f >= pi) continue;
        const double m = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, 4.0f))) / 2;
        const long double c = std::cos(static_cast<long double>(m));
        const long double s = std::sin(static_cast<long double>(m));
        const bool flat = std::fabs(c) >= std::fabs(s);
        long double r = flat ? std::fabs(s / c) : std::fabs(c / s);
        int scale = 0;
        const long double fraction = std::frexp(r, &scale);  // r = fraction 2^scale
        // Convergents h/k of fraction in [1/2, 1).
        long double x = fraction;
        std::int64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
        std::vector<std::pair<std::int64_t, std::int64_t>> convergents;
        for (int step = 0; step < 40; ++step) {
            const long double a = std::floor(x);
            if (a > 1e9L) break;
            const std::int64_t ai = static_cast<std::int64_t>(a);
            const std::int64_t h2 = ai * h1 + h0, k2 = ai * k1 + k0;
            if (k2 >= (1 << 24) || h2 >= (1 << 24)) break;
            if (k2 >= 1024) convergents.emplace_back(h2, k2);
            h0 = h1; h1 = h2; k0 = k1; k1 = k2;
            if (x - a == 0) break;
            x = 1 / (x - a);
        }
        for (const auto& [h, k] : convergents) {
            if (u.size() >= n) break;
            // Components (X, Y) = (k, h 2^scale) up to octant; u = -Y, v = -X.
            double small = std::ldexp(static_cast<double>(h), scale);
            double large = static_cast<double>(k);
            const int common = static_cast<int>(unit(rng) * 120) - 60;
            small = std::ldexp(small, common);
            large = std::ldexp(large, common);
            double X = flat ? large : small;
            double Y = flat ? small : large;
            if (c < 0) X = -X;
            if (s < 0) Y = -Y;
            if (unit(rng) < 0.5) Y = -Y;  // the mirror angle -m
            const float fu = static_cast<float>(-Y), fv = static_cast<float>(-X);
            if (static_cast<double>(fu) != -Y || static_cast<double>(fv) != -X) continue;  // out of range
            u.push_back(fu);
            v.push_back(fv);
        }
    }
}

// The documented bound on |A - a| holds, in ulps of A, wherever A decides a
// result (finite components, |A| >= 2^-125), and non-finite components give
// NaN.
void expectDirectAngleWithinBound(const WindAngleKernels& k, const std::vector<float>& u,
                                  const std::vector<float>& v, double& worstUlps) {
    const bool fma = quorvane::simd::usesFma(k.isa);
    std::vector<double> a(u.size());
    k.directAngle(u.data(), v.data(), a.data(), static_cast<std::int64_t>(a.size()));
    std::int64_t violations = 0;
    for (std::size_t j = 0; j < a.size(); ++j) {
        if (!std::isfinite(u[j]) || !std::isfinite(v[j])) {
            if (!std::isnan(a[j]) && violations++ < 5) ADD_FAILURE() << "u " << u[j] << " v " << v[j] << ": " << a[j];
            continue;
        }
        if (!(std::fabs(a[j]) >= 0x1p-125)) continue;
        const double exact = exactAngle(fma, u[j], v[j]);
        const double ulp = std::ldexp(1.0, std::ilogb(a[j]) - 52);
        const double ulps = std::fabs(a[j] - exact) / ulp;
        if (ulps > worstUlps) worstUlps = ulps;
        if (!(ulps <= quorvane::era5::kDirectAngleErrorUlps) && violations++ < 5) {
            ADD_FAILURE() << std::hexfloat << "u " << u[j] << " v " << v[j] << ": direct " << a[j]
                          << ", exact " << exact << std::defaultfloat << " (" << ulps << " ulps)";
        }
    }
    EXPECT_EQ(violations, 0);
}

TEST(FastWindAngle, DirectAngleStaysWithinItsErrorBound) {
    std::vector<float> u, v, mu, mv;
    randomComponents(2'000'000, 11, u, v);
    midpointComponents(500'000, 12, mu, mv);
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        double worst = 0.0;
        expectDirectAngleWithinBound(*k, u, v, worst);
        expectDirectAngleWithinBound(*k, mu, mv, worst);
        // The polynomial's own error reaches most of the bound near the top
        // of a binade; seeing it shows the comparison is not vacuous.
        EXPECT_GT(worst, quorvane::era5::kDirectAngleErrorUlps / 2.0);
        RecordProperty(std::string("worst_ulps_") + quorvane::simd::name(k->isa), std::to_string(worst));
    }
}

TEST(FastWindAngle, RowsGiveTheScalarBitsOnRandomComponents) {
    std::vector<float> u, v;
    randomComponents(8'000'000, 21, u, v);
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        EXPECT_EQ(rowMismatches(*k, u, v), 0);
    }
}

// Many of these lie inside the window where the kernels fall back to the
// exact form, some within a few ulps of the midpoint (where the 3.5-ULP atan2
// is not enough either), and some just outside the window, where the direct
// arc tangent alone decides.
TEST(FastWindAngle, RowsGiveTheScalarBitsNextToFloatRoundingMidpoints) {
    std::vector<float> u, v;
    midpointComponents(4'000'000, 31, u, v);
    ASSERT_EQ(u.size(), 4'000'000u);
    const bool fma = quorvane::simd::usesFma(quorvane::simd::best());
    std::int64_t inWindow = 0, veryClose = 0, justOutside = 0;
    for (std::size_t j = 0; j < u.size(); ++j) {
        const std::int64_t d = ulpsFromMidpoint(exactAngle(fma, u[j], v[j]));
        if (d <= quorvane::era5::kDirectAngleMarginUlps) ++inWindow;
        if (d <= 8) ++veryClose;
        if (d > quorvane::era5::kDirectAngleMarginUlps && d <= 4 * quorvane::era5::kDirectAngleMarginUlps) {
            ++justOutside;
        }
    }
    EXPECT_GT(inWindow, 1'000'000);
    EXPECT_GT(veryClose, 100'000);
    EXPECT_GT(justOutside, 200'000);
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        EXPECT_EQ(rowMismatches(*k, u, v), 0);
    }
}

// Every pair from a set of values at and next to the octant boundaries
// (equal magnitudes, ratio tan(pi/8), one component zero), powers of two,
// extremes of the float32 range, and NaN and infinities, with all signs.
TEST(FastWindAngle, RowsGiveTheScalarBitsOnOctantBoundariesAndSpecialValues) {
    std::vector<float> magnitudes = {0.0f, 1.0f, 2.0f, 0.5f, 3.0f, 0x1p-20f, 0x1p20f, 0x1p-126f,
                                     0x1p-149f, 0x1p-100f, 0x1p100f, kFloatMax, 0x1p127f, kInf,
                                     std::numeric_limits<float>::quiet_NaN(), 7.25f, 1e-3f, 1e3f};
    // Ratios next to tan(pi/8) and 1 against 1 and 0x1.8p7.
    for (const float base : {1.0f, 0x1.8p7f}) {
        for (const float ratio : {0.41421356f, 1.0f, 2.4142135f}) {
            float x = base * ratio;
            for (int step = 0; step < 4; ++step) x = std::nextafter(x, 0.0f);
            for (int step = 0; step < 9; ++step, x = std::nextafter(x, kInf)) magnitudes.push_back(x);
        }
    }
    std::vector<float> values;
    for (const float m : magnitudes) {
        values.push_back(m);
        values.push_back(-m);
    }
    std::vector<float> u, v;
    for (const float a : values) {
        for (const float b : values) {
            u.push_back(a);
            v.push_back(b);
        }
    }
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        EXPECT_EQ(rowMismatches(*k, u, v), 0) << "of " << u.size();
    }
}

// A NaN (any sign or payload, quiet or signalling) or an infinite component
// makes the result NaN, and it is one NaN with every bit set whether the exact
// form computes it or a row loop fills in whole blocks of such components
// without evaluating the form. Blocks of them alternate with mixed blocks
// holding finite components too, which must keep their own results.
TEST(FastWindAngle, NaNResultsHaveEveryBitSetOnEveryPath) {
    const float nans[] = {std::bit_cast<float>(0x7FC00000u), std::bit_cast<float>(0xFFC00000u),
                          std::bit_cast<float>(0x7FC12345u), std::bit_cast<float>(0x7F812345u),
                          std::bit_cast<float>(0xFFFFFFFFu)};
    const float finite[] = {0.0f, -0.0f, 1.5f, -2.0f, 0x1p-149f, kFloatMax};
    std::vector<float> u, v;
    std::vector<bool> wantNaN;
    const auto add = [&](float a, float b, bool nan) {
        u.push_back(a);
        v.push_back(b);
        wantNaN.push_back(nan);
    };
    for (const float n : nans) {
        for (const float other : nans) add(n, other, true);
        for (const float inf : {kInf, -kInf}) {
            add(n, inf, true);
            add(inf, n, true);
        }
        for (const float x : finite) {
            add(n, x, true);
            add(x, n, true);
            add(kInf, x, true);
            add(x, -kInf, true);
        }
    }
    const std::size_t pure = u.size();
    for (std::size_t j = 0; j < pure; ++j) {
        add(u[j], v[j], true);
        if (j % 5 == 0) add(3.0f, -4.0f, false);
    }
    for (const bool fma : {false, true}) {
        for (std::size_t j = 0; j < u.size(); ++j) {
            if (!wantNaN[j]) continue;
            EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(exactAngle(fma, u[j], v[j]))), 0xFFFFFFFFu)
                << "u " << u[j] << " v " << v[j] << " fma " << fma;
        }
    }
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::vector<float> out(u.size(), -7.0f);
        k->row(rowView(u), rowView(v), rowView(out), 0, static_cast<std::int64_t>(u.size()));
        std::int64_t wrong = 0;
        for (std::size_t j = 0; j < u.size(); ++j) {
            const std::uint32_t want = wantNaN[j] ? 0xFFFFFFFFu
                                                  : std::bit_cast<std::uint32_t>(static_cast<float>(
                                                        exactAngle(quorvane::simd::usesFma(k->isa), u[j], v[j])));
            if (std::bit_cast<std::uint32_t>(out[j]) != want && wrong++ < 5) {
                ADD_FAILURE() << "u " << u[j] << " v " << v[j] << ": " << std::hex
                              << std::bit_cast<std::uint32_t>(out[j]) << " instead of " << want;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

// Components that are float32 subnormals, where float32 arithmetic on them
// would round coarsely: every pair of k 2^-149, k = 0 .. 2047 (angles of
// over a million distinct ratios), with random signs, and pairs next to
// FLT_MIN. The direct arc tangent keeps its bound, and the rows give the
// scalar bits.
TEST(FastWindAngle, SubnormalComponents) {
    std::mt19937_64 rng(51);
    std::vector<float> u, v;
    for (int a = 0; a < 2048; ++a) {
        for (int b = 0; b < 2048; ++b) {
            const auto bits = rng();
            u.push_back(std::ldexp(static_cast<float>(bits & 1 ? -a : a), -149));
            v.push_back(std::ldexp(static_cast<float>(bits & 2 ? -b : b), -149));
        }
    }
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            u.push_back(std::numeric_limits<float>::min() * (1.0f + std::ldexp(static_cast<float>(a), -23)));
            v.push_back(std::ldexp(static_cast<float>(b - 128), -149));
        }
    }
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        double worst = 0.0;
        expectDirectAngleWithinBound(*k, u, v, worst);
        EXPECT_EQ(rowMismatches(*k, u, v), 0) << "of " << u.size();
    }
}

// The grid loop over several threads, on a mixture of the inputs above, gives
// ERA5_windAngle's float32 bits.
TEST(FastWindAngle, GridMatchesTheScalarFormOnHardInputs) {
    std::vector<float> u, v, mu, mv;
    randomComponents(300'000, 41, u, v);
    midpointComponents(300'000, 42, mu, mv);
    u.insert(u.end(), mu.begin(), mu.end());
    v.insert(v.end(), mv.begin(), mv.end());
    const std::int64_t columns = 1000, rows = static_cast<std::int64_t>(u.size()) / columns;
    std::vector<float> out(u.size(), -7.0f);
    auto view = [&](std::vector<float>& values) {
        quorvane::grid::GridView<float> g = rowView(values);
        g.extent[0] = rows;
        g.extent[1] = columns;
        g.stride[0] = columns * 4;
        return g;
    };
    const int before = omp_get_max_threads();
    omp_set_num_threads(4);
    quorvane::era5::ERA5_windAngle_parallel(view(u), view(v), view(out));
    omp_set_num_threads(before);
    std::int64_t mismatches = 0;
    for (std::size_t j = 0; j < u.size(); ++j) {
        const float want = static_cast<float>(quorvane::era5::ERA5_windAngle(u[j], v[j]));
        if (!sameFloat(out[j], want) && mismatches++ < 5) {
            ADD_FAILURE() << std::hexfloat << "u " << u[j] << " v " << v[j] << ": grid " << out[j]
                          << ", scalar " << want;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
