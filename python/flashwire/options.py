"""The options of one job as a dataclass, converted to and from option strings."""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass, field
from typing import Iterable, Literal, Optional, Sequence, Union

from . import _native
from .errors import ERR_BAD_CMDLINE, ERR_NOMEM, FlashError, error_class

Mode = Literal["flash", "verify", "read"]
Phases = Literal["all", "bl", "fl"]
Range = tuple[int, int]
PathText = Union[str, "os.PathLike[str]"]

_MODES: tuple[Mode, ...] = ("flash", "verify", "read")
_PHASES: tuple[Phases, ...] = ("all", "bl", "fl")


def _text(value: Union[str, "os.PathLike[str]"], what: str, is_path: bool) -> bytes:
    raw = os.fsencode(value) if is_path else str(value).encode("utf-8")
    if len(raw) >= _native.TEXT_SIZE:
        raise ValueError(f"{what} is {len(raw)} bytes long; at most {_native.TEXT_SIZE - 1} fit")
    if b"\0" in raw:
        raise ValueError(f"{what} contains a NUL character")
    return raw


def _ranges(ranges: Iterable[Sequence[int]], what: str) -> list[Range]:
    result: list[Range] = []
    for item in ranges:
        if len(item) != 2:
            raise ValueError(f"{what}: {item!r} is not a (first, last) pair")
        first, last = int(item[0]), int(item[1])
        if not (0 <= first <= last <= 0xFFFFFFFF):
            raise ValueError(
                f"{what}: ({first:#x}, {last:#x}) is not an inclusive 32-bit range with first <= last"
            )
        result.append((first, last))
    if len(result) > _native.MAX_RANGES:
        raise ValueError(f"{what}: {len(result)} ranges; at most {_native.MAX_RANGES} are allowed")
    return result


