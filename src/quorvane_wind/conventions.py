"""CF-1.11 and ACDD-1.3 attributes of the products layer's Datasets, in one
place: the bits of the product's `mask`, the attributes of every variable
(by name, the same for the readers' scene Datasets and the wind product)
and the product's fixed global attributes."""

from typing import Any

import numpy as np

from .defaults import LADDER_TOP

# Bits of the product's `mask` (uint16). Pixels with any of LAND,
# INVALID_SIGMA0, INCIDENCE_OUTSIDE_MODEL, NO_ANCILLARY_WIND or SEA_ICE have no
# wind speed (NaN); the others only inform.
LAND = 1
INVALID_SIGMA0 = 2
INCIDENCE_OUTSIDE_MODEL = 4
NO_ANCILLARY_WIND = 8
SPEED_AT_MODEL_LIMIT = 16
LOW_SIGNAL = 32
COASTAL_BAND = 64
CONVERTED_FROM_HH = 128
SEA_ICE = 256
FLAGS = {
    "land": LAND,
    "invalid_sigma0": INVALID_SIGMA0,
    "incidence_outside_model_range": INCIDENCE_OUTSIDE_MODEL,
    "no_ancillary_wind": NO_ANCILLARY_WIND,
    "wind_speed_at_model_limit": SPEED_AT_MODEL_LIMIT,
    "low_signal": LOW_SIGNAL,
    "coastal_band": COASTAL_BAND,
    "sigma0_converted_from_hh": CONVERTED_FROM_HH,
    "sea_ice": SEA_ICE,
}
NO_WIND_BITS = LAND | INVALID_SIGMA0 | INCIDENCE_OUTSIDE_MODEL | NO_ANCILLARY_WIND | SEA_ICE

# ERA5 sea-ice area fraction from which a pixel is flagged as sea ice: the
# usual ice edge, the 15 % concentration contour by which NSIDC and
# OSI SAF define sea-ice extent.
SEA_ICE_THRESHOLD = 0.15

