"""Checks of the Python API's arguments, with messages that name the
argument, what it got and what it accepts. Pure Python: the command uses
them before NumPy and xarray are loaded."""

import math
import numbers
from collections.abc import Mapping
from typing import Literal, TypeAlias

from .defaults import POLARISATIONS

Resolution: TypeAlias = "float | int | str | None"
# One dimension's chunk size as dask spells it: a positive size, -1 for the
# whole dimension, None or "auto" for the default.
ChunkSize: TypeAlias = "int | Literal['auto'] | None"
Chunks: TypeAlias = "ChunkSize | tuple[ChunkSize, ChunkSize] | Mapping[str, ChunkSize]"
# (rows, cols): a size, -1 for the whole dimension, None for the default.
ChunkPlan: TypeAlias = "tuple[int | None, int | None]"

CHUNK_DIMS = ("line", "pixel")


def check_resolution(resolution: object) -> float | Literal["native"]:
    """Metres as a float, or "native" (also for None). Refuses what is not a
    positive finite number of metres or "native"."""
    if resolution is None or (isinstance(resolution, str) and resolution.strip().lower() == "native"):
        return "native"
    accepted = "a positive number of metres (e.g. 1000) or 'native'"
    if isinstance(resolution, bool):
        raise TypeError(f"resolution must be {accepted}, not {resolution!r}")
    if isinstance(resolution, str):
        try:
            value = float(resolution)
        except ValueError:
            raise ValueError(f"resolution must be {accepted}, not {resolution!r} "
                             "(give the number of metres without a unit)") from None
    elif isinstance(resolution, numbers.Real):
        value = float(resolution)
    else:
        raise TypeError(f"resolution must be {accepted}, not {type(resolution).__name__} {resolution!r}")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"resolution must be {accepted}, not {resolution!r}")
    return value


def check_resolution_for_pixels(resolution: float | Literal["native"], azimuth_spacing: float,
                                range_spacing: float) -> None:
    """Refuses a resolution finer than the product's pixels: the blocks are
    whole pixels, so it could only give the native grid."""
    finest = min(azimuth_spacing, range_spacing)
    if resolution != "native" and resolution < finest * (1 - 1e-9):
        raise ValueError(f"resolution {resolution:g} m is finer than the product's pixels "
                         f"({azimuth_spacing:g} m azimuth x {range_spacing:g} m range); "
                         "use 'native' to keep them")


def _chunk_size(value: object, what: str) -> int | None:
    if value is None or (isinstance(value, str) and value == "auto"):
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be a positive number of pixels, -1 (whole dimension), "
                        f"None or 'auto', not {value!r}")
    size = int(value)
    if size == 0 or size < -1:
        raise ValueError(f"{what} must be a positive number of pixels, -1 (whole dimension), "
                         f"None or 'auto', not {size}")
    return size


def chunk_plan(chunks: object) -> ChunkPlan:
    """The (rows, cols) chunk sizes asked for, in the forms xarray users
    pass: None or "auto" (the default), one size for both dimensions, a
    (rows, cols) pair, or a dict by dimension name ("line", "pixel"; a
    dimension left out gets the default)."""
    if chunks is None or isinstance(chunks, (str, numbers.Integral)):
        if isinstance(chunks, str) and chunks != "auto":
            raise ValueError(f"chunks must be 'auto', a number of pixels, a (rows, cols) pair or a "
                             f"dict by dimension ({', '.join(CHUNK_DIMS)}), not {chunks!r}")
        size = _chunk_size(chunks, "chunks")
        return size, size
    if isinstance(chunks, Mapping):
        unknown = [k for k in chunks if k not in CHUNK_DIMS]
        if unknown:
            raise ValueError(f"chunks has no dimension {', '.join(map(repr, unknown))}; "
                             f"the dimensions are {', '.join(map(repr, CHUNK_DIMS))}")
        rows = _chunk_size(chunks.get("line"), "chunks['line']")
        return rows, _chunk_size(chunks.get("pixel"), "chunks['pixel']")
    if isinstance(chunks, (tuple, list)):
        if len(chunks) != 2:
            raise ValueError(f"chunks as a sequence must be a (rows, cols) pair, not {len(chunks)} "
                             f"values: {chunks!r}")
        return _chunk_size(chunks[0], "chunks[0] (rows)"), _chunk_size(chunks[1], "chunks[1] (cols)")
    raise TypeError(f"chunks must be 'auto', a number of pixels, a (rows, cols) pair or a dict by "
                    f"dimension ({', '.join(CHUNK_DIMS)}), not {type(chunks).__name__} {chunks!r:.80}")


def resolve_chunks(plan: ChunkPlan, shape: tuple[int, int], default: tuple[int, int]) -> tuple[int, int]:
    """Chunk sizes of a plan on an image of `shape`: -1 is the whole
    dimension, None the `default`'s size."""
    sizes = [fallback if asked is None else whole if asked == -1 else asked
             for asked, whole, fallback in zip(plan, shape, default)]
    return sizes[0], sizes[1]


def check_polarisation(polarisation: object) -> str:
    """"auto", "VV" or "HH" in any case, normalised ("auto" lower, the
    others upper)."""
    if not isinstance(polarisation, str):
        raise TypeError(f"polarisation must be one of {', '.join(map(repr, POLARISATIONS))}, "
                        f"not {polarisation!r}")
    value = polarisation.strip()
    value = value.lower() if value.lower() == "auto" else value.upper()
    if value not in POLARISATIONS:
        raise ValueError(f"polarisation must be one of {', '.join(map(repr, POLARISATIONS))} "
                         f"(any case), not {polarisation!r}")
    return value


def check_coast_distance(distance_km: object) -> float:
    """The coastal band's distance in kilometres, a finite number, 0 or more
    (0: no band)."""
    if isinstance(distance_km, bool) or not isinstance(distance_km, numbers.Real):
        raise TypeError(f"coast_distance_km must be a number of kilometres, not {distance_km!r}")
    value = float(distance_km)
    if not (value >= 0 and math.isfinite(value)):
        raise ValueError(f"coast_distance_km must be 0 or more finite kilometres, not {distance_km!r}")
    return value


def check_kernel_threads(threads: object) -> int | None:
    """A positive number of threads, or None (the OpenMP runtime's)."""
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, numbers.Integral)
                                or int(threads) < 1):
        raise ValueError(f"kernel_threads must be a positive number of threads or None, not {threads!r}")
    return None if threads is None else int(threads)


def check_workers(workers: object) -> int:
    """A positive number of worker processes."""
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral) or int(workers) < 1:
        raise ValueError(f"workers must be a positive number of worker processes, not {workers!r}")
    return int(workers)
