"""dravlen's fsspec filesystem: fsspec's own conformance classes, pandas,
pyarrow and Dask on it, and what it says when things go wrong."""

from __future__ import annotations

import posixpath
import re
import shutil
import tempfile
from pathlib import Path

import fsspec
import pytest
from fsspec.tests.abstract import (
    AbstractCopyTests,
    AbstractFixtures,
    AbstractGetTests,
    AbstractOpenTests,
    AbstractPipeTests,
    AbstractPutTests,
)

from faultserver import fault  # noqa: F401  (fixture)
from servers import start

from dravlen.ftp.filesystem.fs import FTPFileSystem, FTPSFileSystem

CASES = [("pyftpdlib", False), ("pyftpdlib", True), ("vsftpd", False), ("vsftpd", True)]


def _filesystem(srv, **extra):
    if srv.certs is None:
        return FTPFileSystem(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                             timeout=20, **extra)
    return FTPSFileSystem(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                          timeout=20, cafile=str(srv.certs.ca), **extra)


@pytest.fixture(scope="module", params=CASES, ids=[f"{k}{'-tls' if t else ''}" for k, t in CASES])
def ftp(request, certs):
    kind, tls = request.param
    base = Path(tempfile.mkdtemp(prefix=f"dravlen-fs-{kind}-"))
    base.chmod(0o755)
    srv = start(kind, base / "home", certs=certs if tls else None)
    try:
        yield srv, _filesystem(srv)
    finally:
        srv.stop()
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(autouse=True, scope="module")
def _idle_connections_closed():
    # The gate keeps idle clients for a while; closed here, none outlives this
    # module (later modules count the process's open descriptors).  Within the
    # module the tests share the server's idle clients, as a program's calls
    # do: closing them after every test made each of the conformance tests
    # log in afresh (on vsftpd about half of their time), testing nothing more.
    yield
    from dravlen.ftp.filesystem import gate as limit

    with limit._gates_lock:
        gates = list(limit._gates.values())
    for gate in gates:
        gate.close_idle()


_folders = 0


@pytest.fixture
def folder(ftp, request):
    """A fresh folder in the server's start directory, by its fsspec path."""
    global _folders
    _folders += 1
    name = f"{re.sub(r'[^A-Za-z0-9_]+', '_', request.node.name)[:50]}-{_folders}"
    (ftp[0].root / name).mkdir()
    yield name
    shutil.rmtree(ftp[0].root / name, ignore_errors=True)


class TestConformance(AbstractFixtures, AbstractCopyTests, AbstractGetTests, AbstractPutTests,
                      AbstractOpenTests, AbstractPipeTests):
    @pytest.fixture
    def fs(self, ftp):
        return ftp[1]

    @pytest.fixture
    def fs_join(self):
        return posixpath.join

    @pytest.fixture
    def fs_path(self, folder):
        return folder


def test_pandas_and_pyarrow_with_storage_options(ftp, folder):
    pd = pytest.importorskip("pandas")
    srv, fs = ftp
    scheme = "ftps" if srv.certs else "dftp"
    url = f"{scheme}://{srv.user}@{srv.host}:{srv.port}/{folder}"
    options = {"password": srv.password, **({"cafile": str(srv.certs.ca)} if srv.certs else {})}
    frame = pd.DataFrame({"n": range(1000), "name": [f"row {i}" for i in range(1000)]})
    frame.to_csv(f"{url}/a.csv", index=False, storage_options=options)
    assert pd.read_csv(f"{url}/a.csv", storage_options=options).equals(frame)
    frame.to_parquet(f"{url}/parts/a.parquet", storage_options=options)
    frame.iloc[:10].to_parquet(f"{url}/parts/b.parquet", storage_options=options)
    assert pd.read_parquet(f"{url}/parts/a.parquet", storage_options=options).equals(frame)
    if srv.certs:
        import pyarrow.dataset as ds

        table = ds.dataset(f"{folder}/parts", filesystem=fs, format="parquet").to_table()
        assert table.num_rows == 1010 and sum(table.column("n").to_pylist()) == sum(range(1000)) + sum(range(10))


