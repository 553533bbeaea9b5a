"""The standard uncertainty of each retrieved wind speed, propagated
through the model by inverting again: the exact kernel's speeds, taken
from a table of them.

What it holds, each as a standard (1-sigma) uncertainty:

- speckle of the block: N independent pixels of L looks give a relative
  uncertainty of the noise-subtracted intensity of
  (sigma0 + NESZ) / (sigma0 sqrt(N L)) (the noise's own speckle is in the
  NESZ term of the numerator);
- the noise floor: the noise LUTs are known to about 1 dB, which moves
  sigma0 by (10^0.1 - 1) NESZ;
- the absolute calibration: Sentinel-1 is required to hold 1 dB (3 sigma)
  of absolute radiometric accuracy (ESA, Sentinel-1 SAR Technical Guide,
  Calibration), taken as 1/3 dB;
- the ERA5 direction: 20 degrees, the order of the spread of ERA5's 10 m
  wind direction against scatterometer and buoy winds above about 4 m/s
  (larger in light winds, which this does not model);
- for HH, the polarisation ratio: alpha uniform over the published range.

sigma0 and the direction enter through two inversions each, at sigma0 +-
its uncertainty and at the direction +- its uncertainty. The sigma0 term
is the mean of the two one-sided changes of the speed, |dU/dx| u(x) where
the model is linear; a sigma0 minus its uncertainty that is not positive
is replaced by its multiplicative mirror sigma0^2 / (sigma0 + u), as a
speckled intensity is closer to log-normal than to normal. The direction
term is the geometric mean of the two changes: the speed's response to
the direction is lopsided between crosswind and downwind (+1.6 and -0.9
m/s at 8 m/s and 138 degrees), and the geometric mean keeps two thirds of
the errors within it there, where the mean of the two covers more; near
upwind and downwind, where the slope vanishes, both changes have one sign
and it holds the curvature's effect. Against simulated errors of every
source (random winds, directions and incidences, the forward model,
speckle of 1 to 400 pixels of 4.4 looks, the noise floor off by 1 dB,
the calibration by 1/3 dB, the direction by 20 degrees) it covers 65 % to
76 % of the errors in each 2 dB band of signal-to-noise ratio from -4 dB
(native: from -2 dB; below it most pixels are not positive). The
terms are independent and add in quadrature. Not in it: the model's own
error and ERA5's error in anything but direction. The pixels of a block
count as independent samples: real GRD pixels are finer than the
resolution (IW GRDH: 10 m pixels, 20 x 22 m resolution), so on real
products the speckle term of a block is too small by about a factor 2,
which matters only where speckle dominates (native resolution, where a
pixel's own looks are right, and very low signal).

How it is computed. For calls of many speeds (TABLE_MIN_SPEEDS: native
products; a 1 km product's few are inverted exactly) every speed the
method takes, the centre's too, is interpolated in a table of the exact
kernel's speeds (`speed_table`):
incidence 18 to 58 degrees by 0.5, |relative direction| 0 to 180 by 2.5
(the model sees only cos(phi) and cos(2 phi)), sigma0 -60 to +5 dB by 0.1
dB (below, every speed is at most 0.01 m/s; above, every one is at the
top); 3.85 million nodes, built once per process (0.5 to 1 s of CPU). The
differences are taken table to table, so interpolation's bias cancels;
each row goes on linearly past the ladder's top, so that the top is
applied after interpolation. Where the speed bends too sharply for linear
interpolation (a second difference above 0.4 m/s at a corner of the cell:
at low incidence the model flattens below its peak, and the speed jumps to
the top past it) the table declines, and so it does outside its incidence:
those pixels are inverted exactly, four (HH: six) more times each, as the
method was first written (`exact_wind_speed_uncertainty`). The table's
pass (`_loops.speed_uncertainty`, sigma0's uncertainty computed in it)
costs about 40 ns per pixel and core, the exact method about 600 ns.
"""

import math
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import TypeAlias

import numpy as np
from numpy.typing import NDArray

from .defaults import LADDER_TOP, MODEL_INCIDENCE_RANGE
from .retrieval import (POLARISATION_RATIO_ALPHA, POLARISATION_RATIO_ALPHA_RANGE, polarisation_ratio,
                        sigma0_db_block, wind_speed_block)

Float64Array: TypeAlias = NDArray[np.float64]
Float32Array: TypeAlias = NDArray[np.float32]

NESZ_UNCERTAINTY_DB = 1.0
CALIBRATION_UNCERTAINTY_DB = 1.0 / 3.0
DIRECTION_UNCERTAINTY_DEG = 20.0

