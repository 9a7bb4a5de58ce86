"""One adapter per client the benchmarks compare: bare ftplib, fsspec, ftputil, lftp, and ours.
Each is logged in when made (lftp excepted); ``forget()`` empties its caches, ``on_threads()`` runs work
on threads that each have a client of their own; a task an adapter cannot do is None on it."""

from __future__ import annotations

import datetime
import ftplib
import io
import os
import subprocess
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import _support as S

class Peer:
    """A client of *server* (on *port*, if given: a counting proxy's)."""

    name, download_tree = "", None

    def __init__(self, server, port: int | None = None):
        self.server, self.port = server, port or getattr(server, "port", None)
        self._local, self._views, self._pool = threading.local(), [], None

    def forget(self): pass

    def for_thread(self):
        if (view := getattr(self._local, "view", None)) is None:
            self._views.append(view := type(self)(self.server, self.port))
            self._local.view = view
        return view

    def on_threads(self, n: int, job) -> None:
        """``job(client, i)`` for i in range(n), each on a thread of the client's own pool (kept from run to
        run, as its threads' clients are), with the thread's client."""
        self._pool = self._pool or ThreadPoolExecutor(n)
        list(self._pool.map(lambda i: job(self.for_thread(), i), range(n)))

    def close(self):
        if self._pool:
            self._pool.shutdown()
        for view in self._views:
            view.close()
        try:
            self._close()
        except Exception:
            pass  # the benchmark is over; a connection that will not close cleanly is dropped

    def _close(self): pass

class Ours(Peer):
    """*cls* (FTPPath, or a subclass bound to a section): the core's members;
    with *jobs*, RemotePath's tree members over that many connections."""

    def __init__(self, cls, jobs: int | None = None):
        super().__init__(None)
        self.cls, self.jobs, self.name = cls, jobs, "dravlen" if jobs else "FTPPath"
        if jobs:
            self.download_tree = lambda remote, local: cls(remote).download_tree(local, connections=jobs)
        cls("/").client  # logged in now, as the others are by their constructors

    def exists(self, p): return self.cls(p).exists
    def is_dir(self, p): return self.cls(p).is_dir()
    def mtime(self, p): return self.cls(p).mtime
    def read(self, p): return self.cls(p).read()
    def write(self, p, data): self.cls(p).write(data)
    def listdir(self, p): return [entry.name for entry in self.cls(p).glob()]
    def for_thread(self): return self  # each thread gets a client of its own by itself

    def upload_tree(self, local, remote):
        self.cls(remote).upload_tree(local, connections=self.jobs) if self.jobs else self.cls(remote).upload(str(local))

    def remove_tree(self, remote):
        self.cls(remote).remove_tree(connections=self.jobs) if self.jobs else self.cls(remote).delete()

    def _close(self):
        from dravlen.base import Local

        Local.clear()

class Everyday(Ours):
    """A bound RemotePath by one of its everyday *names* (None: its ``open()``); a write makes the folder it needs."""

    NAMES = {"RemotePath read_bytes()/write_bytes()": ("read_bytes", "write_bytes"), "RemotePath open()": None,
             "core read()/write()": ("read", "write")}

    def __init__(self, cls, name: str):
        super().__init__(cls)
        self.name, self.calls = name, self.NAMES[name]

    def mkdir(self, p): pass

    def read(self, p):
        if self.calls:
            return getattr(self.cls(p), self.calls[0])()
        with self.cls(p).open("rb") as f:
            return f.read()

    def write(self, p, data):
        if self.calls:
            return getattr(self.cls(p), self.calls[1])(data)
        with self.cls(p).open("wb") as f:
            f.write(data)

class Bare(Peer):
    """Plain ftplib: only the transfer, as a client that knows what is there would send it."""

    name = "ftplib"

    def __init__(self, server, port=None):
        super().__init__(server, port)
        self.ftp, self._trees = ftplib.FTP(timeout=30), {}
        self.ftp.connect(server.host, self.port)
        self.ftp.login(server.user, server.password)

    def write(self, p, data): self.ftp.storbinary("STOR " + p, io.BytesIO(data))
    def mkdir(self, p): self.ftp.mkd(p)
    def _close(self): self.ftp.close()

    def read(self, p, blocksize=8192):
        chunks = []
        self.ftp.retrbinary("RETR " + p, chunks.append, blocksize)
        return b"".join(chunks)

    def upload(self, local, p):
        with open(local, "rb") as f:
            self.ftp.storbinary("STOR " + p, f)

    def download(self, p, local, blocksize=8192):
        with open(local, "wb") as out:
            self.ftp.retrbinary("RETR " + p, out.write, blocksize)

    def upload_tree(self, local, remote):
        """MKD and STOR only: a client that knows the tree is new."""
        items = sorted(Path(local).rglob("*"))
        self._trees[remote] = [(p.relative_to(local).as_posix(), p.is_dir()) for p in items]
        self.ftp.mkd(remote)
        for name, folder in sorted(self._trees[remote], key=lambda item: not item[1]):  # the folders first
            self.ftp.mkd(f"{remote}/{name}") if folder else self.upload(Path(local) / name, f"{remote}/{name}")

    def remove_tree(self, remote):
        """DELE and RMD only, of what upload_tree put there."""
        items = self._trees.pop(remote)
        for name, folder in [i for i in items if not i[1]] + [i for i in reversed(items) if i[1]]:  # files first
            (self.ftp.rmd if folder else self.ftp.delete)(f"{remote}/{name}")
        self.ftp.rmd(remote)

