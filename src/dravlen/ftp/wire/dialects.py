"""What a server's reply can be, read by what it says: the opening of a
transfer (a completion with no 1xx is a transfer of nothing), the positive
replies a command can have (another one was sent for another command), and
what a client learns of a server that answers otherwise.  The wire
(`dravlen.ftp.wire`) applies them."""

from __future__ import annotations

import ftplib
from typing import Any

__all__ = ["COMPLETIONS", "DATA_FIRST", "ENDED_AT_ONCE", "FEATURES", "ONE_BY_ONE", "TRANSFER_WORDS", "features",
           "one_session_in_active_mode", "opening", "out_of_turn", "waits_out_transfers", "word"]


#: Commands that open a transfer: answered 1xx, closed after the data.
TRANSFER_WORDS = frozenset({"RETR", "STOR", "STOU", "APPE", "LIST", "NLST", "MLSD"})

#: Replies that close a transfer.
COMPLETIONS = frozenset({"225", "226", "250"})

#: Set on a client after each transfer command: whether the server answered
#: it with its completion and no 1xx (a transfer of nothing).
ENDED_AT_ONCE = "_dravlen_ended_at_once"

#: Learnt on a client: its server answers commands sent together in another
#: order (aioftp runs them at once): from then on they go one at a time.
ONE_BY_ONE = "_dravlen_one_by_one"

#: Learnt on a client: its server reads no command after PASV until the data
#: connection is made (Twisted): it is then made before the next reply is awaited.
DATA_FIRST = "_dravlen_data_first"

#: The greeting of a server whose session reads no command while a transfer
#: runs (vsftpd: one process per session, reading its control connection
#: only between commands), unless its administrator changed the greeting.
_WAITS_OUT_TRANSFERS = ("220 (vsFTPd ",)


def waits_out_transfers(client: Any) -> bool:
    """Whether *client*'s server reads a command sent during an upload only
    once the transfer has ended, so that the file's confirmation (and the
    next PASV) may go before the transfer's closing reply.  Elsewhere a
    command then may be read at once (pyftpdlib's PASV closes the data
    connection still being read), so it waits for that reply."""
    welcome = getattr(client, "welcome", None)
    return isinstance(welcome, str) and welcome.startswith(_WAITS_OUT_TRANSFERS)


#: The greeting of a server that loses other sessions' sockets in active
#: mode (pyftpdlib, 2.2.0 and before): it keeps the connector of each active
#: data connection made and, at the session's next PORT, EPRT, PASV, USER or
#: QUIT, takes that connection's socket number out of its poller, though the
#: number may by then be another session's control or data socket, which it
#: then never reads again (until a 30 s timeout, its or the client's).
_LOSES_SESSIONS_IN_ACTIVE_MODE = ("220 pyftpdlib ",)


def one_session_in_active_mode(client: Any) -> bool:
    """Whether *client* is in active mode on a server whose active data
    connections break its other sessions (see above): work over several
    connections then takes one."""
    welcome = getattr(client, "welcome", None)
    return (not getattr(client, "passiveserver", True) and isinstance(welcome, str)
            and welcome.startswith(_LOSES_SESSIONS_IN_ACTIVE_MODE))


#: The positive replies each command can have: another positive reply read
#: for it was sent for another command.
_ANSWERS = {"TYPE": ("200",), "PASV": ("227",), "EPSV": ("229",), "REST": ("350",), "SIZE": ("213",),
            "MDTM": ("213",), "MKD": ("257", "250"), "CWD": ("250", "200"), "PWD": ("257",),
            "FEAT": ("211",), "HASH": ("213",), "XSHA512": ("250", "213"), "XSHA256": ("250", "213"),
            "XSHA1": ("250", "213"), "XMD5": ("250", "213"), "XCRC": ("250", "213")}

#: What `opening` hands ftplib for a transfer that ended at once (its
#: completion, read, is handed back to be read as the closing reply).
_AT_ONCE = "125 The transfer ended at once: nothing to move"


def word(command: str) -> str:
    return command.partition(" ")[0].upper()


