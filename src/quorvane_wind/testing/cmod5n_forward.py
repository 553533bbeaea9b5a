"""CMOD5.N forward model in NumPy: sigma0 (dB) from wind speed, relative wind
direction and incidence angle.

This is the same model function that Quorvane inverts, vectorised over NumPy
arrays in float64 and evaluated in the same order of operations as the native
kernel, so that for a given speed it agrees with the module's model to a few
units in the last place. The scene synthesis uses it to make sigma0 from a
known wind field, and the tests use it to check retrieved speeds.

Conventions (as for `Quorvane.python_windspeedCmod5n`):
- `wind_dir`: wind direction relative to the radar look direction, degrees;
  0 is upwind (the wind blows towards the radar), 180 downwind. Only cos(phi)
  and cos(2 phi) enter, so the sign does not matter.
- `inc_angle`: incidence angle in degrees; values at or below 16 are treated
  as 16.
- result: normalised radar cross-section in dB (10 log10 of the linear value).
"""

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Coefficients C1..C28 of CMOD5.N, index 0 unused (NaN) so that C[k] is Ck.
# C1..C28 as the native kernel has them, from Hersbach (2010), J. Atmos.
# Oceanic Technol. 27, 721-736 (CMOD5.N), in the functional form of
# Hersbach, Stoffelen and de Haan (2007), J. Geophys. Res. 112, C03006.
C: tuple[float, ...] = (
    float("nan"),
    -0.6878, -0.7957, 0.3380, -0.1728,   # C1-C4: A0
    0.0, 0.0040,                         # C5-C6: A1
    0.1103, 0.0159,                      # C7-C8: A2
    6.7329, 2.7713, -2.2885,             # C9-C11: gamma
    0.4971, -0.7250,                     # C12-C13: S0
    0.0450, 0.0066, 0.3222, 0.0120, 22.7,  # C14-C18: B1
    2.0813, 3.0,                         # C19-C20: V2 correction threshold, exponent
    8.3659, -3.3428, 1.3236,             # C21-C23: V0
    6.2437, 2.3893, 0.3249,              # C24-C26: D1
    4.1590, 1.6930,                      # C27-C28: D2
)

PI = 3.141592653589793

# V2 correction below the threshold C19: V2 = (y - 1)^C20 * B + A.
_V2_A = 1.7208666666666668
_V2_B = 1.0 / (np.power(C[19] - 1.0, 2.0) * 3.0)

# Candidate speeds of the retrieval: i * 0.01 for i = 0..2600 (the product,
# not i / 100), so 26.0 is the largest speed the module returns.
LADDER_STEP = 0.01
LADDER_SIZE = 2601
MAX_SPEED = 26.0


def ladder_speed(index: ArrayLike) -> NDArray[np.float64]:
    """Candidate speed number `index` of the retrieval ladder (m/s)."""
    return np.asarray(index, dtype=np.int64).astype(np.float64) * LADDER_STEP


def ladder_index(speed: ArrayLike) -> NDArray[np.int64]:
    """Ladder index of a retrieved speed (inverse of `ladder_speed`)."""
    return np.rint(np.asarray(speed, dtype=np.float64) / LADDER_STEP).astype(np.int64)


def sigma0_cmod5n(speed: ArrayLike, wind_dir: ArrayLike, inc_angle: ArrayLike) -> NDArray[np.float64]:
    """CMOD5.N sigma0 in dB for wind `speed` (m/s), relative `wind_dir`
    (degrees) and `inc_angle` (degrees). The arguments broadcast against each
    other; the result is float64. NaN where the model is undefined, -inf where
    the linear cross-section is zero."""
    v = np.asarray(speed, dtype=np.float64)
    phi = np.asarray(wind_dir, dtype=np.float64)
    inc = np.asarray(inc_angle, dtype=np.float64)

    with np.errstate(all="ignore"):
        # Geometry terms: they depend on direction and incidence only.
        theta = np.where(inc <= 16.0, 16.0, inc)   # NaN stays NaN
        x = (theta - 40.0) / 25.0
        phi_rad = (phi * PI) / 180.0
        cos1 = np.cos(phi_rad)
        cos2 = np.cos(phi_rad + phi_rad)
        a0 = ((C[3] * x) * x + (C[2] * x + C[1])) + ((C[4] * x) * x) * x
        a1 = C[6] * x + C[5]
        a2 = C[8] * x + C[7]
        gamma = (C[10] * x + C[9]) + (C[11] * x) * x
        s0 = C[12] + C[13] * x
        v0 = (C[21] + C[22] * x) + (C[23] * x) * x
        d1 = (C[26] * x) * x + (C[25] * x + C[24])
        d2 = C[28] * x + C[27]

        # Isotropic part B0.
        s = a2 * v
        g = 1.0 / (np.exp(-s0) + 1.0)
        a3_low = np.power(s / s0, (1.0 - g) * s0) * g
        a3_high = 1.0 / (np.exp(-s) + 1.0)
        a3 = np.where(s < s0, a3_low, a3_high)
        b0 = np.power(10.0, a1 * v + a0) * np.power(a3, gamma)

        # First harmonic B1 (upwind/downwind asymmetry).
        t = np.tanh(4.0 * ((x + C[16]) + C[17] * v))
        b1 = (C[14] * (x + 1.0) - ((x + 0.5) - t) * (C[15] * v)) / (
            np.exp(0.34 * (v - C[18])) + 1.0
        )

        # Second harmonic B2 (upwind/crosswind), with the low-speed correction.
        y = v / v0 + 1.0
        v2 = np.where(y < C[19], np.power(y - 1.0, C[20]) * _V2_B + _V2_A, y)
        b2 = np.exp(-v2) * (d2 * v2 - d1)

        sigma_linear: NDArray[np.float64] = np.power(b2 * cos2 + (b1 * cos1 + 1.0), 1.6) * b0
        return np.log10(sigma_linear) * 10.0
