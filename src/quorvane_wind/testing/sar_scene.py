"""A synthetic C-band SAR wind scene.

The scene is a ground-range image of a right-looking radar on an ascending
pass: rows run along the track (azimuth), columns across it (ground range,
near to far), so the incidence angle grows with the column index. Over it blows
a known wind: a background flow that veers across an atmospheric front, a
cyclonic vortex with a calm centre, and small-scale gusts. From that wind the
module's own model function gives sigma0, degraded by multiplicative speckle.

Beside the high-resolution truth the scene carries what a retrieval really
has: an ERA5-like reanalysis, that is, U10 and V10 on a 0.25 degree
latitude/longitude grid (cell means of the same weather, so fronts and vortex
are smoothed), bilinearly interpolated to the scene's pixels.

Everything is NumPy; nothing here calls Quorvane, so the same scene can be fed
to the module directly, through dask, or used to check the module.
"""

from dataclasses import dataclass, field
from typing import TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .cmod5n_forward import sigma0_cmod5n

Float64Array: TypeAlias = NDArray[np.float64]
# A number or an array of them: the wind helpers work on both, and return
# NumPy scalars for numbers.
Floats: TypeAlias = float | np.floating | NDArray[np.floating]

EARTH_RADIUS_KM = 6371.0
ERA5_STEP_DEG = 0.25


@dataclass(frozen=True)
class SceneConfig:
    """Size, geometry and weather of a synthetic scene. Lengths in km unless
    the name says otherwise; directions in degrees clockwise from north."""

    pixel_size_m: float = 100.0
    azimuth_km: float = 250.0          # along track (rows)
    range_km: float = 170.0            # across track (columns)
    incidence_near_deg: float = 29.0
    incidence_far_deg: float = 46.0
    heading_deg: float = 348.0         # ascending pass, flying north-north-west
    centre_lat: float = 52.0
    centre_lon: float = -20.0
    looks: float = 50.0                # equivalent number of looks of a pixel
    seed: int = 7
    # Background flow on either side of the front: (speed m/s, from-direction).
    warm_side_wind: tuple[float, float] = (7.0, 205.0)
    cold_side_wind: tuple[float, float] = (9.0, 300.0)
    front_angle_deg: float = 30.0      # orientation of the front line (from north)
    front_offset_km: float = 35.0      # east of the scene centre
    front_width_km: float = 6.0
    # Cyclone: centre offset (east, north) from the scene centre, peak tangential
    # wind, radius of the peak, inflow angle.
    cyclone_centre_km: tuple[float, float] = (-25.0, 30.0)
    cyclone_peak_wind: float = 15.0
    cyclone_radius_km: float = 28.0
    cyclone_inflow_deg: float = 20.0
    gust_fraction: float = 0.06        # std of the small-scale speed factor
    gust_scale_km: float = 1.5
    direction_jitter_deg: float = 6.0  # std of the small-scale direction wobble

    @property
    def shape(self) -> tuple[int, int]:
        return (
            max(2, int(round(self.azimuth_km * 1000.0 / self.pixel_size_m))),
            max(2, int(round(self.range_km * 1000.0 / self.pixel_size_m))),
        )

    @property
    def look_azimuth_deg(self) -> float:
        """Azimuth the radar beam points to (right-looking)."""
        return (self.heading_deg + 90.0) % 360.0


@dataclass
class Scene:
    config: SceneConfig
    azimuth_km: Float64Array      # (rows,) distance along track from the scene centre
    range_km: Float64Array        # (cols,) distance across track from the scene centre
    lat: Float64Array             # (rows, cols)
    lon: Float64Array
    inc_angle: NDArray[np.float32]   # (rows, cols) degrees
    true_speed: Float64Array      # (rows, cols) m/s
    true_direction: Float64Array  # (rows, cols) wind from, degrees
    sigma0: NDArray[np.float32]   # (rows, cols) dB, with speckle
    era5_lat: Float64Array        # (n,) descending, as ERA5 stores it
    era5_lon: Float64Array        # (m,) ascending
    era5_u10: NDArray[np.float32]  # (n, m) m/s
    era5_v10: NDArray[np.float32]
    u10: NDArray[np.float32]      # (rows, cols): ERA5 interpolated to the scene
    v10: NDArray[np.float32]
    extra: dict[str, object] = field(default_factory=dict)

    @property
    def look_azimuth_deg(self) -> float:
        return self.config.look_azimuth_deg


