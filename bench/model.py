"""A plain-Python model of FTPPath, the baseline the native core is measured against (not shipped).

On a server with MLST and ``LIST -a``, it makes the same calls on the client, in the same order, as the
native members on the paths the benchmark takes and on their refusals (the MLST confirmation and type of
a refused download, the size confirmation, the long-listing parse with its link rule), refuses the same
unsendable path texts, and is wrapped by the same `retry`.  It is written the way a careful Python
developer would: the path text built once per call, module-level names bound once.
"""

from __future__ import annotations

import datetime
import fnmatch
import ftplib
import io
import pathlib
from typing import Any, Generator, Optional

from dravlen.base import BasePath, retry
from dravlen.ftp.wire import dialects, replies

_retry = retry(ftplib.error_temp, ftplib.error_reply)
_HOURS = datetime.timedelta(hours=8)
_WILDCARDS = frozenset("*?[{")

def interrupt(*_: Any, **__: Any) -> None:
    raise InterruptedError("Finish!")

def _text(self: BasePath) -> str:
    text = self.path.as_posix()
    if isinstance(text, str):
        if "\n" in text or "\r" in text:
            raise ValueError(f"Remote path {text!r} holds a line break, which an FTP command cannot carry")
        if "\0" in text:
            raise ValueError(f"Remote path {text!r} holds a NUL character, which an FTP command cannot carry")
    return text

def _code(exc: BaseException, code: str) -> bool:
    return str(exc)[:3] == code

_not_understood = replies.not_understood

def _remember(client: Any, flag: str) -> None:
    try:
        setattr(client, flag, True)
    except Exception:
        pass

def _exchange(self: BasePath, f: Any, arg: Any) -> Any:
    try:
        return f(arg)
    except ftplib.Error:
        raise
    except BaseException:
        self._drop_client()
        raise

def _long_entry(line: str, encoding: str) -> tuple[Optional[str], bool, bool]:
    """(name, link, ambiguous) of a long-listing line, as the core reads it."""
    fields = []
    i, n = 0, len(line)
    for _ in range(8):
        while i < n and line[i].isspace():
            i += 1
        if i == n:
            return None, False, False
        start = i
        while i < n and not line[i].isspace():
            i += 1
        fields.append((start, i))
    if i + 1 >= n:
        return None, False, False
    i += 1
    end = n
    link = line[fields[0][0]] == "l"
    if link:
        size_text = line[fields[4][0]:fields[4][1]]
        size = int(size_text) if size_text.isdigit() and len(size_text) <= 18 and size_text.isascii() else -1
        arrows = fitting = fits = 0
        last = -1
        a = line.find(" -> ", i)
        while a >= 0:
            arrows += 1
            last = a
            if size >= 0:
                try:
                    if len(line[a + 4:].encode(encoding, "surrogateescape")) == size:
                        fits += 1
                        fitting = a
                except (LookupError, UnicodeError):
                    pass
            a = line.find(" -> ", a + 1)
        if arrows == 1:
            end = last
        elif arrows > 1:
            if fits != 1:
                return line[i:], True, True
            end = fitting
        if end == i:
            return None, link, False
    name = line[i:end]
    if name == "." or name == "..":
        return None, link, False
    return name, link, False

