"""Sixteen threads working through shared path objects on one pyftpdlib
server, alone and while another process keeps it busy: every file ends up
with the bytes its thread wrote, and each thread keeps one client of its own."""

import hashlib
import random
import subprocess
import sys
import textwrap
import threading

import pytest

import servers
from dravlen.base import Local
from dravlen.ftp.path import FTPPath
from faultserver import tell

THREADS, ROUNDS, FILES = 16, 8, 3


class LoadPath(FTPPath):
    _section = ("load",)


@pytest.fixture(scope="module")
def ftpd(tmp_path_factory):
    srv = servers.start("pyftpdlib", tmp_path_factory.mktemp("load") / "home", host="127.0.0.12")
    with pytest.MonkeyPatch.context() as mp:
        for key, value in dict(host=srv.host, port=srv.port, user=srv.user, password=srv.password,
                               timeout=30, pasv="true", encoding="utf-8").items():
            mp.setenv(f"DRAVLEN_LOAD_{key.upper()}", str(value))
        yield srv
    srv.stop()


def sha(data):
    return hashlib.sha256(data).hexdigest()


def worker(n, top, files, start, out):
    rng, expected, clients, ops = random.Random(n), {}, [], 0
    start.wait(10)
    try:
        mine = top / f"t{n:02}"
        for r in range(ROUNDS):
            folder = mine / f"r{r}"
            folder.mkdir()
            for f in files[n][r]:
                data = f"{n}/{r}/{f.name}:".encode() + rng.randbytes(rng.randrange(0, 60_000))
                f.write(data)
                got = f.read()
                assert got == data, f"thread {n} read {len(got)} bytes of {f}, wrote {len(data)}"
                assert f.exists and not f.is_dir()
                expected[str(f)] = sha(data)
            assert folder.is_dir() and top.exists and top.is_dir()
            assert {p.name for p in folder.glob("f*")} == {f.name for f in files[n][r]}
            victim = files[n][r][rng.randrange(FILES)]
            victim.delete()
            assert not victim.exists
            del expected[str(victim)]
            ops += 4 * FILES + 7
            client = top.client
            assert Local.getattr(top._key_on_thread()) is client and files[n][r][0].client is client
            clients.append(client)
        out[n] = (expected, clients, ops)
    except BaseException as exc:
        out[n] = exc


def run_threads(ftpd, tag):
    top = LoadPath(f"/{tag}")
    top.mkdir()  # the threads' own folders are made inside it
    files = [[[top / f"t{n:02}" / f"r{r}" / f"f{k}" for k in range(FILES)] for r in range(ROUNDS)]
             for n in range(THREADS)]
    out, start = {}, threading.Barrier(THREADS)
    threads = [threading.Thread(target=worker, args=(n, top, files, start, out)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a worker is stuck"
    for n in range(THREADS):
        if isinstance(out.get(n), BaseException):
            raise out[n]
    # One client per thread, kept for all its rounds, none shared.
    firsts = [out[n][1][0] for n in range(THREADS)]
    assert all(all(c is out[n][1][0] for c in out[n][1]) for n in range(THREADS))
    assert len({id(c) for c in firsts}) == THREADS
    expected = {}
    for n in range(THREADS):
        expected.update(out[n][0])
    on_disk = {"/" + p.relative_to(ftpd.root).as_posix(): sha(p.read_bytes())
               for p in (ftpd.root / tag).rglob("*") if p.is_file()}
    assert on_disk == expected  # nothing lost, nothing extra, no bytes of another thread
    return sum(out[n][2] for n in range(THREADS))


HAMMER = textwrap.dedent("""
    import ftplib, io, os, sys, threading, time
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    stop, deadline, counts = threading.Event(), time.monotonic() + 60, []
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    def hammer(i):
        ftp, ops = ftplib.FTP(timeout=30), 0
        ftp.connect(host, port)
        ftp.login(user, password)
        try:
            ftp.mkd(f"hammer{i}")
        except ftplib.error_perm:
            pass
        while not stop.is_set() and time.monotonic() < deadline and ops < 20000:
            data = os.urandom(30000)
            ftp.storbinary(f"STOR hammer{i}/x", io.BytesIO(data))
            got = []
            ftp.retrbinary(f"RETR hammer{i}/x", got.append)
            assert b"".join(got) == data
            ftp.nlst(f"hammer{i}")
            ops += 3
        ftp.quit()
        counts.append(ops)
    threads = [threading.Thread(target=hammer, args=(i,)) for i in range(4)]
    [t.start() for t in threads]
    print("ready", flush=True)
    [t.join() for t in threads]
    print(sum(counts) if len(counts) == 4 else -1)
""")


def test_sixteen_threads_alone_then_beside_a_busy_process(ftpd, request):
    alone = run_threads(ftpd, "alone")
    hammer = subprocess.Popen([sys.executable, "-c", HAMMER, ftpd.host, str(ftpd.port), ftpd.user, ftpd.password],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert hammer.stdout.readline().strip() == "ready"
        busy = run_threads(ftpd, "busy")
        hammer.stdin.close()
        hammered = int(hammer.stdout.read().strip() or -1)
        assert hammer.wait(30) == 0 and hammered > 0, "the hammering process failed"
    finally:
        if hammer.poll() is None:
            hammer.kill()
            hammer.wait()
    tell(request, f"\ntest_load: {alone} operations alone, {busy} beside {hammered} ftplib commands of another process")