# The table's nodes (see the module's text): the steps were chosen by the
# uncertainty's agreement with the exact inversions on speckled native and
# 1 km pixels of IW and EW incidences, VV and HH (bench/uncertainty_table.py).
TABLE_INCIDENCE_DEG = MODEL_INCIDENCE_RANGE
TABLE_INCIDENCE_STEP_DEG = 0.5
TABLE_DIRECTION_STEP_DEG = 2.5
TABLE_SIGMA0_DB = (-60.0, 5.0)
TABLE_SIGMA0_STEP_DB = 0.1
# The largest second difference (m/s) along any axis at the corners of a
# cell that the table interpolates; beyond it, the exact inversions.
TABLE_ROUGHNESS = 0.4
# Below this many speeds in one call the exact inversions are cheaper than
# the table's first build (0.5 to 1 s of CPU, about a million exact
# inversions): the calls of a 1 km product (a few hundred speeds per chunk,
# 42,585 for a whole IW scene, 0.03 s of CPU) never build it. The choice
# depends on the call alone, so a product is the same on every run.
TABLE_MIN_SPEEDS = 100_000


def _relative(db: float) -> float:
    """The relative change of a linear quantity that is `db` decibels."""
    return float(10.0 ** (db / 10.0) - 1.0)


def sigma0_uncertainty(sigma0: NDArray[np.floating], nesz: NDArray[np.floating], samples: NDArray[np.number],
                       looks: float) -> Float64Array:
    """Standard uncertainty (linear) of a block mean of noise-subtracted
    sigma0 over `samples` pixels of `looks` looks: speckle, the noise
    floor and the absolute calibration. A NaN NESZ (no noise vectors)
    counts as no noise."""
    # Four float64 arrays at most, whatever the size of the chunk.
    s = np.abs(np.asarray(sigma0, dtype=np.float64))
    n = np.nan_to_num(np.asarray(nesz, dtype=np.float64), nan=0.0)
    work = np.array(samples, dtype=np.float64)
    np.maximum(work, 1.0, out=work)
    work *= looks
    np.sqrt(work, out=work)
    out: Float64Array = s + n                    # the speckle
    out /= work
    out *= out
    np.multiply(n, _relative(NESZ_UNCERTAINTY_DB), out=work)
    work *= work
    out += work
    np.multiply(s, _relative(CALIBRATION_UNCERTAINTY_DB), out=work)
    work *= work
    out += work
    np.sqrt(out, out=out)
    return out


def _mean_change(centre: Float64Array, up: Float64Array, down: Float64Array) -> Float64Array:
    out: Float64Array = 0.5 * (np.abs(up - centre) + np.abs(down - centre))
    return out


def _wrap(direction_deg: Float64Array) -> Float64Array:
    out: Float64Array = np.mod(direction_deg + 180.0, 360.0) - 180.0
    return out


def exact_wind_speed_uncertainty(speed: NDArray[np.floating], relative_deg: NDArray[np.floating],
                                 incidence_deg: NDArray[np.floating], sigma0: NDArray[np.floating],
                                 u_sigma0: NDArray[np.floating], hh: bool) -> NDArray[np.float32]:
    """`wind_speed_uncertainty` by inverting every case with the exact
    kernel, about `speed`, the kernel's own speed: four (HH: six) more
    inversions per pixel, and float64 copies of the inputs for each.
    The pixels the table declines take it; it is the reference of the
    table's accuracy."""
    s = np.asarray(sigma0, dtype=np.float64)
    u = np.asarray(u_sigma0, dtype=np.float64)
    phi = np.asarray(relative_deg, dtype=np.float64)
    inc = np.asarray(incidence_deg, dtype=np.float32)
    centre = np.asarray(speed, dtype=np.float64)
    ratio = polarisation_ratio(inc) if hh else np.ones_like(s)
    # The sigma0 and direction cases, and for HH the two ends of the ratio,
    # in one call of the kernel: stacked along lines.
    # sigma0 - u where it is positive; else, as a speckled intensity is
    # closer to log-normal than normal, the multiplicative mirror of s + u.
    low = np.where(s - u > 0.0, s - u, s * s / (s + u))
    cases_sigma = [(s + u) * ratio, low * ratio, s * ratio, s * ratio]
    cases_phi = [phi, phi, _wrap(phi + DIRECTION_UNCERTAINTY_DEG), _wrap(phi - DIRECTION_UNCERTAINTY_DEG)]
    if hh:
        for alpha in POLARISATION_RATIO_ALPHA_RANGE:
            cases_sigma.append(s * polarisation_ratio(inc, alpha))
            cases_phi.append(phi)
    count = len(cases_sigma)
    speeds = wind_speed_block(np.concatenate(cases_phi).astype(np.float32),
                              np.concatenate([inc] * count),
                              sigma0_db_block(np.concatenate(cases_sigma))).reshape(count, *s.shape)
    total: Float64Array = (np.square(_mean_change(centre, speeds[0], speeds[1]))
                           + np.abs((speeds[2] - centre) * (speeds[3] - centre)))
    if hh:
        total += np.square(np.abs(speeds[5] - speeds[4]) / math.sqrt(12.0))
    return np.sqrt(total).astype(np.float32)


