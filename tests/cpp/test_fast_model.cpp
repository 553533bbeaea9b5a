// The pieces the exact search rests on: the vector model gives the scalar
// SLEEF model's bits, block bounds lie above every candidate they cover, and
// the vector wind direction rows give the scalar SLEEF form's bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "era5/wind_angle.hpp"
#include "era5/wind_angle_kernels.hpp"
#include "grid/grid_view.hpp"
#include "simd/sleef_scalar.hpp"

namespace {

using quorvane::simd::Isa;
using quorvane::cmod5n::SearchKernels;
namespace cm = quorvane::cmod5n;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Same bits, except that NaNs of any sign or payload count as equal: a NaN
// modelled value never qualifies, whatever its bits.
bool sameValue(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::vector<const SearchKernels*> availableKernels() {
    std::vector<const SearchKernels*> kernels;
    for (const Isa isa : quorvane::simd::kAllIsas) {
        if (const SearchKernels* k = cm::searchKernels(isa)) kernels.push_back(k);
    }
    return kernels;
}

template <bool Fma>
double scalarModel(double dir, double inc, int index) {
    using Math = quorvane::simd::SleefScalarMath<Fma>;
    return cm::sigma0Cmod5n<Math>(cm::makeGeometry<Math>(dir, inc), cm::ladderSpeed(index));
}

// Geometries over the whole domain, each with every tenth candidate plus a
// random run of consecutive ones.
TEST(FastModel, VectorModelGivesTheScalarSleefBits) {
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        const bool fma = quorvane::simd::usesFma(k->isa);
        std::mt19937_64 rng(41);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::int64_t compared = 0, mismatches = 0;
        for (int g = 0; g < 1500; ++g) {
            const double dir = -720.0 + 1440.0 * unit(rng);
            const double inc = g % 3 == 0 ? -1000.0 + 2000.0 * unit(rng) : 10.0 + 90.0 * unit(rng);
            std::vector<int> index;
            for (int i = g % 10; i <= cm::kLadderLast; i += 10) index.push_back(i);
            const int start = static_cast<int>(unit(rng) * 2500.0);
            for (int i = start; i < start + 40; ++i) index.push_back(i);
            std::vector<double> got(index.size());
            k->modelDb(dir, inc, index.data(), got.data(), static_cast<int>(index.size()));
            for (std::size_t j = 0; j < index.size(); ++j) {
                const double want = fma ? scalarModel<true>(dir, inc, index[j])
                                        : scalarModel<false>(dir, inc, index[j]);
                ++compared;
                if (!sameValue(got[j], want) && mismatches++ < 5) {
                    ADD_FAILURE() << "dir " << dir << " inc " << inc << " candidate " << index[j]
                                  << ": vector " << got[j] << ", scalar " << want;
                }
            }
        }
        EXPECT_EQ(mismatches, 0) << "of " << compared << " candidates";
    }
}

// A block's bound (in dB) lies at or above the modelled value of each of its
// candidates. Geometries cover the domain; blocks are of every size the
// search uses and more, anywhere on the ladder.
TEST(FastModel, BlockBoundsLieAboveEveryCandidate) {
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::mt19937_64 rng(43);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        int finiteBounds = 0, violations = 0;
        std::vector<int> index(cm::kLadderLast + 1);
        std::vector<double> db(cm::kLadderLast + 1);
        for (int g = 0; g < 600; ++g) {
            const double dir = -180.0 + 360.0 * unit(rng);
            const double inc = g % 4 == 0 ? -1000.0 + 2000.0 * unit(rng) : 16.0 + 74.0 * unit(rng);
            for (int i = 0; i <= cm::kLadderLast; ++i) index[i] = i;
            k->modelDb(dir, inc, index.data(), db.data(), cm::kLadderLast + 1);
            for (int b = 0; b < 12; ++b) {
                const int size = 2 << static_cast<int>(unit(rng) * 11.0);  // 2 .. 4096
                const int lo = static_cast<int>(unit(rng) * (cm::kLadderLast + 1));
                const int hi = std::min(lo + size - 1, cm::kLadderLast);
                const double bound = k->blockUpperDb(dir, inc, lo, hi);
                if (std::isnan(bound)) continue;
                if (std::isfinite(bound)) ++finiteBounds;
                for (int i = lo; i <= hi; ++i) {
                    if (db[i] > bound + 1e-9 * (1.0 + std::fabs(bound)) && violations++ < 5) {
                        ADD_FAILURE() << "dir " << dir << " inc " << inc << " block " << lo << ".."
                                      << hi << ": candidate " << i << " at " << db[i]
                                      << " dB above the bound " << bound;
                    }
                }
            }
        }
        EXPECT_EQ(violations, 0);
        // Most realistic geometries have finite bounds; otherwise nothing was tested.
        EXPECT_GT(finiteBounds, 4000);
    }
}

