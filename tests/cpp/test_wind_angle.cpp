// The per-pixel wind direction formula at its boundary values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "era5/wind_angle.hpp"

namespace {

using quorvane::era5::ERA5_windAngle;

float angle(float u, float v) { return static_cast<float>(ERA5_windAngle(u, v)); }

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

TEST(WindAngle, ListedAnglesAsFloat32) {
    EXPECT_EQ(bits(angle(-5, 0)), bits(1.57079637f));
    EXPECT_EQ(bits(angle(5, 0)), bits(-1.57079637f));
    EXPECT_EQ(bits(angle(3, 4)), bits(-2.49809146f));
    EXPECT_EQ(bits(angle(-3, -4)), bits(0.643501103f));
    EXPECT_EQ(bits(angle(1, 1)), bits(-2.35619450f));
}

TEST(WindAngle, SignedZerosDecideTheBoundary) {
    EXPECT_EQ(bits(angle(+0.0f, 2)), bits(-3.14159274f));
    EXPECT_EQ(bits(angle(-0.0f, 2)), bits(3.14159274f));
    EXPECT_EQ(bits(angle(+0.0f, -2)), bits(-0.0f));
    EXPECT_EQ(bits(angle(-0.0f, -2)), bits(0.0f));
}

TEST(WindAngle, CalmNaNAndInfiniteComponentsGiveNaN) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float u : {0.0f, -0.0f}) {
        for (float v : {0.0f, -0.0f}) EXPECT_TRUE(std::isnan(angle(u, v)));
    }
    EXPECT_TRUE(std::isnan(angle(nan, 1)));
    EXPECT_TRUE(std::isnan(angle(1, nan)));
    EXPECT_TRUE(std::isnan(angle(inf, 1)));
    EXPECT_TRUE(std::isnan(angle(1, -inf)));
}

TEST(WindAngle, InvariantUnderPowerOfTwoScaling) {
    const float components[][2] = {{3, 4}, {-1.25f, 7.5f}, {0.1f, -0.3f}, {-12.f, -0.001f}};
    for (const auto& c : components) {
        const float reference = angle(c[0], c[1]);
        for (int e = -60; e <= 60; e += 5) {
            EXPECT_EQ(bits(angle(std::ldexp(c[0], e), std::ldexp(c[1], e))), bits(reference))
                << c[0] << ", " << c[1] << " scaled by 2^" << e;
        }
    }
}

}  // namespace