class Fsspec(Peer):
    name, top = "fsspec", "/"
    text_mtimes: dict = {}  # by kind of server: a modification time that came as LIST's text

    def __init__(self, server, port=None):
        from fsspec.implementations.ftp import FTPFileSystem

        super().__init__(server, port)
        self.fs = FTPFileSystem(host=server.host, port=self.port, username=server.user,
                                password=server.password, timeout=30, skip_instance_cache=True)

    def exists(self, p): return self.fs.exists(p)
    def is_dir(self, p): return self.fs.isdir(p)
    def read(self, p): return self.fs.cat_file(p)
    def write(self, p, data): self.fs.pipe_file(p, data)
    def mkdir(self, p): self.fs.makedirs(p, exist_ok=True)
    def listdir(self, p): return self.fs.ls(p, detail=False)
    def upload_tree(self, local, remote): self.fs.put(str(local), remote, recursive=True)
    def download_tree(self, remote, local): self.fs.get(remote, str(local), recursive=True)
    def remove_tree(self, remote): self.fs.rm(remote, recursive=True)
    def forget(self): self.fs.invalidate_cache()
    def _close(self): self.fs.ftp.close()

    def mtime(self, p):
        # No modified(): info() has MLSD's "modify" fact, or without MLSD the date column of LIST as text.
        modify = self.fs.info(p)["modify"]
        try:
            return datetime.datetime.strptime(modify[:14], "%Y%m%d%H%M%S")
        except ValueError:
            Fsspec.text_mtimes[self.server.kind] = modify
            return modify

class Filesystem(Peer):
    """dravlen's own fsspec filesystem (its paths are relative to the login folder)."""

    name, top = "dravlen", ""

    def __init__(self, server, port=None):
        from dravlen.ftp.filesystem.fs import FTPFileSystem

        super().__init__(server, port)
        self.fs = FTPFileSystem(host=server.host, port=self.port, user=server.user, password=server.password)

    def forget(self): self.fs.invalidate_cache()

class Ftputil(Peer):
    name = "ftputil"

    def __init__(self, server, port=None):
        with warnings.catch_warnings():  # ftputil 5 warns at import that its default encoding will change
            warnings.simplefilter("ignore", DeprecationWarning)
            import ftputil.session

        super().__init__(server, port)
        factory = ftputil.session.session_factory(port=self.port, use_passive_mode=True, encoding="utf-8")
        self.host = ftputil.FTPHost(server.host, server.user, server.password, session_factory=factory)

    def exists(self, p): return self.host.path.exists(p)
    def is_dir(self, p): return self.host.path.isdir(p)
    def listdir(self, p): return self.host.listdir(p)
    def remove_tree(self, remote): self.host.rmtree(remote)
    def forget(self): self.host.stat_cache.clear()
    def _close(self): self.host.close()

    def mtime(self, p):
        with warnings.catch_warnings():  # that a time shift is unset: the raw value is compared here
            warnings.simplefilter("ignore", DeprecationWarning)
            return self.host.path.getmtime(p)

    def read(self, p):
        with self.host.open(p, "rb") as f:
            return f.read()

    def write(self, p, data):
        with self.host.open(p, "wb") as f:
            f.write(data)

    def upload_tree(self, local, remote):
        for folder, _dirs, files in os.walk(local):  # ftputil has no tree upload: the usual walk
            target = f"{remote}/{Path(folder).relative_to(local).as_posix()}".removesuffix("/.")
            self.host.makedirs(target, exist_ok=True)
            for name in files:
                self.host.upload(os.path.join(folder, name), f"{target}/{name}")

    def download_tree(self, remote, local):
        for folder, _dirs, files in self.host.walk(remote):
            target = Path(local) / os.path.relpath(folder, remote)
            target.mkdir(parents=True, exist_ok=True)
            for name in files:
                self.host.download(f"{folder}/{name}", str(target / name))

class Lftp(Peer):
    """lftp's mirror (a new process, and login, for each step) over *jobs* connections."""

    name = "lftp"

    def __init__(self, server, port=None, jobs: int = 4):
        super().__init__(server, port)
        self.jobs = jobs

    def _run(self, command):
        script = ("set cmd:fail-exit yes; set ftp:passive-mode on; set ftp:ssl-allow no; set ftp:prefer-epsv no;"
                  f" set net:max-retries 2; set net:timeout 30; set cmd:parallel {self.jobs};"
                  f" open -u {S.servers.USER},{S.servers.PASSWORD} -p {self.port} {self.server.host}; {command}")
        done = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=1800)
        if done.returncode:
            raise RuntimeError(f"lftp {command!r}: {done.stderr.decode(errors='replace')[-300:]}")

    # --no-perms: no SITE CHMOD per file, which the others do not send either.
    def upload_tree(self, local, remote): self._run(f"mirror -R --no-perms --parallel={self.jobs} '{local}' '{remote}'")
    def download_tree(self, remote, local): self._run(f"mirror --no-perms --parallel={self.jobs} '{remote}' '{local}'")
    def remove_tree(self, remote): self._run(f"rm -r '{remote}'")  # one connection: lftp has no parallel removal
