"""Whole trees moved in linear time over several connections.

`upload_tree`, `download_tree` and `remove_tree` send what the task needs and
nothing more: each directory is made once (``MKD``) or read once (``MLSD``,
else ``LIST``), each file is sent once, and what an entry is comes from the
listing of its directory, never from a probe of its own.  The core's
``upload`` and ``delete`` ask about every parent before every file, which
costs a listing of the whole folder per file; here a folder of 3,000 files
costs one listing at most.

The destination becomes the copy of the source whether it exists or not, so
running the same call again moves only what is missing or differs.  The work
is shared by N connections (`pool`): the calling thread's own, and worker
threads that each log in, send ``QUIT`` and end before the call returns.  A
directory's contents are queued only once the directory is there (made, or
listed), so no command waits on another connection's.  A server that answers
``421`` because it has too many connections makes the operation go on with
fewer.

A file that fails is tried again (a lost connection, a ``4xx`` reply, a size
that does not match); a refusal (``5xx``) or a local error is final.  Either
way the rest goes on, and the operation then raises one `TreeError` naming
each path that failed and why.  Nothing counts as done before the server has
confirmed it: an upload's ``SIZE`` (asked in binary mode) must match the bytes
sent, a download's byte count must match the listed size (or ``SIZE`` where
the listing has none), and a download is written under a temporary name
beside its final one, renamed only once confirmed.  Ctrl-C stops the workers
at the next block or command, removes the remote files an upload was writing,
and raises `Interrupted`, which says how far it got.
"""

from __future__ import annotations

from dravlen.ftp.tree.download import download_tree
from dravlen.ftp.tree.remove import remove_tree
from dravlen.ftp.tree.results import Interrupted, Outcome, Progress, TreeError
from dravlen.ftp.tree.upload import upload_tree
from dravlen.ftp.tree.worker import BLOCK, DEFAULT_CONNECTIONS

__all__ = ["BLOCK", "DEFAULT_CONNECTIONS", "Interrupted", "Outcome", "Progress", "TreeError",
           "download_tree", "remove_tree", "upload_tree"]
