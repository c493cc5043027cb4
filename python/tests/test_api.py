"""The package without a phone: records, options, data directory, library lookup."""

from __future__ import annotations

import ctypes
import os

import pytest

import flashwire
from flashwire import _native


def test_records_match_the_c_layout():
    assert ctypes.sizeof(_native.FlashOptions) == int(os.environ.get("FLASHWIRE_C_SIZEOF_OPTIONS", "1610"))
    assert ctypes.sizeof(_native.FlashHandle) == int(os.environ.get("FLASHWIRE_C_SIZEOF_HANDLE", ctypes.sizeof(ctypes.c_void_p) * 8))
    assert _native.FlashOptions.comPort.offset == 750
    assert _native.FlashOptions.diff.offset == 1606


@pytest.mark.parametrize(
    "text",
    [
        "/platform=demo-passive /com=1,2 /mode=flash /file=\"my image.s19\" /reserved=0x0-0xffff /reserved=0x20000-0x2ffff /diff=0 /extprotect=1 /erase=3 /maxspeed=921600,57600",
        "/platform=p /com=2 /mode=verify /file=a.s19 /phases=bl /noretry=1",
        "/platform=p /com=1 /mode=read /savefile=out.s19 /read=0x1000-0x1fff /read=4096000-4096100 /phases=fl",
    ],
)
def test_options_round_trip(text):
    options = flashwire.Options.parse(text)
    made = options.to_string()
    assert flashwire.Options.parse(made) == options
    assert flashwire.Options.parse(made).to_string() == made


def test_options_values():
    o = flashwire.Options.parse("-MODE:read /com=1,2 /savefile=x.s19 /read=0x200-0x2ff /read=0-0x1ff /maxspeed=460800")
    assert (o.mode, o.com, o.max_speed, o.read) == ("read", (1, 2), (460800, 115200), [(0, 0x1FF), (0x200, 0x2FF)])
    assert flashwire.Options().to_record().diff == 1  # the library's defaults


@pytest.mark.parametrize(
    "text, line",
    [
        ("/mode=fly", "Unknown MODE fly"),
        ("/com=13", "13 is not a valid COM port. Valid are 1-12"),
        ("/read=0-0x200 /read=0x200-0x2ff", "Overlapping /read regions defined"),
        ("/verbose=1", "Unknown option: verbose"),
    ],
)
def test_options_refused_by_the_parser(text, line):
    with pytest.raises(flashwire.OptionsError) as caught:
        flashwire.Options.parse(text)
    assert (caught.value.code, caught.value.line) == (28, line)


@pytest.mark.parametrize(
    "change",
    [
        {"platform": "p" * 250},
        {"com": (13,)},
        {"com": (1, 2, 3)},
        {"max_speed": (9600, 115200)},
        {"erase_passes": 9},
        {"reserved": [(5, 3)]},
        {"read": [(i * 2, i * 2) for i in range(51)]},
        {"mode": "erase"},
    ],
)
def test_options_out_of_range_are_refused_before_the_library(change):
    with pytest.raises(ValueError):
        flashwire.Options(**change).to_record()


def test_data_directory_and_library(tmp_path, monkeypatch):
    lib = flashwire.library()
    assert lib.path is not None and (lib.path.parent / "platform.def").is_file()
    with flashwire.Session(ports=["/dev/null"]) as s:
        assert s.data_dir == lib.path.parent
    monkeypatch.setenv("FLASHWIRE_DATA_DIR", str(tmp_path))
    with pytest.raises(flashwire.ConfigurationError) as caught:
        flashwire.Session(ports=["/dev/null"]).open()
    assert "no platform.def in" in caught.value.line and str(tmp_path) in caught.value.line
    with pytest.raises(ValueError):
        flashwire.Session(ports=["a", "b", "c"])
    assert flashwire.error_name(2) == "ERR_COM" and flashwire.error_name(77) == "Unknown error: 77"
