"""The text a path may carry in a command, and a name a listing may give.
The core applies the same two rules in C++."""

from __future__ import annotations

from typing import Any

# -- path text ------------------------------------------------------------

def command_text(path: Any) -> str:
    """The path's text as it goes in a command.  A CR or LF would end the
    command line early and start another, and servers cut a name at a NUL:
    the first such character is a ValueError, in the core's words."""
    text: str = path.path.as_posix()
    for char in text:
        if char in "\r\n":
            what = "a line break"
        elif char == "\0":
            what = "a NUL character"
        else:
            continue
        raise ValueError(f"Remote path {text!r} holds {what}, which an FTP command cannot carry")
    return text


def child_name(name: str) -> bool:
    """Whether a name a server lists can be one entry of the listed folder:
    one path component, so not empty, not ``.`` or ``..``, and holding no
    ``/``, NUL, CR or LF.  Anything else would name something outside the
    folder (or another command): it names no entry, and is never joined or
    acted on.  The core applies the same rule."""
    return name not in ("", ".", "..") and not any(char in name for char in "/\0\r\n")
