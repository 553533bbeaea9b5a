// The wind direction kernels: the error of their direct arc tangent stays
// within the bound their float32 decision rests on, and every row kernel, and
// the grid loop on contiguous and strided views, stores the float32 bits of
// the formula with the C library's atan2 (ERA5_windAngle), NaN bits
// included: on random components and bit patterns, on components whose angle
// lies next to a float32 rounding midpoint, on octant boundaries and special
// values, on NaN regions and on subnormal components.
#include <gtest/gtest.h>
#include <omp.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "era5/wind_angle.hpp"
#include "era5/wind_angle_kernels.hpp"
#include "grid/grid_view.hpp"
#include "tests/cpp/support/kernel_lists.hpp"
#include "tests/cpp/support/mismatch_report.hpp"
#include "tests/cpp/support/wind_components.hpp"

namespace {

using quorvane::era5::ERA5_windAngle;
using quorvane::era5::WindAngleKernels;
using quorvane::support::componentValues;
using quorvane::support::floatView;
using quorvane::support::formulaBits;
using quorvane::support::midpointComponents;
using quorvane::support::MismatchReport;
using quorvane::support::randomComponents;
using quorvane::support::rowView;

constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<const WindAngleKernels*> availableKernels() { return quorvane::support::availableWindAngleKernels(); }

std::uint32_t bitsOf(float x) { return std::bit_cast<std::uint32_t>(x); }

// Distance of a double from the nearest float32 rounding midpoint of its
// binade, in its own ulps (the low 29 bits against 2^28).
std::int64_t ulpsFromMidpoint(double a) {
    const auto low = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(a) & 0x1FFFFFFF);
    return std::abs(low - 0x10000000);
}

// Compares stored float32 results with the formula's bits, element by
// element; reports the first few differences.
void expectFormulaBits(const std::vector<float>& u, const std::vector<float>& v, const std::vector<float>& out,
                       const std::vector<std::uint32_t>& want) {
    MismatchReport report;
    for (std::size_t j = 0; j < u.size(); ++j) {
        report.compare(bitsOf(out[j]) == want[j], [&] {
            return testing::Message() << std::hexfloat << "u " << u[j] << " (" << std::hex << bitsOf(u[j])
                                      << ") v " << v[j] << " (" << bitsOf(v[j]) << "): stored " << bitsOf(out[j])
                                      << ", formula " << want[j];
        });
    }
    report.expectNone();
}

// Every kernel over the components as one contiguous row stores the
// formula's bits.
void expectRowsGiveTheFormulaBits(std::vector<float> u, std::vector<float> v) {
    const std::vector<std::uint32_t> want = formulaBits(u, v);
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::vector<float> out(u.size(), -7.0f);
        k->row(rowView(u), rowView(v), rowView(out), 0, static_cast<std::int64_t>(u.size()));
        expectFormulaBits(u, v, out, want);
    }
}