# Attributes of each variable. Texts may name fields in braces, which
# `variable_attributes` fills in for the Dataset at hand: `polarisation`,
# `hh_comment` and `hh_uncertainty` (clauses for HH products, else empty), `sea_mean` (a
# clause for averages over sea pixels, else empty), `low_signal_multiple`
# and `coast_distance_km`.
VARIABLE_ATTRIBUTES: dict[str, dict[str, Any]] = {
    "line": {"long_name": "line of the block centre in the Level-1 image", "units": "1"},
    "pixel": {"long_name": "pixel (sample) of the block centre in the Level-1 image", "units": "1"},
    "latitude": {"standard_name": "latitude", "units": "degrees_north", "long_name": "latitude",
                 "owi_name": "owiLat", "coverage_content_type": "coordinate"},
    "longitude": {"standard_name": "longitude", "units": "degrees_east", "long_name": "longitude",
                  "owi_name": "owiLon", "coverage_content_type": "coordinate"},
    "time": {"standard_name": "time", "long_name": "zero-Doppler azimuth time of the line",
             "units_metadata": "leap_seconds: none"},
    "height": {"standard_name": "height", "units": "m", "positive": "up", "axis": "Z",
               "long_name": "height above the sea surface of the wind"},
    "wind_speed": {
        "standard_name": "wind_speed", "units": "m s-1",
        "long_name": "10 m wind speed (CMOD5.N)",
        "comment": "equivalent-neutral wind at 10 m, retrieved by exact inversion of CMOD5.N (CF has no "
                   "standard name for equivalent-neutral wind){hh_comment}; NaN where the mask marks land, "
                   "sea ice, invalid sigma0, incidence outside the model's range or no ancillary wind; "
                   "0.01 m/s steps; 26 m/s (the top of the model's range, flagged in the mask) means 26 m/s "
                   "or more",
        "owi_name": "owiWindSpeed", "valid_min": np.float32(0.0), "valid_max": np.float32(LADDER_TOP),
        "ancillary_variables": "mask wind_speed_uncertainty",
        "coverage_content_type": "physicalMeasurement"},
    "wind_speed_uncertainty": {
        "standard_name": "wind_speed standard_error", "units": "m s-1",
        "long_name": "standard uncertainty of wind_speed",
        "comment": "1-sigma, propagated through CMOD5.N by inverting again: speckle of the block's pixels "
                   "and looks, the NESZ known to 1 dB, the absolute calibration (1 dB at 3 sigma), the "
                   "ERA5 direction (20 degrees){hh_uncertainty}; not the model's own error; NaN where "
                   "wind_speed is NaN or at the model's limit (26 m/s or more)",
        "coverage_content_type": "qualityInformation"},
    "wind_from_direction": {
        "standard_name": "wind_from_direction", "units": "degree",
        "long_name": "ERA5 wind direction (from)",
        "comment": "the direction the ERA5 10 m wind blows from, clockwise from north, interpolated "
                   "to the pixels",
        "owi_name": "owiEcmwfWindDirection", "coverage_content_type": "auxiliaryInformation"},
    "era5_wind_speed": {
        "units": "m s-1", "source": "ERA5 reanalysis (ECMWF, Copernicus Climate Change Service)",
        "long_name": "ERA5 10 m wind speed",
        "comment": "the model's wind_speed at 10 m interpolated to the pixels, the ancillary of "
                   "the retrieval; without a "
                   "standard name so that wind_speed names the retrieved speed alone",
        "owi_name": "owiEcmwfWindSpeed", "coverage_content_type": "auxiliaryInformation"},
    "u10": {"standard_name": "eastward_wind", "units": "m s-1",
            "long_name": "ERA5 10 m eastward wind interpolated to the pixels",
            "coverage_content_type": "auxiliaryInformation"},
    "v10": {"standard_name": "northward_wind", "units": "m s-1",
            "long_name": "ERA5 10 m northward wind interpolated to the pixels",
            "coverage_content_type": "auxiliaryInformation"},
    "sigma0": {
        "standard_name": "surface_backwards_scattering_coefficient_of_radar_wave", "units": "1",
        "long_name": "sigma0 {polarisation}, linear{sea_mean}",
        "comment": "normalised radar cross-section, calibrated with the sigmaNought LUT and "
                   "thermal-noise corrected",
        "owi_name": "owiNrcsNeszCorr", "coverage_content_type": "physicalMeasurement"},
    "nesz": {
        "units": "1",
        "long_name": "noise-equivalent sigma0 {polarisation}, linear",
        "comment": "noise range LUT x noise azimuth LUT / sigmaNought LUT^2, mean over all pixels "
                   "of the block; NaN when the product has no noise vectors", "ancillary_variables": "sigma0",
        "owi_name": "owiNesz", "coverage_content_type": "qualityInformation"},
    "incidence_angle": {"standard_name": "angle_of_incidence", "units": "degree",
                        "long_name": "incidence angle", "owi_name": "owiIncidenceAngle",
                        "coverage_content_type": "coordinate"},
    "look_direction": {
        "units": "degree",
        "long_name": "radar look direction",
        "comment": "azimuth the radar beam points to at the pixel: the ground direction of "
                   "increasing range, clockwise from north, from the geolocation grid; the CF "
                   "sensor_azimuth_angle (from the pixel to the sensor) is this plus 180 "
                   "degrees; the wind direction relative to the look direction uses it per pixel",
        "coverage_content_type": "coordinate"},
    "platform_heading": {"standard_name": "platform_course", "units": "degree",
                         "long_name": "platform heading, clockwise from north", "owi_name": "owiHeading",
                         "coverage_content_type": "auxiliaryInformation"},
    "land_fraction": {
        "standard_name": "land_area_fraction", "units": "1",
        "long_name": "land fraction of the block",
        "comment": "fraction of the block's native pixels on land (GLOBE 1 km land mask at each "
                   "pixel); they are left out of the sigma0 mean",
        "coverage_content_type": "auxiliaryInformation"},
    "mask": {
        "standard_name": "status_flag", "long_name": "reasons a pixel has no or a doubtful wind speed",
        "flag_masks": np.array(list(FLAGS.values()), dtype=np.uint16),
        "flag_meanings": " ".join(FLAGS), "owi_name": "owiMask",
        "comment": "invalid_sigma0: no measurement, or a non-positive noise-subtracted sigma0 (at native "
                   "resolution; a block's mean includes non-positive pixels); sea_ice: ERA5 sea-ice "
                   "fraction at least sea_ice_fraction_threshold (none without siconc in the ERA5 files); "
                   "low_signal: sigma0 < {low_signal_multiple:g} x nesz (attribute "
                   "low_signal_nesz_multiple), the speed is kept; coastal_band: a sea pixel whose "
                   "land-mask cell is within {coast_distance_km:g} km of a land cell (attribute "
                   "coast_distance_km; none without the land mask); sigma0_converted_from_hh: every "
                   "pixel of a product made from HH",
        "owi_mask_relation": "ESA's Level-2 OCN owiMask is 0 valid, 1 land, 2 ice, 4 no value: bit "
                             "1 here is its land value, bit 256 (sea_ice) its ice value; the bits 2, "
                             "4 and 8 here are among its 'no value' cases; it has no low signal, "
                             "coastal band or HH bit",
        "coverage_content_type": "qualityInformation"},
}

