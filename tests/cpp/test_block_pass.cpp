// The sigma0 pass: its line-by-line sums against the same sums taken over a
// whole window of per-pixel values, for every shape of block (NumPy's
// pairwise order has three regimes: below 8 values, up to 128, beyond), with
// land, border noise, fill, missing noise vectors and overlapping azimuth
// noise blocks; the same bits on any number of threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "sigma0/block_pass.hpp"
#include "sigma0/pairwise_sum.hpp"

namespace {

using quorvane::sigma0::AzimuthNoise;
using quorvane::sigma0::blockCount;
using quorvane::sigma0::blockPass;
using quorvane::sigma0::Blocks;
using quorvane::sigma0::Border;
using quorvane::sigma0::LineLut;
using quorvane::sigma0::lineSums;
using quorvane::sigma0::pairwiseSum;
using quorvane::sigma0::reduceatSum;
using quorvane::sigma0::Window;

TEST(PairwiseSum, FollowsNumpysOrderInEachRegime) {
    // 1e16 absorbs a 1 added to it alone, but not a 2: the order decides.
    const double big = 1e16;
    // Below 8: from 0.0, left to right.
    const std::vector<double> few = {big, 1.0, 1.0, -big};
    EXPECT_EQ(pairwiseSum(few.data(), 4, 1), ((((0.0 + big) + 1.0) + 1.0) - big));
    // 8 to 128: eight running sums over values 8 apart, a fixed tree, then the rest.
    std::vector<double> mid(19, 0.0);
    mid[0] = big;
    mid[1] = 1.0;
    mid[9] = 1.0;    // r1 = 1 + 1: the ones meet before they meet big
    mid[17] = -big;  // past the last multiple of 8: added after the tree
    mid[18] = 3.0;
    const double r1 = 1.0 + 1.0;
    EXPECT_EQ(pairwiseSum(mid.data(), 19, 1), (((big + r1) + (0.0 + 0.0)) + ((0.0 + 0.0) + (0.0 + 0.0)) + 0.0 - big) + 3.0);
    EXPECT_EQ(pairwiseSum(mid.data(), 19, 1), 5.0);
    double plain = 0.0;
    for (double v : mid) plain += v;
    EXPECT_NE(pairwiseSum(mid.data(), 19, 1), plain);   // the order matters here
    // Beyond 128: the two halves, the first a multiple of 8 (150 -> 72 + 78).
    std::vector<double> many(150, 0.0);
    many[0] = big;
    many[71] = 1.0;
    many[72] = 1.0;
    many[149] = -big;
    EXPECT_EQ(pairwiseSum(many.data(), 150, 1),
              pairwiseSum(many.data(), 72, 1) + pairwiseSum(many.data() + 72, 78, 1));
    // reduceat: the first value plus the pairwise sum of the others, at any stride.
    const std::vector<double> strided = {big, 7.0, 1.0, 7.0, -big, 7.0};
    EXPECT_EQ(reduceatSum(strided.data(), 3, 2), big + ((0.0 + 1.0) - big));
    EXPECT_EQ(reduceatSum(strided.data(), 1, 2), big);
}

// A window with every feature, its arrays owned here.
struct Scene {
    std::int64_t height, width;
    std::vector<std::uint16_t> dn;
    std::vector<double> cal_vectors, noise_vectors, weight, noise_weight, az_values;
    std::vector<std::int64_t> lo, hi, noise_lo, noise_hi, az_rows, az_columns;
    std::vector<std::int64_t> near_end, far_start, top_end, bottom_start;
    std::vector<std::uint8_t> land;
    Border border;

