"""Whole stations against simulated phones on pseudo-terminals: four slots,
five phones each; one slot's phones are faulty, one slot's adapter is pulled
(its pseudo-terminals closed) in the middle of a flash and plugged back.
The database must hold exactly the expected rows, and the healthy slots
must not be slowed down."""
import json
import os
import statistics
import subprocess
import time

import station_rig as rig

PHONES = 5


def test_four_slots_five_phones_one_faulty_one_pulled(tmp_path):
    out = rig.output_dir("station_scenarios")
    rig.make_image(tmp_path / "image.s19", "32K")
    daemons = {
        "1": rig.Daemon(tmp_path, "p1", ports=2),
        # A worn flash cell: every flash of this phone fails.
        "2": rig.Daemon(tmp_path, "p2", ports=2, extra=["--fault-stuck", "0x100:0xff"]),
        "3": rig.Daemon(tmp_path, "p3", ports=1),
        "4": rig.Daemon(tmp_path, "p4", ports=1),
    }
    # Every phone is flashed and read back (the read goes at the line's pace whatever the flash held).
    station_file = rig.write_station(tmp_path, "line", [daemons[s].links for s in "1234"], phones=PHONES,
                                     jobs=("flash", "read-compare"))
    station = rig.Station(station_file)
    # A barcode scanned for slot 4's first phone; the others are numbered by the station.
    station.send("4 SN-0042")
    pulled = False
    flashing = False
    try:
        deadline = time.monotonic() + 100
        while True:
            event = station.next_event(deadline)
            if event is None:
                break
            slot = event.get("slot")
            if event["type"] == "row" and slot == "2" and event["result_code"] != 0:
                # The operator takes the failed phone off; the next one powers on.
                daemons["2"].power_cycle()
            if slot == "3" and event["type"] == "progress_begin" and event["phone"] == "line-3-1":
                flashing = event["text"].startswith("Loading Flash")
            if (not pulled and flashing and slot == "3" and event["type"] == "progress_update"
                    and event["percent"] >= 25):
                # The adapter of slot 3 is pulled in the middle of a flash, and plugged back.
                pulled = True
                daemons["3"].stop()
                time.sleep(1.0)
                daemons["3"].start()
        assert station.proc.wait(timeout=10) == 0, "".join(station.stderr)
    finally:
        station.stop()
        (out / "events.jsonl").write_text("".join(json.dumps(e) + "\n" for e in station.events))
        for daemon in daemons.values():
            daemon.stop()
    assert pulled

    rows = rig.rows_of(tmp_path / "results.db")
    got = [(r["slot"], r["phone"], r["job"], r["result_name"]) for r in rows]
    expected = []
    for slot in "1234":
        for n in range(1, PHONES + 1):
            phone = f"line-{slot}-{n}" if slot != "4" else "SN-0042" if n == 1 else f"line-4-{n - 1}"
            if slot == "2":
                expected.append((slot, phone, "flash", "ERR_TOO_MANY_RETRIES"))
            elif slot == "3" and n == 1:
                expected.append((slot, phone, "flash", "ERR_COM"))
            else:
                expected += [(slot, phone, "flash", "SUCCESS"), (slot, phone, "read-compare", "SUCCESS")]
    # Exactly these rows: none lost, none twice (the order across slots is the run's).
    assert sorted(got) == sorted(expected)
    assert [r["id"] for r in rows] == list(range(1, len(expected) + 1))
    pulled_row = [r for r in rows if r["result_name"] == "ERR_COM"][0]
    assert "disappeared during the job" in pulled_row["last_error"]

    for r in rows:
        assert r["station"] == "line" and r["recipe"] == "demo-passive:image.s19:flash+read-compare"
        assert r["phone_number"] == (None if r["phone"] == "SN-0042" else int(r["phone"].rsplit("-", 1)[1]))
        assert r["chip_ids"] == "0x42/0x00002201,0x57/0x00008810"
        assert len(r["image_crc32"]) == 8 and r["started_at"] < r["ended_at"]
        log = open(r["log_path"]).read()
        assert f"phone {r['phone']}, job {r['job']}" in log and log.endswith(
            f"# ended {r['ended_at']}: {r['result_name']}\n")
        if r["result_name"] == "SUCCESS":
            assert r["bytes"] == 32768 and r["throughput_bps"] > 0 and r["last_error"] == ""
        else:
            assert r["last_error"] != ""

    # `results` reads them back: all of them in the last hour, none from the future.
    def results(*args):
        return subprocess.run([str(rig.STATION), "results", "--station", str(station_file), *args],
                              capture_output=True, text=True, check=True).stdout
    assert [r["id"] for r in json.loads(results("--json", "--since", "1h"))] == [r["id"] for r in rows]
    assert results("--csv", "--since", "2099-01-01").splitlines() == [",".join(rows[0].keys())]

    # The healthy slots kept their pace while slot 2 failed and slot 3 was pulled: every phone's
    # read-back (one port, whatever the flash held before) near the others'.
    figures = {}
    for slot in "134":
        rates = [r["throughput_bps"] for r in rows if r["slot"] == slot and r["job"] == "read-compare"]
        figures[slot] = {"read_bps": rates, "ratio_to_line": [round(x / 92160, 3) for x in rates]}
        if os.environ.get("FLASHWIRE_TIMING_CHECKS", "1") == "1":
            assert min(rates) >= 0.6 * statistics.median(rates), (slot, rates)
    (out / "throughput.json").write_text(json.dumps(figures, indent=1))
    print(json.dumps(figures))