@overload
def wind_components(speed: float, from_direction_deg: float) -> tuple[float, float]: ...
@overload
def wind_components(speed: NDArray[np.floating], from_direction_deg: Floats
                    ) -> tuple[Float64Array, Float64Array]: ...
def wind_components(speed: Floats, from_direction_deg: Floats) -> tuple[Floats, Floats]:
    """(u, v) of a wind of `speed` blowing from `from_direction_deg`."""
    rad = np.deg2rad(from_direction_deg)
    return -speed * np.sin(rad), -speed * np.cos(rad)


@overload
def wind_from_direction_deg(u: float, v: float) -> float: ...
@overload
def wind_from_direction_deg(u: NDArray[np.floating], v: NDArray[np.floating]) -> Float64Array: ...
def wind_from_direction_deg(u: Floats, v: Floats) -> Floats:
    """Direction the wind blows from, degrees clockwise from north, [0, 360)."""
    return np.rad2deg(np.arctan2(-u, -v)) % 360.0


def relative_direction_deg(from_direction_deg: ArrayLike, look_azimuth_deg: Floats) -> Float64Array:
    """Wind direction relative to the radar look direction, in (-180, 180]:
    0 when the wind blows towards the radar (upwind), 180 downwind."""
    d = (np.asarray(from_direction_deg, dtype=np.float64) - look_azimuth_deg) % 360.0
    return np.where(d > 180.0, d - 360.0, d)


def synoptic_wind(east_km: Float64Array, north_km: Float64Array,
                  cfg: SceneConfig) -> tuple[Float64Array, Float64Array]:
    """The large-scale wind (front, background, vortex) at local positions
    (km east and north of the scene centre): (u, v) in m/s."""
    # Background flow veering across the front: a smooth step in the signed
    # distance from the front line.
    a = np.deg2rad(cfg.front_angle_deg)
    across = (east_km - cfg.front_offset_km) * np.cos(a) - north_km * np.sin(a)
    w = 0.5 * (1.0 + np.tanh(across / cfg.front_width_km))   # 1 on the warm (east) side
    uw, vw = wind_components(*cfg.warm_side_wind)
    uc, vc = wind_components(*cfg.cold_side_wind)
    u = w * uw + (1.0 - w) * uc
    v = w * vw + (1.0 - w) * vc

    # Cyclonic vortex (counter-clockwise in the northern hemisphere) with a
    # calm centre: tangential speed peaks at the radius of maximum wind and
    # decays slowly outside it; the flow spirals inwards.
    dx = east_km - cfg.cyclone_centre_km[0]
    dy = north_km - cfg.cyclone_centre_km[1]
    r = np.hypot(dx, dy)
    q = r / cfg.cyclone_radius_km
    vt = cfg.cyclone_peak_wind * q * np.exp(1.0 - q)
    with np.errstate(invalid="ignore", divide="ignore"):
        ex, ey = np.where(r > 0, dx / r, 0.0), np.where(r > 0, dy / r, 0.0)
    inflow = np.deg2rad(cfg.cyclone_inflow_deg)
    tx, ty = -ey, ex                      # counter-clockwise tangent
    u = u + vt * (np.cos(inflow) * tx - np.sin(inflow) * ex)
    v = v + vt * (np.cos(inflow) * ty - np.sin(inflow) * ey)
    # The vortex also takes the background wind down in its centre.
    calm = 1.0 - np.exp(-(q / 0.5) ** 2)
    return u * (0.3 + 0.7 * calm), v * (0.3 + 0.7 * calm)


