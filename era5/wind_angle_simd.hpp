// The wind direction of a grid row, generic over a vector type.
//
// Include only from the per-instruction-set kernel translation units, with V
// one of the grid/simd_*.hpp vector types (whose unnamed namespace keeps the
// instantiations local). Like the search kernels, this header defines only
// templates and reads the views' fields directly instead of calling their
// inline member functions.
#pragma once

#include <cstdint>

#include "era5/wind_angle_kernels.hpp"
#include "grid/grid_view.hpp"

namespace quorvane::era5::simd_row {

// s = sqrt(u u + v v); atan2((-u) / s, (-v) / s), operation by operation as
// the scalar form, for storing as float32. The 3.5-ULP atan2 lies within 4.5
// double ULPs of the 1.0-ULP one, so both round to the same float32 unless the
// value is that close to a float32 rounding midpoint (or tiny, or NaN); only
// then is the 1.0-ULP atan2 evaluated. The float32 results are therefore
// those of the 1.0-ULP atan2 in every lane.
template <class V>
V windAngleForFloat(V u, V v) {
    const V s = sqrt(u * u + v * v);
    const V y = (-u) / s;
    const V x = (-v) / s;
    const V a = atan2Loose(y, x);
    if (bits(nearFloatRoundingBoundary(a)) != 0) return atan2(y, x);
    return a;
}

template <class V>
void windAngleRow(const GridView& wind_U10_view, const GridView& wind_V10_view,
                  const GridView& out_wind_angle, std::int64_t i, std::int64_t columns) {
    constexpr int kLanes = V::kLanes;
    const char* pu = wind_U10_view.data + i * wind_U10_view.stride[0];
    const char* pv = wind_V10_view.data + i * wind_V10_view.stride[0];
    char* po = out_wind_angle.data + i * out_wind_angle.stride[0];
    const std::int64_t su = wind_U10_view.stride[1];
    const std::int64_t sv = wind_V10_view.stride[1];
    const std::int64_t so = out_wind_angle.stride[1];
    std::int64_t j = 0;
    if (su == 4 && sv == 4 && so == 4) {
        // Contiguous rows: whole vectors straight from and to memory.
        for (; j + kLanes <= columns; j += kLanes) {
            storeFloats(po + j * 4, windAngleForFloat(V::loadFloats(pu + j * 4), V::loadFloats(pv + j * 4)));
        }
    }
    // Any strides (and the tail): element by element through a small buffer.
    alignas(64) double bu[kLanes];
    alignas(64) double bv[kLanes];
    alignas(64) double r[kLanes];
    while (j < columns) {
        const int n = columns - j < kLanes ? static_cast<int>(columns - j) : kLanes;
        for (int k = 0; k < kLanes; ++k) {
            float fu = 0.0f, fv = 0.0f;
            if (k < n) {
                __builtin_memcpy(&fu, pu + (j + k) * su, sizeof fu);
                __builtin_memcpy(&fv, pv + (j + k) * sv, sizeof fv);
            }
            bu[k] = fu;
            bv[k] = fv;
        }
        store(r, windAngleForFloat(V::load(bu), V::load(bv)));
        for (int k = 0; k < n; ++k) {
            const float value = static_cast<float>(r[k]);
            __builtin_memcpy(po + (j + k) * so, &value, sizeof value);
        }
        j += n;
    }
}

template <class V>
constexpr WindAngleKernels makeWindAngleKernels(cpu::Isa isa) {
    return WindAngleKernels{isa, V::kLanes, &windAngleRow<V>};
}

}  // namespace quorvane::era5::simd_row
