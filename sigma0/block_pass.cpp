#include "sigma0/block_pass.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "sigma0/pairwise_sum.hpp"

namespace quorvane::sigma0 {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// Pixels of a tile's width: rows of blocks are cut into tiles of whole blocks
// about this wide, so that every thread has work even when a window is one
// row of blocks, and a tile's scratch stays in the core's cache.
constexpr std::int64_t kTileWidth = 2048;

// The rows of a table that row r blends, and the weights, as NumPy forms
// them: lo * (1 - w) + hi * w.
struct LutRow {
    const double* lo;
    const double* hi;
    double w;
    double one_minus_w;

    LutRow(const LineLut& lut, std::int64_t width, std::int64_t r)
        : lo(lut.vectors + lut.lo_index[r] * width),
          hi(lut.vectors + lut.hi_index[r] * width),
          w(lut.weight[r]),
          one_minus_w(1.0 - lut.weight[r]) {}
};

template <bool kBlend>
inline double lutAt(const LutRow& lut, std::int64_t j) {
    if constexpr (kBlend) {
        return lut.lo[j] * lut.one_minus_w + lut.hi[j] * lut.w;
    } else {
        return lut.lo[j];
    }
}

// Columns [c0, c1) of row r: value the float32 sigma0 of any sign, valid a
// measurement (DN > 0, finite; border noise is left to the caller), nesz
// noise / A^2 (with noise vectors). Loops without branches, for the compiler
// to vectorise.
template <bool kBlend, bool kNoise, bool kNoiseBlend>
void calibrate(const Window& window, std::int64_t r, std::int64_t c0, std::int64_t c1, const double* azimuth,
               float* value, std::uint8_t* valid, double* nesz) {
    const std::int64_t width = window.width;
    const std::uint16_t* dn = window.dn + r * width;
    const LutRow calibration(window.calibration, width, r);
    if constexpr (kNoise) {
        const LutRow noise_range(window.noise_range, width, r);
        for (std::int64_t j = c0; j < c1; ++j) {
            const double a = lutAt<kBlend>(calibration, j);
            const double a2 = a * a;
            const double noise = lutAt<kNoiseBlend>(noise_range, j) * azimuth[j - c0];
            const double d = static_cast<double>(dn[j]);
            const float v = static_cast<float>((d * d - noise) / a2);
            value[j - c0] = v;
            valid[j - c0] = (dn[j] != 0) & std::isfinite(v);
            nesz[j - c0] = noise / a2;
        }
    } else {
        for (std::int64_t j = c0; j < c1; ++j) {
            const double a = lutAt<kBlend>(calibration, j);
            const double d = static_cast<double>(dn[j]);
            const float v = static_cast<float>(d * d / (a * a));
            value[j - c0] = v;
            valid[j - c0] = (dn[j] != 0) & std::isfinite(v);
        }
    }
}

using CalibrateFunction = void (*)(const Window&, std::int64_t, std::int64_t, std::int64_t, const double*, float*,
                                   std::uint8_t*, double*);

CalibrateFunction calibrateFor(const Window& window) {
    const bool blend = window.calibration.blend;
    if (!window.has_noise) return blend ? calibrate<true, false, false> : calibrate<false, false, false>;
    if (window.noise_range.blend) return blend ? calibrate<true, true, true> : calibrate<false, true, true>;
    return blend ? calibrate<true, true, false> : calibrate<false, true, false>;
}

// Calibrates tiles of rows: columns [c0, c1) of one row at a time, into
// scratch of its own (the row's values, validity and azimuth noise).
class RowCalibrator {
public:
    RowCalibrator(const Window& window, std::int64_t tile_width)
        : window_(window),
          calibrate_(calibrateFor(window)),
          value_(tile_width),
          valid_(tile_width),
          azimuth_(window.has_noise ? tile_width : 0) {}

