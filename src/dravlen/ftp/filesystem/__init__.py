"""The fsspec filesystem over the FTP package: `FTPFileSystem` (protocol
``dftp``) and `FTPSFileSystem` (``ftps``) in `fs`, their open files in
`files`, the gate of connections per server and process in `gate`, and the
universal-pathlib class in `universal`."""

from dravlen.ftp.filesystem.fs import FTPFileSystem, FTPSFileSystem, PassedOver, RestRefused, take_over_ftp

__all__ = ["FTPFileSystem", "FTPSFileSystem", "PassedOver", "RestRefused", "take_over_ftp"]