def gaussian_random_field(shape: tuple[int, int], pixel_km: float, scale_km: float,
                          rng: np.random.Generator) -> Float64Array:
    """Zero-mean, unit-variance random field with a Gaussian correlation of
    `scale_km`, made by filtering white noise in the Fourier domain."""
    noise = rng.standard_normal(shape)
    ky = np.fft.fftfreq(shape[0], d=pixel_km)
    kx = np.fft.rfftfreq(shape[1], d=pixel_km)
    k2 = ky[:, None] ** 2 + kx[None, :] ** 2
    spectrum = np.fft.rfft2(noise) * np.exp(-2.0 * (np.pi * scale_km) ** 2 * k2)
    out = np.fft.irfft2(spectrum, s=shape)
    std = out.std()
    return out / std if std > 0 else out


def bilinear_latlon(field_: ArrayLike, grid_lat: NDArray[np.floating], grid_lon: NDArray[np.floating],
                    lat: NDArray[np.floating], lon: NDArray[np.floating]) -> Float64Array:
    """Bilinear interpolation of `field_` given on a regular grid (latitudes
    `grid_lat`, ascending or descending, longitudes `grid_lon` ascending) to the
    points (`lat`, `lon`). Points must lie inside the grid."""
    dlat = grid_lat[1] - grid_lat[0]
    dlon = grid_lon[1] - grid_lon[0]
    fi = (lat - grid_lat[0]) / dlat
    fj = (lon - grid_lon[0]) / dlon
    if (fi.min() < 0 or fj.min() < 0 or fi.max() > len(grid_lat) - 1
            or fj.max() > len(grid_lon) - 1):
        raise ValueError("points outside the interpolation grid")
    i0 = np.minimum(np.floor(fi).astype(np.intp), len(grid_lat) - 2)
    j0 = np.minimum(np.floor(fj).astype(np.intp), len(grid_lon) - 2)
    wi = fi - i0
    wj = fj - j0
    f = np.asarray(field_, dtype=np.float64)
    out: Float64Array = ((1 - wi) * ((1 - wj) * f[i0, j0] + wj * f[i0, j0 + 1])
                         + wi * ((1 - wj) * f[i0 + 1, j0] + wj * f[i0 + 1, j0 + 1]))
    return out


def _local_km(lat: Float64Array, lon: Float64Array, cfg: SceneConfig) -> tuple[Float64Array, Float64Array]:
    north = np.deg2rad(lat - cfg.centre_lat) * EARTH_RADIUS_KM
    east = np.deg2rad(lon - cfg.centre_lon) * EARTH_RADIUS_KM * np.cos(np.deg2rad(cfg.centre_lat))
    return east, north


def _era5_grid(lat: Float64Array, lon: Float64Array, cfg: SceneConfig, rng: np.random.Generator
               ) -> tuple[Float64Array, Float64Array, NDArray[np.float32], NDArray[np.float32]]:
    """ERA5-like U10/V10 on the 0.25 degree grid around the scene: means of the
    large-scale wind over each cell (5 x 5 samples), plus a little noise of its
    own, stored as float32 with latitudes descending."""
    step = ERA5_STEP_DEG
    lat_lo = np.floor(lat.min() / step) * step - step
    lat_hi = np.ceil(lat.max() / step) * step + step
    lon_lo = np.floor(lon.min() / step) * step - step
    lon_hi = np.ceil(lon.max() / step) * step + step
    glat = np.round(np.arange(lat_hi, lat_lo - step / 2, -step), 6)
    glon = np.round(np.arange(lon_lo, lon_hi + step / 2, step), 6)
    offsets = (np.arange(5) - 2) * (step / 5)
    u = np.zeros((len(glat), len(glon)))
    v = np.zeros_like(u)
    for oy in offsets:
        for ox in offsets:
            la, lo = np.meshgrid(glat + oy, glon + ox, indexing="ij")
            e, n = _local_km(la, lo, cfg)
            du, dv = synoptic_wind(e, n, cfg)
            u += du
            v += dv
    u /= offsets.size ** 2
    v /= offsets.size ** 2
    u += rng.normal(0.0, 0.3, u.shape)
    v += rng.normal(0.0, 0.3, v.shape)
    return glat, glon, u.astype(np.float32), v.astype(np.float32)


