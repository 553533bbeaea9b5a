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


def reason(exc: BaseException) -> str:
    """One line saying why `exc` happened: its message and those it was
    raised from (GDAL's actual reason often sits a few causes down, behind
    "See previous exception for details"), or its type's name."""
    parts: list[str] = []
    seen: set[int] = set()
    link: BaseException | None = exc
    while link is not None and id(link) not in seen:
        seen.add(id(link))
        text = " ".join(str(link).split())
        if text and "See previous exception" not in text and not any(text in p for p in parts):
            parts.append(text)
        link = link.__cause__ or link.__context__
    return "; ".join(parts) if parts else type(exc).__name__
