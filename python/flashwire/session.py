"""Sessions: one library handle each, running flash, verify and read jobs."""

from __future__ import annotations

import atexit
import collections
import ctypes
import logging
import os
import threading
import time
import weakref
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Literal, Optional, Sequence, Union

from . import _native
from .errors import (
    ERR_ABORT,
    ERR_BAD_PARAMS,
    ERR_BAD_PLATFORM,
    ERR_UNKNOWN,
    SUCCESS,
    AbortedError,
    ConfigurationError,
    FlashError,
    error_class,
)
from .options import Options, PathText, Range, parse_record

logger = logging.getLogger("flashwire")
"""The logger every session writes the library's message lines to."""

# The library's message levels: 0 information, 1 a failed step, 2 an error.
_LEVELS = {0: logging.INFO, 1: logging.WARNING, 2: logging.ERROR}

# Lines every failed job ends with; they name the code, not the cause.
_GENERIC_PREFIXES = ("Error code: ", "Sorry, an error has occured")

# Progress events kept for a reader that iterates a job (older ones are
# dropped beyond this; the library sends at most one per percent and phase).
_EVENT_LIMIT = 4096

# How long a job gets to end after an abort (Ctrl-C) before the wait gives
# up and re-raises anyway; the library polls for an abort about every 750 ms.
_ABORT_GRACE_SECONDS = 30.0


# Jobs still running when the interpreter exits are aborted and waited for,
# so that the library never calls into an interpreter that is going away.
_running_jobs: "weakref.WeakSet[Job]" = weakref.WeakSet()


def _abort_running_jobs() -> None:
    jobs = list(_running_jobs)
    for job in jobs:
        job.abort("the program is exiting")
    deadline = time.monotonic() + _ABORT_GRACE_SECONDS
    for job in jobs:
        job._done.wait(max(0.0, deadline - time.monotonic()))


atexit.register(_abort_running_jobs)


@dataclass(frozen=True)
class ProgressEvent:
    """One progress report of a job.

    Attributes:
        kind: ``"begin"`` (a phase starts: ``text`` names it, ``total`` is
            its size in bytes), ``"update"`` (``done`` bytes of the phase,
            ``percent``) or ``"end"`` (the phase is over).
        text, total, done, percent: as the kind says; 0 or "" otherwise.
        time: seconds since the job started.
    """

    kind: Literal["begin", "update", "end"]
    text: str = ""
    total: int = 0
    done: int = 0
    percent: int = 0
    time: float = 0.0


@dataclass
class Result:
    """The outcome of a job.

    Attributes:
        code: the library's error code (0 for success).
        name: its name ("SUCCESS", "ERR_COM", ...).
        duration: seconds the job took.
        bytes: the size of the job's last progress phase: the bytes flashed,
            verified or read (0 when the job ended before that phase).
        messages: every message line of the job as (level, text): level 0
            information, 1 a failed step, 2 an error.
        status: the last status text ("All is well !" after a success).
    """

    code: int
    name: str
    duration: float
    bytes: int
    messages: list[tuple[int, str]] = field(default_factory=list)
    status: str = ""

    @property
    def ok(self) -> bool:
        """True when the job succeeded."""
        return self.code == SUCCESS

    @property
    def lines(self) -> list[str]:
        """The message texts without their levels."""
        return [text for _level, text in self.messages]

    def error_line(self) -> str:
        """The line that best names the cause of a failure ("" for a success)."""
        if self.ok:
            return ""
        for wanted in (2, 1):
            for level, text in reversed(self.messages):
                if level == wanted and not text.startswith(_GENERIC_PREFIXES):
                    return text
        return self.messages[-1][1] if self.messages else ""


ProgressCallback = Callable[[ProgressEvent], object]


