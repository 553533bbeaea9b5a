"""Defaults of the product options, shared by the command (which must not
load NumPy or xarray before it handles its arguments) and the product."""

# Size of the averaging blocks of a product, metres, when none is asked for:
# the resolution at which CMOD5.N winds are usually given (about 100 x 100
# pixels of an IW GRDH product), where speckle is averaged away.
RESOLUTION_M = 1000.0

# Distance from the land mask of the coastal band, km. Bright land reaches
# the sea through the first azimuth ambiguity, lambda R PRF / (2 V) along
# track: about 5.5 km for IW (R ~ 850 km, PRF ~ 1.7 kHz, V ~ 7.1 km/s), 4-5
# km for EW; add half the diagonal of a 1 km block (0.7 km) and one cell of
# the land mask (0.9 km), rounded up.
COAST_DISTANCE_KM = 8.0

# The images the wind can be retrieved from ("auto": VV when the product has
# it, else HH).
POLARISATIONS = ("auto", "VV", "HH")

# Native pixels per computed chunk, when the caller does not choose: a
# chunk's fields and temporaries take about 250 MB, and as many chunks are
# in flight as threads.
CHUNK_PIXELS = 2_000_000

# Incidence angles for which CMOD5.N was fitted (degrees); outside them the
# model is extrapolated and the product flags the pixel.
MODEL_INCIDENCE_RANGE = (18.0, 58.0)
# The largest speed of the kernel's 0.01 m/s ladder: its answer when the
# model does not reach the observation.
LADDER_TOP = 26.0
