"""dravlen: path objects for files on remote servers.

`dravlen.base` holds what every backend shares, `dravlen.config` reads the
connection settings, and `dravlen.ftp.path.FTPPath` is the FTP backend.
Importing the package reads no configuration and opens no connection.
"""

__version__ = "0.1.0"
