"""The station's results in a real PostgreSQL server (started by the test):
the same schema, the rows of the run, read back by `results`."""
import json
import subprocess

import station_rig as rig

COLUMNS = ["id", "station", "slot", "phone", "phone_number", "chip_ids", "recipe", "image_crc32", "job",
           "started_at", "ended_at", "duration_s", "bytes", "throughput_bps", "result_code", "result_name",
           "last_error", "log_path"]


def test_station_run_into_postgresql(tmp_path):
    rig.make_image(tmp_path / "image.s19", "16K")
    pg = rig.Postgres()
    daemons = [rig.Daemon(tmp_path, f"p{i}", ports=1) for i in (1, 2)]
    try:
        station_file = rig.write_station(tmp_path, "pgline", [d.links for d in daemons], results=pg.url, phones=2,
                                         options="/maxspeed=921600")
        station = rig.Station(station_file)
        assert station.proc.wait(timeout=90) == 0, "".join(station.stderr)

        assert pg.query("SELECT version FROM schema_version") == [["1"]]
        columns = pg.query("SELECT column_name FROM information_schema.columns WHERE table_name = 'results' "
                           "ORDER BY ordinal_position")
        assert [c[0] for c in columns] == COLUMNS
        rows = pg.query("SELECT slot, phone, phone_number, job, result_code, result_name, bytes FROM results "
                        "ORDER BY slot, phone_number, id")
        expected = []
        for slot in "12":
            for n in (1, 2):
                for job in ("flash", "verify"):
                    expected.append([slot, f"pgline-{slot}-{n}", str(n), job, "0", "SUCCESS", "16384"])
        assert rows == expected

        # The results command reads the same rows back; a second start finds the schema in place
        # and goes on numbering the phones.
        listed = json.loads(subprocess.run([str(rig.STATION), "results", "--database", pg.url, "--json"],
                                           capture_output=True, text=True, check=True).stdout)
        assert sorted((r["slot"], r["phone"], r["job"], r["result_name"]) for r in listed) == \
            sorted((e[0], e[1], e[3], e[5]) for e in expected)
        assert [r["id"] for r in listed] == list(range(1, 9))
        # Stopped while both slots work on their third phone: each one's running job is recorded
        # as aborted, nothing else; a second start found the schema in place and went on numbering.
        station = rig.Station(station_file, "--phones", "0")
        running = set()
        station.wait_for(lambda e: e["type"] == "progress_begin" and "loader" in e["text"]
                         and e["phone"].endswith("-3") and running.add(e["slot"]) is None and len(running) == 2)
        assert station.stop() == 0, "".join(station.stderr)
        assert pg.query("SELECT count(*) FROM schema_version") == [["1"]]
        assert pg.query("SELECT phone, job, result_name, last_error FROM results WHERE id > 8 ORDER BY phone") == [
            ["pgline-1-3", "flash", "ERR_ABORT", "aborted: the station was stopped"],
            ["pgline-2-3", "flash", "ERR_ABORT", "aborted: the station was stopped"]]
    finally:
        for daemon in daemons:
            daemon.stop()
        pg.stop()
