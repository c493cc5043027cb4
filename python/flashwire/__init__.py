"""flashwire: flash, verify and read a phone's flash memory from Python.

A pure-Python layer over the flashwire shared library (``ctypes``)::

    import flashwire

    with flashwire.Session(ports=["/dev/ttyUSB0", "/dev/ttyUSB1"]) as s:
        result = s.flash("image.s19", platform="demo-passive", baud=921600)
        print(result.name, result.duration, result.bytes)

Message lines go to the ``logging`` logger "flashwire"; failures raise
:class:`FlashError` subclasses. See docs/python.md.
"""

from __future__ import annotations

from ._native import LibraryNotFoundError, library
from .errors import (
    AbortedError,
    ConfigurationError,
    FlashError,
    ImageFileError,
    OptionsError,
    PhoneError,
    PortError,
    VerifyError,
    error_class,
)
from .options import Options
from .session import Job, ProgressEvent, Result, Session, logger

__version__ = "0.1.0"


def error_name(code: int) -> str:
    """The library's name of an error code, for example ``error_name(2) == "ERR_COM"``."""
    return library().error_name(code)


__all__ = [
    "AbortedError",
    "ConfigurationError",
    "FlashError",
    "ImageFileError",
    "Job",
    "LibraryNotFoundError",
    "Options",
    "OptionsError",
    "PhoneError",
    "PortError",
    "ProgressEvent",
    "Result",
    "Session",
    "VerifyError",
    "error_class",
    "error_name",
    "logger",
]