// The bounds at single candidates enclose the modelled value (the search
// takes a candidate as qualifying when its lower bound clears the
// observation, and excludes it when its upper bound stays below). Geometries
// over the domain, every candidate of the ladder; and the bounds are usually
// finite and tight for realistic geometries.
TEST(FastModel, CandidateBoundsEncloseTheModel) {
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::mt19937_64 rng(45);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::int64_t compared = 0, finite = 0, tight = 0, violations = 0;
        std::vector<int> index(cm::kLadderLast + 1);
        for (int i = 0; i <= cm::kLadderLast; ++i) index[i] = i;
        std::vector<double> db(index.size()), low(index.size()), high(index.size());
        for (int g = 0; g < 400; ++g) {
            const double dir = g % 50 == 0 ? 0.0 : -720.0 + 1440.0 * unit(rng);
            const double inc = g % 4 == 0 ? -1000.0 + 2000.0 * unit(rng) : 10.0 + 80.0 * unit(rng);
            const int n = static_cast<int>(index.size());
            k->modelDb(dir, inc, index.data(), db.data(), n);
            k->candidateRangeDb(dir, inc, index.data(), low.data(), high.data(), n);
            for (int i = 0; i < n; ++i) {
                ++compared;
                const double slack = 1e-9 * (1.0 + std::fabs(db[i]));
                // A NaN model value never qualifies: only an upper bound of -inf
                // or no finite lower bound is allowed there.
                const bool ok = std::isnan(db[i])
                                    ? !(low[i] > -kInf)
                                    : ((low[i] <= db[i] || low[i] <= db[i] + slack) &&
                                       (db[i] <= high[i] || db[i] <= high[i] + slack));
                if (!ok && violations++ < 5) {
                    ADD_FAILURE() << "dir " << dir << " inc " << inc << " candidate " << i << ": "
                                  << db[i] << " dB outside [" << low[i] << ", " << high[i] << "]";
                }
                if (std::isfinite(low[i]) && std::isfinite(high[i])) {
                    ++finite;
                    if (high[i] - low[i] < 1e-8) ++tight;
                }
            }
        }
        EXPECT_EQ(violations, 0) << "of " << compared << " candidates";
        EXPECT_GT(finite, compared / 2);
        EXPECT_GT(tight, finite * 99 / 100);
    }
}

