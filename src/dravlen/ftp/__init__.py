"""The FTP backend of dravlen.

``dravlen.ftp.path.FTPPath`` is the compiled core; `RemotePath` is the class
users import: the core plus the everyday work built beside it.
"""

from dravlen.ftp.remote import RemotePath

__all__ = ["RemotePath"]
