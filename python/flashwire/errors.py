"""Exceptions raised for failed jobs, one family per kind of remedy."""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from .session import Result

# Error codes of the library (include/flashwire/flash_api.h).
SUCCESS = 0
ERR_NOMEM = 1
ERR_COM = 2
ERR_ABORT = 3
ERR_FLASHTYPE = 4
ERR_PROTOCOL = 5
ERR_TIMEOUT = 6
ERR_WRONG_DLL = 7
ERR_WRONG_FILE_LOAD = 8
ERR_WRONG_FILE_SAVE = 9
ERR_WRONG_FILE_SL = 10
ERR_WRONG_FILE_FL = 11
ERR_WRONG_READLENGTH = 12
ERR_CRC = 13
ERR_UNSUPPORTED = 14
ERR_TOO_MANY_RETRIES = 15
ERR_FILEIO = 16
ERR_BAD_SREC_FILE = 17
ERR_BAD_SREC_ADDR = 18
ERR_LEGACY_LOADER = 19
ERR_CMD_FAILED = 20
ERR_RANGE_OUTSIDE_FLASH = 21
ERR_RANGES_OVERLAP = 22
ERR_BAD_SREC_CHECKSUM = 23
ERR_VERIFY_DIFFERENCE = 24
ERR_TOO_MANY_RANGES = 25
ERR_UNKOWN_HW = 26
ERR_WRONG_FLASHLOADER = 27
ERR_BAD_CMDLINE = 28
ERR_SETUP = 29
ERR_BAD_PLATFORM = 30
ERR_BAD_PARAMS = 31
ERR_UNKNOWN = 100


class FlashError(Exception):
    """A job, or a call of the library, failed.

    Attributes:
        code: the library's error code (never 0).
        name: its name, for example ``"ERR_COM"``.
        line: the last error line the library reported (level 2, else the
            last line of level 1), or an explanation of the package's own.
        result: the job's :class:`~flashwire.Result` when a job ran, else None.
    """

    def __init__(self, code: int, name: str, line: str = "", result: Optional["Result"] = None) -> None:
        self.code = code
        self.name = name
        self.line = line
        self.result = result
        super().__init__(f"{name} ({code}): {line}" if line else f"{name} ({code})")


class PortError(FlashError):
    """A serial port could not be opened or used (missing device, busy, not a terminal)."""


class ImageFileError(FlashError):
    """The image or save file cannot be read, parsed or written, or does not fit the phone."""


class PhoneError(FlashError):
    """The phone did not answer as expected: time-out, protocol or CRC failure, unknown chip."""


class ConfigurationError(FlashError):
    """The platform, its loader files or the data directory are missing or broken."""


class OptionsError(FlashError):
    """The job's options were refused (bad option string, ranges, record)."""


class VerifyError(FlashError):
    """The phone's flash differs from the image."""


class AbortedError(FlashError):
    """The job was aborted: by the abort event, a time-out of the session or Ctrl-C."""


_FAMILIES: dict[int, type[FlashError]] = {
    ERR_COM: PortError,
    ERR_WRONG_FILE_LOAD: ImageFileError,
    ERR_WRONG_FILE_SAVE: ImageFileError,
    ERR_FILEIO: ImageFileError,
    ERR_BAD_SREC_FILE: ImageFileError,
    ERR_BAD_SREC_ADDR: ImageFileError,
    ERR_BAD_SREC_CHECKSUM: ImageFileError,
    ERR_RANGE_OUTSIDE_FLASH: ImageFileError,
    ERR_FLASHTYPE: PhoneError,
    ERR_PROTOCOL: PhoneError,
    ERR_TIMEOUT: PhoneError,
    ERR_WRONG_READLENGTH: PhoneError,
    ERR_CRC: PhoneError,
    ERR_UNSUPPORTED: PhoneError,
    ERR_TOO_MANY_RETRIES: PhoneError,
    ERR_LEGACY_LOADER: PhoneError,
    ERR_CMD_FAILED: PhoneError,
    ERR_UNKOWN_HW: PhoneError,
    ERR_WRONG_FLASHLOADER: PhoneError,
    ERR_WRONG_FILE_SL: ConfigurationError,
    ERR_WRONG_FILE_FL: ConfigurationError,
    ERR_BAD_PLATFORM: ConfigurationError,
    ERR_BAD_CMDLINE: OptionsError,
    ERR_BAD_PARAMS: OptionsError,
    ERR_RANGES_OVERLAP: OptionsError,
    ERR_TOO_MANY_RANGES: OptionsError,
    ERR_VERIFY_DIFFERENCE: VerifyError,
    ERR_ABORT: AbortedError,
}


def error_class(code: int) -> type[FlashError]:
    """The exception class the package raises for an error code."""
    return _FAMILIES.get(code, FlashError)
