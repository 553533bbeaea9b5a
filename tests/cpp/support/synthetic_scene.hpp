// Synthetic SAR scenes for the tests and benchmarks of the wind speed retrieval.
//
// A realistic scene: Weibull winds (shape 2, mean 7.5 m/s), incidence angles
// of 29 to 46 degrees, any relative direction, and sigma0 from the forward
// model (C library functions) at the continuous wind speed plus Gaussian
// noise of 0.5 dB. Values are float32, as the grid entry receives them.
//
// For exactness checks also per-pixel kernel inputs (doubles) over the whole
// input domain, and adversarial ties.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "cmod5n/cmod5n_model.hpp"

namespace quorvane::support {

struct ScenePixel {
    float wind_dir;
    float inc_angle;
    float sigma0;
};

inline constexpr double kMeanWind = 7.5;
// Weibull scale for shape 2: mean / Gamma(1.5).
inline constexpr double kWeibullScale = kMeanWind / 0.88622692545275801;

inline std::vector<ScenePixel> realisticScene(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::weibull_distribution<double> wind(2.0, kWeibullScale);
    std::uniform_real_distribution<double> direction(-180.0, 180.0);
    std::uniform_real_distribution<double> incidence(29.0, 46.0);
    std::normal_distribution<double> noise(0.0, 0.5);
    std::vector<ScenePixel> scene(n);
    for (ScenePixel& p : scene) {
        p.wind_dir = static_cast<float>(direction(rng));
        p.inc_angle = static_cast<float>(incidence(rng));
        const cmod5n::Geometry geo =
            cmod5n::makeGeometry<cmod5n::LibmMath>(p.wind_dir, p.inc_angle);
        const double db = cmod5n::sigma0Cmod5n<cmod5n::LibmMath>(geo, wind(rng));
        p.sigma0 = static_cast<float>(db + noise(rng));
    }
    return scene;
}

struct KernelInput {
    double wind_dir, inc_angle, sigma0;
};

inline std::vector<KernelInput> realisticInputs(std::size_t n, std::uint64_t seed) {
    std::vector<KernelInput> inputs;
    inputs.reserve(n);
    for (const ScenePixel& p : realisticScene(n, seed)) {
        inputs.push_back({p.wind_dir, p.inc_angle, p.sigma0});
    }
    return inputs;
}

// The whole domain: any direction, incidence from -1000 to 1000 degrees (at,
// below and above the clamp at 16, past 90), sigma0 from -400 to 400 dB, and
// NaN, infinities and signed zeros in every argument.
inline std::vector<KernelInput> domainInputs(std::size_t n, std::uint64_t seed) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double specialDir[] = {0.0, -0.0, 90.0, -90.0, 180.0, 45.0, 1e10, nan, inf, -inf};
    const double specialInc[] = {16.0, std::nextafter(16.0, 0.0), std::nextafter(16.0, 100.0),
                                 57.14, 57.15, 90.0, 1000.0, -0.0, nan, inf, -inf};
    const double specialSig[] = {0.0, -0.0, 400.0, -400.0, 1e300, -1e300, nan, inf, -inf};
    auto pick = [&](const auto& list) {
        return list[static_cast<std::size_t>(unit(rng) * std::size(list)) % std::size(list)];
    };
    std::vector<KernelInput> inputs(n);
    for (KernelInput& in : inputs) {
        const double d = unit(rng), i = unit(rng), s = unit(rng);
        in.wind_dir = d < 0.1 ? pick(specialDir) : d < 0.4 ? -180.0 + 360.0 * unit(rng)
                                                           : -720.0 + 1440.0 * unit(rng);
        in.inc_angle = i < 0.1   ? pick(specialInc)
                       : i < 0.2 ? 16.0 * unit(rng)
                       : i < 0.6 ? 16.0 + 74.0 * unit(rng)
                                 : -1000.0 + 2000.0 * unit(rng);
        in.sigma0 = s < 0.1 ? pick(specialSig) : s < 0.45 ? -50.0 + 60.0 * unit(rng)
                                                          : -400.0 + 800.0 * unit(rng);
    }
    return inputs;
}

// Observations equal to the modelled value at a random candidate, and one
// unit in the last place above and below it (three inputs per draw).
// modelDb(wind_dir, inc_angle, index, out, n) gives the modelled values.
template <class ModelDb>
std::vector<KernelInput> tieInputs(ModelDb modelDb, std::size_t draws, std::uint64_t seed) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<KernelInput> inputs;
    inputs.reserve(3 * draws);
    for (std::size_t t = 0; t < draws; ++t) {
        const double dir = -180.0 + 360.0 * unit(rng);
        const double inc = unit(rng) < 0.8 ? 16.0 + 50.0 * unit(rng) : 66.0 + 60.0 * unit(rng);
        const int index = static_cast<int>(unit(rng) * 2601.0) % 2601;
        double db;
        modelDb(dir, inc, &index, &db, 1);
        for (const double s : {db, std::nextafter(db, inf), std::nextafter(db, -inf)}) {
            inputs.push_back({dir, inc, s});
        }
    }
    return inputs;
}

}  // namespace quorvane::support
