#include "sigma0/block_pass.hpp"

#include <algorithm>
#include <atomic>
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

// The table's row r at every column, into out (width values).
struct LutRow {
    const double* lo;
    const double* hi;
    double w;
    double one_minus_w;
    bool blend;

    LutRow(const LineLut& lut, std::int64_t width, std::int64_t r)
        : lo(lut.vectors + lut.lo_index[r] * width),
          hi(lut.vectors + lut.hi_index[r] * width),
          w(lut.weight[r]),
          one_minus_w(1.0 - lut.weight[r]),
          blend(lut.blend) {}

    // As NumPy writes it: lo * (1 - w), then += hi * w.
    double at(std::int64_t j) const { return blend ? lo[j] * one_minus_w + hi[j] * w : lo[j]; }
};

// One row of the window calibrated: what a pixel contributes, and whether it
// is valid. Scratch for the azimuth noise of the row.
class RowCalibrator {
public:
    RowCalibrator(const Window& window) : window_(window), azimuth_(window.has_noise ? window.width : 0) {}

    // Calls pixel(j, value, valid, nesz) for each column j of row r, with
    // value the float32 sigma0 of any sign, valid a measurement (DN > 0,
    // finite, not border noise) and nesz noise / A^2 (NaN without noise).
    template <class Pixel>
    void row(std::int64_t r, Pixel&& pixel) {
        const std::int64_t width = window_.width;
        const std::uint16_t* dn = window_.dn + r * width;
        const LutRow calibration(window_.calibration, width, r);
        std::int64_t near_end = 0, far_start = width;
        const std::int64_t* top_end = nullptr;
        const std::int64_t* bottom_start = nullptr;
        if (window_.border != nullptr) {
            near_end = window_.border->near_end[r];
            far_start = window_.border->far_start[r];
            top_end = window_.border->top_end;
            bottom_start = window_.border->bottom_start;
        }
        if (!window_.has_noise) {
            for (std::int64_t j = 0; j < width; ++j) {
                const double a = calibration.at(j);
                const double a2 = a * a;
                const double d = static_cast<double>(dn[j]);
                const float value = static_cast<float>(d * d / a2);
                bool valid = dn[j] != 0 && std::isfinite(value);
                if (top_end != nullptr) valid = valid && !border(r, j, near_end, far_start, top_end, bottom_start);
                pixel(j, value, valid, std::numeric_limits<double>::quiet_NaN());
            }
            return;
        }
        const LutRow noise_range(window_.noise_range, width, r);
        double* azimuth = azimuth_.data();
        std::fill(azimuth, azimuth + width, 1.0);
        const AzimuthNoise& blocks = window_.noise_azimuth;
        for (std::int64_t b = 0; b < blocks.count; ++b) {
            if (r < blocks.rows[2 * b] || r >= blocks.rows[2 * b + 1]) continue;
            std::fill(azimuth + blocks.columns[2 * b], azimuth + blocks.columns[2 * b + 1],
                      blocks.values[b * window_.height + r]);
        }
        for (std::int64_t j = 0; j < width; ++j) {
            const double a = calibration.at(j);
            const double a2 = a * a;
            const double noise = noise_range.at(j) * azimuth[j];
            const double d = static_cast<double>(dn[j]);
            const float value = static_cast<float>((d * d - noise) / a2);
            bool valid = dn[j] != 0 && std::isfinite(value);
            if (top_end != nullptr) valid = valid && !border(r, j, near_end, far_start, top_end, bottom_start);
            pixel(j, value, valid, noise / a2);
        }
    }

private:
    static bool border(std::int64_t r, std::int64_t j, std::int64_t near_end, std::int64_t far_start,
                       const std::int64_t* top_end, const std::int64_t* bottom_start) {
        return j < near_end || j >= far_start || r < top_end[j] || r >= bottom_start[j];
    }

    const Window& window_;
    std::vector<double> azimuth_;
};

// The sums of one row of blocks: per column, over the block's lines, of
// sigma0 (valid sea pixels, 0 elsewhere) and of the NESZ, in np.add.reduceat's
// order; and the per-column counts of valid sea pixels, sea pixels and land
// pixels (integers: any order).
class BlockRowSums {
public:
    BlockRowSums(const Window& window)
        : window_(window),
          calibrator_(window),
          channels_(window.has_noise ? 2 : 1),
          width_(window.width),
          sums_(channels_ * width_),
          row_(channels_ * width_),
          accumulators_(8 * channels_ * width_),
          valid_(width_),
          land_(window.land != nullptr ? width_ : 0) {}