class Job:
    """A job running in the background on a session (see :meth:`Session.start`).

    Iterating a job yields its :class:`ProgressEvent` objects as they arrive
    and ends when the job is over; :meth:`result` waits for the end and
    returns the :class:`Result` or raises the job's :class:`FlashError`.
    Ctrl-C while waiting aborts the job, waits for it to end and re-raises
    KeyboardInterrupt.
    """

    def __init__(
        self,
        session: "Session",
        record: _native.FlashOptions,
        abort: Optional[threading.Event],
        progress: Optional[ProgressCallback],
        timeout: Optional[float],
    ) -> None:
        self._session = session
        self._record = record
        self._abort_event = abort
        self._progress = progress
        self._timeout = timeout
        self._abort_reason = ""
        self._callback_error: Optional[BaseException] = None
        self._events: collections.deque[ProgressEvent] = collections.deque(maxlen=_EVENT_LIMIT)
        self._cond = threading.Condition()
        self._done = threading.Event()
        self._messages: list[tuple[int, str]] = []
        self._status = ""
        self._last_total = 0
        self._code = SUCCESS
        self._start = time.monotonic()
        self._duration = 0.0
        self._thread = threading.Thread(target=self._run, name=f"flashwire job {session.name}", daemon=True)

    # ---- The running job.
    def _begin(self) -> None:
        self._start = time.monotonic()
        _running_jobs.add(self)
        self._thread.start()

    def _run(self) -> None:
        lib = self._session._lib
        try:
            bound = self._session._bound
            assert bound is not None
            self._code = int(lib.lib.FlashLoad(ctypes.byref(bound.handle), ctypes.byref(self._record)))
        except BaseException as e:  # noqa: BLE001 - raised by result(), never a silent success
            self._code = ERR_UNKNOWN
            self._callback_error = e
        finally:
            _running_jobs.discard(self)
            self._duration = time.monotonic() - self._start
            with self._cond:
                self._done.set()
                self._cond.notify_all()
            self._session._job_ended(self)

    # Called on the library's dispatcher thread (through the session).
    def _deliver(self, event: ProgressEvent) -> None:
        if event.kind == "begin":
            self._last_total = event.total
        with self._cond:
            self._events.append(event)
            self._cond.notify_all()
        if self._progress is not None and self._callback_error is None:
            try:
                self._progress(event)
            except BaseException as e:  # noqa: BLE001 - handed back to the caller, never into C
                self._callback_error = e
                self._abort_reason = f"the progress callback raised {type(e).__name__}: {e}"

    def _message(self, level: int, text: str) -> None:
        self._messages.append((level, text))
        logger.log(_LEVELS.get(level, logging.ERROR), "%s", text, extra={"flashwire_session": self._session.name})

    def _poll_abort(self) -> bool:
        if self._abort_reason:
            return True
        if self._abort_event is not None and self._abort_event.is_set():
            self._abort_reason = "aborted: the abort event was set"
        elif self._timeout is not None and time.monotonic() - self._start >= self._timeout:
            self._abort_reason = f"time-out: the job ran longer than {self._timeout:g} s"
        return bool(self._abort_reason)

    # ---- The caller's side.
    def abort(self, reason: str = "aborted by the caller") -> None:
        """Asks the library to abort the job; it ends within about a second."""
        if not self._abort_reason:
            self._abort_reason = reason

    def done(self) -> bool:
        """True once the job is over."""
        return self._done.is_set()

    def __iter__(self) -> Iterator[ProgressEvent]:
        while True:
            event: Optional[ProgressEvent] = None
            finished = False
            try:
                with self._cond:
                    if not self._events and not self._done.is_set():
                        self._cond.wait(0.1)
                    if self._events:
                        event = self._events.popleft()
                    else:
                        finished = self._done.is_set()
            except KeyboardInterrupt:
                self._interrupted()
            if event is not None:
                yield event
            elif finished:
                return

    def _interrupted(self) -> None:
        """Ctrl-C while waiting: aborts the job, waits for its end and re-raises."""
        self.abort("interrupted (Ctrl-C): aborting the job")
        deadline = time.monotonic() + _ABORT_GRACE_SECONDS
        while not self._done.is_set() and time.monotonic() < deadline:
            try:
                self._done.wait(0.1)
            except KeyboardInterrupt:
                continue
        raise KeyboardInterrupt

    def result(self) -> Result:
        """Waits for the job and returns its result; raises FlashError when it failed."""
        while not self._done.is_set():
            try:
                self._done.wait(0.1)
            except KeyboardInterrupt:
                self._interrupted()
        self._thread.join()
        lib = self._session._lib
        result = Result(
            code=self._code,
            name=lib.error_name(self._code),
            duration=self._duration,
            bytes=self._last_total,
            messages=list(self._messages),
            status=self._status,
        )
        if self._callback_error is not None:
            raise self._callback_error
        if result.code != SUCCESS and self._abort_reason:
            # An abort that cuts an exchange with the phone short can end the
            # job with that exchange's failure (ERR_PROTOCOL, ERR_TIMEOUT)
            # instead of ERR_ABORT; the cause is still the abort.
            line = self._abort_reason
            if result.code != ERR_ABORT:
                line += f" (the library ended the job with {result.name})"
            raise AbortedError(result.code, result.name, line, result)
        if result.code != SUCCESS:
            raise error_class(result.code)(result.code, result.name, result.error_line(), result)
        return result


