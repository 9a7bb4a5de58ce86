// Attribute names and fixed texts of the FTP members, interned once when the
// module is imported.
#pragma once
#include "runtime/ref.hpp"

namespace dravlen {

// X(field, text)
#define DRAVLEN_NAMES(X)                         \
    X(Any, "Any")                                \
    X(BasePath, "BasePath")                      \
    X(BytesIO, "BytesIO")                        \
    X(EnvConfig, "EnvConfig")                    \
    X(FTP, "FTP")                                \
    X(FTPPath, "FTPPath")                        \
    X(Generator, "Generator")                    \
    X(Local, "Local")                            \
    X(Optional, "Optional")                      \
    X(Path, "Path")                              \
    X(__annotations__, "__annotations__")        \
    X(__enter__, "__enter__")                    \
    X(__exit__, "__exit__")                      \
    X(__module__, "__module__")                  \
    X(__qualname__, "__qualname__")              \
    X(_creator, "_creator")                      \
    X(_session, "_session")                      \
    X(confirm, "confirm")                        \
    X(end, "end")                                \
    X(_str, "_str")                              \
    X(PurePosixPath, "PurePosixPath")            \
    X(_key_on_thread, "_key_on_thread")          \
    X(_read_config, "_read_config")              \
    X(_section, "_section")                      \
    X(_valid_reset, "_valid_reset")              \
    X(append, "append")                          \
    X(as_posix, "as_posix")                      \
    X(blocksize, "blocksize")                    \
    X(client, "client")                          \
    X(datetime, "datetime")                      \
    X(delattr, "delattr")                        \
    X(delete_, "delete")                         \
    X(error_perm, "error_perm")                  \
    X(error_reply, "error_reply")                \
    X(error_temp, "error_temp")                  \
    X(exists, "exists")                          \
    X(fnmatch, "fnmatch")                        \
    X(ftp, "ftp")                                \
    X(ftplib, "ftplib")                          \
    X(getboolean, "getboolean")                  \
    X(glob, "glob")                              \
    X(has_option, "has_option")                  \
    X(hours, "hours")                            \
    X(init_configer, "init_configer")            \
    X(interrupt, "interrupt")                    \
    X(io, "io")                                  \
    X(is_dir, "is_dir")                          \
    X(item_name, "name")                         \
    X(iterdir, "iterdir")                        \
    X(join, "join")                              \
    X(maxsplit, "maxsplit")                      \
    X(mkd, "mkd")                                \
    X(mkdir, "mkdir")                            \
    X(nlst, "nlst")                              \
    X(open, "open")                              \
    X(parent, "parent")                          \
    X(pasv, "pasv")                              \
    X(path, "path")                              \
    X(pathlib, "pathlib")                        \
    X(property, "property")                      \
    X(rb, "rb")                                  \
    X(retrbinary, "retrbinary")                  \
    X(retrlines, "retrlines")                    \
    X(retry, "retry")                            \
    X(rmd, "rmd")                                \
    X(sendcmd, "sendcmd")                        \
    X(set_pasv, "set_pasv")                      \
    X(setattr, "setattr")                        \
    X(split, "split")                            \
    X(splitlines, "splitlines")                  \
    X(startswith, "startswith")                  \
    X(storbinary, "storbinary")                  \
    X(strip, "strip")                            \
    X(strptime, "strptime")                      \
    X(tell, "tell")                              \
    X(timedelta, "timedelta")                    \
    X(upload, "upload")                          \
    X(text_dot, ".")                             \
    X(text_dotdot, "..")                         \
    X(text_slash, "/")                           \
    X(text_empty, "")                            \
    X(text_213, "213")                           \
    X(text_arrow, " -> ")                        \
    X(text_mdtm_format, "%Y%m%d%H%M%S")          \
    X(cmd_RETR, "RETR ")                         \
    X(cmd_STOR, "STOR ")                         \
    X(cmd_LIST, "LIST ")                         \
    X(cmd_MDTM, "MDTM ")                         \
    X(cmd_MLST, "MLST ")                         \
    X(cmd_STAT, "STAT ")                         \
    X(no_mlst, "_dravlen_no_mlst")               \
    X(no_stat, "_dravlen_no_stat")               \
    X(plain_list, "_dravlen_plain_list")         \
    X(cmd_LIST_all, "LIST -a ")                  \
    X(cmd_MLSD, "MLSD ")                         \
    X(no_mlsd, "_dravlen_no_mlsd")               \
    X(_drop_client, "_drop_client")              \
    X(encoding, "encoding")                      \
    X(parse257, "parse257")                      \
    X(absolute, "absolute")                      \
    X(parents, "parents")                        \
    X(stat, "stat")                              \
    X(st_dev, "st_dev")                          \
    X(st_ino, "st_ino")                          \
    X(surrogateescape, "surrogateescape")        \
    X(home_dir, "_dravlen_home")                 \
    X(cmd_CWD, "CWD ")                           \
    X(cmd_PWD, "PWD")                            \
    X(cmd_LIST_here, "LIST -a")                  \
    X(text_utf8, "utf-8")                        \
    X(Error, "Error")                            \
    X(lower, "lower")                            \
    X(encode, "encode")                          \
    X(cmd_LIST_bare, "LIST")

// A long-listing line is cut into at most nine fields (str.split(maxsplit=8)).
inline constexpr int kListingCuts = 8;
// MDTM's time is taken to be this many hours behind.
inline constexpr int kServerClockHours = 8;

struct Names {
#define DRAVLEN_FIELD(field, text) PyObject* field;
    DRAVLEN_NAMES(DRAVLEN_FIELD)
#undef DRAVLEN_FIELD
    PyObject* kw_blocksize;  // ("blocksize",)
    PyObject* kw_maxsplit;   // ("maxsplit",)
    PyObject* kw_hours;      // ("hours",)
    PyObject* empty_bytes;
    PyObject* empty_tuple;
    PyObject* int_one;
    PyObject* listing_cuts;        // kListingCuts
    PyObject* server_clock_hours;  // kServerClockHours
    PyObject* interrupted;        // the message of interrupt()'s InterruptedError
};

// Filled once by intern_names(); read-only afterwards.
extern Names N;
void intern_names();

}  // namespace dravlen