def test_listing_times_and_universal_pathlib(ftp, folder):
    from datetime import datetime, timedelta, timezone

    upath = pytest.importorskip("upath")
    srv, fs = ftp
    fs.pipe_file(f"{folder}/x.txt", b"hello")
    (entry,) = fs.ls(folder)
    now = datetime.now(timezone.utc)
    assert entry["name"] == f"{folder}/x.txt" and entry["size"] == 5 and entry["type"] == "file"
    assert abs(entry["mtime"] - now) < timedelta(minutes=2)
    # The file's own time is exact; a LIST entry's is that time's minute.
    assert entry["mtime"] <= fs.modified(entry["name"]) < entry["mtime"] + timedelta(minutes=1)
    assert fs.info(folder)["type"] == "directory"
    scheme = "ftps" if srv.certs else "dftp"
    path = upath.UPath(f"{scheme}://{srv.user}:{srv.password}@{srv.host}:{srv.port}/{folder}/x.txt",
                       **({"cafile": str(srv.certs.ca)} if srv.certs else {}))
    assert type(path).__module__ == "dravlen.ftp.filesystem.universal" and path.read_bytes() == b"hello"
    assert abs(path.stat().st_mtime - now.timestamp()) < 120
    if not srv.certs:
        from dravlen.ftp.filesystem.fs import take_over_ftp

        take_over_ftp()
        url = f"ftp://{srv.user}:{srv.password}@{srv.host}:{srv.port}/{folder}"
        assert isinstance(fsspec.filesystem("ftp", host=srv.host), FTPFileSystem)
        assert fsspec.open(f"{url}/x.txt").open().read() == b"hello"
        assert upath.UPath(f"{url}/x.txt").stat().st_size == 5


def test_ranges_read_on_one_transfer_and_callbacks(ftp, folder, tmp_path):
    from fsspec.callbacks import Callback

    srv, fs = ftp
    data = bytes(range(256)) * 4096  # 1 MiB
    fs.pipe_file(f"{folder}/d.bin", data)
    assert fs.cat_file(f"{folder}/d.bin", 1000, 1010) == data[1000:1010]
    assert fs.cat_file(f"{folder}/d.bin", -7) == data[-7:]
    with fs.open(f"{folder}/d.bin", block_size=1 << 16) as f:
        assert f.read(100) == data[:100]
        f.seek(200_000)
        assert f.read(70_000) == data[200_000:270_000]
        f.seek(5)
        assert f.read(10) == data[5:15]
        assert f.read() == data[15:]
    with fs.open(f"{folder}/w.bin", "wb", block_size=1 << 16) as f:
        for i in range(0, len(data), 50_000):
            f.write(data[i:i + 50_000])
    assert fs.cat_file(f"{folder}/w.bin") == data
    down, up = Callback(), Callback()
    fs.get_file(f"{folder}/w.bin", str(tmp_path / "w.bin"), callback=down)
    fs.put_file(str(tmp_path / "w.bin"), f"{folder}/v.bin", callback=up)
    assert down.size == down.value == up.size == up.value == len(data) == fs.size(f"{folder}/v.bin")


def test_cut_upload_is_reported_and_pickles_without_sockets(ftp, folder):
    import pickle

    srv, fs = ftp
    with pytest.raises(RuntimeError) as caught:
        with fs.open(f"{folder}/cut.bin", "wb", block_size=1 << 16) as f:
            f.write(b"x" * 200_000)  # sent
            f.write(b"y" * 1000)  # still in the buffer
            raise RuntimeError("stop")
    assert any("left partly written" in note for note in caught.value.__notes__)
    # What was still buffered never goes: a cut upload is not completed.
    assert not fs.exists(f"{folder}/cut.bin") or fs.size(f"{folder}/cut.bin") <= 200_000
    data = pickle.dumps(fs)
    type(fs).clear_instance_cache()
    copy = pickle.loads(data)
    assert copy is not fs and copy.cat_file(f"{folder}/cut.bin", 0, 0) == b""
    assert srv.password not in repr(fs) + str(fs)


