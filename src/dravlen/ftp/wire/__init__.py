"""The FTP protocol: every byte that comes from a server, and every data
connection, go through this package.  A server is untrusted input.

* `bounds`: what a server sends is read under bounds (a reply, a listing,
  each line, a size), and a bound passed ends the session (`ServerLimit`);
* `client`: the client class that reads so, commands sent together (one
  round trip), and data connections opened and ended at the fewest round
  trips;
* `transfer`: a path's transfer opened, a refusal worded, and the one rule
  that confirms a transfer;
* `dialects`: what a reply can be, and what a client learns of a server
  that answers otherwise; `replies`: how a reply or error is classed, and
  how FTP work is tried again; `names`: a path's text in a command, a name
  a listing may give; `codec`: names that are not valid text;
* `times`: MDTM and LIST times, moved to UTC; `listing`: the listing
  parsers and `list_dir`;
* `session`: a client connected, logged in, kept in step (`resync`),
  over TLS (`tls`); `proxy`: every connection through a SOCKS5 or HTTP
  CONNECT proxy; `streams`: a transfer read or written as a file.
"""

from dravlen.ftp.wire.bounds import Limits, ServerLimit

__all__ = ["Limits", "ServerLimit"]
