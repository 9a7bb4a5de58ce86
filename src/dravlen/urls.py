"""URL text that any backend meets: telling a URL from a path, and showing
one without its password."""

from __future__ import annotations

import re

__all__ = ["URL", "hide_password", "is_url"]

# A URL's start: a scheme, then "://".
URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def is_url(text: str) -> bool:
    """Whether *text* begins with a scheme and "://"."""
    return "://" in text and URL.match(text) is not None


def hide_password(url: str) -> str:
    """*url* with the password of its user part, if any, shown as ``***``."""
    match = URL.match(url)
    if not match:
        return url
    rest = url[match.end():]
    authority_end = len(rest)
    for stop in "/?#":
        found = rest.find(stop)
        if found != -1:
            authority_end = min(authority_end, found)
    if "@" not in rest[:authority_end] and ":" in rest[:authority_end] and "@" in rest[authority_end:]:
        # A password holding an unescaped "/", "?" or "#" ends the host part
        # early: all up to the last "@" may be the password.
        authority_end = rest.rindex("@")
        return url[:match.end()] + rest[:rest.index(":")] + ":***" + rest[authority_end:]
    authority = rest[:authority_end]
    userinfo, at, hostport = authority.rpartition("@")
    if at and ":" in userinfo:
        authority = userinfo.split(":", 1)[0] + ":***@" + hostport
    return url[:match.end()] + authority + rest[authority_end:]