    Scene(std::int64_t h, std::int64_t w, unsigned seed) : height(h), width(w) {
        std::mt19937_64 random(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        // Amplitudes across three orders of magnitude, so that the sums'
        // order shows in the last bits; fill (DN 0) on about 3 % of pixels.
        dn.resize(h * w);
        for (auto& v : dn) {
            const double u = unit(random);
            v = u < 0.03 ? 0 : static_cast<std::uint16_t>(1 + 60000.0 * std::pow(unit(random), 3.0));
        }
        for (int k = 0; k < 3; ++k) {
            for (std::int64_t j = 0; j < w; ++j) {
                cal_vectors.push_back(400.0 + 100.0 * k + 0.37 * j + unit(random));
                noise_vectors.push_back(20000.0 * (1.0 + unit(random)));
            }
        }
        for (std::int64_t r = 0; r < h; ++r) {
            const std::int64_t pair = r < h / 2 ? 0 : 1;
            lo.push_back(pair);
            hi.push_back(pair + 1);
            weight.push_back(unit(random));
            noise_lo.push_back(2);
            noise_hi.push_back(pair);
            noise_weight.push_back(unit(random));
        }
        // Two azimuth blocks, the second overriding part of the first.
        az_rows = {0, h, h / 3, h};
        az_columns = {0, w / 2 + 1, w / 3, w};
        for (std::int64_t b = 0; b < 2; ++b) {
            for (std::int64_t r = 0; r < h; ++r) az_values.push_back(0.5 + unit(random));
        }
        for (std::int64_t r = 0; r < h; ++r) {
            near_end.push_back(static_cast<std::int64_t>(unit(random) * 4) - 1);
            far_start.push_back(w - static_cast<std::int64_t>(unit(random) * 4));
        }
        for (std::int64_t j = 0; j < w; ++j) {
            top_end.push_back(static_cast<std::int64_t>(unit(random) * 3));
            bottom_start.push_back(h - static_cast<std::int64_t>(unit(random) * 3));
        }
        border = {near_end.data(), far_start.data(), top_end.data(), bottom_start.data()};
        // Land: a coast across the window plus scattered pixels.
        land.resize(h * w);
        for (std::int64_t r = 0; r < h; ++r) {
            for (std::int64_t j = 0; j < w; ++j) {
                land[r * w + j] = (j > w - 1 - r / 2) || unit(random) < 0.02;
            }
        }
    }

    Window window(bool noise, bool with_border, bool with_land, bool blend = true) const {
        Window out;
        out.dn = dn.data();
        out.height = height;
        out.width = width;
        out.calibration = {cal_vectors.data(), 3, lo.data(), hi.data(), weight.data(), blend};
        out.has_noise = noise;
        out.noise_range = {noise_vectors.data(), 3, noise_lo.data(), noise_hi.data(), noise_weight.data(), true};
        out.noise_azimuth = {2, az_rows.data(), az_columns.data(), az_values.data()};
        out.border = with_border ? &border : nullptr;
        out.land = with_land ? land.data() : nullptr;
        return out;
    }
};

// The table at (r, j), as the pass's doc states it.
double lutAt(const LineLut& lut, std::int64_t width, std::int64_t r, std::int64_t j) {
    const double lo = lut.vectors[lut.lo_index[r] * width + j];
    if (!lut.blend) return lo;
    const double hi = lut.vectors[lut.hi_index[r] * width + j];
    return lo * (1.0 - lut.weight[r]) + hi * lut.weight[r];
}

struct Pixels {
    std::vector<double> value, nesz;
    std::vector<float> raw;
    std::vector<std::int64_t> valid, land;
};

// Each pixel on its own, as the pass's doc states it.
Pixels pixels(const Window& w, bool per_pixel) {
    const std::int64_t h = w.height, n = w.width;
    Pixels p{std::vector<double>(h * n), std::vector<double>(h * n), std::vector<float>(h * n),
             std::vector<std::int64_t>(h * n), std::vector<std::int64_t>(h * n)};
    for (std::int64_t r = 0; r < h; ++r) {
        for (std::int64_t j = 0; j < n; ++j) {
            const std::int64_t at = r * n + j;
            double azimuth = 1.0;
            for (std::int64_t b = 0; b < w.noise_azimuth.count; ++b) {
                if (r >= w.noise_azimuth.rows[2 * b] && r < w.noise_azimuth.rows[2 * b + 1] &&
                    j >= w.noise_azimuth.columns[2 * b] && j < w.noise_azimuth.columns[2 * b + 1]) {
                    azimuth = w.noise_azimuth.values[b * h + r];
                }
            }
            const double a = lutAt(w.calibration, n, r, j);
            const double noise = w.has_noise ? lutAt(w.noise_range, n, r, j) * azimuth : 0.0;
            double power = static_cast<double>(w.dn[at]);
            power = power * power;
            if (w.has_noise) power -= noise;
            p.raw[at] = static_cast<float>(power / (a * a));
            const bool border = w.border != nullptr &&
                                (j < w.border->near_end[r] || j >= w.border->far_start[r] ||
                                 r < w.border->top_end[j] || r >= w.border->bottom_start[j]);
            // Land is left out of blocks, not of pixels.
            p.land[at] = w.land != nullptr && w.land[at] != 0 && !per_pixel;
            p.valid[at] = w.dn[at] != 0 && std::isfinite(p.raw[at]) && !border && !p.land[at];
            p.value[at] = p.valid[at] ? p.raw[at] : 0.0;
            p.nesz[at] = w.has_noise ? noise / (a * a) : std::numeric_limits<double>::quiet_NaN();
        }
    }
    return p;
}

struct Expected {
    std::vector<float> sigma0, nesz, land_fraction;
    std::vector<std::int32_t> count;
};

// Per-pixel values of the whole window first, then the sums of each block
// through reduceatSum over lines (strided), then over pixels.
Expected expected(const Window& w, std::int64_t fl, std::int64_t fp) {
    const std::int64_t h = w.height, n = w.width;
    const Pixels p = pixels(w, fl == 1 && fp == 1);
    const auto& [value, nesz, raw, valid, land] = p;
    Expected out;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (fl == 1 && fp == 1) {
        for (std::int64_t at = 0; at < h * n; ++at) {
            out.sigma0.push_back(valid[at] && raw[at] > 0.0f ? raw[at] : nan);
            out.nesz.push_back(static_cast<float>(nesz[at]));
            out.count.push_back(static_cast<std::int32_t>(valid[at]));
        }
        return out;
    }
    for (std::int64_t r0 = 0; r0 < h; r0 += fl) {
        const std::int64_t lines = std::min(fl, h - r0);
        std::vector<double> value_lines(n), nesz_lines(n);
        for (std::int64_t j = 0; j < n; ++j) {
            value_lines[j] = reduceatSum(&value[r0 * n + j], lines, n);
            nesz_lines[j] = reduceatSum(&nesz[r0 * n + j], lines, n);
        }
        for (std::int64_t c0 = 0; c0 < n; c0 += fp) {
            const std::int64_t columns = std::min(fp, n - c0);
            std::int64_t count = 0, land_count = 0;
            for (std::int64_t r = r0; r < r0 + lines; ++r) {
                for (std::int64_t j = c0; j < c0 + columns; ++j) {
                    count += valid[r * n + j];
                    land_count += land[r * n + j];
                }
            }
            const std::int64_t pixels = lines * columns;
            const double mean = reduceatSum(&value_lines[c0], columns, 1) / static_cast<double>(std::max<std::int64_t>(count, 1));
            const bool kept = count * 2 >= pixels - land_count && count > 0 && mean > 0.0;
            out.sigma0.push_back(kept ? static_cast<float>(mean) : nan);
            out.nesz.push_back(static_cast<float>(reduceatSum(&nesz_lines[c0], columns, 1) / static_cast<double>(pixels)));
            out.land_fraction.push_back(static_cast<float>(static_cast<double>(land_count) / static_cast<double>(pixels)));
            out.count.push_back(static_cast<std::int32_t>(count));
        }
    }
    return out;
}

template <class T>
std::vector<std::uint32_t> bits(const std::vector<T>& values) {
    std::vector<std::uint32_t> out;
    for (T v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
    return out;
}

struct PassResult {
    std::vector<float> sigma0, nesz, land_fraction;
    std::vector<std::int32_t> count;
};

PassResult runPass(const Window& w, std::int64_t fl, std::int64_t fp) {
    const std::int64_t blocks = blockCount(w.height, fl) * blockCount(w.width, fp);
    PassResult out{std::vector<float>(blocks, -1.0f), std::vector<float>(blocks, -1.0f),
            std::vector<float>(blocks, -1.0f), std::vector<std::int32_t>(blocks, -1)};
    const bool per_pixel = fl == 1 && fp == 1;
    blockPass(w, fl, fp, Blocks{out.sigma0.data(), out.nesz.data(), per_pixel ? nullptr : out.land_fraction.data(),
                                out.count.data()});
    if (per_pixel) out.land_fraction.clear();
    return out;
}

TEST(BlockPass, SumsAlongLinesInNumpysOrder) {
    // Doubles, before any rounding to float32: every regime of the pairwise
    // sum, from the first line and from a later one.
    const Scene scene(700, 37, 11);
    for (const bool noise : {true, false}) {
        const Window w = scene.window(noise, true, true);
        const Pixels p = pixels(w, false);
        for (const std::int64_t n : {1, 2, 7, 8, 9, 16, 17, 100, 128, 129, 130, 137, 200, 300, 650}) {
            for (const std::int64_t first : {std::int64_t{0}, std::int64_t{43}}) {
                const std::vector<double> got = lineSums(w, first, n);
                ASSERT_EQ(got.size(), static_cast<std::size_t>((noise ? 2 : 1) * w.width));
                for (std::int64_t j = 0; j < w.width; ++j) {
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[j]),
                              std::bit_cast<std::uint64_t>(reduceatSum(&p.value[first * w.width + j], n, w.width)))
                        << "sigma0, " << n << " lines from " << first << ", column " << j;
                    if (noise) {
                        EXPECT_EQ(got[w.width + j], reduceatSum(&p.nesz[first * w.width + j], n, w.width))
                            << "nesz, " << n << " lines from " << first << ", column " << j;
                    }
                }
            }
        }
    }
}

class BlockPassFactors : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(BlockPassFactors, EqualsTheSumsOfTheWholeWindowBitForBit) {
    const auto [fl, fp] = GetParam();
    const Scene scene(301, 263, 7u * fl + fp);
    for (const bool noise : {true, false}) {
        for (const bool with_border : {false, true}) {
            for (const bool with_land : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "noise " << noise << " border " << with_border << " land "
                                                  << with_land);
                const Window w = scene.window(noise, with_border, with_land);
                const Expected want = expected(w, fl, fp);
                const PassResult got = runPass(w, fl, fp);
                EXPECT_EQ(bits(got.sigma0), bits(want.sigma0));
                EXPECT_EQ(bits(got.nesz), bits(want.nesz));
                EXPECT_EQ(got.count, want.count);
                EXPECT_EQ(bits(got.land_fraction), bits(want.land_fraction));
            }
        }
    }
}