# Fields that have a value at every pixel: no _FillValue (CF forbids one on
# coordinates, and one that never occurs misleads).
NEVER_MISSING = {"latitude", "longitude", "incidence_angle", "look_direction"}

KEYWORDS = ("EARTH SCIENCE > OCEANS > OCEAN WINDS > SURFACE WINDS",
            "EARTH SCIENCE > OCEANS > OCEAN WINDS > WIND SPEED",
            "EARTH SCIENCE > SPECTRAL/ENGINEERING > RADAR > RADAR BACKSCATTER")

# The producer's attributes (`--attribute NAME=VALUE`) replace these.
PRODUCER_DEFAULTS = {
    "naming_authority": "quorvane",
    "project": "Sentinel-1 ocean wind",
    "program": "Copernicus",
    "institution": "not given (set it with quorvane-wind --attribute institution=...)",
    "creator_name": "not given (set it with quorvane-wind --attribute creator_name=...)",
    "creator_type": "institution",
    "creator_email": "not given (set it with quorvane-wind --attribute creator_email=...)",
    "creator_url": "not given (set it with quorvane-wind --attribute creator_url=...)",
    "publisher_name": "not given (set it with quorvane-wind --attribute publisher_name=...)",
    "publisher_type": "institution",
    "publisher_email": "not given (set it with quorvane-wind --attribute publisher_email=...)",
    "publisher_url": "not given (set it with quorvane-wind --attribute publisher_url=...)",
}

# The product's global attributes that do not depend on the scene.
GLOBAL_ATTRIBUTES: dict[str, Any] = {
    "Conventions": "CF-1.11, ACDD-1.3",
    "keywords": ", ".join(KEYWORDS),
    "keywords_vocabulary": "GCMD Science Keywords",
    "standard_name_vocabulary": "CF Standard Name Table v93",
    "cdm_data_type": "Swath",
    "references": "Hersbach, H. (2010): Comparison of C-band scatterometer CMOD5.N equivalent "
                  "neutral winds with ECMWF, J. Atmos. Oceanic Technol. 27, 721-736",
    "license": "Copernicus Sentinel data and ERA5 (C3S) terms apply to the inputs.",
    "platform_vocabulary": "GCMD Platform Keywords",
    "instrument": "C-SAR",
    "instrument_vocabulary": "GCMD Instrument Keywords",
    "processing_level": "L2",
    "geospatial_lat_units": "degrees_north", "geospatial_lon_units": "degrees_east",
    "geospatial_bounds_crs": "EPSG:4326",
    "geospatial_vertical_min": 10.0, "geospatial_vertical_max": 10.0,
    "geospatial_vertical_units": "m", "geospatial_vertical_positive": "up",
    "geospatial_bounds_vertical_crs": "EPSG:5829",
    "wind_model_polarisation": "VV",
}


def variable_attributes(name: str, **fields: Any) -> dict[str, Any]:
    """The attributes of variable `name`, with the fields its texts name
    filled in from `fields`."""
    return {key: value.format(**fields) if isinstance(value, str) and "{" in value else value
            for key, value in VARIABLE_ATTRIBUTES[name].items()}


def iso_time(t: np.datetime64) -> str:
    """ISO 8601 UTC text of a time, to the microsecond (ACDD's times)."""
    return str(np.datetime_as_string(np.datetime64(t, "us"), unit="us")) + "Z"