// A bound is close to the values it covers for a short block: within a few
// candidate steps (about 0.01 dB each at these speeds), which the search needs
// to skip the block just before the answer.
TEST(FastModel, ShortBlockBoundsAreTight) {
    const SearchKernels& k = cm::activeSearchKernels();
    for (const double dir : {0.0, 45.0, 90.0, 135.0, 180.0}) {
        for (const double inc : {20.0, 30.0, 40.0, 50.0}) {
            for (const int lo : {300, 700, 1200}) {
                int index[8];
                double db[8];
                for (int i = 0; i < 8; ++i) index[i] = lo + i;
                k.modelDb(dir, inc, index, db, 8);
                const double bound = k.blockUpperDb(dir, inc, lo, lo + 7);
                EXPECT_GE(bound, db[7]);
                EXPECT_LT(bound - db[7], 0.1) << dir << " " << inc << " " << lo;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Wind direction rows.

template <bool Fma>
float scalarAngle(float u, float v) {
    const double du = u, dv = v;
    const double s = std::sqrt(du * du + dv * dv);
    return static_cast<float>(quorvane::simd::SleefScalarMath<Fma>::atan2((-du) / s, (-dv) / s));
}

std::vector<float> componentValues(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::max(), -std::numeric_limits<float>::min()};
    std::vector<float> values(n);
    for (float& x : values) {
        const double r = unit(rng);
        if (r < 0.1) {
            x = special[static_cast<std::size_t>(unit(rng) * std::size(special)) % std::size(special)];
        } else if (r < 0.2) {
            const int exponent = static_cast<int>(unit(rng) * 250) - 125;
            x = static_cast<float>((unit(rng) - 0.5) * std::ldexp(1.0, exponent));
        } else {
            x = static_cast<float>(-40.0 + 80.0 * unit(rng));
        }
    }
    return values;
}

quorvane::grid::GridView<float> floatView(std::vector<float>& storage, std::int64_t rows, std::int64_t columns,
                             std::int64_t rowStride, std::int64_t columnStride, std::int64_t offset) {
    quorvane::grid::GridView<float> view;
    view.data = reinterpret_cast<char*>(storage.data()) + offset;
    view.extent[0] = rows;
    view.extent[1] = columns;
    view.stride[0] = rowStride;
    view.stride[1] = columnStride;
    return view;
}

// Contiguous rows (vector loads), rows with a tail, and strided and reversed
// rows (element loads) all give the scalar form's bits.
TEST(FastWindAngle, VectorRowsGiveTheScalarSleefBits) {
    for (const Isa isa : quorvane::simd::kAllIsas) {
        const auto* k = quorvane::era5::windAngleKernels(isa);
        if (k == nullptr) continue;
        SCOPED_TRACE(quorvane::simd::name(isa));
        const bool fma = quorvane::simd::usesFma(isa);
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
            int mismatches = 0;
            for (std::int64_t i = 0; i < rows; ++i) {
                for (std::int64_t j = 0; j < columns; ++j) {
                    const float uu = u[i * columns + j], vv = v[i * columns + j];
                    const float want = fma ? scalarAngle<true>(uu, vv) : scalarAngle<false>(uu, vv);
                    const float a = outReversed[i * columns + (columns - 1 - j)];
                    const float b = outT[j * rows + i];
                    if ((std::bit_cast<std::uint32_t>(a) != std::bit_cast<std::uint32_t>(want) ||
                         std::bit_cast<std::uint32_t>(b) != std::bit_cast<std::uint32_t>(want)) &&
                        mismatches++ < 5) {
                        ADD_FAILURE() << "u " << uu << " v " << vv << ": rows " << a << " and " << b
                                      << ", scalar " << want;
                    }
                }
            }
            EXPECT_EQ(mismatches, 0);
        }
    }
}

TEST(FastWindAngle, ScalarFormMatchesTheActiveRowKernel) {
    const auto& k = quorvane::era5::activeWindAngleKernels();
    std::vector<float> u = componentValues(4000, 61), v = componentValues(4000, 62), out(4000);
    k.row(floatView(u, 1, 4000, 0, 4, 0), floatView(v, 1, 4000, 0, 4, 0),
          floatView(out, 1, 4000, 0, 4, 0), 0, 4000);
    for (std::size_t j = 0; j < u.size(); ++j) {
        const float want = static_cast<float>(quorvane::era5::ERA5_windAngle(u[j], v[j]));
        ASSERT_EQ(std::bit_cast<std::uint32_t>(out[j]), std::bit_cast<std::uint32_t>(want))
            << "u " << u[j] << " v " << v[j];
    }
}

// Away from ties at the float32 rounding, SLEEF's and the C library's
// atan2 give the same float32.
TEST(FastWindAngle, AgreesWithTheCLibraryFormAsFloat32) {
    std::vector<float> u = componentValues(20000, 71), v = componentValues(20000, 72);
    int differ = 0;
    for (std::size_t j = 0; j < u.size(); ++j) {
        const float a = static_cast<float>(quorvane::era5::ERA5_windAngle(u[j], v[j]));
        const float b = static_cast<float>(quorvane::era5::ERA5_windAngleReference(u[j], v[j]));
        if (std::isnan(a) && std::isnan(b)) continue;
        if (a != b) ++differ;
    }
    EXPECT_LE(differ, 2);
}

}  // namespace