@dataclass(frozen=True)
class SpeedTable:
    """The exact kernel's speeds on the table's nodes (incidence x
    |relative direction| x sigma0 dB, float32), each row continued past the
    ladder's top, and the cells not to interpolate (uint8, one fewer each
    way)."""

    speed: Float32Array
    rough: NDArray[np.uint8]
    incidence_axis: tuple[float, float]      # (first node, step)
    direction_step: float                    # from 0
    sigma0_axis: tuple[float, float]


def _nodes(first: float, last: float, step: float) -> Float64Array:
    out: Float64Array = first + step * np.arange(round((last - first) / step) + 1, dtype=np.float64)
    return out


def _continue_past_top(rows: Float64Array) -> None:
    """Each row (speeds along sigma0) from its first speed at the top on: a
    line on, from the two speeds before it, but not below the top there.
    Interpolation then meets the top where the model does, between
    nodes."""
    at_top = rows >= LADDER_TOP
    first = np.argmax(at_top, axis=1)
    which = np.nonzero(at_top.any(axis=1) & (first >= 2))[0]
    k = first[which]
    before = rows[which, k - 1]
    start = np.maximum(LADDER_TOP, 2.0 * before - rows[which, k - 2])
    steps = np.arange(rows.shape[1])[None, :] - k[:, None]
    rows[which] = np.where(steps >= 0, start[:, None] + (start - before)[:, None] * steps, rows[which])


def _rough_cells(speed: Float32Array, limit: float) -> NDArray[np.uint8]:
    """Cells with a corner whose second difference along any axis exceeds
    `limit` (the direction mirrored at 0 and 180 degrees, none across the
    ends of the other axes), one incidence at a time (small temporaries)."""
    count = speed.shape[0]
    sharp = np.zeros(speed.shape, dtype=bool)
    for k in range(count):
        rows = speed[k]
        bend = np.zeros(rows.shape, dtype=np.float32)
        if 0 < k < count - 1:
            bend = np.abs(speed[k + 1] - 2.0 * rows + speed[k - 1])
        mirrored = np.concatenate([rows[1:2], rows, rows[-2:-1]])
        np.maximum(bend, np.abs(mirrored[2:] - 2.0 * rows + mirrored[:-2]), out=bend)
        np.maximum(bend[:, 1:-1], np.abs(rows[:, 2:] - 2.0 * rows[:, 1:-1] + rows[:, :-2]), out=bend[:, 1:-1])
        sharp[k] = bend > limit
    # A cell is rough if any of its eight corners is.
    corners = sharp[:, :-1] | sharp[:, 1:]
    corners = corners[:, :, :-1] | corners[:, :, 1:]
    return (corners[:-1] | corners[1:]).astype(np.uint8)


def build_speed_table() -> SpeedTable:
    """The table of the module's text, by the exact kernel."""
    incidence = _nodes(*TABLE_INCIDENCE_DEG, TABLE_INCIDENCE_STEP_DEG)
    direction = _nodes(0.0, 180.0, TABLE_DIRECTION_STEP_DEG)
    sigma0_db = _nodes(*TABLE_SIGMA0_DB, TABLE_SIGMA0_STEP_DB)
    d, s = (a.astype(np.float32) for a in np.meshgrid(direction, sigma0_db, indexing="ij"))
    speed = np.empty((incidence.size, direction.size, sigma0_db.size), dtype=np.float32)
    for k, theta in enumerate(incidence.astype(np.float32)):      # one incidence at a time: small temporaries
        rows = wind_speed_block(d, np.full_like(d, theta), s)
        _continue_past_top(rows)
        speed[k] = rows
    return SpeedTable(speed, _rough_cells(speed, TABLE_ROUGHNESS), (float(incidence[0]), TABLE_INCIDENCE_STEP_DEG),
                      TABLE_DIRECTION_STEP_DEG, (float(sigma0_db[0]), TABLE_SIGMA0_STEP_DB))


_table: SpeedTable | None = None
_table_lock = threading.Lock()


def speed_table() -> SpeedTable:
    """The process's table, built at its first use."""
    global _table
    with _table_lock:
        if _table is None:
            _table = build_speed_table()
        return _table


