// The standard uncertainty of retrieved wind speeds from a table of the
// exact kernel's speeds, interpolated: the products layer builds the table
// (quorvane_wind.uncertainty) and inverts exactly the pixels it declines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::speed_table {

// Nodes start + i * step, i = 0 .. count - 1 (count >= 2).
struct Axis {
    double start;
    double step;
    std::size_t count;
};

// The exact kernel's speed on incidence (degrees) x |relative direction|
// (degrees, from 0 to 180) x sigma0 (dB), row-major with sigma0 fastest,
// fewer than 2^31 nodes.
// Beyond the ladder's top each row goes on linearly, so that the top is
// applied after interpolation (the kink at the top costs no accuracy).
// `rough` holds one flag per cell ((count - 1) along each axis, the same
// order): nonzero where the speed is not smooth enough for linear
// interpolation (at low incidence, where the model flattens below its peak).
struct SpeedTable {
    const float* speed;
    const std::uint8_t* rough;
    Axis incidence;
    Axis direction;
    Axis sigma0Db;
    double top;
};

// What the uncertainty holds besides sigma0's own: the direction's standard
// uncertainty (degrees) and, for HH, the alpha of the conversion to VV and
// the two ends of its published range.
struct Terms {
    double directionDeg;
    bool hh;
    double alphaCentre;
    double alphaLow;
    double alphaHigh;
};

// sigma0's standard uncertainty from what a block of pixels holds: its
// noise-equivalent sigma0 `nesz` (NaN: no noise) and the number of pixels
// `samples` averaged, of `looks` looks each; in double,
//   sqrt(((|sigma0| + nesz) / sqrt(max(samples, 1) looks))^2
//        + (noiseRelative nesz)^2 + (calibrationRelative |sigma0|)^2),
// the products layer's sigma0_uncertainty, operation for operation.
struct Sigma0Noise {
    const float* nesz;
    const std::int32_t* samples;
    double looks;
    double noiseRelative;
    double calibrationRelative;
};

// The pixels: the retrieved speed (m/s), the relative wind direction and
// the incidence (degrees), the linear sigma0 (VV, or HH with Terms::hh) and
// its standard uncertainty: given (uSigma0), or from the noise when uSigma0
// is null.
struct Pixels {
    const float* speed;
    const float* relativeDeg;
    const float* incidenceDeg;
    const float* sigma0;
    const double* uSigma0;
    Sigma0Noise noise;
};

// The standard uncertainty (m/s) of each of `count` pixels' speeds, into
// `out`, by the exact inversions' method with every speed, the centre's
// too, interpolated in the table (so that interpolation's bias cancels in
// the differences): the mean one-sided change for sigma0 +- uSigma0 (sigma0
// - uSigma0 replaced by sigma0^2 / (sigma0 + uSigma0) where not positive),
// the geometric mean of the changes for the direction +- Terms::directionDeg,
// for HH the spread over the ratio's range as a uniform one; in quadrature.
// Computed in float (well within the table's own accuracy). NaN where the
// speed is not a retrieved one below the top (NaN, or at or above it) and
// where the table declines: a case in a rough cell, the incidence outside
// the table, sigma0 not positive, a non-finite input, a direction beyond
// +-540 degrees. The pixels are shared among the OpenMP threads in
// contiguous blocks.
void speedUncertaintyPixels(const SpeedTable& table, const Terms& terms, std::size_t count, const Pixels& pixels,
                            float* out);

}  // namespace quorvane::speed_table
