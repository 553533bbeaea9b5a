// The uncertainty from the speed table: on a table linear in each variable,
// where interpolation is exact, against the method's closed form (sigma0's
// mean one-sided change with the mirror, the direction's geometric mean
// with the fold at 0 and 180 degrees, HH's ratio term), over more pixels
// than a block and on any number of threads; the top applied after
// interpolation; NaN for every pixel the table must decline.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "speed_table/speed_uncertainty.hpp"

namespace {

using quorvane::speed_table::Axis;
using quorvane::speed_table::Pixels;
using quorvane::speed_table::speedUncertaintyPixels;
using quorvane::speed_table::SpeedTable;
using quorvane::speed_table::Terms;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// speed = base + perIncidence theta + perDirection |phi| + perDb sigma0_dB
// on incidence 20..50 by 1, |phi| 0..180 by 5, sigma0 -50..+15 dB by 0.25.
struct LinearTable {
    double base = 1.0, perIncidence = 0.05, perDirection = 0.01, perDb = 0.4, top = 1000.0;
    Axis incidence{20.0, 1.0, 31}, direction{0.0, 5.0, 37}, sigma0Db{-50.0, 0.25, 261};
    std::vector<float> speed;
    std::vector<std::uint8_t> rough;

    void fill() {
        speed.clear();
        for (std::size_t i = 0; i < incidence.count; ++i)
            for (std::size_t d = 0; d < direction.count; ++d)
                for (std::size_t s = 0; s < sigma0Db.count; ++s)
                    speed.push_back(static_cast<float>(at(incidence.start + incidence.step * i, direction.step * d,
                                                          sigma0Db.start + sigma0Db.step * s)));
        rough.assign((incidence.count - 1) * (direction.count - 1) * (sigma0Db.count - 1), 0);
    }
    double at(double theta, double phi, double db) const {
        return base + perIncidence * theta + perDirection * phi + perDb * db;
    }
    SpeedTable table() const { return {speed.data(), rough.data(), incidence, direction, sigma0Db, top}; }
};

struct Pixel {
    float speed, relative, incidence, sigma0;
    double u;
};

std::vector<float> run(const SpeedTable& table, const Terms& terms, const std::vector<Pixel>& pixels) {
    std::vector<float> speed, relative, incidence, sigma0, out(pixels.size());
    std::vector<double> u;
    for (const Pixel& p : pixels) {
        speed.push_back(p.speed);
        relative.push_back(p.relative);
        incidence.push_back(p.incidence);
        sigma0.push_back(p.sigma0);
        u.push_back(p.u);
    }
    speedUncertaintyPixels(table, terms, pixels.size(),
                           Pixels{speed.data(), relative.data(), incidence.data(), sigma0.data(), u.data(), {}},
                           out.data());
    return out;
}

double folded(double phi) {
    const double a = std::fabs(std::remainder(phi, 360.0));
    return a;
}

double ratioDb(double theta, double alpha) {
    const double t = std::tan(theta * 3.141592653589793 / 180.0);
    return 20.0 * std::log10((1.0 + 2.0 * t * t) / (1.0 + alpha * t * t));
}

// The method's closed form on the linear table.
double expected(const LinearTable& l, const Terms& terms, const Pixel& p) {
    const double s = p.sigma0, u = p.u;
    const double low = s - u > 0.0 ? s - u : s * s / (s + u);
    const double sigmaChange = 0.5 * l.perDb * (std::fabs(10.0 * std::log10((s + u) / s)) +
                                                std::fabs(10.0 * std::log10(low / s)));
    const double phi = folded(p.relative);
    const double one = l.perDirection * (folded(p.relative + terms.directionDeg) - phi);
    const double other = l.perDirection * (folded(p.relative - terms.directionDeg) - phi);
    double total = sigmaChange * sigmaChange + std::fabs(one * other);
    if (terms.hh) {
        const double spread =
            l.perDb * std::fabs(ratioDb(p.incidence, terms.alphaHigh) - ratioDb(p.incidence, terms.alphaLow)) /
            std::sqrt(12.0);
        total += spread * spread;
    }
    return std::sqrt(total);
}

TEST(SpeedUncertainty, LinearTableGivesTheMethodsClosedFormOnAnyThreads) {
    LinearTable linear;
    linear.fill();
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> theta(20.0, 50.0), phi(-180.0, 180.0), db(-30.0, -3.0), relative(0.05, 2.0);
    // Directions near the folds too, and sigma0 below its uncertainty (the mirror).
    std::vector<Pixel> pixels = {{5.0f, 0.0f, 30.0f, 0.1f, 0.02}, {5.0f, 179.0f, 35.5f, 0.05f, 0.2},
                                 {5.0f, -170.0f, 41.2f, 0.01f, 0.03}, {5.0f, 12.0f, 20.0f, 0.02f, 0.0},
                                 {5.0f, -95.0f, 50.0f, 0.3f, 0.9}};
    while (pixels.size() < 1000) {        // not a whole number of blocks
        const double s = std::pow(10.0, db(random) / 10.0);
        pixels.push_back({5.0f, static_cast<float>(phi(random)), static_cast<float>(theta(random)),
                          static_cast<float>(s), s * relative(random)});
    }
    for (const bool hh : {false, true}) {
        const Terms terms{20.0, hh, 0.6, 0.45, 1.0};
        omp_set_num_threads(1);
        const std::vector<float> one = run(linear.table(), terms, pixels);
        omp_set_num_threads(3);
        const std::vector<float> three = run(linear.table(), terms, pixels);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const double want = expected(linear, terms, pixels[i]);
            EXPECT_NEAR(one[i], want, 2e-4 + 2e-5 * want) << "pixel " << i << " hh " << hh;
            EXPECT_EQ(std::bit_cast<std::uint32_t>(one[i]), std::bit_cast<std::uint32_t>(three[i])) << i;
        }
    }
}

