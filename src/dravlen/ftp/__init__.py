"""The FTP backend of dravlen: ``dravlen.ftp.path.FTPPath``."""
