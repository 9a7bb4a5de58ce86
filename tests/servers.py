"""Real FTP servers on loopback for the test-suite.

Four kinds are run, each on its own 127.0.0.x address so that a stray
connection can never reach the wrong one:

* pyftpdlib, in a child Python process (not a thread: code under test that
  holds the GIL while it waits on a socket would otherwise starve the server);
* vsftpd, ProFTPD and Pure-FTPd from Debian's packages, unpacked (not
  installed) by ``.ci/servers.sh`` into ``$DRAVLEN_SERVER_CACHE``.

Four older or plainer servers (`OLD_KINDS`, the ``old_server`` fixture, a
matrix of its own that the ``server`` fixture's tests do not run on):

* GNU inetutils ftpd (Debian's inetutils-ftpd, unpacked) and BusyBox's ftpd
  (built by ``.ci/servers.sh`` from Debian's busybox source, whose own
  binaries leave ftpd out) are inetd-style: `inetd` (tests/inetd.py) runs
  one per connection, with ``TZ`` set to a zone that is not UTC (`ZONES`),
  so that times they list in local time show it.  inetutils checks the
  password in /etc/shadow itself (no PAM) and starts the session in the
  account's home directory, so its ``root`` is best placed below that home
  (`Server.remote_root` is the path the client names it by); BusyBox
  checks it too, then chroots to ``root``;
* Twisted's and aioftp's servers, each in a child Python process.

Every server lets one ordinary user, ``USER`` with ``PASSWORD``, log in with
its start directory at ``Server.root`` (inetutils: see above).  The servers
from Debian (and BusyBox's) run that user's session as the local account
``USER``; ``root`` is handed to that account and given a default ACL, so
files and folders the tests create there as root stay writable and
deletable over FTP.

A server started with ``tls=`` (a `Certs`, see `make_certs`) requires
explicit TLS (``AUTH TLS``) for the login and for every data connection:

* pyftpdlib: its ``TLS_FTPHandler`` (needs pyOpenSSL);
* vsftpd: ``ssl_enable`` with its default ``require_ssl_reuse=YES`` (a data
  connection must resume the control connection's TLS session);
* ProFTPD: ``mod_tls`` from Debian's proftpd-mod-crypto, loaded from where
  ``.ci/servers.sh`` unpacked it; it too requires session reuse by default;
* Pure-FTPd: ``--tls=3`` with ``--certfile``.

pyftpdlib and vsftpd also start with ``implicit=True`` (TLS from the first
byte, before the greeting: vsftpd's ``implicit_ssl``, and for pyftpdlib a
handler that starts TLS as it accepts), and vsftpd with
``client_certs=True`` (a client certificate signed by the test CA
required: ``require_cert`` and ``validate_cert``).

A server that cannot be started raises ``ServerError`` with the tail of its
log: it is a failure, never a skip.  Only a run that asks for no servers
(``DRAVLEN_SERVERS=none``, as CI's build-only interpreter does) skips the
tests that would start one.
"""

from __future__ import annotations

import atexit
import ftplib
import os
import pwd
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import NamedTuple

import pytest

KINDS = ("pyftpdlib", "vsftpd", "proftpd", "pureftpd")
OLD_KINDS = ("inetutils", "busybox", "twisted", "aioftp")

ADDRESSES = {
    "pyftpdlib": "127.0.0.2",
    "vsftpd": "127.0.0.3",
    "proftpd": "127.0.0.4",
    "pureftpd": "127.0.0.5",
    "inetutils": "127.0.0.11",
    "busybox": "127.0.0.13",
    "twisted": "127.0.0.14",
    "aioftp": "127.0.0.15",
}

# The servers' clock zones (POSIX TZ strings: no tzdata needed, and good in
# BusyBox's chroot): UTC+9, UTC-5 and UTC+5:30.  The others run in the
# machine's own.
ZONES = {"inetutils": "JST-9", "busybox": "EST5", "aioftp": "IST-5:30"}

USER = "dravlenftp"
# No '%', ':' or spaces: it goes through INI files and server password files.
PASSWORD = "dravlen-Pw-7341"

START_TIMEOUT = 10.0  # seconds until a server must accept a login
IDLE_TIMEOUT = 900  # seconds a silent control connection is kept open
STOP_TIMEOUT = 5.0

CACHE = Path(
    os.environ.get("DRAVLEN_SERVER_CACHE")
    or Path.home() / ".cache" / "dravlen-ftp-servers"
)

# ProFTPD's TLS module, unpacked by .ci/servers.sh from proftpd-mod-crypto.
_PROFTPD_MODULES = CACHE / "proftpd-mod-crypto" / "usr" / "lib" / "proftpd"