def test_append_and_transactions(ftp, folder):
    from dravlen.ftp.remote import IncompleteTransfer

    srv, fs = ftp
    log = f"{folder}/log"
    for line in (b"one\n", b"two\n"):
        with fs.open(log, "ab") as f:  # the first makes it
            f.write(line)
    assert fs.cat_file(log) == b"one\ntwo\n"
    # Another writer appends meanwhile (more than this one: whether the server
    # writes at the end or where the end was, the size is not what this made).
    with pytest.raises(IncompleteTransfer, match=srv.host), fs.open(log, "ab", block_size=4) as f:
        f.write(b"three\n")  # sent: the APPE is open
        with open(srv.root / log, "ab") as other:
            other.write(b"!" * 100)
    # Deferred: nothing under the names until the transaction ends well.
    before = fs.cat_file(log)
    with fs.transaction:
        with fs.open(log, "wb") as f:
            f.write(b"new")
        with fs.open(f"{folder}/made", "wb") as f:
            f.write(b"made")
        assert fs.cat_file(log) == before and not fs.exists(f"{folder}/made")
        with pytest.raises(ValueError, match="cannot be appended to with autocommit=False"):
            fs.open(log, "ab")
    assert fs.cat_file(log) == b"new" and fs.cat_file(f"{folder}/made") == b"made"
    with pytest.raises(RuntimeError), fs.transaction:
        with fs.open(log, "wb") as f:
            f.write(b"lost")
        raise RuntimeError("stop")
    assert fs.cat_file(log) == b"new"
    assert sorted(p.name for p in (srv.root / folder).iterdir()) == ["log", "made"]  # no temporary file left


def test_bad_input_names_server_and_path(fault, tmp_path):
    from dravlen.base import LoginError
    from dravlen.ftp.filesystem.fs import RestRefused
    from dravlen.ftp.wire.replies import IncompleteTransfer

    fault.add("/data/big.bin", bytes(range(256)) * 400)
    fs = FTPFileSystem(host=fault.host, port=fault.port, user=fault.user, password=fault.password, timeout=2)
    where = f"ftp://{fault.user}@{fault.host}:{fault.port}"

    wrong = FTPFileSystem(host=fault.host, port=fault.port, user=fault.user, password="not-it", timeout=2)
    with pytest.raises(LoginError, match=re.escape(where)) as caught:
        wrong.ls("data")
    assert "not-it" not in str(caught.value) + repr(wrong)

    for call in (lambda: fs.cat_file("data/none.bin"), lambda: fs.info("data/none.bin"),
                 lambda: fs.get_file("data/none.bin", str(tmp_path / "none.bin"))):
        with pytest.raises(FileNotFoundError, match=re.escape(where) + ".*data/none.bin"):
            call()
    assert list(tmp_path.iterdir()) == []
    # A URL of another server names nothing here (same path, other host or port).
    for other in (f"ftps://127.0.0.10:{fault.port}/data/big.bin", f"dftp://{fault.host}/data/big.bin"):
        with pytest.raises(ValueError, match="names another server than " + re.escape(where)):
            fs.cat(other)
    assert fs.cat(f"dftp://{fault.host}:{fault.port}/data/big.bin")[:2] == bytes(range(2))

    # The fault server knows no REST: a range from byte 0 works, a later one cannot.
    assert fs.cat_file("data/big.bin", 0, 4) == bytes(range(4))
    with pytest.raises(RestRefused, match=re.escape(where) + ".*data/big.bin.*byte 10"):
        fs.cat_file("data/big.bin", 10, 20)

    # A transfer that ends early, claimed whole by the server: nothing local is replaced.
    (tmp_path / "big.bin").write_bytes(b"old")
    fault.fault("RETR", "cut226")
    with pytest.raises(IncompleteTransfer, match=re.escape(where) + ".*data/big.bin"):
        fs.get_file("data/big.bin", str(tmp_path / "big.bin"))
    assert [p.name for p in tmp_path.iterdir()] == ["big.bin"] and (tmp_path / "big.bin").read_bytes() == b"old"
    fs.get_file("data/big.bin", str(tmp_path / "big.bin"))
    assert (tmp_path / "big.bin").read_bytes() == bytes(range(256)) * 400


