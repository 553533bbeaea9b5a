// The per-pixel wind speed kernel against worked examples of the model.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cmod5n/cmod5n.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "tests/cpp/support/worked_examples.hpp"

namespace {

using quorvane::cmod5n::windspeedCmod5n;
namespace model = quorvane::cmod5n;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using quorvane::support::kWorkedExamples;
using quorvane::support::WorkedExample;

TEST(WindspeedKernel, ReproducesEveryWorkedExampleBitForBit) {
    for (const WorkedExample& e : kWorkedExamples) {
        SCOPED_TRACE(testing::Message() << "dir " << e.wind_dir << " inc " << e.inc_angle
                                        << " sigma0 " << e.sigma0);
        const double speed = windspeedCmod5n(e.wind_dir, e.inc_angle, e.sigma0);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(speed), std::bit_cast<std::uint64_t>(e.speed))
            << "got " << speed;
    }
}

TEST(WindspeedKernel, ModelMatchesTheExamplesModelledValues) {
    for (const WorkedExample& e : kWorkedExamples) {
        SCOPED_TRACE(testing::Message() << "dir " << e.wind_dir << " inc " << e.inc_angle
                                        << " sigma0 " << e.sigma0);
        const auto geo = model::makeGeometry<model::LibmMath>(e.wind_dir, e.inc_angle);
        const int i = static_cast<int>(std::lround(e.speed * 100));
        if (!std::isnan(e.db_at_result)) {
            EXPECT_NEAR(model::sigma0Cmod5n<model::LibmMath>(geo, model::ladderSpeed(i)),
                        e.db_at_result, 5e-6);
        }
        if (std::isinf(e.db_below)) {
            EXPECT_EQ(model::sigma0Cmod5n<model::LibmMath>(geo, model::ladderSpeed(i - 1)), -kInf);
        } else if (!std::isnan(e.db_below)) {
            EXPECT_NEAR(model::sigma0Cmod5n<model::LibmMath>(geo, model::ladderSpeed(i - 1)),
                        e.db_below, 5e-6);
        }
    }
}

TEST(WindspeedKernel, DerivedConstantsHaveTheirExactValues) {
    const auto geo = model::makeGeometry<model::LibmMath>(0, 30);
    EXPECT_EQ(geo.b, 0.2850928590348351);
    EXPECT_EQ(model::C19 - (model::C19 - 1) / model::C20, model::kV2Offset);
}

TEST(WindspeedKernel, LadderIsTheProductNotTheQuotient) {
    int differing = 0;
    for (int i = 0; i <= model::kLadderLast; ++i) {
        if (model::ladderSpeed(i) != i / 100.0) ++differing;
    }
    EXPECT_EQ(differing, 343);
    EXPECT_EQ(model::ladderSpeed(57), 0.5700000000000001);
    EXPECT_EQ(model::ladderSpeed(model::kLadderLast), 26.0);
}

TEST(WindspeedKernel, InvalidInputsGiveTheFallbackOrTheClamp) {
    EXPECT_EQ(windspeedCmod5n(kNaN, 30, -10), 26.0);
    EXPECT_EQ(windspeedCmod5n(kInf, 30, -10), 26.0);
    EXPECT_EQ(windspeedCmod5n(0, kNaN, -10), 26.0);
    EXPECT_EQ(windspeedCmod5n(0, kInf, -10), 26.0);
    // -inf incidence is clamped to 16 like any other low incidence.
    EXPECT_EQ(windspeedCmod5n(0, -kInf, -5), windspeedCmod5n(0, 16, -5));
    EXPECT_EQ(windspeedCmod5n(-0.0, 30, -10), 8.15);
}

TEST(WindspeedKernel, ResultIsFirstQualifyingCandidate) {
    // Around a realistic observation, the result's candidate qualifies and the
    // one below does not, with the reference model.
    for (double sigma0 = -30; sigma0 <= 0; sigma0 += 0.37) {
        const double speed = windspeedCmod5n(30, 35, sigma0);
        const int i = static_cast<int>(std::lround(speed * 100));
        ASSERT_EQ(model::ladderSpeed(i), speed);
        const auto geo = model::makeGeometry<model::LibmMath>(30, 35);
        if (speed < 26.0) EXPECT_GE(model::sigma0Cmod5n<model::LibmMath>(geo, speed) - sigma0, 0.0);
        if (i > 0) EXPECT_LT(model::sigma0Cmod5n<model::LibmMath>(geo, model::ladderSpeed(i - 1)) - sigma0, 0.0);
    }
}

}  // namespace
