"""The simulated phone (``flashwire-sim``) for testing scripts without a phone.

Example::

    from flashwire.sim import Phone

    with Phone(platform="demo-passive") as phone, flashwire.Session(ports=phone.ports) as s:
        s.flash("image.s19", platform="demo-passive", baud=921600)
        phone.power_cycle()
        s.verify("image.s19", platform="demo-passive", baud=921600)
    data = phone.flash_contents()   # the phone's flash, saved when it stopped
"""

from __future__ import annotations

import os
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import weakref
from pathlib import Path
from typing import IO, Callable, Iterable, Mapping, Optional, Sequence, Union

from . import _native

FaultValue = Union[str, int, float, Sequence[Union[str, int, float]]]

_READY_TIMEOUT = 10.0
_STOP_TIMEOUT = 10.0


class SimulatorError(RuntimeError):
    """The simulated phone's daemon could not be found, started or stopped."""


def find_simulator() -> str:
    """The ``flashwire-sim`` executable: ``FLASHWIRE_SIM``, beside the library, or on ``PATH``."""
    explicit = os.environ.get("FLASHWIRE_SIM")
    if explicit:
        return explicit
    try:
        libdir = _native.library().directory
    except OSError:
        libdir = None
    if libdir is not None:
        for d in (libdir, libdir.parent / "bin", libdir.parent.parent / "bin"):
            candidate = d / "flashwire-sim"
            if candidate.is_file() and os.access(candidate, os.X_OK):
                return str(candidate)
    found = shutil.which("flashwire-sim")
    if found:
        return found
    raise SimulatorError(
        "flashwire-sim was not found beside the library nor on PATH; "
        "install it or name it in FLASHWIRE_SIM"
    )


def _fault_arguments(faults: Union[Mapping[str, FaultValue], Iterable[str], None]) -> list[str]:
    if faults is None:
        return []
    if isinstance(faults, Mapping):
        args: list[str] = []
        for key, value in faults.items():
            name = key if key.startswith("--") else "--fault-" + key.replace("_", "-")
            values = value if isinstance(value, (list, tuple)) else [value]
            args.extend(f"{name}={v}" for v in values)
        return args
    return [str(a) for a in faults]


