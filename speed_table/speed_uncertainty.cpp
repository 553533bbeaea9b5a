#include "speed_table/speed_uncertainty.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvane::speed_table {
namespace {

// Pixels per block: each step below runs over a block before the next, so
// that the compiler vectorises the arithmetic and the loads of the table
// overlap (about 26 ns per pixel on one core of a Xeon with SSE2 code,
// against 65 ns one pixel at a time).
constexpr int kBlock = 256;
// The table's speeds a pixel takes: the centre, sigma0 up and down, the
// direction turned either way; for HH the ratio's two ends.
constexpr int kCases = 7;
constexpr int kDirection[kCases] = {0, 0, 0, 1, 2, 0, 0};
constexpr int kSigma0[kCases] = {0, 1, 2, 0, 0, 3, 4};

// 10 log10 of a positive, finite float to about 1e-6 dB (the table's
// interpolation needs no more): x = 2^e m with m in [sqrt(1/2), sqrt(2)),
// ln m = 2 atanh(z), z = (m - 1) / (m + 1), |z| < 0.172, by its series to
// z^9. Zero and subnormals come out below -370 dB, under any table.
inline float decibels(float x) {
    const std::int32_t bits = std::bit_cast<std::int32_t>(x);
    const std::int32_t exponent = (bits - 0x3f3504f3) >> 23;     // sqrt(1/2)'s bits
    const auto scale = static_cast<std::int32_t>(static_cast<std::uint32_t>(exponent) << 23);
    const float m = std::bit_cast<float>(bits - scale);
    const float z = (m - 1.0f) / (m + 1.0f);
    const float z2 = z * z;
    const float series = z * (2.0f + z2 * (2.0f / 3.0f + z2 * (2.0f / 5.0f + z2 * (2.0f / 7.0f + z2 * (2.0f / 9.0f)))));
    return 4.3429448f * (static_cast<float>(exponent) * 0.6931472f + series);
}

// |direction| folded into [0, 180] for |direction| <= 540: the model sees
// only cos(phi) and cos(2 phi).
inline float folded(float directionDeg) {
    const float a = std::fabs(directionDeg);
    const float other = std::fabs(a - 360.0f);
    return a > 180.0f ? other : a;
}

// An axis in float for the blocks: the cell of a coordinate, clamped.
struct Scale {
    explicit Scale(const Axis& axis)
        : start(static_cast<float>(axis.start)), perStep(static_cast<float>(1.0 / axis.step)),
          last(static_cast<float>(axis.count - 1)), lastCell(static_cast<std::int32_t>(axis.count - 2)) {}

    // t in [0, last] from x (0 for NaN, so that a declined pixel's cells
    // are in the table too); its cell and the fraction of the way.
    float position(float x) const {
        const float t = (x - start) * perStep;
        return t > 0.0f ? (t < last ? t : last) : 0.0f;
    }
    std::int32_t cell(float t) const { return std::min(static_cast<std::int32_t>(t), lastCell); }