class Session:
    """One library handle with its ports: runs jobs one after the other.

    Use it as a context manager::

        with flashwire.Session(ports=["/dev/ttyUSB0", "/dev/ttyUSB1"]) as s:
            s.flash("image.s19", platform="demo-passive", baud=921600)

    Args:
        ports: one or two serial devices; the first must reach the phone's
            first UART (where its boot ROM listens). Each session takes its
            own port numbers of the library while it is open, so sessions in
            several threads drive several phones at once. ``None``: jobs use
            the port numbers of their option string as they are.
        data_dir: the directory of "platform.def", "flash.types" and the
            loader files. ``None``: ``FLASHWIRE_DATA_DIR`` when set, else the
            data installed with the library (see docs/python.md).
        name: a name for log records (``record.flashwire_session``).
    """

    def __init__(
        self,
        ports: Optional[Sequence[PathText]] = None,
        data_dir: Optional[PathText] = None,
        name: Optional[str] = None,
    ) -> None:
        if isinstance(ports, (str, os.PathLike)):
            ports = [ports]
        self._devices = [str(os.fspath(p)) for p in ports] if ports is not None else None
        if self._devices is not None:
            if not 1 <= len(self._devices) <= 2:
                raise ValueError(f"ports: one or two devices, not {len(self._devices)}")
            for device in self._devices:
                if not device or len(os.fsencode(device)) > 255 or "\0" in device:
                    raise ValueError(f"port {device!r}: a device path of 1 to 255 bytes")
        self._data_dir_arg = data_dir
        self.name = name or (self._devices[0] if self._devices else "session")
        self._lib = _native.library()
        self._bound: Optional[_native.BoundHandle] = None
        self._numbers: list[int] = []
        self._job: Optional[Job] = None
        self._lock = threading.Lock()
        self.data_dir: Optional[Path] = None
        # The callbacks live as long as the session: the library holds their addresses.
        self._callbacks = (
            _native.ProgressBeginFn(self._on_progress_begin),
            _native.ProgressUpdateFn(self._on_progress_update),
            _native.ProgressEndFn(self._on_progress_end),
            _native.StatusFn(self._on_status),
            _native.MessageFn(self._on_message),
            _native.AbortPollFn(self._on_abort_poll),
        )

    # ---- Lifetime.
    def open(self) -> "Session":
        """Binds the handle, takes port numbers and sets the data directory (done by ``with``)."""
        if self._bound is not None:
            return self
        directory = self._resolve_data_dir()
        bound = _native.BoundHandle(self._lib)
        try:
            h = bound.handle
            (h.progressBegin, h.progressUpdate, h.progressEnd, h.status, h.message, h.abortPoll) = self._callbacks
            raw = os.fsencode(str(directory))
            code = self._lib.lib.FlashSetDataDirectory(ctypes.byref(h), raw)
            if code != SUCCESS:
                raise ConfigurationError(
                    code, self._lib.error_name(code), f"the library refused the data directory {directory}"
                )
            if self._devices is not None:
                self._numbers = _native.take_port_numbers(len(self._devices))
        except BaseException:
            bound.finish()
            raise
        self.data_dir = directory
        self._bound = bound
        return self

    def close(self) -> None:
        """Waits for a running job (aborting it), releases the handle and the port numbers."""
        job = self._job
        if job is not None:
            job.abort("the session is closing")
            job._done.wait(_ABORT_GRACE_SECONDS)
            if not job.done():
                return  # the library still runs the job: the handle must stay bound
        if self._bound is not None:
            self._bound.finish()
            self._bound = None
        if self._numbers:
            _native.release_port_numbers(self._numbers)
            self._numbers = []

    def __enter__(self) -> "Session":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _resolve_data_dir(self) -> Path:
        if self._data_dir_arg is not None:
            directory = Path(self._data_dir_arg).resolve()
        else:
            found = _native.data_directory(self._lib)
            if found is None:
                raise ConfigurationError(
                    ERR_BAD_PLATFORM,
                    self._lib.error_name(ERR_BAD_PLATFORM),
                    "the library's directory is unknown: name the data directory with data_dir= "
                    "or FLASHWIRE_DATA_DIR",
                )
            directory = found
        if not (directory / "platform.def").is_file():
            raise ConfigurationError(
                ERR_BAD_PLATFORM,
                self._lib.error_name(ERR_BAD_PLATFORM),
                f"no platform.def in {directory}: name the directory of the configuration "
                "with data_dir= or FLASHWIRE_DATA_DIR",
            )
        return directory

    # ---- Jobs.
    def flash(
        self,
        image: PathText,
        *,
        platform: str,
        baud: Union[int, Sequence[int], None] = None,
        diff: bool = True,
        erase_unused: bool = False,
        reserved: Iterable[Range] = (),
        erase_passes: int = 1,
        ext_protect: bool = False,
        no_retry: bool = False,
        unattended: bool = True,
        debug: bool = False,
        abort: Optional[threading.Event] = None,
        progress: Optional[ProgressCallback] = None,
        timeout: Optional[float] = None,
    ) -> Result:
        """Flashes an S-record image into the phone.

        Args:
            image: the S-record file.
            platform: the section of "platform.def" that describes the phone.
            baud: the highest rate of the ports (one for both, or one per
                port): 57600, 115200, 230400, 460800 or 921600; None: 115200.
            diff: flash only the sectors whose contents differ.
            erase_unused: erase the parts of the flash the image leaves unused.
            reserved: (first, last) inclusive ranges the image must not write.
            erase_passes, ext_protect, no_retry, debug: the library's options
                of the same names.
            unattended: bound the wait for the phone's boot ROM (batch use).
            abort: an event that aborts the job when set.
            progress: called with each :class:`ProgressEvent` (on the
                library's thread; an exception it raises aborts the job and
                is raised here).
            timeout: abort the job after this many seconds.

        Returns the :class:`Result`; raises :class:`FlashError` (a subclass
        naming the family) when the job fails.
        """
        options = self._options(
            "flash", platform, baud, file=image, diff=diff, erase_unused=erase_unused,
            reserved=list(reserved), erase_passes=erase_passes, ext_protect=ext_protect,
            no_retry=no_retry, unattended=unattended, debug=debug,
        )  # fmt: skip
        return self.start(options, abort=abort, progress=progress, timeout=timeout).result()

    def verify(
        self,
        image: PathText,
        *,
        platform: str,
        baud: Union[int, Sequence[int], None] = None,
        no_retry: bool = False,
        unattended: bool = True,
        debug: bool = False,
        abort: Optional[threading.Event] = None,
        progress: Optional[ProgressCallback] = None,
        timeout: Optional[float] = None,
    ) -> Result:
        """Compares the phone's flash with an S-record image.

        Raises :class:`VerifyError` when they differ; the other arguments
        are those of :meth:`flash`.
        """
        options = self._options(
            "verify", platform, baud, file=image, no_retry=no_retry, unattended=unattended, debug=debug
        )
        return self.start(options, abort=abort, progress=progress, timeout=timeout).result()

    def read(
        self,
        ranges: Iterable[Range],
        path: PathText,
        *,
        platform: str,
        baud: Union[int, Sequence[int], None] = None,
        no_retry: bool = False,
        unattended: bool = True,
        debug: bool = False,
        abort: Optional[threading.Event] = None,
        progress: Optional[ProgressCallback] = None,
        timeout: Optional[float] = None,
    ) -> Result:
        """Reads (first, last) inclusive address ranges of the phone into an S-record file.

        The other arguments are those of :meth:`flash`.
        """
        options = self._options(
            "read", platform, baud, save_file=path, read=list(ranges), no_retry=no_retry,
            unattended=unattended, debug=debug,
        )  # fmt: skip
        return self.start(options, abort=abort, progress=progress, timeout=timeout).result()

    def run(
        self,
        options: Union[str, Options],
        *,
        abort: Optional[threading.Event] = None,
        progress: Optional[ProgressCallback] = None,
        timeout: Optional[float] = None,
    ) -> Result:
        """Runs a job given as an option string (or :class:`Options`).

        With ports given to the session, /com numbers count the session's
        ports (/com=1,2: both, /com=1: the first); without /com the job uses
        all of them.
        """
        return self.start(options, abort=abort, progress=progress, timeout=timeout).result()

    def start(
        self,
        options: Union[str, Options],
        *,
        abort: Optional[threading.Event] = None,
        progress: Optional[ProgressCallback] = None,
        timeout: Optional[float] = None,
    ) -> Job:
        """Starts a job in the background and returns its :class:`Job`.

        Iterate the job for its progress events, then call
        :meth:`Job.result`.
        """
        if self._bound is None:
            raise RuntimeError("the session is not open: use it in a with statement or call open()")
        if timeout is not None and timeout <= 0:
            raise ValueError(f"timeout {timeout}: a number of seconds above 0")
        if isinstance(options, str):
            options = Options.parse(options)
        record = self._record(options)
        with self._lock:
            if self._job is not None:
                raise RuntimeError("a job already runs on this session; sessions run one job at a time")
            job = Job(self, record, abort, progress, timeout)
            self._job = job
        if self._devices is not None:
            for number, device in zip(self._numbers, self._devices):
                self._lib.lib.FlashMapPort(number, os.fsencode(device))
        job._begin()
        return job

    def _options(self, mode: str, platform: str, baud: Union[int, Sequence[int], None], **kw: Any) -> Options:
        speeds: tuple[int, ...]
        if baud is None:
            speeds = (115200, 115200)
        elif isinstance(baud, int):
            speeds = (baud, baud)
        else:
            speeds = tuple(baud)
            if len(speeds) == 1:
                speeds = (speeds[0], speeds[0])
        for key in ("file", "save_file"):
            if key in kw:
                kw[key] = str(os.fspath(kw[key]))
        return Options(platform=platform, mode=mode, max_speed=speeds, **kw)  # type: ignore[arg-type]

    def _record(self, options: Options) -> _native.FlashOptions:
        if self._devices is not None:
            count = len(self._devices)
            wanted = tuple(options.com) or tuple(range(1, count + 1))
            for n in wanted:
                if not 1 <= n <= count:
                    raise ValueError(f"/com={n}: this session has {count} port(s); /com counts them from 1")
            options = replace(options, com=tuple(self._numbers[n - 1] + 1 for n in wanted))
        elif not options.com:
            raise ValueError("the job names no port: give the session ports or the options /com")
        for key in ("file", "save_file"):
            value = getattr(options, key)
            if value:
                # The library would take a relative path from the current
                # directory of the moment the job runs.
                options = replace(options, **{key: os.path.abspath(value)})
        return options.to_record()

    def _job_ended(self, job: Job) -> None:
        with self._lock:
            if self._job is job:
                self._job = None

    # ---- Callbacks, on the library's dispatcher thread. Nothing may raise
    # into the library: each catches everything.
    def _on_progress_begin(self, _h: object, text: Optional[bytes], total: int) -> int:
        return self._dispatch(lambda j: j._deliver(ProgressEvent("begin", _decode(text), total=total, time=_t(j))))

    def _on_progress_update(self, _h: object, done: int, percent: int) -> int:
        return self._dispatch(lambda j: j._deliver(ProgressEvent("update", done=done, percent=percent, time=_t(j))))

    def _on_progress_end(self, _h: object) -> int:
        return self._dispatch(lambda j: j._deliver(ProgressEvent("end", time=_t(j))))

    def _on_status(self, _h: object, text: Optional[bytes]) -> int:
        def set_status(job: Job) -> None:
            job._status = _decode(text)

        return self._dispatch(set_status)

    def _on_message(self, _h: object, level: int, text: Optional[bytes]) -> int:
        return self._dispatch(lambda j: j._message(int(level), _decode(text)))

    def _on_abort_poll(self, _h: object) -> int:
        try:
            job = self._job
            return 1 if job is not None and job._poll_abort() else 0
        except BaseException:  # noqa: BLE001
            return 1

    def _dispatch(self, action: Callable[[Job], object]) -> int:
        try:
            job = self._job
            if job is not None:
                action(job)
        except BaseException:  # noqa: BLE001 - a broken log handler must not reach the library
            pass
        return 0


def _decode(text: Optional[bytes]) -> str:
    return (text or b"").decode("utf-8", "replace")


def _t(job: Job) -> float:
    return time.monotonic() - job._start


__all__ = ["Session", "Job", "Result", "ProgressEvent", "logger", "FlashError", "AbortedError", "ERR_BAD_PARAMS"]
