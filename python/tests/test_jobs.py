"""Jobs against the simulated phone: results, exceptions, logging, progress, threads."""

from __future__ import annotations

import _thread
import logging
import threading
import time
from pathlib import Path

import pytest

import flashwire
from conftest import BAUD, JOB_TIMEOUT, PLATFORM, read_srecords
from flashwire.sim import Phone


def test_flash_verify_read_round_trip(phone, make_image, tmp_path, caplog):
    image, data = make_image(size=12000)
    caplog.set_level(logging.INFO, logger="flashwire")
    with flashwire.Session(ports=phone.ports, name="bench-1") as s:
        options = flashwire.Options(platform=PLATFORM, mode="flash", file=str(image), max_speed=(BAUD, BAUD))
        job = s.start(options, timeout=JOB_TIMEOUT)
        events = list(job)
        flashed = job.result()
        # Jobs in a row, each from a freshly powered phone.
        phone.power_cycle()
        verified = s.run(
            f'/platform={PLATFORM} /mode=verify /file="{image}" /com=1,2 /maxspeed={BAUD},{BAUD}', timeout=JOB_TIMEOUT
        )
        phone.power_cycle()
        dump = tmp_path / "dump.s19"
        read = s.read([(0x10000, 0x10000 + len(data) - 1)], dump, platform=PLATFORM, baud=BAUD, timeout=JOB_TIMEOUT)
    phone.stop()

    assert phone.flash_contents()[0x10000 : 0x10000 + len(data)] == data
    memory = read_srecords(dump)
    assert bytes(memory[0x10000 + i] for i in range(len(data))) == data
    for result in (flashed, verified, read):
        assert (result.code, result.name, result.status) == (0, "SUCCESS", "All is well !")
        assert result.bytes == len(data) and result.duration > 0
        assert result.lines[-1] == "All is well !"

    # Every message line of the jobs went to the logger, in order, with the session's name.
    records = [r for r in caplog.records if r.name == "flashwire"]
    assert [r.getMessage() for r in records] == flashed.lines + verified.lines + read.lines
    assert {r.flashwire_session for r in records} == {"bench-1"}
    # Progress: phases begin, advance without going back, and end, one after the other.
    kinds = [e.kind for e in events]
    assert kinds[0] == "begin" and kinds[-1] == "end"
    open_phase = None
    for e in events:
        if e.kind == "begin":
            assert open_phase is None
            open_phase, last = e, -1
        elif e.kind == "update":
            assert open_phase is not None and last <= e.done <= open_phase.total and 0 <= e.percent <= 100
            last = e.done
        else:
            assert open_phase is not None
            open_phase = None
    assert [e.text for e in events if e.kind == "begin"][-1] == "Loading Flash ..."
    assert events == sorted(events, key=lambda e: e.time)


def test_verify_of_another_image_raises_verify_error(phone, make_image):
    image, _ = make_image()
    with flashwire.Session(ports=phone.ports) as s, pytest.raises(flashwire.VerifyError) as caught:
        s.verify(image, platform=PLATFORM, baud=BAUD, timeout=JOB_TIMEOUT)
    e = caught.value
    assert (e.code, e.name) == (24, "ERR_VERIFY_DIFFERENCE")
    assert e.result is not None and e.result.code == 24
    assert "Sorry" not in e.line and e.line


def test_missing_port_raises_port_error(make_image, tmp_path):
    image, _ = make_image()
    with flashwire.Session(ports=[str(tmp_path / "no-such-tty")]) as s, pytest.raises(flashwire.PortError) as caught:
        s.flash(image, platform=PLATFORM, timeout=JOB_TIMEOUT)
    assert caught.value.code == 2 and caught.value.name == "ERR_COM"
    assert caught.value.line


