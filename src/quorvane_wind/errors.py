"""The error users see: one line naming what is wrong with an input."""


class InputError(Exception):
    """An input (a Sentinel-1 product or an ERA5 file) that cannot be turned
    into a wind product. The message is meant for the user as it is: it names
    the file at fault and the reason, without a traceback."""


class CoverageError(InputError):
    """A scene outside the time or area of the ERA5 files."""


class ProcessingWarning(UserWarning):
    """A product is made, but with degraded processing (for example without
    thermal noise removal). The command prints it as one line for the
    input; library users get it through the `warnings` module."""


class OutputError(InputError):
    """An output that cannot be written (a full disk); one line naming the
    output, like an input's error."""
