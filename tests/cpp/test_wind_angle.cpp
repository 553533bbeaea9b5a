// The per-pixel wind direction formula at its boundary values.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

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

// NaN results, worked out by hand from the x86 rules the formula's operations
// follow: a float32 NaN widens with its sign and payload (made quiet), each
// operation passes on its NaN operand's NaN (the first operand's of two) and
// gives the default NaN (sign set, only the quiet bit) for 0/0 and inf/inf.
// Calm and infinite components make y and x the default NaN. A NaN component
// c gives s = c, so y = -u or s, x = -v or s, with c's payload either way,
// and the C library's atan2 picks between them.
TEST(WindAngle, NaNBitsFollowTheFormulaOnX86) {
    const float inf = std::numeric_limits<float>::infinity();
    for (const auto& [u, v] : {std::pair{0.0f, 0.0f}, {-0.0f, 0.0f}, {0.0f, -0.0f}, {-0.0f, -0.0f}, {inf, 1.0f},
                               {1.0f, -inf}, {-inf, 0.0f}, {0x1p-149f, inf}, {inf, -inf}, {-inf, -inf}}) {
        EXPECT_EQ(bits(angle(u, v)), 0xFFC00000u) << u << ", " << v;
    }
    const auto widened = [](std::uint32_t f) {
        return std::bit_cast<double>(std::uint64_t{f & 0x80000000u} << 32 | 0x7FF8000000000000u |
                                     std::uint64_t{f & 0x003FFFFFu} << 29);
    };
    const auto negated = [](double x) {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ (std::uint64_t{1} << 63));
    };
    const auto viaAtan2 = [](double y, double x) { return bits(static_cast<float>(std::atan2(y, x))); };
    const std::uint32_t nans[] = {0x7FC00000, 0xFFC00000, 0x7FC12345, 0xFFD00001, 0x7F812345, 0xFF800001};
    for (const std::uint32_t a : nans) {
        SCOPED_TRACE(testing::Message() << std::hex << "NaN " << a);
        const double c = widened(a);
        const std::uint32_t payload = (a | 0x00400000u) & 0x7FFFFFFFu;
        const float n = std::bit_cast<float>(a);
        for (const float other : {0.0f, -0.0f, 1.5f, -2.0f, 0x1p-149f, inf, -inf}) {
            EXPECT_EQ(bits(angle(n, other)), viaAtan2(negated(c), c)) << other;
            EXPECT_EQ(bits(angle(other, n)), viaAtan2(c, negated(c))) << other;
            EXPECT_EQ(bits(angle(n, other)) & 0x7FFFFFFFu, payload) << other;
            EXPECT_EQ(bits(angle(other, n)) & 0x7FFFFFFFu, payload) << other;
        }
        for (const std::uint32_t b : nans) {
            EXPECT_EQ(bits(angle(n, std::bit_cast<float>(b))), viaAtan2(negated(c), negated(widened(b))))
                << std::hex << b;
        }
    }
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
