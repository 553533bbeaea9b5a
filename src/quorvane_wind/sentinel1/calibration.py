"""Radiometric calibration of GRD pixels: the look-up tables of the
calibration and noise XML, and sigma0 = (DN^2 - noise) / A^2.

- The calibration and noise range LUTs are vectors at some lines, each
  over its own pixels (`LineVectorLut`).
- Thermal noise is the range LUT times the azimuth LUT, with every azimuth
  block (IW GRDs have one per sub-swath; xarray-sentinel keeps only the
  first), or the range LUT alone of older products.
- A pixel is a measurement unless its DN is 0 (ESA's fill value) or it is
  border noise of an older product (`border.BorderNoise`).
- `calibrate_window` keeps the values of every sign, for averages that stay
  unbiased near the noise floor; `calibrate_block`, per pixel, makes
  non-positive values invalid (NaN) rather than clipping them.
"""

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, Protocol, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

Float64Array: TypeAlias = NDArray[np.float64]
Float32Array: TypeAlias = NDArray[np.float32]


class LineVectorLut:
    """A look-up table given as vectors at some image lines, each over its own
    pixel positions (calibration and noise range vectors, the geolocation
    grid): linear along pixels within a vector, then linear between the two
    vectors around a line; constant beyond the first and last ones. Of
    several vectors given for one line the first is used (they describe the
    same line)."""

    def __init__(self, lines: ArrayLike, pixels: Sequence[ArrayLike], values: Sequence[ArrayLike]) -> None:
        order = np.argsort(np.asarray(lines, dtype=np.float64), kind="stable")
        sorted_lines = np.asarray(lines, dtype=np.float64)[order]
        order = order[np.concatenate([[True], np.diff(sorted_lines) > 0])] if order.size else order
        self.lines = np.asarray(lines, dtype=np.float64)[order]
        self.pixels = [np.asarray(pixels[i], dtype=np.float64) for i in order]
        self.values = [np.asarray(values[i], dtype=np.float64) for i in order]
        for p, v in zip(self.pixels, self.values):
            if p.shape != v.shape or p.size == 0:
                raise ValueError("vector with mismatched pixel and value counts")

    def __call__(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        """Values at the rows x cols grid (1-D arrays of line and pixel
        positions, fractional allowed), float64."""
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        if self.lines.size == 1:
            return np.broadcast_to(np.interp(cols, self.pixels[0], self.values[0]),
                                   (rows.size, cols.size)).copy()
        k = np.clip(np.searchsorted(self.lines, rows, side="right") - 1, 0, self.lines.size - 2)
        w = np.clip((rows - self.lines[k]) / (self.lines[k + 1] - self.lines[k]), 0.0, 1.0)[:, None]
        out = np.empty((rows.size, cols.size))
        # The rows between the same two vectors share both vectors at the
        # columns: lo * (1 - w) + hi * w, written into the result without
        # whole-grid copies of lo and hi.
        for i in np.unique(k):
            at = np.nonzero(k == i)[0]
            at = slice(at[0], at[-1] + 1) if at[-1] - at[0] + 1 == at.size else at
            lo = np.interp(cols, self.pixels[i], self.values[i])
            hi = np.interp(cols, self.pixels[i + 1], self.values[i + 1])
            part = lo * (1.0 - w[at])
            part += hi * w[at]
            out[at] = part
        return out

    def window_arrays(self, rows: Float64Array, cols: Float64Array) -> "LineLutArrays":
        """The table at lines `rows` x pixels `cols` as the native pass
        (`quorvane_wind._loops.block_pass`) reads it: the vectors used,
        interpolated at `cols`, and per line the two vectors and the weight
        of the second, the same numbers `__call__` combines."""
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        if self.lines.size == 1:
            vector = np.interp(cols, self.pixels[0], self.values[0])[None, :]
            index = np.zeros(rows.size, dtype=np.int64)
            return vector, index, index, np.zeros(rows.size), False
        k = np.clip(np.searchsorted(self.lines, rows, side="right") - 1, 0, self.lines.size - 2)
        w = np.clip((rows - self.lines[k]) / (self.lines[k + 1] - self.lines[k]), 0.0, 1.0)
        used = np.unique(np.concatenate([k, k + 1]))
        vectors = np.empty((used.size, cols.size))
        for at, i in enumerate(used):
            vectors[at] = np.interp(cols, self.pixels[i], self.values[i])
        return (vectors, np.searchsorted(used, k).astype(np.int64), np.searchsorted(used, k + 1).astype(np.int64),
                w, True)


# What `LineVectorLut.window_arrays` gives: (vectors, lo_index, hi_index,
# weight, blend).
LineLutArrays: TypeAlias = tuple[Float64Array, NDArray[np.int64], NDArray[np.int64], Float64Array, bool]
# What `AzimuthNoise.window_arrays` gives: (rows, columns, values).
AzimuthArrays: TypeAlias = tuple[NDArray[np.int64], NDArray[np.int64], Float64Array]


@dataclass
class AzimuthNoiseBlock:
    first_line: int
    last_line: int
    first_sample: int
    last_sample: int
    lines: Float64Array
    lut: Float64Array


class AzimuthNoise:
    """The azimuth noise LUT of a GRD: one block per sub-swath (and per part
    of it), each a rectangle of lines and samples with a LUT along lines.
    Pixels no block covers get 1 (products without azimuth noise vectors)."""

    def __init__(self, blocks: Iterable[AzimuthNoiseBlock]) -> None:
        self.blocks = list(blocks)

    def __call__(self, rows: ArrayLike, cols: ArrayLike) -> Float64Array:
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        out = np.ones((rows.size, cols.size))
        for b in self.blocks:
            in_rows = (rows >= b.first_line) & (rows <= b.last_line)
            in_cols = (cols >= b.first_sample) & (cols <= b.last_sample)
            if in_rows.any() and in_cols.any():
                values = np.interp(rows[in_rows], b.lines, b.lut)
                out[np.ix_(in_rows, in_cols)] = values[:, None]
        return out

    def window_arrays(self, rows: Float64Array, cols: Float64Array) -> AzimuthArrays:
        """The blocks over lines `rows` x pixels `cols` (contiguous ranges of
        whole numbers, ascending) as the native pass reads them: each
        block's [first, end) lines and pixels in the window, in the order
        of `__call__` (a later block overrides an earlier one), and its value
        on every line of the window (0 off its lines)."""
        rows = np.asarray(rows, dtype=np.float64).ravel()
        cols = np.asarray(cols, dtype=np.float64).ravel()
        spans_r, spans_c, values = [], [], []
        for b in self.blocks:
            in_rows = np.nonzero((rows >= b.first_line) & (rows <= b.last_line))[0]
            in_cols = np.nonzero((cols >= b.first_sample) & (cols <= b.last_sample))[0]
            if in_rows.size and in_cols.size:
                spans_r.append((in_rows[0], in_rows[-1] + 1))
                spans_c.append((in_cols[0], in_cols[-1] + 1))
                line = np.zeros(rows.size)
                line[in_rows] = np.interp(rows[in_rows], b.lines, b.lut)
                values.append(line)
        return (np.array(spans_r, dtype=np.int64).reshape(-1, 2), np.array(spans_c, dtype=np.int64).reshape(-1, 2),
                np.array(values, dtype=np.float64).reshape(-1, rows.size))


class PixelMask(Protocol):
    """Pixels that are no measurement, of a window of DNs at lines `rows` x
    pixels `cols` (`border.BorderNoise`)."""

    def mask(self, dn: NDArray[Any], rows: Float64Array, cols: Float64Array) -> NDArray[np.bool_]: ...


class Calibrated(NamedTuple):
    """One window of pixels, calibrated."""

    values: Float32Array           # (DN^2 - noise) / A^2, of any sign
    valid: NDArray[np.bool_]       # measurements: DN > 0, not border noise, finite values
    nesz: Float64Array | None      # noise / A^2 (NaN without noise vectors); None unless asked


def calibrate_window(dn: NDArray[Any], rows: Float64Array, cols: Float64Array, calibration: LineVectorLut,
                     noise_range: LineVectorLut | None, noise_azimuth: AzimuthNoise,
                     border: PixelMask | None = None, with_nesz: bool = False) -> Calibrated:
    """(DN^2 - noise) / A^2 of one window of DNs (at lines `rows` x pixels
    `cols`) as float32, whatever its sign, and which pixels are
    measurements. Speckle makes a pixel of a weak signal fall below the
    noise as often as far above it: an average must keep both."""
    dn2 = np.square(dn.astype(np.float64))
    noise = None
    if noise_range is not None:
        noise = noise_range(rows.ravel(), cols.ravel()) * noise_azimuth(rows.ravel(), cols.ravel())
        dn2 -= noise
    a2 = np.square(calibration(rows.ravel(), cols.ravel()))
    values = (dn2 / a2).astype(np.float32)
    valid = (dn != 0) & np.isfinite(values)
    if border is not None:
        valid &= ~border.mask(dn, rows.ravel(), cols.ravel())
    nesz = None
    if with_nesz:
        nesz = np.full(values.shape, np.nan) if noise is None else noise / a2
    return Calibrated(values, valid, nesz)


def positive_sigma0(calibrated: Calibrated) -> Float32Array:
    """Per pixel sigma0: the value where it is a positive measurement, NaN
    elsewhere (a non-positive value has no wind to invert)."""
    sigma0: Float32Array = np.where(calibrated.valid & (calibrated.values > 0.0), calibrated.values,
                                    np.float32(np.nan))
    return sigma0


def calibrate_block(dn: NDArray[Any], rows: Float64Array, cols: Float64Array, calibration: LineVectorLut,
                    noise_range: LineVectorLut | None, noise_azimuth: AzimuthNoise,
                    with_nesz: bool = False, border: PixelMask | None = None) -> Any:
    """sigma0 (linear, float32) of one block of DNs: (DN^2 - noise) / A^2,
    NaN where that is not positive or the pixel is no measurement (DN 0,
    border noise). `with_nesz` also gives the noise-equivalent sigma0,
    noise / A^2 (float64; NaN without noise vectors)."""
    calibrated = calibrate_window(dn, rows, cols, calibration, noise_range, noise_azimuth, border, with_nesz)
    sigma0 = positive_sigma0(calibrated)
    if not with_nesz:
        return sigma0
    return sigma0, calibrated.nesz