    // Row r, columns [c0, c1): the values and validity (border noise
    // excluded) into value() and valid(), the NESZ into nesz (with noise
    // vectors).
    void row(std::int64_t r, std::int64_t c0, std::int64_t c1, double* nesz) {
        double* azimuth = azimuth_.data();
        if (window_.has_noise) {
            std::fill(azimuth, azimuth + (c1 - c0), 1.0);
            const AzimuthNoise& blocks = window_.noise_azimuth;
            for (std::int64_t b = 0; b < blocks.count; ++b) {
                if (r < blocks.rows[2 * b] || r >= blocks.rows[2 * b + 1]) continue;
                const std::int64_t first = std::max(c0, blocks.columns[2 * b]);
                const std::int64_t end = std::min(c1, blocks.columns[2 * b + 1]);
                if (first < end) std::fill(azimuth + (first - c0), azimuth + (end - c0), blocks.values[b * window_.height + r]);
            }
        }
        std::uint8_t* valid = valid_.data();
        calibrate_(window_, r, c0, c1, azimuth, value_.data(), valid, nesz);
        if (window_.border != nullptr) {
            const std::int64_t near_end = window_.border->near_end[r], far_start = window_.border->far_start[r];
            const std::int64_t* top_end = window_.border->top_end;
            const std::int64_t* bottom_start = window_.border->bottom_start;
            for (std::int64_t j = c0; j < c1; ++j) {
                const bool edge = (j < near_end) | (j >= far_start) | (r < top_end[j]) | (r >= bottom_start[j]);
                valid[j - c0] &= static_cast<std::uint8_t>(!edge);
            }
        }
    }

    const float* value() const { return value_.data(); }
    const std::uint8_t* valid() const { return valid_.data(); }

private:
    const Window& window_;
    CalibrateFunction calibrate_;
    std::vector<float> value_;
    std::vector<std::uint8_t> valid_;
    std::vector<double> azimuth_;
};

// The value where kept (1), +0.0 where not (0): a select that the compiler
// vectorises, which it does not with the conditional operator on doubles.
inline double valueOr0(float value, std::int32_t kept) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(static_cast<double>(value)) &
                                 (std::uint64_t{0} - static_cast<std::uint64_t>(kept)));
}

// The sums over the lines of a block row at each column of a tile: of sigma0
// (valid sea pixels, 0 elsewhere) and of the NESZ, in np.add.reduceat's
// order; and the per-column counts of valid sea pixels and of land pixels
// (integers: any order).
class BlockRowSums {
public:
    BlockRowSums(const Window& window, std::int64_t tile_width)
        : window_(window),
          calibrator_(window, tile_width),
          channels_(window.has_noise ? 2 : 1),
          capacity_(tile_width),
          sums_(channels_ * capacity_),
          row_(channels_ * capacity_),
          accumulators_(8 * channels_ * capacity_),
          valid_(capacity_),
          land_(window.land != nullptr ? capacity_ : 0) {}

    // The sums over lines [first, first + n) at columns [c0, c1), channels of
    // c1 - c0 values (sigma0, then the NESZ with noise vectors), valid until
    // the next call; the counts into valid() and land(). As np.add.reduceat:
    // the first line plus the pairwise sum of the others.
    const double* sum(std::int64_t first, std::int64_t n, std::int64_t c0, std::int64_t c1) {
        c0_ = c0;
        c1_ = c1;
        std::fill(valid_.begin(), valid_.end(), 0);
        std::fill(land_.begin(), land_.end(), 0);
        double* sums = sums_.data();
        produce(first, sums);
        if (n > 1) {
            double* rest = buffer(0);
            pairwise(first + 1, n - 1, rest, 1);
            add(sums, rest);
        }
        return sums;
    }

    const std::int32_t* valid() const { return valid_.data(); }
    const std::int32_t* land() const { return land_.data(); }
    std::int64_t channels() const { return channels_; }
    std::int64_t stride() const { return capacity_; }

private:
    std::int64_t size() const { return channels_ * capacity_; }

    // The scratch sums of recursion depth `depth`.
    double* buffer(std::size_t depth) {
        while (depth_buffers_.size() <= depth) depth_buffers_.emplace_back(size());
        return depth_buffers_[depth].data();
    }

    void add(double* to, const double* from) const {
        const std::int64_t n = c1_ - c0_;
        for (std::int64_t k = 0; k < channels_; ++k) {
            double* t = to + k * capacity_;
            const double* f = from + k * capacity_;
            for (std::int64_t j = 0; j < n; ++j) t[j] += f[j];
        }
    }

    // The contributions of line r into out, counting its pixels.
    void produce(std::int64_t r, double* out) {
        const std::int64_t n = c1_ - c0_;
        calibrator_.row(r, c0_, c1_, out + capacity_);
        const float* value = calibrator_.value();
        const std::uint8_t* valid = calibrator_.valid();
        std::int32_t* valid_count = valid_.data();
        if (window_.land != nullptr) {
            const std::uint8_t* land = window_.land + r * window_.width + c0_;
            std::int32_t* land_count = land_.data();
            for (std::int64_t j = 0; j < n; ++j) {
                const std::int32_t on_land = land[j] != 0;
                const std::int32_t kept = valid[j] & (1 - on_land);
                land_count[j] += on_land;
                valid_count[j] += kept;
                out[j] = valueOr0(value[j], kept);
            }
        } else {
            for (std::int64_t j = 0; j < n; ++j) {
                const std::int32_t kept = valid[j];
                valid_count[j] += kept;
                out[j] = valueOr0(value[j], kept);
            }
        }
    }