    float start;
    float perStep;
    float last;
    std::int32_t lastCell;
};

struct Block {
    float incidenceFraction[kBlock];
    float directionFraction[3][kBlock];
    std::int32_t node[3][kBlock];    // first node of the (incidence, direction) cell
    std::int32_t cell[3][kBlock];    // its first cell
    float sigma0Db[kCases][kBlock];
    float sigma0Fraction[kCases][kBlock];
    std::int32_t sigma0Cell[kCases][kBlock];
    float speed[kCases][kBlock];
    double uSigma0[kBlock];
    std::uint8_t declined[kBlock];
};

void uncertaintyBlock(const SpeedTable& table, const Terms& terms, int n, const Pixels& p, std::size_t first,
                      float* out, Block& b) {
    const Scale incidence(table.incidence), direction(table.direction), decibel(table.sigma0Db);
    const float top = static_cast<float>(table.top);
    const float turn = static_cast<float>(terms.directionDeg);
    const double lastIncidence = static_cast<double>(table.incidence.count - 1);
    const float incidenceEnd = static_cast<float>(table.incidence.start + table.incidence.step * lastIncidence);
    const std::int32_t nd = static_cast<std::int32_t>(table.direction.count);
    const std::int32_t ns = static_cast<std::int32_t>(table.sigma0Db.count);
    const float* speedIn = p.speed + first;
    const float* relative = p.relativeDeg + first;
    const float* incidenceDeg = p.incidenceDeg + first;
    const float* sigma0 = p.sigma0 + first;
    const int cases = terms.hh ? kCases : 5;

    double* uncertain = b.uSigma0;
    if (p.uSigma0 != nullptr) {
        for (int j = 0; j < n; ++j) uncertain[j] = p.uSigma0[first + j];
    } else {
        const Sigma0Noise& noise = p.noise;
        for (int j = 0; j < n; ++j) {
            const double s = std::fabs(static_cast<double>(sigma0[j]));
            const double floor = static_cast<double>(noise.nesz[first + j]);
            const double nesz = std::isnan(floor) ? 0.0 : floor;
            const double independent = std::max(static_cast<double>(noise.samples[first + j]), 1.0) * noise.looks;
            const double speckle = (s + nesz) / std::sqrt(independent);
            const double level = noise.noiseRelative * nesz;
            const double calibration = noise.calibrationRelative * s;
            uncertain[j] = std::sqrt(speckle * speckle + level * level + calibration * calibration);
        }
    }
    // Each loop below is simple enough for the compiler to vectorise.
    for (int j = 0; j < n; ++j) {
        const float s = sigma0[j];
        const double u = uncertain[j];
        const float theta = incidenceDeg[j];
        // Every test and both sides of each choice computed, without
        // branches: the loop vectorises.
        const bool used = (speedIn[j] < top) & (theta >= incidence.start) & (theta <= incidenceEnd) & (s > 0.0f) &
                          (s <= std::numeric_limits<float>::max()) & (u >= 0.0) &
                          (u <= std::numeric_limits<float>::max()) & (std::fabs(relative[j]) <= 540.0f);
        b.declined[j] = !used;
        // A speckled intensity is closer to log-normal than normal: where
        // sigma0 minus its uncertainty is not positive, its multiplicative
        // mirror. In double, as the exact method has it: where sigma0 and
        // its uncertainty agree to float's precision, the choice in float
        // could differ from it by tens of dB.
        const double sd = s;
        const double difference = sd - u;
        const double mirror = sd * sd / (sd + u);
        const double low = difference > 0.0 ? difference : mirror;
        b.sigma0Db[0][j] = decibels(used ? s : 1.0f);
        b.sigma0Db[1][j] = decibels(used ? static_cast<float>(sd + u) : 1.0f);
        b.sigma0Db[2][j] = decibels(used ? static_cast<float>(low) : 1.0f);
    }
    for (int j = 0; j < n; ++j) {
        const float t = incidence.position(incidenceDeg[j]);
        const std::int32_t it = incidence.cell(t);
        b.incidenceFraction[j] = t - static_cast<float>(it);
        b.node[0][j] = it;
    }
    for (int k = 0; k < 3; ++k) {
        const float sign = k == 2 ? -1.0f : 1.0f;
        const float by = k == 0 ? 0.0f : turn;
        for (int j = 0; j < n; ++j) {
            const float td = direction.position(folded(relative[j] + sign * by));
            const std::int32_t id = direction.cell(td);
            b.directionFraction[k][j] = td - static_cast<float>(id);
            b.cell[k][j] = id;
        }
    }
    for (int k = 2; k >= 0; --k) {          // node[0] holds the incidence cells until the last
        for (int j = 0; j < n; ++j) {
            const std::int32_t it = b.node[0][j], id = b.cell[k][j];
            b.node[k][j] = (it * nd + id) * ns;
            b.cell[k][j] = (it * (nd - 1) + id) * (ns - 1);
        }
    }
    if (terms.hh) {
        for (int j = 0; j < n; ++j) {
            // sigma0_VV / sigma0_HH = ((1 + 2 tan^2) / (1 + alpha tan^2))^2.
            const double tangent = std::tan(static_cast<double>(incidenceDeg[j]) * (3.141592653589793 / 180.0));
            const double t2 = tangent * tangent;
            const auto ratioDb = [t2](double alpha) {
                const double ratio = (1.0 + 2.0 * t2) / (1.0 + alpha * t2);
                return static_cast<float>(20.0 * std::log10(ratio));
            };
            const float base = b.sigma0Db[0][j];
            const float centre = ratioDb(terms.alphaCentre);
            for (int c = 0; c < 3; ++c) b.sigma0Db[c][j] += centre;
            b.sigma0Db[3][j] = base + ratioDb(terms.alphaLow);
            b.sigma0Db[4][j] = base + ratioDb(terms.alphaHigh);
        }
    }
    for (int c = 0; c < cases - 2; ++c) {
        for (int j = 0; j < n; ++j) {
            const float t = decibel.position(b.sigma0Db[c][j]);
            const std::int32_t is = decibel.cell(t);
            b.sigma0Cell[c][j] = is;
            b.sigma0Fraction[c][j] = t - static_cast<float>(is);
        }
    }
    const float* speed = table.speed;
    const std::int32_t nextIncidence = nd * ns;
    for (int c = 0; c < cases; ++c) {
        const int k = kDirection[c], m = kSigma0[c];
        for (int j = 0; j < n; ++j) {
            const std::int32_t o = b.node[k][j] + b.sigma0Cell[m][j];
            const float f = b.sigma0Fraction[m][j];
            const float* a = speed + o;
            const float* z = a + nextIncidence;
            const float a0 = a[0] + f * (a[1] - a[0]);
            const float a1 = a[ns] + f * (a[ns + 1] - a[ns]);
            const float z0 = z[0] + f * (z[1] - z[0]);
            const float z1 = z[ns] + f * (z[ns + 1] - z[ns]);
            const float g = b.directionFraction[k][j];
            const float near = a0 + g * (a1 - a0);
            const float far = z0 + g * (z1 - z0);
            b.speed[c][j] = std::min(near + b.incidenceFraction[j] * (far - near), top);
            b.declined[j] |= table.rough[b.cell[k][j] + b.sigma0Cell[m][j]];
        }
    }
    const float spreadScale = 1.0f / std::sqrt(12.0f);
    for (int j = 0; j < n; ++j) {
        const float centre = b.speed[0][j];
        const float sigmaChange = 0.5f * (std::fabs(b.speed[1][j] - centre) + std::fabs(b.speed[2][j] - centre));
        float total = sigmaChange * sigmaChange + std::fabs((b.speed[3][j] - centre) * (b.speed[4][j] - centre));
        if (terms.hh) {
            const float spread = std::fabs(b.speed[6][j] - b.speed[5][j]) * spreadScale;
            total += spread * spread;
        }
        out[first + j] = b.declined[j] ? std::numeric_limits<float>::quiet_NaN() : std::sqrt(total);
    }
}

}  // namespace

void speedUncertaintyPixels(const SpeedTable& table, const Terms& terms, std::size_t count, const Pixels& pixels,
                            float* out) {
    const std::ptrdiff_t blocks = static_cast<std::ptrdiff_t>((count + kBlock - 1) / kBlock);
#pragma omp parallel
    {
        Block block;
#pragma omp for schedule(static)
        for (std::ptrdiff_t i = 0; i < blocks; ++i) {
            const std::size_t first = static_cast<std::size_t>(i) * kBlock;
            const int n = static_cast<int>(std::min<std::size_t>(kBlock, count - first));
            uncertaintyBlock(table, terms, n, pixels, first, out, block);
        }
    }
}

}  // namespace quorvane::speed_table