def test_corrupt_srecord_raises_image_file_error(phone, make_image):
    image, _ = make_image()
    lines = image.read_text().splitlines()
    lines[3] = lines[3][:-2] + ("00" if lines[3][-2:] != "00" else "01")  # a wrong checksum
    image.write_text("\n".join(lines) + "\n")
    with flashwire.Session(ports=phone.ports) as s, pytest.raises(flashwire.ImageFileError) as caught:
        s.flash(image, platform=PLATFORM, baud=BAUD, timeout=JOB_TIMEOUT)
    assert caught.value.name in ("ERR_BAD_SREC_CHECKSUM", "ERR_BAD_SREC_FILE")


def test_refused_command_raises_phone_error(make_image):
    image, _ = make_image()
    with Phone(PLATFORM, faults={"reply": "SETP:0:err"}) as phone, flashwire.Session(ports=phone.ports) as s:
        with pytest.raises(flashwire.PhoneError) as caught:
            s.flash(image, platform=PLATFORM, baud=BAUD, no_retry=True, timeout=JOB_TIMEOUT)
    phone.close()
    assert caught.value.name == "ERR_TOO_MANY_RETRIES"


@pytest.mark.parametrize("how", ["event", "callback raises", "timeout"])
def test_abort(phone, make_image, how):
    image, _ = make_image(size=200000)
    event = threading.Event()

    def progress(e: flashwire.ProgressEvent) -> None:
        if e.text == "Loading Flash ...":
            if how == "event":
                event.set()
            elif how == "callback raises":
                raise LookupError("the bench's own failure")

    timeout = 1.0 if how == "timeout" else JOB_TIMEOUT
    expected = LookupError if how == "callback raises" else flashwire.AbortedError
    with flashwire.Session(ports=phone.ports) as s:
        with pytest.raises(expected) as caught:
            s.flash(image, platform=PLATFORM, abort=event, progress=progress, timeout=timeout)
        if expected is flashwire.AbortedError:
            assert ("time-out" if how == "timeout" else "abort event") in caught.value.line
        # The phone, left in its flash loader, is power-cycled; the session takes the next job.
        pid = phone.pid
        phone.power_cycle()
        assert phone.pid == pid  # the daemon's own power cycle, not a restart
        small, _ = make_image("small.s19", size=256)
        assert s.flash(small, platform=PLATFORM, baud=BAUD, timeout=JOB_TIMEOUT).ok


def test_ctrl_c_aborts_the_job_and_reraises(phone, make_image, caplog):
    image, _ = make_image(size=200000)
    caplog.set_level(logging.INFO, logger="flashwire")

    def progress(e: flashwire.ProgressEvent) -> None:
        if e.text == "Loading Flash ...":
            _thread.interrupt_main()  # as Ctrl-C would

    with flashwire.Session(ports=phone.ports) as s:
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            s.flash(image, platform=PLATFORM, baud=BAUD, progress=progress, timeout=JOB_TIMEOUT)
        assert time.monotonic() - start < 20
        # The job is over when the interrupt arrives at the caller: the session takes a new one.
        assert s._job is None
        assert caplog.records[-1].getMessage() == "Sorry, an error has occured ! (ERR_ABORT)"


def test_two_sessions_in_two_threads(make_image):
    images = [make_image(f"image{i}.s19", size=8192, seed=i) for i in (1, 2)]
    phones = [Phone(PLATFORM) for _ in images]
    results: list[object] = [None, None]

    def work(i: int) -> None:
        try:
            with flashwire.Session(ports=phones[i].ports, name=f"phone-{i}") as s:
                results[i] = s.flash(images[i][0], platform=PLATFORM, baud=BAUD, timeout=JOB_TIMEOUT)
        except Exception as e:  # handed to the test's thread
            results[i] = e

    try:
        for p in phones:
            p.start()
        threads = [threading.Thread(target=work, args=(i,)) for i in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        for p in phones:
            p.stop()
        for i, (result, (_, data)) in enumerate(zip(results, images)):
            assert isinstance(result, flashwire.Result) and result.ok, result
            assert phones[i].flash_contents()[0x10000 : 0x10000 + len(data)] == data
    finally:
        for p in phones:
            p.close()