def wind_speed_uncertainty(speed: NDArray[np.floating], relative_deg: NDArray[np.floating],
                           incidence_deg: NDArray[np.floating], sigma0: NDArray[np.floating],
                           u_sigma0: NDArray[np.floating], hh: bool, table: bool | None = None) -> NDArray[np.float32]:
    """Standard uncertainty (m/s, float32) of `speed`, the kernel's speed
    at `relative_deg`, `incidence_deg` and the VV (or, with `hh`, HH)
    sigma0 `sigma0` whose standard uncertainty is `u_sigma0` (both
    linear), all of one shape; NaN where `speed` is NaN or at the top of
    the model (a bound, not a speed). From the table (`table` True, or
    None and at least TABLE_MIN_SPEEDS speeds), and where it declines from
    the exact inversions; else from the exact inversions alone."""
    shape = np.shape(speed)
    grid = _Grid(speed, relative_deg, incidence_deg, sigma0)
    if grid.none:
        return np.full(shape, np.nan, dtype=np.float32)
    u = np.asarray(u_sigma0, dtype=np.float64).reshape(grid.flat)
    return grid.uncertainty(u, lambda at: u[at], hh, table).reshape(shape)


def block_wind_speed_uncertainty(speed: NDArray[np.floating], relative_deg: NDArray[np.floating],
                                 incidence_deg: NDArray[np.floating], sigma0: NDArray[np.floating],
                                 nesz: NDArray[np.floating], samples: NDArray[np.integer], looks: float,
                                 hh: bool, table: bool | None = None) -> NDArray[np.float32]:
    """`wind_speed_uncertainty` with sigma0's uncertainty that of blocks of
    `samples` pixels of `looks` looks whose noise-equivalent sigma0 is
    `nesz` (`sigma0_uncertainty`, the same bits), computed in the table's
    pass: no array of it, no temporaries."""
    shape = np.shape(speed)
    grid = _Grid(speed, relative_deg, incidence_deg, sigma0)
    if grid.none:
        return np.full(shape, np.nan, dtype=np.float32)
    n = np.asarray(nesz, dtype=np.float32).reshape(grid.flat)
    count = np.asarray(samples, dtype=np.int32).reshape(grid.flat)
    noise = (n, count, float(looks), _relative(NESZ_UNCERTAINTY_DB), _relative(CALIBRATION_UNCERTAINTY_DB))
    return grid.uncertainty(noise, lambda at: sigma0_uncertainty(grid.sigma0[at], n[at], count[at], looks),
                            hh, table).reshape(shape)


class _Grid:
    """The pixels as the table's pass takes them: float32, lines x pixels."""

    def __init__(self, speed: NDArray[np.floating], relative_deg: NDArray[np.floating],
                 incidence_deg: NDArray[np.floating], sigma0: NDArray[np.floating]) -> None:
        speed32 = np.asarray(speed, dtype=np.float32)
        self.none = not (speed32 < LADDER_TOP).any()                # NaN compares false; empty too
        self.flat = (-1, speed32.shape[-1]) if speed32.ndim >= 2 and not self.none else (1, -1)
        self.speed = speed32.reshape(self.flat)
        self.relative, self.incidence, self.sigma0 = (np.asarray(a, dtype=np.float32).reshape(self.flat)
                                                      for a in (relative_deg, incidence_deg, sigma0))

    def uncertainty(self, u_sigma0: "Float64Array | tuple[Float32Array, NDArray[np.int32], float, float, float]",
                    u_at: Callable[[tuple[NDArray[np.intp], ...]], Float64Array], hh: bool,
                    use_table: bool | None) -> Float32Array:
        """The table's pass; the exact inversions where it declines, with
        sigma0's uncertainty there from `u_at`; or, for few speeds or
        `use_table` False, the exact inversions alone."""
        from ._loops import speed_uncertainty

        speeds = self.speed < LADDER_TOP
        if use_table is False or (use_table is None and np.count_nonzero(speeds) < TABLE_MIN_SPEEDS):
            out = np.full(self.speed.shape, np.nan, dtype=np.float32)
            at = np.nonzero(speeds)
            out[at] = exact_wind_speed_uncertainty(self.speed[at][None], self.relative[at][None],
                                                   self.incidence[at][None], self.sigma0[at][None],
                                                   u_at(at)[None], hh)[0]
            return out
        table = speed_table()
        alphas = (POLARISATION_RATIO_ALPHA, *POLARISATION_RATIO_ALPHA_RANGE) if hh else None
        out = speed_uncertainty(table.speed, table.rough, table.incidence_axis, table.direction_step,
                                table.sigma0_axis, LADDER_TOP, self.speed, self.relative, self.incidence,
                                self.sigma0, u_sigma0, DIRECTION_UNCERTAINTY_DEG, alphas)
        declined = np.isnan(out) & speeds
        if declined.any():
            at = np.nonzero(declined)
            out[at] = exact_wind_speed_uncertainty(self.speed[at][None], self.relative[at][None],
                                                   self.incidence[at][None], self.sigma0[at][None],
                                                   u_at(at)[None], hh)[0]
        return out