// 1 x 1 (per pixel); factors in each regime of the pairwise sum along lines
// (below 8, to 128, beyond, with edge blocks of every size) and along pixels.
INSTANTIATE_TEST_SUITE_P(Shapes, BlockPassFactors,
                         ::testing::Values(std::pair{1, 1}, std::pair{2, 3}, std::pair{9, 1}, std::pair{1, 17},
                                           std::pair{100, 100}, std::pair{129, 7}, std::pair{150, 131},
                                           std::pair{301, 263}, std::pair{400, 2}));

TEST(BlockPass, WideWindowsCutIntoTilesOfWholeBlocks) {
    // Wider than a tile (2048 pixels): blocks narrower and wider than a
    // tile, and a last tile and block cut short.
    const Scene scene(23, 5000, 5);
    for (const auto [fl, fp] : {std::pair{1, 1}, std::pair{5, 100}, std::pair{7, 3}, std::pair{23, 2100},
                                std::pair{4, 4999}, std::pair{9, 5000}}) {
        const Window w = scene.window(true, true, true);
        const Expected want = expected(w, fl, fp);
        const PassResult got = runPass(w, fl, fp);
        EXPECT_EQ(bits(got.sigma0), bits(want.sigma0)) << fl << " x " << fp;
        EXPECT_EQ(bits(got.nesz), bits(want.nesz)) << fl << " x " << fp;
        EXPECT_EQ(got.count, want.count) << fl << " x " << fp;
        EXPECT_EQ(bits(got.land_fraction), bits(want.land_fraction)) << fl << " x " << fp;
    }
}

