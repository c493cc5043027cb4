"""Station files the station refuses: each error names the file, the line and the key."""
import subprocess

import pytest

from station_rig import STATION

GOOD = '''[station]
name = "line1"
[recipe]
platform = "demo-passive"
image = "image.s19"
[[slot]]
ports = ["/dev/null"]
'''

# (what is changed, the text that replaces it, the line and key named, words of the reason)
CASES = [
    ('name = "line1"', 'name = "line 1"', "2: station.name", "only letters"),
    ('name = "line1"', 'name = 7', "2: station.name", "expected a string"),
    ('name = "line1"', 'nmae = "line1"', "2: station.nmae", "unknown key"),
    ('name = "line1"\n', 'name = "line1"\nphones_per_slot = -1\n', "3: station.phones_per_slot", "whole number"),
    ('name = "line1"\n', 'name = "line1"\njob_timeout = 0\n', "3: station.job_timeout", "above 0"),
    ('platform = "demo-passive"\n', "", "3: recipe.platform", "missing"),
    ('image = "image.s19"', 'image = "image.s19"\njobs = ["flash", "erase"]', "6: recipe.jobs", "\"verify\""),
    ('image = "image.s19"', 'image = "image.s19"\njobs = []', "6: recipe.jobs", "1 to 3 jobs"),
    ('image = "image.s19"', 'image = "image.s19"\noptions = "/file=\\"x\\""', "6: recipe.options", "double quote"),
    ('ports = ["/dev/null"]', 'ports = []', "7: slot[1].ports", "one or two"),
    ('ports = ["/dev/null"]', 'ports = ["a", "b", "c"]', "7: slot[1].ports", "one or two"),
    ('ports = ["/dev/null"]', 'ports = ["/dev/null"]\n[[slot]]\nports = ["/dev/null"]', "9: slot[2].ports",
     "used by another slot"),
    ('ports = ["/dev/null"]', 'ports = ["/dev/null"]\n[[slot]]\nname = "1"\nports = ["/dev/zero"]',
     "8: slot[2].name", "earlier slot"),
    ('ports = ["/dev/null"]', 'ports = ["/dev/null"]\nbaud = 5', "8: slot[1].baud", "unknown key"),
    ('[[slot]]\nports = ["/dev/null"]\n', "", "1: slot", "needs one slot"),
    ('name = "line1"', 'name = "line1', "2:", "string"),
]


@pytest.mark.parametrize("old,new,where,reason", CASES)
def test_refused_station_file(tmp_path, old, new, where, reason):
    assert old in GOOD
    path = tmp_path / "station.toml"
    path.write_text(GOOD.replace(old, new))
    run = subprocess.run([str(STATION), "run", str(path)], capture_output=True, text=True, timeout=20)
    assert run.returncode == 2, run.stderr
    assert f"{path}:{where}" in run.stderr and reason in run.stderr, run.stderr
    assert not (tmp_path / "results.db").exists()


def test_missing_file_and_off_localhost_dashboard(tmp_path):
    run = subprocess.run([str(STATION), "run", str(tmp_path / "none.toml")], capture_output=True, text=True)
    assert run.returncode == 2 and "no such station file" in run.stderr
    path = tmp_path / "station.toml"
    path.write_text(GOOD)
    run = subprocess.run([str(STATION), "run", str(path), "--http", "0.0.0.0:0"], capture_output=True, text=True)
    assert run.returncode == 2 and "--http-token" in run.stderr
