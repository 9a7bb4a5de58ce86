"""``python -m dravlen.ftp``, the same as the ``dravlen`` command: see `dravlen.ftp.cli`."""

from dravlen.ftp.cli import main

raise SystemExit(main())