def _clean_up(box: "list[Optional[subprocess.Popen[bytes]]]", workdir: str) -> None:
    """Ends a phone that was not closed: its jobs first, then its daemon, then its directory."""
    process = box[0]
    if process is not None and process.poll() is None:
        from .session import _abort_running_jobs

        _abort_running_jobs()
        process.terminate()
        try:
            process.wait(timeout=_STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    shutil.rmtree(workdir, ignore_errors=True)


class Phone:
    """A simulated phone on two pseudo-terminals, as a context manager.

    Args:
        platform: the section of "platform.def" that describes the phone.
        instant_flash: erasing, programming and reading take no time (only
            the line limits a job), so tests run fast.
        faults: daemon fault options, as a mapping (``{"drop": 0.001,
            "reply": ["INFO:0:silent"]}`` gives ``--fault-drop=0.001
            --fault-reply=INFO:0:silent``) or as a list of raw arguments.
        flash_file: where the phone keeps its flash between runs (loaded at
            start when it exists, saved at stop); default: a temporary file.
        config_dir: the directory of "platform.def" and "flash.types";
            default: the data directory of the library (as for sessions).
        seed: the seed of random faults.
        executable: the daemon; default :func:`find_simulator`.
        args: further daemon arguments.

    Attributes:
        ports: the two port paths (UART A, UART B) to give to a session;
            they stay the same across :meth:`power_cycle`.
        flash_file: the flash file's path.
    """

    def __init__(
        self,
        platform: str = "demo-passive",
        *,
        instant_flash: bool = True,
        faults: Union[Mapping[str, FaultValue], Iterable[str], None] = None,
        flash_file: Union[str, "os.PathLike[str]", None] = None,
        config_dir: Union[str, "os.PathLike[str]", None] = None,
        seed: Optional[int] = None,
        executable: Optional[str] = None,
        args: Sequence[str] = (),
    ) -> None:
        if sys.platform == "win32":
            raise SimulatorError("the simulated phone's daemon runs on POSIX systems only")
        self.platform = platform
        self._executable = executable or find_simulator()
        self._workdir = tempfile.mkdtemp(prefix="flashwire-sim-")
        # The daemon and the temporary directory go with the object (or at
        # exit) when close() is not called.
        self._box: list[Optional[subprocess.Popen[bytes]]] = [None]
        self._cleanup = weakref.finalize(self, _clean_up, self._box, self._workdir)
        work = Path(self._workdir)
        self.ports = [str(work / "uart-a"), str(work / "uart-b")]
        self.flash_file = Path(flash_file).resolve() if flash_file is not None else work / "phone.flash"
        if config_dir is None:
            try:
                found = _native.data_directory(_native.library())
            except OSError:
                found = None
            config_dir = found if found is not None and (found / "platform.def").is_file() else None
        self._args = [self._executable, "--platform", platform]
        if config_dir is not None:
            self._args += ["--config-dir", str(config_dir)]
        for link in self.ports:
            self._args += ["--link", link]
        self._args += ["--flash-file", str(self.flash_file)]
        if instant_flash:
            self._args.append("--instant-flash")
        if seed is not None:
            self._args += ["--seed", str(seed)]
        self._args += _fault_arguments(faults) + list(args)
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._stderr: Optional[IO[bytes]] = None
        self._power_signal: Optional[bool] = None
        self._stdout = b""

    # ---- Lifetime.
    def start(self) -> "Phone":
        """Starts the daemon and waits until it is ready (done by ``with``)."""
        if self._process is not None:
            return self
        self._stderr = open(Path(self._workdir) / "sim.err", "wb")
        process = subprocess.Popen(self._args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._stderr)
        self._process = process
        self._box[0] = process
        try:
            self._wait_ready(process)
        except BaseException:
            self._kill()
            raise
        return self

    def _wait_ready(self, process: "subprocess.Popen[bytes]") -> None:
        self._stdout = b""
        if self._wait_line(lambda line: line == "ready", _READY_TIMEOUT):
            return
        raise SimulatorError(
            f"flashwire-sim did not get ready (status {process.poll()}): {self.stderr_text().strip()[-2000:]}"
        )

    def _wait_line(self, wanted: Callable[[str], bool], timeout: float) -> bool:
        """Reads the daemon's standard output until a line that ``wanted`` accepts (True) or the time is up."""
        process = self._process
        if process is None or process.stdout is None:
            return False
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            while True:
                while b"\n" in self._stdout:
                    line, self._stdout = self._stdout.split(b"\n", 1)
                    if wanted(line.decode("utf-8", "replace").strip()):
                        return True
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                if not selector.select(remaining):
                    continue
                chunk = os.read(process.stdout.fileno(), 4096)
                if not chunk:
                    return False
                # Lines are short; a runaway one is not kept whole.
                self._stdout = (self._stdout + chunk)[-(1 << 16) :]

    def stop(self) -> None:
        """Stops the daemon (SIGTERM); it saves the flash file on the way out."""
        process = self._process
        if process is None:
            return
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=_STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self._kill()
                raise SimulatorError("flashwire-sim did not stop on SIGTERM; it was killed")
        self._close_pipes()
        self._process = None
        if process.returncode != 0:
            raise SimulatorError(f"flashwire-sim exited with status {process.returncode}: {self.stderr_text().strip()}")

    def _kill(self) -> None:
        process = self._process
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        self._close_pipes()
        self._process = None

    def _close_pipes(self) -> None:
        if self._process is not None and self._process.stdout is not None:
            self._process.stdout.close()
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def close(self) -> None:
        """Stops the daemon and removes the temporary directory (the flash file too, when it lies there)."""
        try:
            self.stop()
        finally:
            self._kill()
            self._cleanup()

    def __enter__(self) -> "Phone":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # ---- While it runs.
    @property
    def running(self) -> bool:
        """True while the daemon runs."""
        return self._process is not None and self._process.poll() is None

    @property
    def pid(self) -> Optional[int]:
        """The daemon's process id while it runs."""
        return self._process.pid if self._process is not None else None

    def power_cycle(self) -> None:
        """Switches the phone off and on: its boot ROM runs again, its flash is kept.

        The daemon gets SIGUSR1 and the call returns when it has reported the
        power cycle (the boot ROM runs 30 ms later). A daemon too old for
        that signal is restarted instead, with the same flash file and port
        paths.
        """
        if not self.running:
            raise SimulatorError("the simulated phone is not running")
        if not self._supports_power_signal():
            self.stop()
            self.start()
            return
        assert self._process is not None
        self._process.send_signal(signal.SIGUSR1)
        if not self._wait_line(lambda line: line.startswith("power cycle"), _READY_TIMEOUT):
            raise SimulatorError(f"flashwire-sim did not report the power cycle: {self.stderr_text().strip()[-2000:]}")

    def _supports_power_signal(self) -> bool:
        if self._power_signal is None:
            try:
                help_text = subprocess.run(
                    [self._executable, "--help"], capture_output=True, timeout=10, check=False
                ).stdout
            except (OSError, subprocess.TimeoutExpired):
                help_text = b""
            self._power_signal = b"SIGUSR1" in help_text
        return self._power_signal

    def flash_contents(self) -> bytes:
        """The phone's flash as the daemon saved it at its last stop."""
        if self.running:
            raise SimulatorError("the flash file is written when the phone stops: call stop() first")
        return self.flash_file.read_bytes()

    def stderr_text(self) -> str:
        """What the daemon wrote on its standard error."""
        try:
            return (Path(self._workdir) / "sim.err").read_text("utf-8", "replace")
        except OSError:
            return ""


__all__ = ["Phone", "SimulatorError", "find_simulator"]