// The documented bound on |A - a| holds, in ulps of A, wherever A decides a
// result (finite components, |A| >= 2^-125), and non-finite components give
// NaN.
void expectDirectAngleWithinBound(const WindAngleKernels& k, const std::vector<float>& u,
                                  const std::vector<float>& v, double& worstUlps) {
    std::vector<double> a(u.size());
    k.directAngle(u.data(), v.data(), a.data(), static_cast<std::int64_t>(a.size()));
    MismatchReport violations;
    for (std::size_t j = 0; j < a.size(); ++j) {
        if (!std::isfinite(u[j]) || !std::isfinite(v[j])) {
            violations.compare(std::isnan(a[j]),
                               [&] { return testing::Message() << "u " << u[j] << " v " << v[j] << ": " << a[j]; });
            continue;
        }
        if (!(std::fabs(a[j]) >= 0x1p-125)) continue;
        const double exact = ERA5_windAngle(u[j], v[j]);
        const double ulp = std::ldexp(1.0, std::ilogb(a[j]) - 52);
        const double ulps = std::fabs(a[j] - exact) / ulp;
        if (ulps > worstUlps) worstUlps = ulps;
        violations.compare(ulps <= quorvane::era5::kDirectAngleErrorUlps, [&] {
            return testing::Message() << std::hexfloat << "u " << u[j] << " v " << v[j] << ": direct " << a[j]
                                      << ", formula " << exact << std::defaultfloat << " (" << ulps << " ulps)";
        });
    }
    violations.expectNone();
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

// Winds, wide exponent ranges and arbitrary bit patterns mixed with special
// values (NaN payloads of both signs in either or both components).
TEST(FastWindAngle, RowsGiveTheFormulaBitsOnRandomComponents) {
    std::vector<float> u, v;
    randomComponents(6'000'000, 21, u, v);
    std::int64_t nan = 0;
    for (std::size_t j = 0; j < u.size(); ++j) nan += std::isnan(u[j]) + std::isnan(v[j]);
    EXPECT_GT(nan, 100'000);
    expectRowsGiveTheFormulaBits(std::move(u), std::move(v));
}

// Many of these lie inside the window where the kernels fall back to the
// formula, some within a few ulps of the midpoint (where an atan2 a few ulps
// off would round the other way), and some just outside the window, where
// the direct arc tangent alone decides.
TEST(FastWindAngle, RowsGiveTheFormulaBitsNextToFloatRoundingMidpoints) {
    std::vector<float> u, v;
    midpointComponents(3'000'000, 31, u, v);
    ASSERT_EQ(u.size(), 3'000'000u);
    std::int64_t inWindow = 0, veryClose = 0, justOutside = 0;
    for (std::size_t j = 0; j < u.size(); ++j) {
        const std::int64_t d = ulpsFromMidpoint(ERA5_windAngle(u[j], v[j]));
        if (d <= quorvane::era5::kDirectAngleMarginUlps) ++inWindow;
        if (d <= 8) ++veryClose;
        if (d > quorvane::era5::kDirectAngleMarginUlps && d <= 4 * quorvane::era5::kDirectAngleMarginUlps) {
            ++justOutside;
        }
    }
    EXPECT_GT(inWindow, 750'000);
    EXPECT_GT(veryClose, 75'000);
    EXPECT_GT(justOutside, 150'000);
    expectRowsGiveTheFormulaBits(std::move(u), std::move(v));
}

// Every pair from a set of values at and next to the octant boundaries
// (equal magnitudes, ratio tan(pi/8), one component zero), powers of two,
// extremes of the float32 range, infinities and NaNs (quiet and signalling,
// with and without payloads), with both signs; each value meets every other
// in both components, in runs where one component stays the same.
TEST(FastWindAngle, RowsGiveTheFormulaBitsOnOctantBoundariesAndSpecialValues) {
    std::vector<float> magnitudes = {0.0f, 1.0f, 2.0f, 0.5f, 3.0f, 0x1p-20f, 0x1p20f, 0x1p-126f,
                                     0x1p-149f, 0x1p-100f, 0x1p100f, kFloatMax, 0x1p127f, kInf,
                                     7.25f, 1e-3f, 1e3f};
    for (const std::uint32_t nan : {0x7FC00000u, 0x7FC00001u, 0x7FD2468Au, 0x7F812345u, 0x7FFFFFFFu}) {
        magnitudes.push_back(std::bit_cast<float>(nan));
    }
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
        values.push_back(std::bit_cast<float>(bitsOf(m) ^ 0x80000000u));
    }
    std::vector<float> u, v;
    for (const float a : values) {
        for (const float b : values) {
            u.push_back(a);
            v.push_back(b);
        }
    }
    expectRowsGiveTheFormulaBits(std::move(u), std::move(v));
}

// Regions of NaN, infinite and calm components (the same pair over many
// pixels, as masked parts of a scene are) next to one another and to finite
// components, in runs of every length up to a few vectors, so that the
// fallback meets both repeated and changing arguments of atan2 in each lane
// position, and finite components between them keep their own results.
TEST(FastWindAngle, RowsGiveTheFormulaBitsAcrossNaNAndCalmRegions) {
    const std::pair<std::uint32_t, std::uint32_t> regions[] = {
        {0x7FC00000, 0x7FC00000}, {0xFFC00000, 0xFFC00000}, {0x7FC00000, 0x3F800000}, {0x40400000, 0x7FC12345},
        {0x7F800001, 0xFF812345}, {0x00000000, 0x00000000}, {0x80000000, 0x00000000}, {0x7F800000, 0x40000000},
        {0xFF800000, 0xFF800000}, {0x00000000, 0xC0000000}, {0x7FC00000, 0x7F800000}, {0xFFFFFFFF, 0x7FBFFFFF}};
    std::mt19937_64 rng(81);
    std::normal_distribution<float> wind(0.0f, 8.0f);
    std::vector<float> u, v;
    for (int run = 0; run < 4000; ++run) {
        const auto& [a, b] = regions[rng() % std::size(regions)];
        for (std::uint64_t k = rng() % 40; k > 0; --k) {
            u.push_back(std::bit_cast<float>(a));
            v.push_back(std::bit_cast<float>(b));
        }
        for (std::uint64_t k = rng() % 3; k > 0; --k) {
            u.push_back(wind(rng));
            v.push_back(wind(rng));
        }
    }
    expectRowsGiveTheFormulaBits(std::move(u), std::move(v));
}

// Components that are float32 subnormals, where float32 arithmetic on them
// would round coarsely: every pair of k 2^-149, k = 0 .. 2047 (angles of
// over a million distinct ratios), with random signs, and pairs next to
// FLT_MIN. The direct arc tangent keeps its bound, and the rows store the
// formula's bits.
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
    }
    expectRowsGiveTheFormulaBits(std::move(u), std::move(v));
}

// The grid loop over several threads, on a mixture of the inputs above, in
// contiguous rows and through the tiles of strided views (column-major
// inputs, a column-major output, every second column), stores the formula's
// bits.
TEST(FastWindAngle, GridStoresTheFormulaBitsOnContiguousAndStridedViews) {
    std::vector<float> u, v, mu, mv;
    randomComponents(600'000, 41, u, v);
    midpointComponents(300'000, 42, mu, mv);
    u.insert(u.end(), mu.begin(), mu.end());
    v.insert(v.end(), mv.begin(), mv.end());
    const std::int64_t columns = 1000, rows = static_cast<std::int64_t>(u.size()) / columns;
    const std::vector<std::uint32_t> want = formulaBits(u, v);
    // Column-major copies, and copies holding the values in every second column.
    std::vector<float> uT(u.size()), vT(v.size()), uWide(2 * u.size()), vWide(2 * v.size());
    for (std::int64_t i = 0; i < rows; ++i) {
        for (std::int64_t j = 0; j < columns; ++j) {
            uT[j * rows + i] = uWide[2 * (i * columns + j)] = u[i * columns + j];
            vT[j * rows + i] = vWide[2 * (i * columns + j)] = v[i * columns + j];
        }
    }
    const auto rowMajor = [&](std::vector<float>& x) { return floatView(x, rows, columns, columns * 4, 4, 0); };
    const auto columnMajor = [&](std::vector<float>& x) { return floatView(x, rows, columns, 4, rows * 4, 0); };
    const auto everySecond = [&](std::vector<float>& x) {
        return floatView(x, rows, columns, columns * 8, 8, 0);
    };
    const int before = omp_get_max_threads();
    omp_set_num_threads(3);
    for (int layout = 0; layout < 3; ++layout) {
        SCOPED_TRACE(testing::Message() << "layout " << layout);
        std::vector<float> out(u.size(), -7.0f), stored(u.size());
        if (layout == 0) {
            quorvane::era5::ERA5_windAngle_parallel(rowMajor(u), rowMajor(v), rowMajor(out));
            stored = out;
        } else if (layout == 1) {
            quorvane::era5::ERA5_windAngle_parallel(columnMajor(uT), columnMajor(vT), columnMajor(out));
            for (std::int64_t i = 0; i < rows; ++i) {
                for (std::int64_t j = 0; j < columns; ++j) stored[i * columns + j] = out[j * rows + i];
            }
        } else {
            quorvane::era5::ERA5_windAngle_parallel(everySecond(uWide), rowMajor(v), rowMajor(out));
            stored = out;
        }
        expectFormulaBits(u, v, stored, want);
    }
    omp_set_num_threads(before);
}

// Contiguous rows (vector loads), rows with a tail, and strided and reversed
// rows (element loads) all store the formula's bits.
TEST(FastWindAngle, RowsStoreTheFormulaBitsOnEveryLayout) {
    for (const auto* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        for (const std::int64_t columns : {std::int64_t{1}, std::int64_t{7}, std::int64_t{64},
                                           std::int64_t{1003}}) {
            const std::int64_t rows = 20;
            std::vector<float> u = componentValues(rows * columns, 51 + columns);
            std::vector<float> v = componentValues(rows * columns, 52 + columns);
            // Contiguous inputs; the output reversed along rows (negative stride).
            std::vector<float> outReversed(rows * columns, -7.0f);
            const auto uView = floatView(u, rows, columns, columns * 4, 4, 0);
            const auto vView = floatView(v, rows, columns, columns * 4, 4, 0);
            const auto outView = floatView(outReversed, rows, columns, columns * 4, -4, (columns - 1) * 4);
            // Transposed copies: column stride of a whole row.
            std::vector<float> uT(rows * columns), vT(rows * columns), outT(rows * columns, -7.0f);
            for (std::int64_t i = 0; i < rows; ++i) {
                for (std::int64_t j = 0; j < columns; ++j) {
                    uT[j * rows + i] = u[i * columns + j];
                    vT[j * rows + i] = v[i * columns + j];
                }
            }
            const auto uTView = floatView(uT, rows, columns, 4, rows * 4, 0);
            const auto vTView = floatView(vT, rows, columns, 4, rows * 4, 0);
            const auto outTView = floatView(outT, rows, columns, 4, rows * 4, 0);
            for (std::int64_t i = 0; i < rows; ++i) {
                k->row(uView, vView, outView, i, columns);
                k->row(uTView, vTView, outTView, i, columns);
            }
            MismatchReport report;
            for (std::int64_t i = 0; i < rows; ++i) {
                for (std::int64_t j = 0; j < columns; ++j) {
                    const float uu = u[i * columns + j], vv = v[i * columns + j];
                    const std::uint32_t want = formulaBits(uu, vv);
                    const std::uint32_t a = bitsOf(outReversed[i * columns + (columns - 1 - j)]);
                    const std::uint32_t b = bitsOf(outT[j * rows + i]);
                    report.compare(a == want && b == want, [&] {
                        return testing::Message() << "u " << uu << " v " << vv << std::hex << ": rows " << a
                                                  << " and " << b << ", formula " << want;
                    });
                }
            }
            report.expectNone();
        }
    }
}

}  // namespace
