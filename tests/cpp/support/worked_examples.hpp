// Worked examples of the wind speed retrieval: inputs, the expected speed bit
// for bit, and the modelled dB at the result and one candidate below it. Each
// clears the threshold by at least 0.00038 dB on either side, so any accurate
// math library reproduces the speed exactly. The inputs are exact in float32.
#pragma once

#include <limits>

namespace quorvane::support {

struct WorkedExample {
    double wind_dir, inc_angle, sigma0;
    double speed;          // expected result, bit for bit
    double db_at_result;   // modelled dB at the result (NaN: not given)
    double db_below;       // modelled dB one candidate below (NaN: not given)
};

inline constexpr double kExampleNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kExampleInf = std::numeric_limits<double>::infinity();

inline constexpr WorkedExample kWorkedExamples[] = {
    {0, 30, -10, 8.15, -9.99914, -10.00740},
    {0, 40, -10, 14.19, -9.99782, -10.00317},
    {90, 35, -20, 3.92, -19.99619, -20.01032},
    {180, 25, -5, 10.58, -4.99962, -5.00527},
    {45, 16, 0, 3.61, 0.00424, -0.00178},
    {-45, 16, 0, 3.61, 0.00424, -0.00178},
    {0, 10, -5, 0.39, -4.94838, -5.00925},
    {0, 16, -5, 0.39, -4.94838, -5.00925},
    {0, 16.5, -5, 0.59, -4.99958, -5.04232},
    {0, 60, -15, 12.83, -14.99524, -15.00136},
    {0, 30, -25.25, 0.5700000000000001, -25.23807, -25.33729},
    {0, 60, -40, 0.0, -32.77087, kExampleNaN},
    {0, 30, -200, 0.01, -47.95176, -kExampleInf},
    {0, 30, 50, 26.0, -3.51639, kExampleNaN},
    {0, 90, -20, 26.0, -20.21947, kExampleNaN},
    {0, 30, kExampleNaN, 26.0, kExampleNaN, kExampleNaN},
    {0, 30, -kExampleInf, 0.01, -47.95176, -kExampleInf},
    {0, 60, -kExampleInf, 0.0, -32.77087, kExampleNaN},
    {0, 30, kExampleInf, 26.0, kExampleNaN, kExampleNaN},
};

}  // namespace quorvane::support