@dataclass
class Options:
    """The options of one job, as the option string names them.

    Converts to the library's record (:meth:`to_record`) and back, and to and
    from option strings through the library's own parser and maker
    (:meth:`parse`, :meth:`to_string`).

    Attributes:
        platform: the section of "platform.def" that describes the phone.
        mode: ``"flash"``, ``"verify"`` or ``"read"``.
        file: the S-record image to flash or to verify against.
        save_file: the S-record file a read job writes.
        com: one or two port numbers, one-based as the option string writes
            them (1 = COM1 ... 12 = COM12).
        max_speed: the highest rate of each port in baud (57600, 115200,
            230400, 460800 or 921600).
        erase_passes: erase passes per sector (1..8).
        phases: ``"all"``, ``"bl"`` (boot loader stage only) or ``"fl"``
            (flash loader stage only).
        reserved: ranges (first, last; inclusive) the image must not write.
        read: ranges (first, last; inclusive) a read job reads.
        debug, erase_unused, ext_protect, no_retry, unattended, diff: the
            library's switches of the same names.
    """

    platform: str = ""
    mode: Mode = "flash"
    file: str = ""
    save_file: str = ""
    com: tuple[int, ...] = ()
    max_speed: tuple[int, int] = (115200, 115200)
    erase_passes: int = 1
    phases: Phases = "all"
    reserved: list[Range] = field(default_factory=list)
    read: list[Range] = field(default_factory=list)
    debug: bool = False
    erase_unused: bool = False
    ext_protect: bool = False
    no_retry: bool = False
    unattended: bool = False
    diff: bool = True

    def to_record(self) -> _native.FlashOptions:
        """The library's packed record of these options; raises ValueError for values it cannot hold."""
        rec = _native.FlashOptions()
        rec.platform = _text(self.platform, "platform", False)
        rec.file = _text(self.file, "file", True)
        rec.saveFile = _text(self.save_file, "save_file", True)
        if self.mode not in _MODES:
            raise ValueError(f"mode {self.mode!r}: one of {', '.join(_MODES)}")
        rec.mode = _MODES.index(self.mode)
        if self.phases not in _PHASES:
            raise ValueError(f"phases {self.phases!r}: one of {', '.join(_PHASES)}")
        rec.phases = _PHASES.index(self.phases)
        com = tuple(self.com)
        if len(com) > 2:
            raise ValueError(f"com {com!r}: one or two ports")
        for n in com:
            if not 1 <= int(n) <= _native.PORT_COUNT:
                raise ValueError(f"com port {n}: valid are 1-{_native.PORT_COUNT}")
        rec.comPort[0] = int(com[0]) - 1 if len(com) > 0 else _native.PORT_UNUSED
        rec.comPort[1] = int(com[1]) - 1 if len(com) > 1 else _native.PORT_UNUSED
        speeds = tuple(self.max_speed)
        if len(speeds) != 2:
            raise ValueError(f"max_speed {speeds!r}: a rate for each of the two ports")
        for i, speed in enumerate(speeds):
            if speed not in _native.SPEEDS:
                raise ValueError(f"max_speed {speed}: one of {', '.join(map(str, _native.SPEEDS))}")
            rec.maxSpeed[i] = _native.SPEEDS.index(speed)
        if not 1 <= int(self.erase_passes) <= 8:
            raise ValueError(f"erase_passes {self.erase_passes}: 1 to 8")
        rec.erasePasses = int(self.erase_passes)
        for name, ranges in (("reserved", self.reserved), ("read", self.read)):
            checked = _ranges(ranges, name)
            table = getattr(rec, name)
            for i, (first, last) in enumerate(checked):
                table[i].first = first
                table[i].last = last
            setattr(rec, name + "Count", len(checked))
        rec.debug = int(bool(self.debug))
        rec.eraseUnused = int(bool(self.erase_unused))
        rec.extProtect = int(bool(self.ext_protect))
        rec.noRetry = int(bool(self.no_retry))
        rec.unattended = int(bool(self.unattended))
        rec.diff = int(bool(self.diff))
        return rec

    @classmethod
    def from_record(cls, rec: _native.FlashOptions) -> "Options":
        """The options a library record holds."""
        com = tuple(int(p) + 1 for p in rec.comPort if p < _native.PORT_UNUSED)

        def speed(index: int) -> int:
            return _native.SPEEDS[index] if index < len(_native.SPEEDS) else _native.SPEEDS[1]

        def ranges(table: ctypes.Array, count: int) -> list[Range]:  # type: ignore[type-arg]
            return [(table[i].first, table[i].last) for i in range(min(count, _native.MAX_RANGES))]

        return cls(
            platform=rec.platform.decode("utf-8", "replace"),
            mode=_MODES[rec.mode] if rec.mode < 3 else "flash",
            file=os.fsdecode(rec.file),
            save_file=os.fsdecode(rec.saveFile),
            com=com,
            max_speed=(speed(rec.maxSpeed[0]), speed(rec.maxSpeed[1])),
            erase_passes=rec.erasePasses,
            phases=_PHASES[rec.phases] if rec.phases < 3 else "all",
            reserved=ranges(rec.reserved, rec.reservedCount),
            read=ranges(rec.read, rec.readCount),
            debug=bool(rec.debug),
            erase_unused=bool(rec.eraseUnused),
            ext_protect=bool(rec.extProtect),
            no_retry=bool(rec.noRetry),
            unattended=bool(rec.unattended),
            diff=bool(rec.diff),
        )

    @classmethod
    def parse(cls, option_string: str) -> "Options":
        """Parses an option string with the library's parser.

        Raises :class:`~flashwire.OptionsError` with the library's error line
        (for example ``"Unknown MODE fly"``) when it refuses the string.
        """
        lines: list[tuple[int, str]] = []
        rec, code = parse_record(option_string, lines)
        if code != 0:
            errors = [text for level, text in lines if level >= 2]
            line = errors[0] if errors else f"bad option string: {option_string}"
            lib = _native.library()
            raise error_class(code)(code, lib.error_name(code), line)
        return cls.from_record(rec)

    def to_string(self) -> str:
        """The option string of these options, written by the library's maker.

        The maker writes only what matters for the mode (for example no
        /debug, /unattended or /eraseunused); parsing the result gives the
        same options for everything it writes.
        """
        rec = self.to_record()
        lib = _native.library()
        size = 4096
        while True:
            buffer = ctypes.create_string_buffer(size)
            code = lib.lib.FlashMakeOptionString(ctypes.byref(rec), buffer, size)
            if code == ERR_NOMEM and size < 1 << 20:
                size *= 4
                continue
            if code != 0:
                raise error_class(code)(code, lib.error_name(code), "the library refused the options record")
            return buffer.value.decode("utf-8", "surrogateescape")


def parse_record(
    option_string: str, lines: Optional[list[tuple[int, str]]] = None, bound: Optional[_native.BoundHandle] = None
) -> tuple[_native.FlashOptions, int]:
    """Runs FlashParseOptionString; collects its message lines; returns the record and the code."""
    lib = _native.library()
    own = bound is None
    handle = bound if bound is not None else _native.BoundHandle(lib)
    collected = lines if lines is not None else []

    def on_message(_h: object, level: int, text: Optional[bytes]) -> int:
        try:
            collected.append((int(level), (text or b"").decode("utf-8", "replace")))
        except BaseException:  # nothing may escape into the library
            pass
        return 0

    saved = handle.handle.message
    callback = _native.MessageFn(on_message)
    handle.handle.message = callback
    rec = _native.FlashOptions()
    count = ctypes.c_int32(0)
    try:
        raw = option_string.encode("utf-8", "surrogateescape")
        if b"\0" in raw:
            collected.append((2, "the option string contains a NUL character"))
            return rec, ERR_BAD_CMDLINE
        code = lib.lib.FlashParseOptionString(ctypes.byref(handle.handle), raw, ctypes.byref(count), ctypes.byref(rec))
    finally:
        handle.handle.message = saved
        if own:
            handle.finish()
    return rec, int(code)


__all__ = ["Options", "Mode", "Phases", "Range", "FlashError"]