    // The sums over lines [first, first + n), channels x width (sigma0,
    // then the NESZ with noise vectors), valid until the next call; counts
    // the pixels. As np.add.reduceat: the first line plus the pairwise sum
    // of the others.
    const double* sum(std::int64_t first, std::int64_t n) {
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

    const std::vector<std::int64_t>& valid() const { return valid_; }
    const std::vector<std::int64_t>& land() const { return land_; }
    std::int64_t channels() const { return channels_; }

private:
    std::int64_t size() const { return channels_ * width_; }

    // The scratch sums of recursion depth `depth`.
    double* buffer(std::size_t depth) {
        while (depth_buffers_.size() <= depth) depth_buffers_.emplace_back(size());
        return depth_buffers_[depth].data();
    }

    void add(double* to, const double* from) const {
        for (std::int64_t k = 0; k < size(); ++k) to[k] += from[k];
    }

    // The contributions of line r into out, counting its pixels.
    void produce(std::int64_t r, double* out) {
        const std::uint8_t* land = window_.land != nullptr ? window_.land + r * width_ : nullptr;
        std::int64_t* valid_count = valid_.data();
        std::int64_t* land_count = land_.data();
        double* values = out;
        double* nesz = out + width_;
        const bool with_nesz = channels_ == 2;
        calibrator_.row(r, [&](std::int64_t j, float value, bool valid, double pixel_nesz) {
            if (land != nullptr && land[j] != 0) {
                valid = false;
                ++land_count[j];
            }
            values[j] = valid ? static_cast<double>(value) : 0.0;
            valid_count[j] += valid ? 1 : 0;
            if (with_nesz) nesz[j] = pixel_nesz;
        });
    }

    // NumPy's pairwise sum over lines [first, first + n), n >= 1, into out.
    void pairwise(std::int64_t first, std::int64_t n, double* out, std::size_t depth) {
        if (n < 8) {
            std::fill(out, out + size(), 0.0);
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
            for (std::int64_t k = 0; k < size(); ++k) {
                out[k] = ((r[0][k] + r[1][k]) + (r[2][k] + r[3][k])) + ((r[4][k] + r[5][k]) + (r[6][k] + r[7][k]));
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
    std::int64_t width_;
    std::vector<double> sums_;
    std::vector<double> row_;
    std::vector<double> accumulators_;
    std::vector<std::vector<double>> depth_buffers_;
    std::vector<std::int64_t> valid_;
    std::vector<std::int64_t> land_;
};

void checkFactors(std::int64_t factor_lines, std::int64_t factor_pixels) {
    if (factor_lines < 1 || factor_pixels < 1) {
        throw std::invalid_argument("the block factors must be at least 1");
    }
}

// Runs body(bi, scratch) for bi in [0, count) on every thread, with one
// Scratch per thread. Every thread reaches the loop whatever happens to its
// scratch, as OpenMP requires; running out of memory anywhere stops the work
// and is thrown once the threads are joined.
template <class Scratch, class Body>
void parallelRows(const Window& window, std::int64_t count, Body&& body) {
    std::atomic<bool> out_of_memory{false};
#pragma omp parallel
    {
        std::optional<Scratch> scratch;
        try {
            scratch.emplace(window);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
#pragma omp for schedule(dynamic, 1)
        for (std::int64_t bi = 0; bi < count; ++bi) {
            if (out_of_memory) continue;
            try {
                body(bi, *scratch);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            }
        }
    }
    if (out_of_memory) throw std::bad_alloc();
}

// Per pixel, for factors 1 x 1.
void pixelPass(const Window& window, const Blocks& out) {
    parallelRows<RowCalibrator>(window, window.height, [&](std::int64_t r, RowCalibrator& calibrator) {
        float* sigma0 = out.sigma0 + r * window.width;
        float* nesz = out.nesz + r * window.width;
        std::int32_t* count = out.valid_count + r * window.width;
        calibrator.row(r, [&](std::int64_t j, float value, bool valid, double pixel_nesz) {
            sigma0[j] = valid && value > 0.0f ? value : kNaN;
            nesz[j] = window.has_noise ? static_cast<float>(pixel_nesz) : kNaN;
            count[j] = valid ? 1 : 0;
        });
    });
}

}  // namespace

std::int64_t blockCount(std::int64_t size, std::int64_t factor) { return (size + factor - 1) / factor; }

void blockPass(const Window& window, std::int64_t factor_lines, std::int64_t factor_pixels,
               const Blocks& out) {
    checkFactors(factor_lines, factor_pixels);
    if (window.height == 0 || window.width == 0) return;
    if (factor_lines == 1 && factor_pixels == 1) {
        pixelPass(window, out);
        return;
    }
    const std::int64_t block_rows = blockCount(window.height, factor_lines);
    const std::int64_t block_columns = blockCount(window.width, factor_pixels);
    parallelRows<BlockRowSums>(window, block_rows, [&](std::int64_t bi, BlockRowSums& sums) {
        const std::int64_t first = bi * factor_lines;
        const std::int64_t lines = std::min(factor_lines, window.height - first);
        const double* values = sums.sum(first, lines);
        const double* nesz = values + window.width;
        for (std::int64_t bj = 0; bj < block_columns; ++bj) {
            const std::int64_t c0 = bj * factor_pixels;
            const std::int64_t columns = std::min(factor_pixels, window.width - c0);
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
    });
}

std::vector<double> lineSums(const Window& window, std::int64_t first, std::int64_t lines) {
    BlockRowSums sums(window);
    const double* values = sums.sum(first, lines);
    return std::vector<double>(values, values + sums.channels() * window.width);
}

}  // namespace quorvane::sigma0
