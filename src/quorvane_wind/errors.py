"""The error users see: one line naming what is wrong with an input."""


class InputError(Exception):
    """An input (a Sentinel-1 product or an ERA5 file) that cannot be turned
    into a wind product. The message is meant for the user as it is: it names
    the file at fault and the reason, without a traceback."""


class CoverageError(InputError):
    """A scene outside the time or area of the ERA5 files."""
