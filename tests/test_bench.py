"""The benchmark's Python model stays the core's twin: it makes the same calls on the client,
with the real collaborators and with the stand-ins of the own-work run."""

import contextlib
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
core = pytest.importorskip("core")


@pytest.mark.parametrize("own", [False, True], ids=["as used", "own work"])
def test_the_model_makes_the_calls_the_core_makes(tmp_path, own):
    local = tmp_path / "up.bin"
    local.write_bytes(b"u" * 1024)
    with core.LocalFromMemory(str(local), b"u" * 1024) if own else contextlib.nullcontext():
        recorder = core.make_client()
        native, model = core.pair(recorder, str(local), own)
        core.compare(native, model, recorder)  # exits naming the member whose calls differ
        stored = core.calls_of(native["upload (a 1 KiB file)"][0], recorder)
    assert ("storbinary", "STOR /d/f.txt", b"u" * 1024) in stored and ("sendcmd", "SIZE /d/f.txt") in stored


def test_the_own_work_stand_ins_are_put_back(tmp_path):
    import dravlen.ftp.path as native_module
    before = dict(vars(native_module))
    with core.LocalFromMemory(str(tmp_path / "x"), b""):
        assert native_module.open is not open
    assert "open" not in vars(native_module) and native_module.pathlib is before["pathlib"]
