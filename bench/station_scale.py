#!/usr/bin/env python3
"""How the flashing station scales: 1, 4, 8 and 16 slots, each with two
ports at 921600 against its own `flashwire-sim --instant-flash` daemon
(so only the line limits a flash), measured side by side in one run.

For each station size it prints, per slot, the flash job's throughput over
the line capacity (2 ports x 92160 bytes/s) -- the target is at least 0.9
for every slot -- and the station's cost: CPU seconds (the station and its
worker processes together) per MiB flashed, and memory per slot (the
proportional set size of the station and its workers at their peak, over
the slots). The daemons' CPU per MiB is given for context: they share the
same cores.

Usage: bench/station_scale.py [--sizes 1,4,8,16] [--image-kib 1024] [--phones 1]
Builds flashwire-station and flashwire-sim in the default preset's tree
(./build) first. Long: about a minute per size."""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SRC = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SRC / "tests" / "station"))
os.environ.setdefault("FLASHWIRE_BINARY_DIR", str(SRC / "build"))
import station_rig as rig  # noqa: E402

LINE = 2 * 921600 / 10  # bytes per second over two ports


def pss_kib(pid):
    try:
        for line in open(f"/proc/{pid}/smaps_rollup"):
            if line.startswith("Pss:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def children(pid):
    try:
        return [int(p) for p in open(f"/proc/{pid}/task/{pid}/children").read().split()]
    except OSError:
        return []


def cpu_seconds(pid):
    """User + system time of a live process (its own, not its children's)."""
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0


def run(size, image_kib, phones):
    with tempfile.TemporaryDirectory(prefix="station-scale-") as folder:
        folder = Path(folder)
        rig.make_image(folder / "image.s19", f"{image_kib}K")
        daemons = [rig.Daemon(folder, f"p{i}", ports=2) for i in range(1, size + 1)]
        station_file = rig.write_station(folder, "scale", [d.links for d in daemons], jobs=("flash",),
                                         phones=phones)
        started = time.monotonic()
        station = rig.Station(station_file)
        peak = [0]
        worker_cpu = {}
        stop = threading.Event()

        def sample():
            while not stop.is_set():
                workers = children(station.proc.pid)
                for w in workers:
                    worker_cpu[w] = max(worker_cpu.get(w, 0.0), cpu_seconds(w))
                peak[0] = max(peak[0], pss_kib(station.proc.pid) + sum(pss_kib(w) for w in workers))
                stop.wait(0.25)

        sampler = threading.Thread(target=sample)
        sampler.start()
        _, status, usage = os.wait4(station.proc.pid, 0)
        stop.set()
        sampler.join()
        elapsed = time.monotonic() - started
        daemon_cpu = sum(cpu_seconds(d.proc.pid) for d in daemons)
        for d in daemons:
            d.stop()
        rows = rig.rows_of(folder / "results.db")
        # The station waits for its workers, so their time is in its children's.
        station_cpu = usage.ru_utime + usage.ru_stime
        mib = sum(r["bytes"] for r in rows if r["result_code"] == 0) / 1048576
        ratios = sorted(r["throughput_bps"] / LINE for r in rows if r["job"] == "flash" and r["result_code"] == 0)
        failed = [r for r in rows if r["result_code"] != 0]
        return {
            "size": size, "status": status, "elapsed": elapsed, "rows": len(rows), "failed": len(failed),
            "ratios": ratios, "station_cpu_per_mib": station_cpu / mib if mib else float("nan"),
            "daemon_cpu_per_mib": daemon_cpu / mib if mib else float("nan"),
            "kib_per_slot": peak[0] / size, "mib": mib,
        }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1,4,8,16")
    parser.add_argument("--image-kib", type=int, default=1024)
    parser.add_argument("--phones", type=int, default=1)
    args = parser.parse_args()
    subprocess.run(["cmake", "--preset", "default"], cwd=SRC, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "build", "-j2", "--target", "flashwire-station", "flashwire-sim"], cwd=SRC,
                   check=True, stdout=subprocess.DEVNULL)
    results = [run(int(s), args.image_kib, args.phones) for s in args.sizes.split(",")]
    print(f"flash of {args.image_kib} KiB x {args.phones} phone(s) per slot, 2 ports at 921600 per slot, "
          f"--instant-flash daemons; {os.cpu_count()} cores")
    print(f"{'slots':>5} {'min ratio':>9} {'median':>7} {'max':>6} {'station CPU s/MiB':>18} "
          f"{'daemons CPU s/MiB':>18} {'station KiB/slot':>16} {'wall s':>7} {'failed':>6}")
    for r in results:
        ratios = r["ratios"] or [float("nan")]
        print(f"{r['size']:>5} {ratios[0]:>9.3f} {ratios[len(ratios) // 2]:>7.3f} {ratios[-1]:>6.3f} "
              f"{r['station_cpu_per_mib']:>18.3f} {r['daemon_cpu_per_mib']:>18.3f} {r['kib_per_slot']:>16.0f} "
              f"{r['elapsed']:>7.1f} {r['failed']:>6}")
    base = results[0]
    for r in results[1:]:
        print(f"{r['size']} slots vs {base['size']}: station CPU per MiB x{r['station_cpu_per_mib'] / base['station_cpu_per_mib']:.2f}, "
              f"memory per slot x{r['kib_per_slot'] / base['kib_per_slot']:.2f}, "
              f"min ratio {r['ratios'][0] if r['ratios'] else float('nan'):.3f} vs {base['ratios'][0]:.3f}")
    print("target: every slot's flash at least 0.9 of its line capacity: " +
          ("met" if all(r["ratios"] and r["ratios"][0] >= 0.9 for r in results) else "NOT met"))


if __name__ == "__main__":
    main()
