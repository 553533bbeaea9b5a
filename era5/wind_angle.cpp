#include "era5/wind_angle.hpp"

#include <omp.h>

#include <cmath>
#include <cstdint>

#include "era5/wind_angle_kernels.hpp"
#include "simd/float_mode.hpp"

namespace quorvane::era5 {

double ERA5_windAngle(double u, double v) {
    const double s = std::sqrt(u * u + v * v);
    const double y = (-u) / s;
    const double x = (-v) / s;
    return std::atan2(y, x);
}

namespace {

// Views whose rows are not contiguous (column-major arrays, transposes,
// steps, reversals) are processed in tiles of kTileRows x kTileColumns
// copied to and from contiguous buffers. Walking such a view row by row
// touches a new cache line, often a new page, at every element, which costs
// far more than the arithmetic; a tile's copy walks each view along its own
// smaller stride instead.
constexpr std::int64_t kTileRows = 32;
constexpr std::int64_t kTileColumns = 64;

struct Tile {
    std::int64_t row, column, rows, columns;
};

// Copies the tile between the view and a row-major buffer of kTileColumns
// floats per row (to the buffer when kLoad, else from it).
template <bool kLoad>
void copyTile(const grid::GridView<float>& view, const Tile& t, float* buffer) {
    char* const origin = view.address(t.row, t.column);
    const auto element = [&](std::int64_t i, std::int64_t j) {
        return origin + i * view.stride[0] + j * view.stride[1];
    };
    const auto move = [&](std::int64_t i, std::int64_t j) {
        float* slot = buffer + i * kTileColumns + j;
        if constexpr (kLoad) {
            __builtin_memcpy(slot, element(i, j), sizeof(float));
        } else {
            __builtin_memcpy(element(i, j), slot, sizeof(float));
        }
    };
    const auto magnitude = [](std::int64_t x) { return x < 0 ? -x : x; };
    if (magnitude(view.stride[0]) < magnitude(view.stride[1])) {
        for (std::int64_t j = 0; j < t.columns; ++j) {
            for (std::int64_t i = 0; i < t.rows; ++i) move(i, j);
        }
    } else {
        for (std::int64_t i = 0; i < t.rows; ++i) {
            for (std::int64_t j = 0; j < t.columns; ++j) move(i, j);
        }
    }
}

grid::GridView<float> bufferView(float* buffer) {
    grid::GridView<float> view;
    view.data = reinterpret_cast<char*>(buffer);
    view.extent[0] = kTileRows;
    view.extent[1] = kTileColumns;
    view.stride[0] = kTileColumns * static_cast<std::int64_t>(sizeof(float));
    view.stride[1] = sizeof(float);
    return view;
}

bool rowsContiguous(const grid::GridView<float>& view) { return view.stride[1] == sizeof(float); }

}  // namespace

void ERA5_windAngle_parallel(grid::GridView<float> wind_U10_view, grid::GridView<float> wind_V10_view,
                             grid::GridView<float> out_wind_angle) {
    // Counted in 64 bits so that extents of 2^31 or more are processed whole.
    const std::int64_t rows = wind_U10_view.rows();
    const std::int64_t columns = wind_U10_view.columns();
    if (rows <= 0 || columns <= 0) return;
    const auto row = activeWindAngleKernels().row;
    if (rowsContiguous(wind_U10_view) && rowsContiguous(wind_V10_view) && rowsContiguous(out_wind_angle)) {
#pragma omp parallel
        {
            const simd::DefaultFloatMode mode;
#pragma omp for schedule(static)
            for (std::int64_t i = 0; i < rows; ++i) {
                row(wind_U10_view, wind_V10_view, out_wind_angle, i, columns);
            }
        }
        return;
    }
    // Each thread takes one contiguous block of rows of nearly equal size,
    // as a static schedule shares them, and walks it in strips of kTileRows.
#pragma omp parallel
    {
        const simd::DefaultFloatMode mode;
        const std::int64_t threads = omp_get_num_threads(), thread = omp_get_thread_num();
        const std::int64_t share = rows / threads, extra = rows % threads;
        const std::int64_t first = thread * share + (thread < extra ? thread : extra);
        const std::int64_t end = first + share + (thread < extra ? 1 : 0);
        alignas(64) float u[kTileRows * kTileColumns];
        alignas(64) float v[kTileRows * kTileColumns];
        alignas(64) float out[kTileRows * kTileColumns];
        const grid::GridView<float> uTile = bufferView(u), vTile = bufferView(v), outTile = bufferView(out);
        for (std::int64_t i0 = first; i0 < end; i0 += kTileRows) {
            const std::int64_t stripRows = end - i0 < kTileRows ? end - i0 : kTileRows;
            for (std::int64_t j0 = 0; j0 < columns; j0 += kTileColumns) {
                const Tile t{i0, j0, stripRows, columns - j0 < kTileColumns ? columns - j0 : kTileColumns};
                copyTile<true>(wind_U10_view, t, u);
                copyTile<true>(wind_V10_view, t, v);
                for (std::int64_t i = 0; i < t.rows; ++i) row(uTile, vTile, outTile, i, t.columns);
                copyTile<false>(out_wind_angle, t, out);
            }
        }
    }
}

}  // namespace quorvane::era5
