"""Whole stations against simulated phones: flashwire-sim daemons on
pseudo-terminals (one per slot), a station file, the station with --json,
and its events as they come."""
import json
import os
import queue
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

BUILD = Path(os.environ.get("FLASHWIRE_BINARY_DIR", Path(__file__).resolve().parents[2] / "build"))
SOURCE = Path(__file__).resolve().parents[2]
SIM = BUILD / "flashwire-sim"
STATION = BUILD / "flashwire-station"


def output_dir(name):
    """The test's own output folder (screenshots, logs kept for a look)."""
    root = Path(os.environ.get("FLASHWIRE_TEST_OUTPUT", BUILD / "test-output"))
    path = root / name
    path.mkdir(parents=True, exist_ok=True)
    return path


def make_image(path, size, seed=1):
    subprocess.run([sys.executable, str(SOURCE / "scripts" / "make-sample-image.py"), "--size", str(size),
                    "--seed", str(seed), "-o", str(path)], check=True)
    return path


class Daemon:
    """One simulated phone behind one or two links."""

    def __init__(self, folder, name, ports=2, platform="demo-passive", extra=()):
        self.links = [str(Path(folder) / f"{name}-{u}") for u in "ab"[:ports]]
        self.flash = str(Path(folder) / f"{name}.flash")
        self.args = [str(SIM), "--platform", platform, "--instant-flash", "--flash-file", self.flash]
        for link in self.links:
            self.args += ["--link", link]
        self.args += list(extra)
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        deadline = time.monotonic() + 10
        for line in self.proc.stdout:
            if line.strip() == "ready":
                break
            if time.monotonic() > deadline:
                raise RuntimeError("flashwire-sim did not get ready")
        # Keep reading its output (power-cycle lines) so that it never blocks.
        threading.Thread(target=lambda p=self.proc: [None for _ in p.stdout], daemon=True).start()

    def power_cycle(self):
        self.proc.send_signal(signal.SIGUSR1)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def write_station(folder, name, slots, jobs=("flash", "verify"), results=None, image="image.s19",
                  options="/maxspeed=921600,921600", phones=0):
    """slots: the link lists of the slots, in order."""
    lines = ["# written by the station tests", "[station]", f'name = "{name}"',
             f'results = "{results or "results.db"}"', 'log_dir = "logs"', f"phones_per_slot = {phones}",
             "", "[recipe]", 'platform = "demo-passive"', f'image = "{image}"',
             "jobs = [" + ", ".join(f'"{j}"' for j in jobs) + "]", f'options = "{options}"', ""]
    for i, ports in enumerate(slots, 1):
        lines += ["[[slot]]", f'name = "{i}"', "ports = [" + ", ".join(f'"{p}"' for p in ports) + "]", ""]
    path = Path(folder) / f"{name}.toml"
    path.write_text("\n".join(lines))
    return path


class Station:
    """flashwire-station run FILE --json, its events collected in order."""

    def __init__(self, station_file, *extra):
        self.proc = subprocess.Popen([str(STATION), "run", str(station_file), "--json", *extra],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, cwd=str(Path(station_file).parent))
        self.events = []
        self.queue = queue.Queue()
        self.stderr = []
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=lambda: self.stderr.extend(self.proc.stderr), daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            event = json.loads(line)
            self.events.append(event)
            self.queue.put(event)
        self.queue.put(None)

    def next_event(self, deadline):
        """The next event, or None at the end of the output; fails at the deadline."""
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the station did not get there in time; stderr: " + "".join(self.stderr))
        try:
            return self.queue.get(timeout=left)
        except queue.Empty:
            raise TimeoutError("the station did not get there in time; stderr: " + "".join(self.stderr))

    def wait_for(self, predicate, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            event = self.next_event(deadline)
            if event is None:
                raise AssertionError("the station ended first; stderr: " + "".join(self.stderr))
            if predicate(event):
                return event

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout=timeout)


def rows_of(database):
    db = sqlite3.connect(database)
    db.row_factory = sqlite3.Row
    rows = [dict(r) for r in db.execute("SELECT * FROM results ORDER BY id")]
    db.close()
    return rows


PG_BIN = Path("/usr/lib/postgresql/15/bin")


class Postgres:
    """A PostgreSQL server of the test's own: initdb in a temporary folder,
    listening on a Unix socket only, stopped at the end. As root (CI) it runs
    as the postgres user, as the server demands."""

    def __init__(self, port=55432):
        import shutil
        import tempfile
        self.root = Path(tempfile.mkdtemp(prefix="flashwire-pg-", dir="/tmp"))
        self.data = self.root / "data"
        self.port = port
        self.as_postgres = os.geteuid() == 0
        os.chmod(self.root, 0o755)
        if self.as_postgres:
            shutil.chown(self.root, "postgres", "postgres")
        self.run("initdb", "-D", str(self.data), "-A", "trust", "-U", "postgres", "--no-sync", "-E", "UTF8")
        self.run("pg_ctl", "-D", str(self.data), "-w", "-l", str(self.root / "server.log"), "-o",
                 f"-k {self.root} -c listen_addresses='' -p {port} -F", "start")
        self.run("createdb", "-h", str(self.root), "-p", str(port), "-U", "postgres", "flashwire")
        self.url = f"postgresql:///flashwire?host={self.root}&port={port}&user=postgres"

    def run(self, program, *args):
        command = [str(PG_BIN / program), *args]
        if self.as_postgres:
            command = ["runuser", "-u", "postgres", "--", *command]
        return subprocess.run(command, check=True, capture_output=True, text=True, timeout=60).stdout

    def query(self, sql):
        out = self.run("psql", "-h", str(self.root), "-p", str(self.port), "-U", "postgres", "-d", "flashwire",
                       "-AtF", "\t", "-c", sql)
        return [line.split("\t") for line in out.splitlines() if line]

    def stop(self):
        import shutil
        try:
            self.run("pg_ctl", "-D", str(self.data), "-m", "fast", "-w", "stop")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
