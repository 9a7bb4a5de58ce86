// Helpers shared by the member bodies: the path text, messages, the
// recurring `except ftplib.error_perm` shape, exchanges that must not leave a
// reply unread, and the probes of what a path is.
#pragma once
#include "names.hpp"
#include "runtime/function.hpp"
#include "runtime/scope.hpp"

namespace dravlen::op {

// A remote member's prepare step: self.path.as_posix(), refused when it holds
// a CR, LF or NUL (a line break would end the command line early and start
// another; servers cut a name at a NUL, or change it).
Ref checked_path_text(const Call& c);
// Finds, once at import, where pathlib's PurePosixPath keeps its text.
void bind_path_text(Borrowed pathlib);

// self.path.as_posix(): the text of FTP commands. For the member's own path
// the text checked before the body ran is used again.
Ref posix(const Call& c, Borrowed self);
// "word " + format(self.path.as_posix(), "")
Ref command(const Call& c, Borrowed word, Borrowed self);
// Raises type(prefix + str(self.path) + suffix).
[[noreturn]] void raise_about(Borrowed type, const char* prefix, Borrowed self, const char* suffix);
// Raises type(format % (str(self.path), detail)); format holds %U then %S.
[[noreturn]] void raise_about_with(Borrowed type, const char* format, Borrowed self, Borrowed detail);
// ftplib.error_perm, looked up at each use.
Ref error_perm(const Call& c);
// Whether an ftplib error's reply has this three-digit code, e.g. "550".
bool has_code(Borrowed error, const char* code);
// A 500 or 502 reply: the server does not know the command.
bool not_understood(Borrowed error);
// Sets an attribute on the client; a client that takes none keeps nothing
// (and just asks again next time).
void remember_value(Borrowed client, Borrowed name, Borrowed value);
inline void remember(Borrowed client, Borrowed flag) { remember_value(client, flag, Py_True); }

// try: body()
// except ftplib.error_perm as exc: return refused(exc)
// (anything else goes on). The server refused; its reply was read whole.
template <class Body, class Refused>
auto if_refused(const Call& c, Body&& body, Refused&& refused) -> decltype(body()) {
    return attempt(body, [&](Except& exc) -> decltype(body()) {
        if (!exc.matches(error_perm(c))) exc.reraise();
        return refused(exc);
    });
}

// The same, with self._valid_reset() first: the client is brought back in
// step before anything else is sent. _valid_reset reads the exception being
// handled (sys.exc_info(), which Except sets) to tell what may be pending.
template <class Body, class Refused>
auto if_refused_reset(const Call& c, Borrowed self, Body&& body, Refused&& refused) -> decltype(body()) {
    return if_refused(c, body, [&](Except& exc) -> decltype(body()) {
        call_method(self, N._valid_reset);
        return refused(exc);
    });
}

// Ends the thread's client's session, if it has one, with
// its session's end: QUIT written without waiting, then closed. A
// server left in a transfer whose data connection was cut ends its session
// on that QUIT (ProFTPD, without it, spins on in an abandoned NLST).
void hang_up(const Call& c, Borrowed self);

// Inside the handler of an exception that left an exchange with the server
// (a command, or a transfer on a data connection): unless it is the server's
// own error reply, read whole, a reply is still unread (a signal handler raised,
// Ctrl-C, a local read failed), so the thread's client is hung up and dropped
// rather than left to hand that stale reply to the next command.
void drop_if_open(const Call& c, Borrowed self, const Except& exc);

// Runs fn, a transfer, under drop_if_open.
template <class Fn>
auto transfer(const Call& c, Borrowed self, Fn&& fn) -> decltype(fn()) {
    return attempt(fn, [&](Except& exc) -> decltype(fn()) {
        drop_if_open(c, self, exc);
        exc.reraise();
    });
}

// f(arg) under drop_if_open: one command on the control connection, whose
// reply would be read by the next command if it was left unread.
inline Ref exchange(const Call& c, Borrowed self, Borrowed f, Borrowed arg) {
    return transfer(c, self, [&] { return call(f, arg); });
}
// The same, for a body of attempt()/if_refused(): a failure is an empty Ref
// with the exception set (a refusal is an ordinary answer, not worth a throw).
[[nodiscard]] Ref exchange_or_null(const Call& c, Borrowed self, Borrowed f, Borrowed arg);

// Whether the path text holds white space.
bool has_blank(Borrowed text);
// Whether the path text holds a character that some servers expand as a
// shell pattern in the argument of NLST, LIST or STAT.
bool has_wildcard(Borrowed text);

// The client's text encoding, for telling how many bytes a name takes.
Ref encoding_of(Borrowed client);

// The value of the fact `name` (lower case, with its "=", e.g. "modify=") in
// the path's MLST entry, as the server wrote it; nothing when the server has
// no MLST (remembered), refuses it for this path, or leaves the fact out.
Ref mlst_fact(const Call& c, Borrowed self, const char* name);

// The kind MLST gives for the path: the server's word for it ("dir",
// "file", "os.unix=symlink", ...) folded to lower case; None when the
// server has no MLST (remembered) or refuses it for this path.
Ref mlst_type(const Call& c, Borrowed self);

// Whether CWD into the path succeeds; the working directory is restored
// before this returns (the client is dropped where it cannot be). The
// server resolves the path literally: no pattern is expanded.
// With lines, the working directory's long listing ("LIST -a") is
// appended to it while there.
bool enters(const Call& c, Borrowed self, Borrowed lines);

// A download of the path was refused: whether that is because the path is a
// directory (a file the user may not read is refused too). MLST where the
// server has it, else CWD into the path and back.
bool refused_as_directory(const Call& c, Borrowed self);

// Checks that the server holds as many bytes of the path as were moved
// (read, write, upload); see helpers.cpp.
void check_size(const Call& c, Borrowed self, Py_ssize_t moved);

// Raises FileNotFoundError("'<path>' does not exist.") unless self.exists.
void require_exists(Borrowed self);

}  // namespace dravlen::op