def test_names_that_leave_the_folder_are_warned_of_never_fetched(fault, tmp_path):
    from dravlen.ftp.filesystem.fs import PassedOver

    for name in ["/victim", "/d/ok", "/d/sub/f"]:
        fault.add(name, b"data")
    # Each would land beside the copy, in tmp_path, if it were joined.
    fault.mlsd_lines = {"/d": ["type=file;size=4; ok", "type=dir; sub", "type=file;size=4; ../victim",
                               f"type=file;size=4; {tmp_path / 'absolute'}", "type=OS.unix=slink:a\0b; nul"]}
    fault.list_lines["/d"] = ["lrwxrwxrwx 1 o g 3 Jan 02 03:04 nul -> a\0b"]
    fs = FTPFileSystem(host=fault.host, port=fault.port, user=fault.user, password=fault.password, timeout=2)
    leaves = "its name leaves the folder"
    with pytest.warns(PassedOver, match=re.escape("'/d': 2 listed entries passed over (its name leaves")) as told:
        assert fs.find("/d") == ["/d/nul", "/d/ok", "/d/sub/f"]
    [warned] = [w.message for w in told if w.category is PassedOver]
    assert [(path, why.split(": ")[0]) for path, why in warned.passed_over] == [("/d", leaves)] * 2
    # A folder's download: the link no link here can hold is passed over too, not a failure.
    with pytest.warns(PassedOver) as told:
        fs.get("/d", str(tmp_path / "copy"), recursive=True)
    [warned] = [w.message for w in told if w.category is PassedOver]
    assert sorted((path, why.split(": ")[0]) for path, why in warned.passed_over) == [
        ("/d", leaves), ("/d", leaves), ("/d/nul", "a symbolic link whose target holds NUL")]
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == [
        "copy", "copy/ok", "copy/sub", "copy/sub/f"]
    assert "RETR /victim" not in fault.log


_LIMITED = """
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_FTPHandler
from pyftpdlib.servers import FTPServer
host, port, root, user, password, cert, key, refusals = sys.argv[1:]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
class Control(TLS_FTPHandler):
    certfile, keyfile = cert, key
    tls_control_required = tls_data_required = True
    auth_failed_timeout = 0
    def handle_max_cons_per_ip(self):
        with open(refusals, "a") as log:
            log.write("421\\n")
        super().handle_max_cons_per_ip()
Control.authorizer = authorizer
server = FTPServer((host, int(port)), Control)
server.max_cons_per_ip = 3
server.serve_forever()
"""


