"""A read-back that differs from the image, and a job that outlives the
station's job_timeout: each phone's row says what happened."""
import re

import station_rig as rig


def test_read_back_difference_and_job_timeout(tmp_path):
    rig.make_image(tmp_path / "image.s19", "8K", seed=3)
    daemon = rig.Daemon(tmp_path, "p1", ports=1)  # an erased flash: nothing of the image on it
    try:
        station_file = rig.write_station(tmp_path, "rb", [daemon.links], jobs=("read-compare",), phones=1,
                                         options="/maxspeed=921600")
        assert rig.Station(station_file).proc.wait(timeout=60) == 0
        [row] = rig.rows_of(tmp_path / "results.db")
        assert (row["job"], row["result_name"], row["bytes"]) == ("read-compare", "ERR_VERIFY_DIFFERENCE", 8192)
        match = re.fullmatch(r"read-back compare: read back 0xff at (0x[0-9a-f]{8}), the image has 0x[0-9a-f]{2}",
                             row["last_error"])
        assert match, row["last_error"]
        image = (tmp_path / "image.s19").read_text()
        first = next(line for line in image.splitlines() if line.startswith("S3"))
        data = bytes.fromhex(first[12:-2])
        assert int(match.group(1), 16) == next(i for i, b in enumerate(data) if b != 0xFF)
        kept = list((tmp_path / "logs" / "1").glob("read-*.s19"))
        assert len(kept) == 1 and str(kept[0]) in open(row["log_path"]).read()

        # A flash that may take 0.3 s from the phone's answer is aborted and recorded as such.
        text = station_file.read_text().replace('jobs = ["read-compare"]', 'jobs = ["flash"]')
        station_file.write_text(text.replace("phones_per_slot = 1", "phones_per_slot = 1\njob_timeout = 0.3"))
        assert rig.Station(station_file).proc.wait(timeout=60) == 0
        row = rig.rows_of(tmp_path / "results.db")[-1]
        assert (row["phone"], row["job"], row["result_name"]) == ("rb-1-2", "flash", "ERR_ABORT")
        assert row["last_error"] == "aborted: the job ran longer than the station's job_timeout"
    finally:
        daemon.stop()