class ModelPath(BasePath):
    _section = ("ftp",)

    # -- exists ------------------------------------------------------------
    def _confirm(self, text: str) -> str:
        client = self.client
        if not hasattr(client, dialects.NO_MLST):
            try:
                _exchange(self, client.sendcmd, "MLST " + text)
                return "present"
            except ftplib.error_perm as exc:
                if _code(exc, "550"):
                    return "missing"
                if _not_understood(exc):
                    _remember(client, dialects.NO_MLST)
            except (ftplib.error_temp, ftplib.error_reply):
                pass
        raise NotImplementedError("the model covers servers with MLST")  # the core asks STAT then

    @property
    @_retry
    def exists(self) -> bool:
        text = _text(self)
        if not _WILDCARDS.isdisjoint(text):
            return self._confirm(text) == "present"
        try:
            if _exchange(self, self.client.nlst, text):
                return True
        except ftplib.error_perm:
            self._valid_reset()
            return self._confirm(text) == "present"
        except ftplib.error_temp as exc:
            if not _code(exc, "450"):
                raise
            known = self._confirm(text)
            if known == "unsure":
                raise
            return known == "present"
        return self._confirm(text) != "missing"

    # -- is_dir, read ------------------------------------------------------
    def _mlst_type(self, text: str) -> Optional[str]:
        client = self.client
        if hasattr(client, dialects.NO_MLST):
            return None
        try:
            reply = _exchange(self, client.sendcmd, "MLST " + text)
        except ftplib.error_perm as exc:
            if _not_understood(exc):
                _remember(client, dialects.NO_MLST)
            return None
        for line in reply.splitlines():
            if len(line) > 1 and line[0] == " ":
                given = line[1:].split(" ", 1)[0]
                for fact in given.split(";"):
                    if len(fact) > 5 and fact[:5].lower() == "type=":
                        return fact[5:].lower()
                return None
        return None

    def _refused_as_directory(self, text: str) -> bool:
        kind = self._mlst_type(text)
        if kind in ("dir", "cdir", "pdir"):
            return True
        if kind == "file":
            return False
        raise NotImplementedError("the model covers servers with MLST")

    @_retry
    def is_dir(self) -> bool:
        text = _text(self)
        if not self.exists:
            raise FileNotFoundError(f"'{self.path}' does not exist.")
        try:
            self.client.retrbinary("RETR " + text, interrupt, blocksize=1)
        except InterruptedError:
            self._valid_reset()
            return False
        except ftplib.error_perm:
            self._valid_reset()
            return self._refused_as_directory(text)
        except ftplib.Error:
            raise
        except BaseException:
            self._drop_client()
            raise
        return False

    def _check_size(self, text: str, moved: int) -> None:
        try:
            reply = _exchange(self, self.client.sendcmd, "SIZE " + text)
        except ftplib.error_perm as exc:
            if "ascii" in str(exc).lower():
                raise ftplib.error_temp(f"451 The size of '{self.path}' was refused in ASCII mode") from None
            return
        except (ftplib.error_temp, ftplib.error_reply):
            return
        if not reply.startswith("213"):
            return
        digits = reply[3:].strip()
        if not digits or len(digits) > 18 or not digits.isdigit() or not digits.isascii():
            return
        if int(digits) != moved:
            raise ftplib.error_temp(f"426 Transfer of '{self.path}' incomplete: {moved} bytes moved, "
                                    f"the server has {digits}")

    @_retry
    def read(self) -> bytes:
        text = _text(self)
        if not self.exists:
            raise FileNotFoundError(f"'{self.path}' does not exist.")
        try:
            data: list[bytes] = []
            _exchange(self, lambda t: self.client.retrbinary(t, data.append), "RETR " + text)
            content = b"".join(data)
        except ftplib.error_perm as exc:
            self._valid_reset()
            if self._refused_as_directory(text):
                raise TypeError(f"'{self.path}' is not a file.")
            raise PermissionError(f"'{self.path}' could not be read: {exc}")
        self._check_size(text, len(content))
        return content

    # -- write, upload -----------------------------------------------------
    @_retry
    def write(self, data: bytes) -> None:
        if type(data) is not bytes:
            raise TypeError(f"Argument 'data' has incorrect type (expected bytes, got {type(data).__name__})")
        text = _text(self)
        self.parent.mkdir()
        storbinary = self.client.storbinary
        _exchange(self, lambda t: storbinary(t, io.BytesIO(data)), "STOR " + text)
        self._check_size(text, len(data))

    @_retry
    def upload(self, local_path: str) -> None:
        text = _text(self)
        local = pathlib.Path(local_path)
        if not local.is_dir():
            self.parent.mkdir()
            with open(local, "rb") as f:
                _exchange(self, lambda t: self.client.storbinary(t, f), "STOR " + text)
                self._check_size(text, f.tell())
            return
        self.mkdir()
        for item in local.iterdir():
            self.join(item.name).upload(item.as_posix())

    # -- glob, mkdir, delete -----------------------------------------------
    @_retry
    def glob(self, pattern: str = "*") -> Generator["ModelPath", Any, Any]:
        text = _text(self)
        return self._glob(text, pattern)

    def _glob(self, text: str, pattern: str) -> Generator["ModelPath", Any, Any]:
        if not self.is_dir():
            raise TypeError(f"'{self.path}' is not a directory.")
        client = self.client
        encoding = getattr(client, "encoding", "utf-8")
        data: list[str] = []
        if hasattr(client, dialects.PLAIN_LIST):
            raise NotImplementedError("the model covers servers with LIST -a")
        _exchange(self, lambda t: client.retrlines(t, data.append), "LIST -a " + text)
        for line in data:
            name, _link, ambiguous = _long_entry(line, encoding)
            if ambiguous or name is None or "/" in name:
                continue
            if fnmatch.fnmatch(name, pattern):
                yield self.join(name)

    @_retry
    def mkdir(self) -> None:
        text = _text(self)
        try:
            parent = self.parent
            parent_text = parent.path.as_posix()
            if parent_text != "." and parent_text != "/":
                if not parent.exists:
                    parent.mkdir()
            create = True
            if self.exists:
                create = not self.is_dir()
            if create:
                _exchange(self, self.client.mkd, text)
        except ftplib.error_perm:
            self._valid_reset()
            try:
                if self.exists and self.is_dir():
                    return
            except Exception:
                pass
            raise FileNotFoundError(f"Failed to create directory '{self.path}'.")

    @_retry
    def delete(self) -> None:
        text = _text(self)
        if self.is_dir():
            raise NotImplementedError("the model deletes files")
        _exchange(self, self.client.delete, text)

    @property
    @_retry
    def mtime(self) -> datetime.datetime:
        text = _text(self)
        try:
            if not self.exists:
                raise FileNotFoundError(f"'{self.path}' does not exist.")
            response = _exchange(self, self.client.sendcmd, "MDTM " + text)
            if not response.startswith("213"):
                raise TypeError(f"Cannot retrieve modification time for '{self.path}'. Response: {response}")
            seconds = response[4:].strip().split(".")[0]
            if len(seconds) != 14 or not seconds.isdigit() or not seconds.isascii():
                raise ValueError(f"time data {seconds!r} does not match format '%Y%m%d%H%M%S'")
            # strptime's result, made directly where the fields are a valid time
            try:
                parsed = datetime.datetime(int(seconds[0:4]), int(seconds[4:6]), int(seconds[6:8]),
                                           int(seconds[8:10]), int(seconds[10:12]), int(seconds[12:14]))
            except ValueError:
                parsed = datetime.datetime.strptime(seconds, "%Y%m%d%H%M%S")
            return parsed + _HOURS
        except ftplib.error_perm:
            self._valid_reset()
            raise TypeError(f"'{self.path}' could not retrieve modification time.")
