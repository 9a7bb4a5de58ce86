"""``python -m dravlen.ftp``: see `dravlen.ftp.cli`."""

from dravlen.ftp.cli import main

raise SystemExit(main())
