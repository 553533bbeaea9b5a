// Wind components for the tests of the wind direction kernels, the bits they
// must reproduce, and views of component vectors.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "era5/wind_angle.hpp"
#include "grid/grid_view.hpp"

namespace quorvane::support {

// The float32 bits every path of the direction grid must store for the pair.
inline std::uint32_t formulaBits(float u, float v) {
    return std::bit_cast<std::uint32_t>(static_cast<float>(era5::ERA5_windAngle(u, v)));
}

inline std::vector<std::uint32_t> formulaBits(const std::vector<float>& u, const std::vector<float>& v) {
    std::vector<std::uint32_t> bits(u.size());
    for (std::size_t j = 0; j < u.size(); ++j) bits[j] = formulaBits(u[j], v[j]);
    return bits;
}

// A view of rows x columns float32 values at storage + offset bytes, with the
// given strides in bytes.
inline grid::GridView<float> floatView(std::vector<float>& storage, std::int64_t rows, std::int64_t columns,
                                       std::int64_t rowStride, std::int64_t columnStride, std::int64_t offset) {
    grid::GridView<float> view;
    view.data = reinterpret_cast<char*>(storage.data()) + offset;
    view.extent[0] = rows;
    view.extent[1] = columns;
    view.stride[0] = rowStride;
    view.stride[1] = columnStride;
    return view;
}

// The values as one contiguous row.
inline grid::GridView<float> rowView(std::vector<float>& values) {
    const auto n = static_cast<std::int64_t>(values.size());
    return floatView(values, 1, n, n * static_cast<std::int64_t>(sizeof(float)), sizeof(float), 0);
}

// Components of every kind: special values, magnitudes over the float32 range
// and winds.
inline std::vector<float> componentValues(std::size_t n, std::uint64_t seed) {
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

// Components of every kind, in equal shares: winds; magnitudes over the
// whole float32 range with nearby exponents; arbitrary bit patterns, each
// component replaced one time in eight by a special value (zeros, infinities,
// NaNs with payloads, quiet or signalling, of either sign, subnormals,
// extremes), so that either component, or both, is one.
inline void randomComponents(std::size_t n, std::uint64_t seed, std::vector<float>& u, std::vector<float>& v) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> wind(0.0f, 8.0f);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> exponent(-149, 127);
    constexpr std::uint32_t kSpecial[] = {0x00000000, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000,
                                          0xFFC00000, 0x7FC12345, 0xFFE00001, 0x7F800001, 0xFFBFFFFF,
                                          0x7FFFFFFF, 0xFFFFFFFF, 0x00000001, 0x807FFFFF, 0x00800000,
                                          0x7F7FFFFF};
    const auto anyBits = [&] {
        const auto r = rng();
        const std::uint32_t pattern =
            (r >> 60) < 2 ? kSpecial[(r >> 32) % std::size(kSpecial)] : static_cast<std::uint32_t>(r);
        return std::bit_cast<float>(pattern);
    };
    u.resize(n);
    v.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        switch (j % 3) {
            case 0:
                u[j] = wind(rng);
                v[j] = wind(rng);
                break;
            case 1: {
                const int e = exponent(rng);
                u[j] = static_cast<float>(std::ldexp(unit(rng) - 0.5, e));
                v[j] = static_cast<float>(std::ldexp(unit(rng) - 0.5, e + static_cast<int>(unit(rng) * 9) - 4));
                break;
            }
            default:
                u[j] = anyBits();
                v[j] = anyBits();
        }
    }
}

// Components whose exact angle lies within about 2^-40 (relative) of a float32
// rounding midpoint, often much closer: for a random float32 f in (0, pi] and
// the midpoint m above it, the continued fraction convergents p/q of tan(m)
// or cot(m) (scaled into [1/2, 1) by a power of two), with p, q < 2^24, give
// float32 components (q, p) whose angle is m within 1/q^2 relative. Octant,
// sign and a common power-of-two scale are random.
inline void midpointComponents(std::size_t n, std::uint64_t seed, std::vector<float>& u, std::vector<float>& v) {
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

}  // namespace quorvane::support