def incidence_profile(n_cols: int, cfg: SceneConfig) -> Float64Array:
    """Incidence angle (degrees) across the swath: the angle under which a
    radar at an effective height sees each ground range, with the height chosen
    so the swath spans exactly the configured near and far angles."""
    tan_near = np.tan(np.deg2rad(cfg.incidence_near_deg))
    tan_far = np.tan(np.deg2rad(cfg.incidence_far_deg))
    height = cfg.range_km / (tan_far - tan_near)
    ground = height * tan_near + np.linspace(0.0, cfg.range_km, n_cols)
    angle: Float64Array = np.rad2deg(np.arctan(ground / height))
    return angle


def synthesize_scene(cfg: SceneConfig | None = None, *, rows_per_block: int = 256) -> Scene:
    """Makes the whole scene for `cfg` (a SceneConfig; defaults if None)."""
    cfg = cfg or SceneConfig()
    rng = np.random.default_rng(cfg.seed)
    rows, cols = cfg.shape
    px_km = cfg.pixel_size_m / 1000.0

    # Pixel positions: along track (rows) and along the look direction (cols).
    az = (np.arange(rows, dtype=np.float64) - (rows - 1) / 2) * px_km
    rg = (np.arange(cols, dtype=np.float64) - (cols - 1) / 2) * px_km
    h = np.deg2rad(cfg.heading_deg)
    look = np.deg2rad(cfg.look_azimuth_deg)
    east = az[:, None] * np.sin(h) + rg[None, :] * np.sin(look)
    north = az[:, None] * np.cos(h) + rg[None, :] * np.cos(look)
    lat = cfg.centre_lat + np.rad2deg(north / EARTH_RADIUS_KM)
    lon = cfg.centre_lon + np.rad2deg(east / (EARTH_RADIUS_KM * np.cos(np.deg2rad(cfg.centre_lat))))

    inc_row = incidence_profile(cols, cfg).astype(np.float32)
    inc = np.broadcast_to(inc_row, (rows, cols)).copy()

    # Truth: the large-scale wind with gusts in speed and a wobble in direction.
    u, v = synoptic_wind(east, north, cfg)
    speed = np.hypot(u, v)
    direction = wind_from_direction_deg(u, v)
    gusts = gaussian_random_field((rows, cols), px_km, cfg.gust_scale_km, rng)
    speed = np.clip(speed * (1.0 + cfg.gust_fraction * gusts), 0.0, None)
    wobble = gaussian_random_field((rows, cols), px_km, 4.0 * cfg.gust_scale_km, rng)
    direction = (direction + cfg.direction_jitter_deg * wobble) % 360.0
    del u, v, gusts, wobble

    # Observation: the model's sigma0 for the true wind, times speckle
    # (gamma distributed intensity with mean 1 and `looks` looks).
    rel_true = relative_direction_deg(direction, cfg.look_azimuth_deg)
    sigma0 = np.empty((rows, cols), dtype=np.float32)
    for r0 in range(0, rows, rows_per_block):
        r1 = min(rows, r0 + rows_per_block)
        model_db = sigma0_cmod5n(speed[r0:r1], rel_true[r0:r1], inc[r0:r1])
        speckle = rng.gamma(cfg.looks, 1.0 / cfg.looks, size=model_db.shape)
        sigma0[r0:r1] = 10.0 * np.log10(np.power(10.0, model_db / 10.0) * speckle)

    # What the retrieval gets to know about the wind direction: the reanalysis.
    glat, glon, gu, gv = _era5_grid(lat, lon, cfg, rng)
    u10 = bilinear_latlon(gu, glat, glon, lat, lon).astype(np.float32)
    v10 = bilinear_latlon(gv, glat, glon, lat, lon).astype(np.float32)

    return Scene(
        config=cfg, azimuth_km=az, range_km=rg, lat=lat, lon=lon,
        inc_angle=inc, true_speed=speed, true_direction=direction,
        sigma0=sigma0, era5_lat=glat, era5_lon=glon, era5_u10=gu, era5_v10=gv,
        u10=u10, v10=v10,
    )
