"""The shared library: finding it, loading it, and its C records.

Everything that touches ``ctypes`` lives here; the rest of the package works
with Python values.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Optional

# Sizes and limits of the C interface (include/flashwire/flash_api.h).
TEXT_SIZE = 250
MAX_RANGES = 50
PORT_UNUSED = 12
PORT_COUNT = 12
ERROR_TEXT_SIZE = 26
OPTIONS_SIZE = 1610
SPEEDS = (57600, 115200, 230400, 460800, 921600)

SUCCESS = 0
ERR_BAD_PARAMS = 31


class AddressRange(ctypes.Structure):
    """An inclusive address range (first, last)."""

    _fields_ = [("first", ctypes.c_uint32), ("last", ctypes.c_uint32)]


class FlashOptions(ctypes.Structure):
    """The packed options record of one job (1610 bytes, no padding)."""

    _pack_ = 1
    _fields_ = [
        ("platform", ctypes.c_char * TEXT_SIZE),
        ("file", ctypes.c_char * TEXT_SIZE),
        ("saveFile", ctypes.c_char * TEXT_SIZE),
        ("comPort", ctypes.c_uint32 * 2),
        ("maxSpeed", ctypes.c_uint32 * 2),
        ("mode", ctypes.c_uint32),
        ("erasePasses", ctypes.c_uint32),
        ("phases", ctypes.c_uint32),
        ("reservedCount", ctypes.c_uint32),
        ("reserved", AddressRange * MAX_RANGES),
        ("readCount", ctypes.c_uint32),
        ("read", AddressRange * MAX_RANGES),
        ("debug", ctypes.c_uint32),
        ("eraseUnused", ctypes.c_uint32),
        ("extProtect", ctypes.c_uint32),
        ("noRetry", ctypes.c_uint32),
        ("unattended", ctypes.c_uint32),
        ("diff", ctypes.c_uint32),
    ]


class FlashHandle(ctypes.Structure):
    """The host's handle: its size, six callback slots and the library's context."""


HandlePtr = ctypes.POINTER(FlashHandle)
ProgressBeginFn = ctypes.CFUNCTYPE(ctypes.c_int32, HandlePtr, ctypes.c_char_p, ctypes.c_uint32)
ProgressUpdateFn = ctypes.CFUNCTYPE(ctypes.c_int32, HandlePtr, ctypes.c_uint32, ctypes.c_uint32)
ProgressEndFn = ctypes.CFUNCTYPE(ctypes.c_int32, HandlePtr)
StatusFn = ctypes.CFUNCTYPE(ctypes.c_int32, HandlePtr, ctypes.c_char_p)
MessageFn = ctypes.CFUNCTYPE(ctypes.c_int32, HandlePtr, ctypes.c_int32, ctypes.c_char_p)
AbortPollFn = ctypes.CFUNCTYPE(ctypes.c_int32, HandlePtr)

FlashHandle._fields_ = [
    ("size", ctypes.c_uint32),
    ("progressBegin", ProgressBeginFn),
    ("progressUpdate", ProgressUpdateFn),
    ("progressEnd", ProgressEndFn),
    ("status", StatusFn),
    ("message", MessageFn),
    ("abortPoll", AbortPollFn),
    ("context", ctypes.c_void_p),
]

assert ctypes.sizeof(FlashOptions) == OPTIONS_SIZE


class LibraryNotFoundError(OSError):
    """The shared library could not be found or loaded."""


def _library_names() -> list[str]:
    if sys.platform == "win32":
        return ["flashwire.dll"]
    if sys.platform == "darwin":
        return ["libflashwire.dylib", "libflashwire.0.dylib"]
    return ["libflashwire.so.0", "libflashwire.so"]


def _installed_library_dir() -> Optional[Path]:
    """The library directory that ``cmake --install`` recorded beside the package."""
    try:
        from . import _install_paths  # type: ignore[attr-defined]
    except ImportError:
        return None
    here = Path(__file__).resolve().parent
    return (here / str(_install_paths.LIBRARY_DIR)).resolve()


def _candidates() -> list[str]:
    """Where to look for the library, in order."""
    found: list[str] = []
    explicit = os.environ.get("FLASHWIRE_LIBRARY")
    if explicit:
        return [explicit]
    dirs = [Path(__file__).resolve().parent]
    installed = _installed_library_dir()
    if installed is not None:
        dirs.append(installed)
    for d in dirs:
        for name in _library_names():
            if (d / name).is_file():
                found.append(str(d / name))
    # The system's search path (LD_LIBRARY_PATH, ld.so.cache, PATH on Windows).
    found.extend(_library_names())
    located = ctypes.util.find_library("flashwire")
    if located:
        found.append(located)
    return found


def _loaded_path(lib: ctypes.CDLL) -> Optional[Path]:
    """The file the system actually loaded for ``lib``."""
    if sys.platform == "win32":
        buffer = ctypes.create_unicode_buffer(32768)
        get_name = ctypes.windll.kernel32.GetModuleFileNameW
        get_name.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
        n = get_name(lib._handle, buffer, len(buffer))
        return Path(buffer.value).resolve() if n else None

    class DlInfo(ctypes.Structure):
        _fields_ = [
            ("dli_fname", ctypes.c_char_p),
            ("dli_fbase", ctypes.c_void_p),
            ("dli_sname", ctypes.c_char_p),
            ("dli_saddr", ctypes.c_void_p),
        ]

    try:
        libc = ctypes.CDLL(None)
        dladdr = libc.dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    dladdr.restype = ctypes.c_int
    info = DlInfo()
    address = ctypes.cast(lib.FlashInit, ctypes.c_void_p).value
    if not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return Path(os.fsdecode(info.dli_fname)).resolve()


class Library:
    """The loaded shared library with the prototypes of its functions."""

    def __init__(self, lib: ctypes.CDLL, path: Optional[Path]) -> None:
        self.lib = lib
        self.path = path
        u32 = ctypes.c_uint32
        lib.FlashInit.argtypes = [HandlePtr, ctypes.POINTER(FlashOptions)]
        lib.FlashInit.restype = u32
        lib.FlashFinish.argtypes = [HandlePtr]
        lib.FlashFinish.restype = u32
        lib.FlashParseOptionString.argtypes = [
            HandlePtr,
            ctypes.c_char_p,
            ctypes.POINTER(ctypes.c_int32),
            ctypes.POINTER(FlashOptions),
        ]
        lib.FlashParseOptionString.restype = u32
        lib.FlashMakeOptionString.argtypes = [ctypes.POINTER(FlashOptions), ctypes.c_char_p, ctypes.c_int32]
        lib.FlashMakeOptionString.restype = u32
        lib.FlashGetErrorString.argtypes = [u32, ctypes.c_char_p]
        lib.FlashGetErrorString.restype = u32
        lib.FlashLoad.argtypes = [HandlePtr, ctypes.POINTER(FlashOptions)]
        lib.FlashLoad.restype = u32
        lib.FlashMapPort.argtypes = [u32, ctypes.c_char_p]
        lib.FlashMapPort.restype = u32
        lib.FlashSetDataDirectory.argtypes = [HandlePtr, ctypes.c_char_p]
        lib.FlashSetDataDirectory.restype = u32

    @property
    def directory(self) -> Optional[Path]:
        """The directory of the loaded library file."""
        return self.path.parent if self.path is not None else None

    def error_name(self, code: int) -> str:
        """The library's name of an error code ("ERR_COM", "Unknown error: 77")."""
        buffer = ctypes.create_string_buffer(ERROR_TEXT_SIZE)
        self.lib.FlashGetErrorString(code & 0xFFFFFFFF, buffer)
        return buffer.value.decode("ascii", "replace")


