"""The dashboard in a real browser (headless Chromium): a station of four
simulated phones, one of them faulty; the tiles go through their states to
pass and fail as the database says, the results table is the database's,
and a request without the token is refused. Leaves a screenshot in its
output folder."""
import json
import tempfile
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

import station_rig as rig

TOKEN = "s3cret-token"

# Records every state each tile shows, in order (the test watches the page
# before any phone answers).
WATCH = """
window.seen = {};
const watch = tile => {
  const name = tile.id.slice(5);
  window.seen[name] = window.seen[name] || [];
  if (tile.dataset.state) window.seen[name].push(tile.dataset.state);
  new MutationObserver(() => {
    const list = window.seen[name];
    if (list[list.length - 1] !== tile.dataset.state) list.push(tile.dataset.state);
  }).observe(tile, {attributes: true, attributeFilter: ["data-state"]});
};
document.querySelectorAll(".tile").forEach(watch);
"""


def browser():
    options = webdriver.ChromeOptions()
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=1280,900", "--user-data-dir=" + tempfile.mkdtemp(prefix="flashwire-chromium-")]:
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def status_of(url, headers=None):
    request = urllib.request.Request(url, headers=headers or {})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(request, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def test_dashboard_in_a_browser(tmp_path):
    out = rig.output_dir("station_dashboard")
    rig.make_image(tmp_path / "image.s19", "16K")
    links = [[str(tmp_path / f"phone{i}-a")] for i in range(1, 5)]
    station_file = rig.write_station(tmp_path, "dash", links, phones=1, options="/maxspeed=921600")
    station = rig.Station(station_file, "--http", "127.0.0.1:0", "--http-token", TOKEN)
    daemons = []
    driver = None
    try:
        url = station.wait_for(lambda e: e["type"] == "dashboard", timeout=20)["url"]
        # Without the token: refused, page and API alike; with it, served.
        assert status_of(url) == 401
        assert status_of(url + "api/slots") == 401
        assert status_of(url + "api/slots?token=wrong") == 401
        assert status_of(url + "api/slots", {"Authorization": "Bearer " + TOKEN}) == 200

        driver = browser()
        driver.get(url + "?token=" + TOKEN)
        deadline = time.monotonic() + 20
        while len(driver.find_elements("css selector", ".tile")) < 4:
            assert time.monotonic() < deadline, "the page shows no tiles"
            time.sleep(0.1)
        driver.execute_script(WATCH)
        assert {t.get_attribute("data-state") for t in driver.find_elements("css selector", ".tile")} == {
            "port missing"}
        # The operator scans slot 1's phone into its tile.
        field = driver.find_element("css selector", "#slot-1 input")
        field.send_keys("SCAN-77")
        driver.find_element("css selector", "#slot-1 button").click()
        deadline = time.monotonic() + 10
        while "SCAN-77" not in driver.find_element("css selector", "#slot-1 .detail").text:
            assert time.monotonic() < deadline, "the tile does not show the scanned serial"
            time.sleep(0.1)

        # The phones arrive: slot 3's has a worn flash cell, its flash fails.
        for i in range(1, 5):
            extra = ["--fault-stuck", "0x100:0xff"] if i == 3 else []
            daemons.append(rig.Daemon(tmp_path, f"phone{i}", ports=1, extra=extra))
        station.wait_for(lambda e: e["type"] == "station_end", timeout=90)
        assert station.stop() == 0

        rows = rig.rows_of(tmp_path / "results.db")
        by_slot = {}
        for row in rows:
            by_slot.setdefault(row["slot"], []).append(row)
        assert [(r["job"], r["result_name"]) for r in by_slot["3"]] == [("flash", "ERR_TOO_MANY_RETRIES")]
        for slot in "124":
            assert [(r["job"], r["result_name"]) for r in by_slot[slot]] == [("flash", "SUCCESS"),
                                                                               ("verify", "SUCCESS")]
        assert {r["phone"] for r in by_slot["1"]} == {"SCAN-77"} and by_slot["1"][0]["phone_number"] is None

        # Give the page a moment for the last events, then compare with the database.
        deadline = time.monotonic() + 10
        while True:
            seen = driver.execute_script("return window.seen;")
            table = [[td.text for td in tr.find_elements("tag name", "td")]
                     for tr in driver.find_elements("css selector", "#results tbody tr")]
            if all(s[-1] == "done" for s in seen.values()) and len(table) == len(rows):
                break
            assert time.monotonic() < deadline, f"the page did not catch up: {seen}, {len(table)} rows"
            time.sleep(0.2)
        for slot, states in seen.items():
            passed = by_slot[slot][-1]["result_code"] == 0
            assert states[0] == "port missing"
            assert "running" in states, states
            assert states.index("running") < states.index("pass" if passed else "fail"), states
            assert states[-1] == "done"
            tile = driver.find_element("id", "slot-" + slot)
            counts = tile.find_element("css selector", ".counts").text
            assert counts == ("Pass 1 / Fail 0" if passed else "Pass 0 / Fail 1"), counts
        # The table, newest first, is the database's.
        expected = [[str(r["id"]), r["ended_at"], r["slot"], r["phone"], r["job"], r["result_name"],
                     str(r["bytes"])] for r in reversed(rows)]
        assert [row[:7] for row in table] == expected
        failed = [row for row in table if row[2] == "3"][0]
        assert "fail" in driver.find_element("css selector", f'#results tr[data-id="{failed[0]}"] td:nth-child(6)') \
            .get_attribute("class")
        driver.save_screenshot(str(out / "dashboard.png"))
        (out / "states.json").write_text(json.dumps(seen, indent=1))
    finally:
        if driver:
            driver.quit()
        station.stop()
        for daemon in daemons:
            daemon.stop()