    // NumPy's pairwise sum over lines [first, first + n), n >= 1, into out.
    void pairwise(std::int64_t first, std::int64_t n, double* out, std::size_t depth) {
        const std::int64_t width = c1_ - c0_;
        if (n < 8) {
            for (std::int64_t k = 0; k < channels_; ++k) std::fill(out + k * capacity_, out + k * capacity_ + width, 0.0);
            double* line = row_.data();
            for (std::int64_t i = 0; i < n; ++i) {
                produce(first + i, line);
                add(out, line);
            }
            return;
        }
        if (n <= kPairwiseBlock) {
            double* r[8];
            for (int k = 0; k < 8; ++k) {
                r[k] = accumulators_.data() + k * size();
                produce(first + k, r[k]);
            }
            std::int64_t i = 8;
            double* line = row_.data();
            for (; i < n - (n % 8); i += 8) {
                for (int k = 0; k < 8; ++k) {
                    produce(first + i + k, line);
                    add(r[k], line);
                }
            }
            for (std::int64_t c = 0; c < channels_; ++c) {
                const std::int64_t o = c * capacity_;
                for (std::int64_t j = o; j < o + width; ++j) {
                    out[j] = ((r[0][j] + r[1][j]) + (r[2][j] + r[3][j])) + ((r[4][j] + r[5][j]) + (r[6][j] + r[7][j]));
                }
            }
            for (; i < n; ++i) {
                produce(first + i, line);
                add(out, line);
            }
            return;
        }
        std::int64_t n2 = n / 2;
        n2 -= n2 % 8;
        pairwise(first, n2, out, depth + 1);
        double* second = buffer(depth);
        pairwise(first + n2, n - n2, second, depth + 1);
        add(out, second);
    }

    const Window& window_;
    RowCalibrator calibrator_;
    std::int64_t channels_;
    std::int64_t capacity_;
    std::int64_t c0_ = 0, c1_ = 0;
    std::vector<double> sums_;
    std::vector<double> row_;
    std::vector<double> accumulators_;
    std::vector<std::vector<double>> depth_buffers_;
    // Per column: at most the lines of a block (the window's height is
    // checked to fit).
    std::vector<std::int32_t> valid_;
    std::vector<std::int32_t> land_;
};

void checkArguments(const Window& window, std::int64_t factor_lines, std::int64_t factor_pixels) {
    if (factor_lines < 1 || factor_pixels < 1) {
        throw std::invalid_argument("the block factors must be at least 1");
    }
    if (window.height > std::numeric_limits<std::int32_t>::max()) {
        throw std::invalid_argument("the window has more lines than the pass counts (2^31 - 1)");
    }
}