_library: Optional[Library] = None
_library_lock = threading.Lock()


def library() -> Library:
    """Loads the shared library once and returns it.

    Order: the file named by ``FLASHWIRE_LIBRARY``; a library beside the
    package or in the directory ``cmake --install`` recorded; the system's
    library search path.
    """
    global _library
    with _library_lock:
        if _library is not None:
            return _library
        errors: list[str] = []
        for candidate in _candidates():
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as e:
                errors.append(f"{candidate}: {e}")
                continue
            if not hasattr(lib, "FlashLoad"):
                errors.append(f"{candidate}: not the flashwire library (no FlashLoad)")
                continue
            _library = Library(lib, _loaded_path(lib))
            return _library
        raise LibraryNotFoundError(
            "the flashwire shared library was not found ("
            + "; ".join(errors)
            + "); install it, or name the file in FLASHWIRE_LIBRARY"
        )


def data_directory(lib: Library) -> Optional[Path]:
    """The configuration installed with the library ("platform.def" and the loaders).

    ``FLASHWIRE_DATA_DIR`` when set; else the library's own directory when it
    holds "platform.def" (a build tree); else ``<library dir>/../share/flashwire``
    (also one level higher, for multiarch library directories such as
    ``lib/x86_64-linux-gnu``).
    """
    explicit = os.environ.get("FLASHWIRE_DATA_DIR")
    if explicit:
        return Path(explicit).resolve()
    libdir = lib.directory
    if libdir is None:
        return None
    if (libdir / "platform.def").is_file():
        return libdir
    for up in (libdir.parent, libdir.parent.parent):
        candidate = up / "share" / "flashwire"
        if (candidate / "platform.def").is_file():
            return candidate
    return libdir.parent / "share" / "flashwire"


# ---- Port numbers: FlashMapPort is process-wide, so every session takes its
# own numbers for its devices while it is open.
_ports_lock = threading.Lock()
_ports_taken: set[int] = set()


def take_port_numbers(count: int) -> list[int]:
    """Reserves ``count`` free port numbers (0..11) for one session."""
    with _ports_lock:
        free = [n for n in range(PORT_COUNT) if n not in _ports_taken]
        if len(free) < count:
            raise RuntimeError(
                f"all {PORT_COUNT} port numbers are in use by open sessions; close a session first"
            )
        chosen = free[:count]
        _ports_taken.update(chosen)
        return chosen


def release_port_numbers(numbers: list[int]) -> None:
    """Gives port numbers back and restores their default devices."""
    lib = _library
    with _ports_lock:
        for n in numbers:
            if lib is not None:
                lib.lib.FlashMapPort(n, None)
            _ports_taken.discard(n)


class BoundHandle:
    """A handle bound to a library context (FlashInit ... FlashFinish)."""

    def __init__(self, lib: Library) -> None:
        self.lib = lib
        self.handle = FlashHandle()
        self.handle.size = ctypes.sizeof(FlashHandle)
        self.options = FlashOptions()
        self.bound = False
        code = lib.lib.FlashInit(ctypes.byref(self.handle), ctypes.byref(self.options))
        if code != SUCCESS:
            from .errors import error_class

            raise error_class(code)(code, lib.error_name(code), "the library could not bind a handle")
        self.bound = True

    def finish(self) -> None:
        """Releases the context; a second call does nothing."""
        if self.bound:
            self.lib.lib.FlashFinish(ctypes.byref(self.handle))
            self.bound = False