@pytest.fixture(scope="module")
def limited(certs, tmp_path_factory):
    """pyftpdlib over TLS that lets one address hold at most 3 connections
    (each one more refused is a line in *refusals*), holding eight CSV
    files; its filesystem options, the frames, the root and *refusals*."""
    import subprocess
    import sys
    import time

    import servers

    pd = pytest.importorskip("pandas")
    root = tmp_path_factory.mktemp("limited")
    refusals = tmp_path_factory.mktemp("limited-log") / "refusals"
    frames = []
    for i in range(8):
        frame = pd.DataFrame({"part": [i] * 500, "n": range(500)})
        frame.to_csv(root / f"part{i}.csv", index=False)
        frames.append(frame)
    host = servers.ADDRESSES["pyftpdlib"]
    port = servers._free_port(host)
    process = subprocess.Popen([sys.executable, "-c", _LIMITED, host, str(port), str(root), servers.USER,
                                servers.PASSWORD, str(certs.cert), str(certs.key), str(refusals)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    options = dict(host=host, port=port, user=servers.USER, password=servers.PASSWORD,
                   cafile=str(certs.ca), timeout=20)
    try:
        for _ in range(200):
            try:
                FTPSFileSystem(**options, skip_instance_cache=True).ls("")
                break
            except OSError:
                time.sleep(0.05)
        yield options, pd.concat(frames, ignore_index=True), root, refusals
    finally:
        process.kill()
        process.wait()


def test_threads_share_a_limit_lowered_by_421(limited):
    from concurrent.futures import ThreadPoolExecutor

    options, _, root, _ = limited
    fs = FTPSFileSystem(**options, connections=8, skip_instance_cache=True)

    def read(i):
        with fs.open(f"part{i % 8}.csv", block_size=1024) as f:
            return f.read(10) + f.read()

    with ThreadPoolExecutor(6) as pool:
        got = list(pool.map(read, range(24)))
    assert got == [(root / f"part{i % 8}.csv").read_bytes() for i in range(24)]
    assert fs._gate.lowered and fs._gate.limit <= 3


def test_dask_on_two_worker_processes(limited):
    import time

    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    options, expected, _, refusals = limited
    url = f"ftps://{options['user']}@{options['host']}:{options['port']}/part*.csv"
    storage = {"password": options["password"], "cafile": options["cafile"], "timeout": 20}

    def refused():
        return refusals.read_text().count("421") if refusals.exists() else 0

    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        # Each process on its own: the server's 421s lower the limits, no task fails.
        alone = dd.read_csv(url, storage_options=storage, blocksize=2000).compute()
        # Through one semaphore of the cluster (driver included): the server never refuses.
        time.sleep(3)  # the first run's idle connections are closed (after 2 s) and gone
        before = refused()
        shared = dd.read_csv(url, storage_options={**storage, "cluster_connections": 3}, blocksize=2000).compute()
        assert refused() == before
    for frame in (alone, shared):
        assert frame.sort_values(["part", "n"]).reset_index(drop=True).equals(expected)


def test_files_read_whole_but_left_open_hold_no_connection(ftp, folder):
    srv, _ = ftp
    fs = _filesystem(srv, connections=2, skip_instance_cache=True)
    # The other tests' idle clients of this server are closed first: a file
    # that held one of them would otherwise go unnoticed.
    fs._gate.close_idle()
    fs.pipe_file(f"{folder}/a.txt", b"abc")
    try:
        left_open = [fs.open(f"{folder}/a.txt") for _ in range(5)]
        assert [f.read() for f in left_open] == [b"abc"] * 5 and fs.cat_file(f"{folder}/a.txt") == b"abc"
    finally:
        fs._gate.set_limit(8)  # the gate is the server's, shared with the other tests


def test_range_read_waits_on_three_replies_and_find_lists_a_level_at_once(tmp_path):
    """Every reply held back 0.25 s: a range read waits for TYPE/PASV/REST
    together, RETR, and the cut transfer's end (fsspec's FTP waits on five);
    find lists the four folders below the top side by side."""
    import time

    import delayserver

    delay, data = 0.25, bytes(range(256)) * 4096
    (tmp_path / "home" / "tree").mkdir(parents=True)
    (tmp_path / "home" / "d.bin").write_bytes(data)
    for d in range(4):
        (tmp_path / "home" / "tree" / f"d{d}").mkdir()
        (tmp_path / "home" / "tree" / f"d{d}" / "f").write_bytes(b"x")
    srv = delayserver.start(tmp_path / "home", delay=delay)
    try:
        fs = FTPFileSystem(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                           timeout=20, skip_instance_cache=True)
        fs.cat_file("d.bin", 0, 1)  # logged in
        for start in (1000, len(data) - 4096):
            began = time.perf_counter()
            assert fs.cat_file("d.bin", start, start + 4096) == data[start:start + 4096]
            assert time.perf_counter() - began < 3.8 * delay
        assert fs.find("tree") == [f"tree/d{d}/f" for d in range(4)]  # four logged in
        began = time.perf_counter()
        assert fs.find("tree") == [f"tree/d{d}/f" for d in range(4)]
        # A listing waits on three replies: the top's, then the four at once
        # (one after the other would be 15 replies).
        assert time.perf_counter() - began < 9 * delay
    finally:
        srv.stop()