TEST(BlockPass, SameBitsOnAnyNumberOfThreadsAndATableOfOneVector) {
    const Scene scene(257, 190, 3);
    const Window w = scene.window(true, true, true, false);
    const Expected want = expected(w, 20, 20);
    const int threads = omp_get_max_threads();
    for (const int n : {1, 2, 3}) {
        omp_set_num_threads(n);
        const PassResult got = runPass(w, 20, 20);
        EXPECT_EQ(bits(got.sigma0), bits(want.sigma0)) << n << " threads";
        EXPECT_EQ(bits(got.nesz), bits(want.nesz)) << n << " threads";
        EXPECT_EQ(got.count, want.count) << n << " threads";
    }
    omp_set_num_threads(threads);
}

TEST(BlockPass, RefusesFactorsBelowOneAndLeavesEmptyWindowsAlone) {
    const Scene scene(4, 4, 1);
    const Window w = scene.window(true, false, false);
    float value = 0.0f;
    std::int32_t count = 0;
    const Blocks out{&value, &value, nullptr, &count};
    EXPECT_THROW(blockPass(w, 0, 3, out), std::invalid_argument);
    EXPECT_THROW(blockPass(w, 3, -1, out), std::invalid_argument);
    Window empty = w;
    empty.height = 0;
    blockPass(empty, 2, 2, Blocks{nullptr, nullptr, nullptr, nullptr});
    EXPECT_EQ(blockCount(0, 5), 0);
    EXPECT_EQ(blockCount(11, 5), 3);
}

}  // namespace