def opening(client: Any, reply: str) -> str:
    """The opening reply of a transfer command, *reply* being the first read
    for it.  A ``200`` first is passed over (some servers say it before
    their 150), as ftplib does.  A completion (225, 226, 250) with no 1xx is
    a transfer that moved nothing (Twisted answers NLST of a missing path
    so): it is handed back to be read as the transfer's closing reply, and a
    1xx of the wire's own is given in its place, so that no reply is waited
    for that will not come."""
    if reply[:3] == "200":
        reply = client.getresp()
    # The reply is handed back to the wire's reader (`ReplyReader.unread`).
    reader = client.file
    at_once = reply[:3] in COMPLETIONS and hasattr(reader, "unread")
    setattr(client, ENDED_AT_ONCE, at_once)
    if not at_once:
        return reply
    reader.unread(reply)
    return _AT_ONCE


def out_of_turn(command: str, reply: str | ftplib.Error) -> bool:
    """Whether *reply* cannot be the answer to *command*: a positive reply of
    another kind than the command has (a refusal could be any command's)."""
    if not isinstance(reply, str):
        return False
    expected = _ANSWERS.get(word(command))
    return expected is not None and reply[:3] not in expected


# -- what a client has learnt about its server ---------------------------
# Set as attributes on the ftplib client, so that they go with it when it is
# replaced; the core reads and sets the same names.

#: The server does not know MLST.
NO_MLST = "_dravlen_no_mlst"
#: The server does not know MLSD.
NO_MLSD = "_dravlen_no_mlsd"
#: The server takes "LIST -a" for a path: list without options.
PLAIN_LIST = "_dravlen_plain_list"
#: The login directory, as PWD gave it.
HOME = "_dravlen_home"

CAPABILITIES = (NO_MLST, NO_MLSD, PLAIN_LIST, HOME)

#: The server does not know MFMT (setting a modification time): learnt and
#: read in Python only (touch(), sync); the core never sets a time.
NO_MFMT = "_dravlen_no_mfmt"
#: The server does not know MDTM: no exact time is asked of it again.
NO_MDTM = "_dravlen_no_mdtm"
#: The zone of the server's LIST times: a ``(tzinfo, learnt)`` pair, set
#: from the section's ``timezone`` or learnt from one file's MDTM, or
#: `UNKNOWN_ZONE` where it cannot be learnt.
LIST_ZONE = "_dravlen_list_zone"
UNKNOWN_ZONE = (None, False)
#: Learnt on a client: its server's RETR opening reply tells the file's size
#: ("150 ... (N bytes)", vsftpd and ProFTPD do), and told what SIZE did.
SIZE_ON_OPENING = "_dravlen_size_on_opening"

#: Learnt on a client: what its server's ``FEAT`` announces, a mapping of
#: each feature's word (upper case) to the rest of its line; empty where the
#: server has no FEAT.  Asked once per connection, on first need (`features`).
FEATURES = "_dravlen_features"

#: Features kept of one FEAT reply, at most: a reply is bounded already
#: (`dravlen.ftp.wire.bounds.Limits.reply`); this bounds what is held.
_MOST_FEATURES = 200


def features(client: Any) -> dict[str, str]:
    """What the server of *client* announces in ``FEAT`` (RFC 2389): each
    feature line's first word, upper case, and the rest of the line.  Asked
    once per connection and remembered (`FEATURES`); a server that refuses
    FEAT announces nothing.  A passing refusal (4xx) is raised, learning
    nothing, so that it is asked again."""
    known = getattr(client, FEATURES, None)
    if known is not None:
        return known  # type: ignore[no-any-return]
    try:
        reply = client.sendcmd("FEAT")
    except ftplib.error_perm:
        reply = ""
    found: dict[str, str] = {}
    if reply[:3] == "211":
        for line in reply.split("\n")[1:-1]:
            # A feature line begins with a blank (RFC 2389); some servers
            # leave it out, and no feature word starts with the reply code.
            name, _, rest = line.strip().partition(" ")
            if name and not name[:3].isdigit() and len(found) < _MOST_FEATURES:
                found.setdefault(name.upper(), rest.strip())
    setattr(client, FEATURES, found)
    return found