// Runs body(item, scratch) for item in [0, count) on every thread, with one
// Scratch per thread made from `args`. Every thread reaches the loop whatever
// happens to its scratch, as OpenMP requires; running out of memory anywhere
// stops the work and is thrown once the threads are joined.
template <class Scratch, class Body, class... Args>
void parallelItems(std::int64_t count, Body&& body, const Args&... args) {
    std::atomic<bool> out_of_memory{false};
#pragma omp parallel if (count > 1)
    {
        std::optional<Scratch> scratch;
        try {
            scratch.emplace(args...);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
#pragma omp for schedule(dynamic, 1)
        for (std::int64_t item = 0; item < count; ++item) {
            if (out_of_memory) continue;
            try {
                body(item, *scratch);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
        }
    }
    if (out_of_memory) throw std::bad_alloc();
}

// Columns of a tile: whole blocks of `factor` pixels, about kTileWidth wide.
std::int64_t tileBlocks(std::int64_t width, std::int64_t factor) {
    const std::int64_t blocks = blockCount(width, factor);
    return std::clamp<std::int64_t>(kTileWidth / factor, 1, blocks);
}

// Per pixel, for factors 1 x 1: a tile is a part of a row.
void pixelPass(const Window& window, const Blocks& out) {
    const std::int64_t tile = std::min(window.width, kTileWidth);
    const std::int64_t tiles = blockCount(window.width, tile);
    struct Scratch {
        RowCalibrator calibrator;
        std::vector<double> nesz;
        Scratch(const Window& w, std::int64_t width) : calibrator(w, width), nesz(w.has_noise ? width : 0) {}
    };
    parallelItems<Scratch>(
        window.height * tiles,
        [&](std::int64_t item, Scratch& scratch) {
            const std::int64_t r = item / tiles;
            const std::int64_t c0 = (item % tiles) * tile;
            const std::int64_t c1 = std::min(window.width, c0 + tile);
            scratch.calibrator.row(r, c0, c1, scratch.nesz.data());
            const float* value = scratch.calibrator.value();
            const std::uint8_t* valid = scratch.calibrator.valid();
            const std::int64_t at = r * window.width + c0;
            for (std::int64_t j = 0; j < c1 - c0; ++j) {
                const bool positive = valid[j] & (value[j] > 0.0f);
                out.sigma0[at + j] = std::bit_cast<float>(positive ? std::bit_cast<std::uint32_t>(value[j])
                                                                   : std::bit_cast<std::uint32_t>(kNaN));
                out.valid_count[at + j] = valid[j];
            }
            for (std::int64_t j = 0; j < c1 - c0; ++j) {
                out.nesz[at + j] = window.has_noise ? static_cast<float>(scratch.nesz[j]) : kNaN;
            }
        },
        window, tile);
}

}  // namespace

std::int64_t blockCount(std::int64_t size, std::int64_t factor) { return (size + factor - 1) / factor; }

void blockPass(const Window& window, std::int64_t factor_lines, std::int64_t factor_pixels,
               const Blocks& out) {
    checkArguments(window, factor_lines, factor_pixels);
    if (window.height == 0 || window.width == 0) return;
    if (factor_lines == 1 && factor_pixels == 1) {
        pixelPass(window, out);
        return;
    }
    const std::int64_t block_rows = blockCount(window.height, factor_lines);
    const std::int64_t block_columns = blockCount(window.width, factor_pixels);
    const std::int64_t tile_blocks = tileBlocks(window.width, factor_pixels);
    const std::int64_t tiles = blockCount(block_columns, tile_blocks);
    const std::int64_t tile_width = std::min(window.width, tile_blocks * factor_pixels);
    parallelItems<BlockRowSums>(
        block_rows * tiles,
        [&](std::int64_t item, BlockRowSums& sums) {
            const std::int64_t bi = item / tiles;
            const std::int64_t first_block = (item % tiles) * tile_blocks;
            const std::int64_t end_block = std::min(block_columns, first_block + tile_blocks);
            const std::int64_t first = bi * factor_lines;
            const std::int64_t lines = std::min(factor_lines, window.height - first);
            const std::int64_t t0 = first_block * factor_pixels;
            const std::int64_t t1 = std::min(window.width, end_block * factor_pixels);
            const double* values = sums.sum(first, lines, t0, t1);
            const double* nesz = values + sums.stride();
            for (std::int64_t bj = first_block; bj < end_block; ++bj) {
                const std::int64_t c0 = bj * factor_pixels - t0;
                const std::int64_t columns = std::min(factor_pixels, t1 - t0 - c0);
                const std::int64_t pixels = lines * columns;
                std::int64_t count = 0, land = 0;
                for (std::int64_t j = c0; j < c0 + columns; ++j) count += sums.valid()[j];
                if (window.land != nullptr) {
                    for (std::int64_t j = c0; j < c0 + columns; ++j) land += sums.land()[j];
                }
                // As the NumPy formulation: the mean over the valid sea pixels,
                // kept where they are at least half of the sea pixels.
                const std::int64_t sea = pixels - land;
                const double total = reduceatSum(values + c0, columns, 1);
                const double mean = total / static_cast<double>(std::max<std::int64_t>(count, 1));
                const bool kept = count * 2 >= sea && count > 0 && mean > 0.0;
                const std::int64_t at = bi * block_columns + bj;
                out.sigma0[at] = kept ? static_cast<float>(mean) : kNaN;
                out.valid_count[at] = static_cast<std::int32_t>(count);
                out.nesz[at] = window.has_noise ? static_cast<float>(reduceatSum(nesz + c0, columns, 1) /
                                                                     static_cast<double>(pixels))
                                                : kNaN;
                if (out.land_fraction != nullptr) {
                    out.land_fraction[at] = static_cast<float>(static_cast<double>(land) / static_cast<double>(pixels));
                }
            }
        },
        window, tile_width);
}

std::vector<double> lineSums(const Window& window, std::int64_t first, std::int64_t lines) {
    BlockRowSums sums(window, window.width);
    const double* values = sums.sum(first, lines, 0, window.width);
    std::vector<double> out(values, values + window.width);
    if (sums.channels() == 2) out.insert(out.end(), values + sums.stride(), values + sums.stride() + window.width);
    return out;
}

}  // namespace quorvane::sigma0
