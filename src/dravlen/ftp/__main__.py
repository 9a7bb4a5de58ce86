"""``python -m dravlen.ftp``, the same as the ``dravlen`` command: see `dravlen.ftp.cli`."""

from __future__ import annotations

from dravlen.ftp.cli import main

raise SystemExit(main())