# kind -> (package unpacked by .ci/servers.sh, its server binary)
_BINARIES = {
    "vsftpd": ("vsftpd", "usr/sbin/vsftpd"),
    "proftpd": ("proftpd-core", "usr/sbin/proftpd"),
    "pureftpd": ("pure-ftpd", "usr/sbin/pure-ftpd"),
    "inetutils": ("inetutils-ftpd", "usr/sbin/ftpd"),
    "busybox": ("busybox-ftpd", "bin/busybox"),
}

_PAM_SERVICE = "dravlen-ftp"
_PAM_FILE = Path("/etc/pam.d") / _PAM_SERVICE
_PAM_TEXT = (
    "# Written by the dravlen test-suite for its vsftpd: plain local accounts.\n"
    "auth     required pam_unix.so nodelay\n"
    "account  required pam_unix.so\n"
    "session  required pam_unix.so\n"
)


class ServerError(RuntimeError):
    """A server did not come up (or the machine lacks what it needs)."""


class Certs(NamedTuple):
    """A test CA, and a server and a client certificate it signed (PEM files)."""

    ca: Path  # the CA's certificate: what a client trusts
    cert: Path  # the server's certificate
    key: Path  # the server's private key
    combined: Path  # key and certificate in one file (Pure-FTPd)
    client_cert: Path  # a client certificate, for servers that require one
    client_key: Path  # its private key


#: An address of this process alone, for a server on a fixed port (implicit
#: FTPS's 990), which two test runs side by side would otherwise both want.
OWN_ADDRESS = f"127.99.{os.getpid() // 256 % 256}.{os.getpid() % 256}"


