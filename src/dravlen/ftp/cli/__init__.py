"""The command line of the FTP backend: ``dravlen`` (or ``python -m dravlen.ftp``).

Every verb works through the public members of `RemotePath` (the core
`FTPPath` and the everyday members beside it), on the server of the
configuration section ``[ftp]`` (or the one ``--section`` names) of the file
``DRAVLEN_CONFIG`` names, on the server ``--url`` names, or on the one a path
given as an ``ftp://`` URL names.  Exit status: 0 done, 1 the operation failed
(one line ``dravlen: <path>: <reason>`` per failure on stderr), 2 a usage
error, 130 interrupted.

* `command`: the parser, `main` and `run` (the ``dravlen`` script);
* `verbs`: ``ls``, ``stat``, ``cat``, ``get``, ``mv``, ``put``, ``rm``,
  ``sync`` and ``mkdir``, each given its arguments;
* `trees`: whole trees moved by the tree engine for the verbs;
* `servers`: the server, credentials and wildcard matches of each path;
* `output`: names escaped for a terminal, reports, the progress bar;
* `errors`: the errors and their exit statuses.
"""

from __future__ import annotations

from dravlen.ftp.cli.command import main, run

__all__ = ["main", "run"]