TEST(SpeedUncertainty, TopIsAppliedAfterInterpolation) {
    // Speeds reach the top of 10 m/s between nodes: sigma0 up is at the top,
    // the centre and sigma0 down below it.
    LinearTable linear;
    linear.perDirection = 0.0;
    linear.top = 10.0;
    linear.fill();
    const Terms terms{20.0, false, 0.6, 0.45, 1.0};
    const float s = 0.1f;                          // -10 dB
    const double u = 0.2;                          // +4.77 dB up, down by the mirror
    const Pixel pixel{5.0f, 40.0f, 30.0f, s, u};
    const double centre = linear.at(30.0, 40.0, 10.0 * std::log10(double(s)));
    linear.base += 10.0 - 0.4 * 1.5 - centre;      // the top 1.5 dB above the centre
    linear.fill();
    const double down = -0.4 * 10.0 * std::log10(3.0);    // low = s^2 / (s + u) = s / 3
    const double want = 0.5 * (std::fabs(0.4 * 1.5) + std::fabs(down));
    EXPECT_NEAR(run(linear.table(), terms, {pixel})[0], want, 2e-4);
}

TEST(SpeedUncertainty, DeclinesWhatTheTableCannotGive) {
    LinearTable linear;
    linear.fill();
    const Terms terms{20.0, false, 0.6, 0.45, 1.0};
    const Pixel good{5.0f, 40.0f, 30.25f, 0.1f, 0.02};
    std::vector<Pixel> pixels = {good};
    const auto with = [&](auto change) {
        Pixel p = good;
        change(p);
        pixels.push_back(p);
    };
    with([](Pixel& p) { p.speed = static_cast<float>(kNaN); });
    with([&](Pixel& p) { p.speed = static_cast<float>(linear.top); });
    with([](Pixel& p) { p.incidence = 19.5f; });
    with([](Pixel& p) { p.incidence = 50.5f; });
    with([](Pixel& p) { p.incidence = static_cast<float>(kNaN); });
    with([](Pixel& p) { p.sigma0 = 0.0f; });
    with([](Pixel& p) { p.sigma0 = -0.1f; });
    with([](Pixel& p) { p.sigma0 = std::numeric_limits<float>::infinity(); });
    with([](Pixel& p) { p.u = kNaN; });
    with([](Pixel& p) { p.u = -0.01; });
    with([](Pixel& p) { p.relative = static_cast<float>(kNaN); });
    with([](Pixel& p) { p.relative = 600.0f; });
    std::vector<float> out = run(linear.table(), terms, pixels);
    EXPECT_TRUE(std::isfinite(out[0]));
    for (std::size_t i = 1; i < out.size(); ++i) EXPECT_TRUE(std::isnan(out[i])) << "pixel " << i;

    // Rough cells where only the direction turned by +20 degrees falls:
    // |phi| 60 to 65 at incidence 30 to 31, around -10 dB. The other pixel,
    // at -100 degrees, takes 80, 100 and 120.
    const std::size_t nd = linear.direction.count - 1, ns = linear.sigma0Db.count - 1;
    for (std::size_t s = 150; s < 170; ++s) linear.rough[(10 * nd + 12) * ns + s] = 1;
    out = run(linear.table(), terms, {good, Pixel{5.0f, -100.0f, 30.25f, 0.1f, 0.02}});
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_TRUE(std::isfinite(out[1]));
}

}  // namespace