def make_certs(directory, hosts=(*ADDRESSES.values(), OWN_ADDRESS)) -> Certs:
    """Make a CA, a server certificate for ``hosts`` (IP addresses) and a
    client certificate in ``directory``."""
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "dravlen test CA")])
    ca = (
        x509.CertificateBuilder().subject_name(ca_name).issuer_name(ca_name)
        .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                     key_encipherment=False, data_encipherment=False,
                                     key_agreement=False, key_cert_sign=True, crl_sign=True,
                                     encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "dravlen test server")]))
        .issuer_name(ca_name).public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.SubjectAlternativeName(
            [x509.IPAddress(ipaddress.ip_address(h)) for h in hosts]), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    client_key = ec.generate_private_key(ec.SECP256R1())
    client = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "dravlen test client")]))
        .issuer_name(ca_name).public_key(client_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.CLIENT_AUTH]), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), critical=False)
        .sign(ca_key, hashes.SHA256())
    )
    pem = serialization.Encoding.PEM
    key_pem = key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    certs = Certs(directory / "ca.pem", directory / "server.pem", directory / "server.key",
                  directory / "server-combined.pem", directory / "client.pem", directory / "client.key")
    certs.ca.write_bytes(ca.public_bytes(pem))
    certs.cert.write_bytes(cert.public_bytes(pem))
    certs.key.write_bytes(key_pem)
    certs.combined.write_bytes(key_pem + cert.public_bytes(pem))
    certs.client_cert.write_bytes(client.public_bytes(pem))
    certs.client_key.write_bytes(
        client_key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    for path in certs:
        os.chmod(path, 0o644)  # servers read them after dropping privileges
    os.chmod(directory, 0o755)
    return certs


class Server:
    """One running FTP server; ``stop()`` ends it and everything it forked."""

    implicit = False  # TLS from the first byte (see `start`)
    client_certs = False  # a client certificate required

    def __init__(self, kind, host, port, root, process, workdir, log_files, certs=None):
        self.kind = kind
        self.certs = certs  # a Certs when the server requires TLS
        self.host = host
        self.port = port
        self.user = USER
        self.password = PASSWORD
        self.root = Path(root)
        # How the client names root: "" where the session starts in it.
        self.remote_root = ""
        self._process = process
        self._workdir = Path(workdir)
        self._log_files = [Path(p) for p in log_files]

    def __repr__(self):
        return f"<Server {self.kind} {self.host}:{self.port} root={self.root}>"

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def connect(self, timeout: float = 30.0) -> ftplib.FTP:
        """A logged-in ftplib client, in the start directory (over TLS if the server requires it)."""
        if self.certs is None:
            ftp = ftplib.FTP(timeout=timeout)
        else:
            import ssl

            # Only a check that the server is up: tests that name a wrong
            # host on purpose start servers too.
            context = ssl.create_default_context(cafile=str(self.certs.ca))
            context.check_hostname = False
            if self.client_certs:
                context.load_cert_chain(self.certs.client_cert, self.certs.client_key)
            ftp = (_ImplicitFTP if self.implicit else ftplib.FTP_TLS)(timeout=timeout, context=context)
        ftp.connect(self.host, self.port)
        try:
            ftp.login(self.user, self.password)
        except BaseException:
            ftp.close()
            raise
        return ftp

    def sessions(self) -> list[int]:
        """The live processes the server forked: one or two per session for
        the Debian servers; none for pyftpdlib, which serves in one process."""
        if self._process is None:
            return []
        return [pid for pid in _family(self._process.pid) if _alive(pid)]

    def log_tail(self, lines: int = 40) -> str:
        parts = []
        for path in self._log_files:
            try:
                text = path.read_text(errors="replace")
            except OSError:
                continue
            tail = text.splitlines()[-lines:]
            if tail:
                parts.append(f"--- {path.name} ---\n" + "\n".join(tail))
        return "\n".join(parts) or "(the server logged nothing)"

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        _running.discard(self)
        _end_process_tree(process)
        shutil.rmtree(self._workdir, ignore_errors=True)


class _ImplicitFTP(ftplib.FTP_TLS):
    """ftplib's TLS client, with TLS from the first byte."""

    def connect(self, host="", port=0, timeout=-999, source_address=None):
        self.host, self.port = host, port
        self.sock = self.context.wrap_socket(socket.create_connection((host, port), self.timeout),
                                             server_hostname=host)
        self.af = self.sock.family
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome


_running: set[Server] = set()


@atexit.register
def _stop_all() -> None:
    for server in list(_running):
        server.stop()


# --------------------------------------------------------------------------
# processes


def _processes() -> dict[int, tuple[int, int, bytes]]:
    """pid -> (parent pid, process group, state letter), from /proc."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name is in parentheses and may hold spaces.
        fields = stat[stat.rindex(b")") + 2 :].split()
        table[int(entry)] = (int(fields[1]), int(fields[2]), fields[0])
    return table


def _family(pid: int) -> list[int]:
    """Every process forked from ``pid`` or left in its process group."""
    table = _processes()
    found = {p for p, (_, pgid, _) in table.items() if pgid == pid and p != pid}
    todo = [pid, *found]
    while todo:
        parent = todo.pop()
        for p, (ppid, _, _) in table.items():
            if ppid == parent and p not in found and p != pid:
                found.add(p)
                todo.append(p)
    return sorted(found)


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(b")") + 2 :].split()[0] != b"Z"


def _signal(pid: int, sig: int) -> None:
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass


def _end_process_tree(process: subprocess.Popen) -> None:
    # Servers fork a process per session, and some of those leave the
    # server's process group, so the tree is collected before anything dies
    # and loses its parent.  (An orphan that dies is left to PID 1 to reap.)
    pids = [process.pid] + _family(process.pid)
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    for pid in pids:
        _signal(pid, signal.SIGTERM)
    try:
        process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        pass
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline and any(_alive(p) for p in pids[1:]):
        time.sleep(0.05)
    for pid in pids + _family(process.pid):
        if _alive(pid):
            _signal(pid, signal.SIGKILL)
    try:
        process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired as exc:  # pragma: no cover - kernel trouble
        raise ServerError(f"server process {process.pid} did not end") from exc
    deadline = time.monotonic() + STOP_TIMEOUT
    left = [pid for pid in pids if _alive(pid)]
    while left and time.monotonic() < deadline:
        time.sleep(0.02)
        left = [pid for pid in left if _alive(pid)]
    if left:
        raise ServerError(f"processes {left} of the server outlived stop()")


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


# --------------------------------------------------------------------------
# the local account the Debian servers run sessions as


_account_ready = False


def _ftp_account() -> pwd.struct_passwd:
    """Create ``USER`` if absent and give it ``PASSWORD``; return its entry.

    Several test runs may start servers at once, so a change is only made
    when needed, and a clash over the account files is tried again.
    """
    global _account_ready
    if not _account_ready:
        if not _exists(USER):
            _retry_locked(
                ["useradd", "--user-group", "--home-dir", f"/var/lib/{USER}",
                 "--create-home", "--shell", "/bin/sh",
                 "--comment", "dravlen FTP tests", USER],
                done=lambda: _exists(USER),
            )
        if not _password_is_set():
            _retry_locked(["chpasswd"], input=f"{USER}:{PASSWORD}\n",
                          done=_password_is_set)
        if not _PAM_FILE.exists() or _PAM_FILE.read_text() != _PAM_TEXT:
            fresh = _PAM_FILE.with_name(f".{_PAM_SERVICE}.{os.getpid()}")
            fresh.write_text(_PAM_TEXT)
            fresh.replace(_PAM_FILE)
        _account_ready = True
    return pwd.getpwnam(USER)


def _exists(user: str) -> bool:
    try:
        pwd.getpwnam(user)
    except KeyError:
        return False
    return True


def _password_is_set() -> bool:
    try:
        with open("/etc/shadow") as f:
            entry = next((line for line in f if line.startswith(USER + ":")), "")
    except OSError:
        return False
    hashed = entry.split(":")[1] if entry else ""
    return hashed.startswith("$") and _crypt(PASSWORD, hashed) == hashed


def _retry_locked(argv, input=None, done=lambda: False) -> None:
    """Run an account tool; if it fails, try again while another run holds
    the lock on /etc/passwd, unless the other run already did the work."""
    for attempt in range(20):
        try:
            _run(argv, input=input)
            return
        except ServerError:
            if done():
                return
            if attempt == 19:
                raise
            time.sleep(0.25)


def _run(argv, input=None, **kw):
    done = subprocess.run(argv, input=input, capture_output=True, text=True,
                          timeout=60, **kw)
    if done.returncode != 0:
        raise ServerError(
            f"{' '.join(map(str, argv))} failed ({done.returncode}):\n"
            f"{done.stdout}{done.stderr}"
        )
    return done


def _crypt(password: str, salt: str | None = None) -> str:
    """crypt(3) of ``password``: SHA-512 with a new salt, or with ``salt``'s."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            import crypt
        except ImportError:  # Python 3.13 dropped the module
            crypt = None
    if crypt is not None:
        return crypt.crypt(password, salt or crypt.mksalt(crypt.METHOD_SHA512))
    argv = ["openssl", "passwd", "-6", "-stdin"]
    if salt:
        argv[3:3] = ["-salt", salt.split("$")[2]]
    return _run(argv, input=password).stdout.strip()


# A default ACL on the home makes whatever root creates below it (the tests
# write files there directly) rwx for the FTP account too; the kernel keeps
# the entry on every file and folder made inside.  Written as the raw
# system.posix_acl_* attribute so that no ACL tools are needed.
_ACL_USER_OBJ, _ACL_USER, _ACL_GROUP_OBJ, _ACL_MASK, _ACL_OTHER = 1, 2, 4, 0x10, 0x20
_ACL_NO_ID = 0xFFFFFFFF


def _acl_blob(uid: int) -> bytes:
    entries = [
        (_ACL_USER_OBJ, 7, _ACL_NO_ID),
        (_ACL_USER, 7, uid),
        (_ACL_GROUP_OBJ, 5, _ACL_NO_ID),
        (_ACL_MASK, 7, _ACL_NO_ID),
        (_ACL_OTHER, 5, _ACL_NO_ID),
    ]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def _hand_over(root: Path, account: pwd.struct_passwd) -> None:
    root.mkdir(parents=True, exist_ok=True)
    blob = _acl_blob(account.pw_uid)
    for dirpath, dirnames, filenames in os.walk(root):
        os.chown(dirpath, account.pw_uid, account.pw_gid)
        os.setxattr(dirpath, "system.posix_acl_access", blob)
        os.setxattr(dirpath, "system.posix_acl_default", blob)
        for name in filenames:
            os.chown(os.path.join(dirpath, name), account.pw_uid, account.pw_gid,
                     follow_symlinks=False)
    # The account must be able to walk down to its home.
    for parent in root.resolve().parents:
        mode = parent.stat().st_mode
        if not mode & 0o001:
            raise ServerError(
                f"{parent} is not searchable by others; {USER} cannot reach {root}"
            )


# --------------------------------------------------------------------------
# per-kind launchers: each returns (argv, log files)


def _binary(kind: str) -> Path:
    package, rel = _BINARIES[kind]
    path = CACHE / package / rel
    if not os.access(path, os.X_OK):
        raise ServerError(
            f"{path} is missing: run `bash .ci/servers.sh` (as root) first"
        )
    return path


def _launch_pyftpdlib(host, port, root, work, certs=None, implicit=False):
    log = work / "pyftpdlib.log"
    argv = [sys.executable, os.path.abspath(__file__), "serve-pyftpdlib",
            host, str(port), str(root), USER, PASSWORD, str(IDLE_TIMEOUT)]
    if certs is not None:
        argv += [str(certs.cert), str(certs.key), "implicit" if implicit else "explicit"]
    return argv, [log]


def _serve_pyftpdlib(host, port, root, user, password, idle, certfile=None, keyfile=None, tls="explicit"):
    """Run pyftpdlib in this process until it is signalled (child side)."""
    import logging

    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import DTPHandler, FTPHandler
    from pyftpdlib.servers import FTPServer

    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    # e l r a d f m w M T: every read, write, delete, mkdir, rename,
    # chmod and mtime permission.
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    class Data(DTPHandler):
        timeout = int(idle)

    handler = FTPHandler
    if certfile:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        handler, DataBase = TLS_FTPHandler, TLS_DTPHandler

        class Data(DataBase):  # type: ignore[no-redef]
            timeout = int(idle)

    class Control(handler):
        timeout = int(idle)
        dtp_handler = Data
        auth_failed_timeout = 0  # tests try wrong passwords on purpose

    if certfile:
        Control.certfile = certfile
        Control.keyfile = keyfile
        Control.tls_control_required = True
        Control.tls_data_required = True

    if tls == "implicit":
        class Control(Control):  # type: ignore[no-redef]
            greeted = False

            def handle(self):
                # TLS first; the greeting once the handshake is done.
                self.secure_connection(self.ssl_context)

            def handle_ssl_established(self):
                if not self.greeted:
                    self.greeted = True
                    super().handle()

    Control.authorizer = authorizer
    FTPServer((host, int(port)), Control).serve_forever()


def _launch_vsftpd(host, port, root, work, certs=None, implicit=False, client_certs=False):
    _ftp_account()
    empty = work / "empty"  # vsftpd parks its pre-login process here
    empty.mkdir(mode=0o755)
    log = work / "vsftpd.log"
    conf = work / "vsftpd.conf"
    conf.write_text(
        "listen=YES\n"
        "listen_ipv6=NO\n"
        f"listen_address={host}\n"
        f"listen_port={port}\n"
        "background=NO\n"
        "anonymous_enable=NO\n"
        "local_enable=YES\n"
        "write_enable=YES\n"
        "local_umask=022\n"
        f"local_root={root}\n"
        "chroot_local_user=NO\n"
        f"pam_service_name={_PAM_SERVICE}\n"
        "userlist_enable=NO\n"
        "tcp_wrappers=NO\n"
        f"secure_chroot_dir={empty}\n"
        "nopriv_user=nobody\n"
        # No seccomp filter and no new namespaces: a sandboxed machine may
        # lack what they need, and the tests gain nothing from them.
        "seccomp_sandbox=NO\n"
        "isolate=NO\n"
        "isolate_network=NO\n"
        "pasv_enable=YES\n"
        "port_enable=YES\n"
        # Active-mode data from an ephemeral port: parallel sessions and
        # test runs then never contend for port 20.
        "connect_from_port_20=NO\n"
        f"idle_session_timeout={IDLE_TIMEOUT}\n"
        f"data_connection_timeout={IDLE_TIMEOUT}\n"
        "accept_timeout=120\n"
        "connect_timeout=120\n"
        "delay_failed_login=0\n"
        "max_per_ip=0\n"
        "max_clients=0\n"
        "xferlog_enable=YES\n"
        "log_ftp_protocol=YES\n"
        f"vsftpd_log_file={log}\n"
    )
    if certs is not None:
        with open(conf, "a") as f:
            f.write(
                "ssl_enable=YES\n"
                f"rsa_cert_file={certs.cert}\n"
                f"rsa_private_key_file={certs.key}\n"
                "force_local_logins_ssl=YES\n"
                "force_local_data_ssl=YES\n"
            )
            if implicit:
                f.write("implicit_ssl=YES\n")
            if client_certs:
                f.write(f"require_cert=YES\nvalidate_cert=YES\nca_certs_file={certs.ca}\n")
    os.chmod(conf, 0o600)
    return [str(_binary("vsftpd")), str(conf)], [log]


def _launch_proftpd(host, port, root, work, certs=None):
    account = _ftp_account()
    uid, gid = account.pw_uid, account.pw_gid
    passwd = work / "passwd"
    passwd.write_text(f"{USER}:{_crypt(PASSWORD)}:{uid}:{gid}::{root}:/bin/sh\n")
    group = work / "group"
    group.write_text(f"{USER}:x:{gid}:{USER}\n")
    os.chmod(passwd, 0o600)
    os.chmod(group, 0o600)
    log = work / "proftpd.log"
    conf = work / "proftpd.conf"
    conf.write_text(
        f"""\
ServerType standalone
ServerName "dravlen test ProFTPD"
ServerIdent on "dravlen test ProFTPD"
UseIPv6 off
DefaultAddress {host}
SocketBindTight on
Port {port}
User {USER}
Group {USER}
PidFile {work}/proftpd.pid
ScoreboardFile {work}/proftpd.scoreboard
DelayEngine off
SystemLog {log}
TransferLog {work}/xferlog
WtmpLog off
UseReverseDNS off
AuthOrder mod_auth_file.c
AuthUserFile {passwd}
AuthGroupFile {group}
AuthPAM off
RequireValidShell off
UseFtpUsers off
MaxInstances 50
Umask 022 022
AllowOverwrite on
TimeoutLogin 300
TimeoutIdle {IDLE_TIMEOUT}
TimeoutNoTransfer {IDLE_TIMEOUT}
TimeoutStalled {IDLE_TIMEOUT}
"""
    )
    if certs is not None:
        # mod_tls comes from Debian's proftpd-mod-crypto; like vsftpd it
        # requires data connections to resume the control session's TLS.
        module = _PROFTPD_MODULES / "mod_tls.so"
        if not module.exists():
            raise ServerError(f"{module} is missing: run `bash .ci/servers.sh` (as root) first")
        with open(conf, "a") as f:
            f.write(
                f"""\
ModulePath {_PROFTPD_MODULES}
LoadModule mod_tls.c
TLSEngine on
TLSRequired on
TLSRSACertificateFile {certs.cert}
TLSRSACertificateKeyFile {certs.key}
TLSLog {work}/tls.log
"""
            )
    os.chmod(conf, 0o600)
    argv = [str(_binary("proftpd")), "--nodaemon", "--config", str(conf)]
    return argv, [log]


def _launch_pureftpd(host, port, root, work, certs=None):
    account = _ftp_account()
    pure_pw = CACHE / "pure-ftpd" / "usr" / "bin" / "pure-pw"
    passwd, pdb = work / "pureftpd.passwd", work / "pureftpd.pdb"
    # The entry is written by hand rather than by `pure-pw useradd`: that one
    # hashes with argon2id at a cost that makes each login take seconds.  A
    # home without "/./" in it is the start directory, without a chroot.
    passwd.write_text(
        f"{USER}:{_crypt(PASSWORD)}:{account.pw_uid}:{account.pw_gid}::{root}"
        + ":" * 12 + "\n"
    )
    os.chmod(passwd, 0o600)
    _run([str(pure_pw), "mkdb", str(pdb), "-f", str(passwd)])
    argv = [
        str(_binary("pureftpd")),
        "--bind", f"{host},{port}",
        "--login", f"puredb:{pdb}",
        "--noanonymous",
        "--dontresolve",
        "--maxidletime", str(max(1, IDLE_TIMEOUT // 60)),  # minutes
        "--umask", "133:022",
        "--pidfile", str(work / "pure-ftpd.pid"),
        # Everything else it says goes to syslog, which may not be running.
        "--altlog", f"clf:{work}/transfer.log",
    ]
    if certs is not None:
        # 3: TLS for the login and for every data connection.
        argv += ["--tls", "3", "--certfile", str(certs.combined)]
    return argv, [work / "transfer.log"]


_INETD = Path(__file__).with_name("inetd.py")


def _plain_only(kind, certs):
    if certs is not None:
        raise ServerError(f"{kind} is only run without TLS here")


def _launch_inetutils(host, port, root, work, certs=None):
    _plain_only("inetutils", certs)
    _ftp_account()
    # No -a: the password is checked against /etc/shadow, not through PAM.
    argv = [sys.executable, str(_INETD), host, str(port), str(_binary("inetutils")),
            "--timeout", str(IDLE_TIMEOUT), "--max-timeout", str(IDLE_TIMEOUT)]
    return argv, []


def _launch_busybox(host, port, root, work, certs=None):
    _plain_only("busybox", certs)
    _ftp_account()
    # -w: the commands that write; -v: each command logged on stderr;
    # -t/-T: the idle and the whole session's time limits.
    argv = [sys.executable, str(_INETD), host, str(port), str(_binary("busybox")),
            "ftpd", "-w", "-v", "-t", str(IDLE_TIMEOUT), "-T", str(4 * IDLE_TIMEOUT), str(root)]
    return argv, []


def _launch_python(kind, host, port, root, certs):
    _plain_only(kind, certs)
    return [sys.executable, os.path.abspath(__file__), f"serve-{kind}",
            host, str(port), str(root), USER, PASSWORD, str(IDLE_TIMEOUT)], []


def _launch_twisted(host, port, root, work, certs=None):
    return _launch_python("twisted", host, port, root, certs)


def _launch_aioftp(host, port, root, work, certs=None):
    return _launch_python("aioftp", host, port, root, certs)


def _serve_twisted(host, port, root, user, password, idle):
    """Run Twisted's FTP server in this process until it is signalled (child side)."""
    from twisted.cred.checkers import InMemoryUsernamePasswordDatabaseDontUse
    from twisted.cred.portal import Portal
    from twisted.internet import reactor
    from twisted.protocols.ftp import FTP, BaseFTPRealm, FTPFactory
    from twisted.python import filepath, log

    class Realm(BaseFTPRealm):
        def getHomeDirectory(self, avatarId):
            return filepath.FilePath(root)

    class Protocol(FTP):
        def getDTPPort(self, factory, interface=""):
            # Passive data ports on the server's own address, not on all.
            return super().getDTPPort(factory, interface=interface or host)

    log.startLogging(sys.stderr)
    checker = InMemoryUsernamePasswordDatabaseDontUse()
    # The server hands on the name and password as text, not bytes.
    checker.addUser(user, password)
    factory = FTPFactory(Portal(Realm(root), [checker]))
    factory.protocol = Protocol
    factory.allowAnonymous = False
    factory.timeOut = int(idle)
    reactor.listenTCP(int(port), factory, interface=host)
    reactor.run()


def _serve_aioftp(host, port, root, user, password, idle):
    """Run aioftp's server in this process until it is signalled (child side)."""
    import asyncio
    import logging

    import aioftp

    logging.basicConfig(level=logging.INFO, stream=sys.stderr)
    everything = aioftp.Permission("/", readable=True, writable=True)
    users = [aioftp.User(user, password, base_path=root, permissions=[everything])]
    asyncio.run(aioftp.Server(users, idle_timeout=float(idle)).run(host, int(port)))


_LAUNCHERS = {
    "pyftpdlib": _launch_pyftpdlib,
    "vsftpd": _launch_vsftpd,
    "proftpd": _launch_proftpd,
    "pureftpd": _launch_pureftpd,
    "inetutils": _launch_inetutils,
    "busybox": _launch_busybox,
    "twisted": _launch_twisted,
    "aioftp": _launch_aioftp,
}

# Those that serve as the process's own user (root), in one process.
_IN_PYTHON = ("pyftpdlib", "twisted", "aioftp")


# --------------------------------------------------------------------------


def start(kind: str, root, host: str | None = None, port: int | None = None,
          certs: Certs | None = None, implicit: bool = False, client_certs: bool = False) -> Server:
    """Start a server of ``kind`` whose FTP user starts in ``root``; with
    ``certs``, one that requires TLS and presents ``certs.cert``, from the
    first byte with ``implicit`` (pyftpdlib, vsftpd), and requiring a client
    certificate signed by ``certs.ca`` with ``client_certs`` (vsftpd).

    Returns once a login has succeeded; raises ``ServerError`` (with the
    server's log) if that does not happen within ``START_TIMEOUT`` seconds.
    """
    if kind not in _LAUNCHERS:
        raise ValueError(f"unknown server kind {kind!r}; known: {KINDS + OLD_KINDS}")
    tls_options: dict[str, bool] = {}
    if implicit or client_certs:
        if certs is None or (implicit and kind not in ("pyftpdlib", "vsftpd")) or (
                client_certs and kind != "vsftpd"):
            raise ValueError(f"{kind} is not started with implicit={implicit}, client_certs={client_certs}"
                             f" and certs={certs}")
        tls_options = {"implicit": implicit, **({"client_certs": True} if client_certs else {})}
    _skip_when_no_servers()
    host = host or ADDRESSES[kind]
    root = Path(root).resolve()
    if kind in _IN_PYTHON:
        root.mkdir(parents=True, exist_ok=True)
    else:
        _hand_over(root, _ftp_account())
    work = Path(tempfile.mkdtemp(prefix=f"dravlen-{kind}-conf-"))
    os.chmod(work, 0o755)
    try:
        port = port or _free_port(host)
        argv, logs = _LAUNCHERS[kind](host, port, root, work, certs, **tls_options)
        console = work / "console.log"
        with open(console, "wb") as out:
            # vsftpd writes its fatal "500 OOPS" to descriptor 0, where an
            # inetd would have put the client.
            stdin = out if kind == "vsftpd" else subprocess.DEVNULL
            env = dict(os.environ, TZ=ZONES[kind]) if kind in ZONES else None
            process = subprocess.Popen(
                argv, stdin=stdin, stdout=out, stderr=subprocess.STDOUT,
                cwd=work, start_new_session=True, env=env,
            )
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise
    server = Server(kind, host, port, root, process, work, [console, *logs], certs)
    server.implicit, server.client_certs = implicit, client_certs
    if kind == "inetutils":  # its sessions start in the account's home
        start_dir = Path(_ftp_account().pw_dir).resolve()
        server.remote_root = (root.relative_to(start_dir).as_posix()
                              if root.is_relative_to(start_dir) else str(root))
    _running.add(server)
    try:
        _wait_for_login(server)
    except BaseException:
        server.stop()
        raise
    return server


def _skip_when_no_servers() -> None:
    if os.environ.get("DRAVLEN_SERVERS") == "none":
        pytest.skip("this run starts no FTP server (DRAVLEN_SERVERS=none)")


def _wait_for_login(server: Server) -> None:
    deadline = time.monotonic() + START_TIMEOUT
    last = None
    while time.monotonic() < deadline:
        if not server.running:
            code = server._process.returncode
            raise ServerError(
                f"{server.kind} exited with status {code} while starting on "
                f"{server.host}:{server.port}\n{server.log_tail()}"
            )
        try:
            ftp = server.connect(timeout=2)
        except (OSError, EOFError, ftplib.Error) as exc:
            last = exc
            time.sleep(0.05)
            continue
        try:
            ftp.quit()
        except (OSError, EOFError, ftplib.Error):
            ftp.close()
        return
    raise ServerError(
        f"{server.kind} on {server.host}:{server.port} accepted no login within "
        f"{START_TIMEOUT:g} s (last error: {last!r})\n{server.log_tail()}"
    )


# --------------------------------------------------------------------------
# configuration files for the package under test


def _ini_value(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def ini_section(server: Server, name: str, **extra) -> str:
    """The INI text of a connection section named ``name`` for ``server``.

    ``extra`` adds options or overrides the defaults (e.g. ``pasv=False``).
    """
    options = {
        "host": server.host,
        "port": server.port,
        "user": server.user,
        "password": server.password,
        "timeout": 30,
        "pasv": True,
        "encoding": "utf-8",
    }
    if server.certs is not None:
        options.update(tls=True, cafile=server.certs.ca)
    options.update(extra)
    body = "".join(f"{key} = {_ini_value(value)}\n" for key, value in options.items())
    return f"[{name}]\n{body}"


def make_config(server: Server, path, name: str | None = None, **extra) -> str:
    """Append a section for ``server`` to the INI file ``path``.

    Returns the section name (the server's kind unless ``name`` is given),
    i.e. what a test names as its connection after pointing
    ``DRAVLEN_CONFIG`` at ``path``.
    """
    name = name or server.kind
    path = Path(path)
    text = ini_section(server, name, **extra)
    if path.exists() and path.stat().st_size:
        text = "\n" + text
    with open(path, "a", encoding="utf-8") as f:
        f.write(text)
    return name


# --------------------------------------------------------------------------
# pytest fixtures


class Home(NamedTuple):
    """A test's own folder: on disk, and as the FTP client names it."""

    path: Path
    remote: str


@pytest.fixture(scope="session", params=KINDS, ids=KINDS)
def server(request):
    base = Path(tempfile.mkdtemp(prefix=f"dravlen-{request.param}-"))
    os.chmod(base, 0o755)  # the FTP account walks through it
    srv = None
    try:
        srv = start(request.param, base / "home")
        yield srv
    finally:
        if srv is not None:
            srv.stop()
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """A CA and a certificate for every server address, made for this run."""
    return make_certs(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="session", params=KINDS, ids=[f"{k}-tls" for k in KINDS])
def tls_server(request, certs):
    """A server of each kind that requires TLS for the login and all data."""
    base = Path(tempfile.mkdtemp(prefix=f"dravlen-{request.param}-tls-"))
    os.chmod(base, 0o755)
    srv = None
    try:
        srv = start(request.param, base / "home", certs=certs)
        yield srv
    finally:
        if srv is not None:
            srv.stop()
        shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="session", params=OLD_KINDS, ids=OLD_KINDS)
def old_server(request):
    """A server of each of `OLD_KINDS`: a matrix apart from ``server``'s."""
    kind = request.param
    _skip_when_no_servers()  # before the account is made
    # inetutils starts a session in the account's home: its root goes there,
    # so that the client names it by a relative path as on the others.
    where = _ftp_account().pw_dir if kind == "inetutils" else None
    base = Path(tempfile.mkdtemp(prefix=f"dravlen-{kind}-", dir=where))
    os.chmod(base, 0o755)  # the FTP account walks through it
    srv = None
    try:
        srv = start(kind, base / "home")
        yield srv
    finally:
        if srv is not None:
            srv.stop()
        shutil.rmtree(base, ignore_errors=True)


_home_counter = 0


def _own_folder(server, request):
    global _home_counter
    _home_counter += 1
    stem = re.sub(r"[^A-Za-z0-9_]+", "_", request.node.name)[:60].strip("_")
    name = f"{stem}-{_home_counter}"
    path = server.root / name
    path.mkdir()
    return Home(path, f"{server.remote_root}/{name}" if server.remote_root else name)


@pytest.fixture
def home(server, request):
    """A fresh empty folder in the server's start directory for one test."""
    folder = _own_folder(server, request)
    yield folder
    shutil.rmtree(folder.path, ignore_errors=True)


@pytest.fixture
def old_home(old_server, request):
    """`home` for ``old_server``: a fresh empty folder below its root."""
    folder = _own_folder(old_server, request)
    yield folder
    shutil.rmtree(folder.path, ignore_errors=True)


_SERVE = {"serve-pyftpdlib": _serve_pyftpdlib, "serve-twisted": _serve_twisted,
          "serve-aioftp": _serve_aioftp}

if __name__ == "__main__" and sys.argv[1:2] and sys.argv[1] in _SERVE:
    _SERVE[sys.argv[1]](*sys.argv[2:])
