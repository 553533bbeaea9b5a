// One pass over a window of a GRD measurement: calibration, thermal noise,
// validity, border and land exclusion, and the block sums of sigma0, of the
// noise-equivalent sigma0 and of the pixel counts, on every core (OpenMP
// over tiles: a row of blocks, or a part of one about 2048 pixels wide made
// of whole blocks; each pixel is read once).
//
// The results are bit for bit those of the products layer's NumPy
// formulation (sigma0 = (DN^2 - noise) / A^2 per pixel in float64, rounded
// to float32; block sums with np.add.reduceat over lines, then pixels), so
// the sums follow NumPy's pairwise order (see pairwise_sum.hpp).
#pragma once

#include <cstdint>
#include <vector>

namespace quorvane::sigma0 {

// A look-up table given as vectors at some lines, already interpolated at
// the window's columns: row r takes lo = vectors[lo_index[r]] and
// hi = vectors[hi_index[r]] and gives lo * (1 - w) + hi * w, w =
// weight[r]; with `blend` false (a table of one vector) it gives lo as it is.
struct LineLut {
    const double* vectors = nullptr;        // count x width, C order
    std::int64_t count = 0;
    const std::int64_t* lo_index = nullptr; // per row
    const std::int64_t* hi_index = nullptr; // per row
    const double* weight = nullptr;         // per row
    bool blend = true;
};

// The azimuth noise: block b covers rows [rows[2b], rows[2b + 1]) and
// columns [columns[2b], columns[2b + 1]) of the window, with the value
// values[b * height + r] on row r. A later block overrides an earlier one;
// pixels no block covers get 1.
struct AzimuthNoise {
    std::int64_t count = 0;
    const std::int64_t* rows = nullptr;
    const std::int64_t* columns = nullptr;
    const double* values = nullptr;         // count x height
};

// Border noise of older products, in window coordinates: pixel (r, c) is
// border where c < near_end[r], c >= far_start[r], r < top_end[c] or
// r >= bottom_start[c].
struct Border {
    const std::int64_t* near_end = nullptr;     // per row
    const std::int64_t* far_start = nullptr;    // per row
    const std::int64_t* top_end = nullptr;      // per column
    const std::int64_t* bottom_start = nullptr; // per column
};

struct Window {
    const std::uint16_t* dn = nullptr;      // height x width, C order
    std::int64_t height = 0;
    std::int64_t width = 0;
    LineLut calibration;
    bool has_noise = false;                 // without noise vectors: no noise removed, NESZ NaN
    LineLut noise_range;
    AzimuthNoise noise_azimuth;
    const Border* border = nullptr;         // null: no border noise
    const std::uint8_t* land = nullptr;     // height x width, nonzero on land; null: no land mask
};

// The blocks of `factor_lines` x `factor_pixels` pixels (the last ones of
// each dimension may be smaller), C order, blocks_lines x blocks_pixels:
// sigma0 the mean over the valid (sea) pixels, NaN where that is not
// positive or fewer than half of the (sea) pixels are valid; nesz the mean
// over all pixels; land_fraction (only written when not null, and with a
// land mask 0 where no pixel is on land) the share of land pixels;
// valid_count the valid (sea) pixels averaged.
struct Blocks {
    float* sigma0 = nullptr;
    float* nesz = nullptr;
    float* land_fraction = nullptr;
    std::int32_t* valid_count = nullptr;
};

std::int64_t blockCount(std::int64_t size, std::int64_t factor);

// Throws std::invalid_argument for factors below 1 and std::bad_alloc when
// the scratch rows cannot be had. With factors 1 x 1 it writes the pixels
// themselves: sigma0 where a positive measurement, NaN elsewhere, nesz per
// pixel, valid_count 1 or 0; the land mask is not used.
void blockPass(const Window& window, std::int64_t factor_lines, std::int64_t factor_pixels,
               const Blocks& out);

// The sums over lines [first, first + lines) at each pixel column, as the
// pass takes them before summing along pixels: sigma0 of the valid (sea)
// pixels (0 elsewhere), then with noise vectors the NESZ; 2 x width or
// 1 x width values. They show the order of summation, which rounding to
// float32 mostly hides.
std::vector<double> lineSums(const Window& window, std::int64_t first, std::int64_t lines);

}  // namespace quorvane::sigma0
