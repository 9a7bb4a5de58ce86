// The members of FTPPath and the module function, grouped by concern:
// client.cpp (making the thread's client), queries.cpp (existence, kind,
// modification time), transfer.cpp (read, write, upload) and namespace.cpp
// (glob, mkdir, delete).
#pragma once
#include "errors.hpp"
#include "function.hpp"

namespace dravlen {

extern const FunctionSpec interrupt_spec;
extern const FunctionSpec reset_spec;
extern const FunctionSpec exists_spec;
extern const FunctionSpec is_dir_spec;
extern const FunctionSpec read_spec;
extern const FunctionSpec write_spec;
extern const FunctionSpec upload_spec;
extern const FunctionSpec delete_spec;
extern const FunctionSpec mkdir_spec;
extern const FunctionSpec glob_spec;
extern const FunctionSpec mtime_spec;

// Helpers shared by the member bodies.
namespace op {

constexpr Param self_param{"self", nullptr, nullptr};

// self.path.as_posix(): the text of FTP commands.
Ref posix(PyObject* self);
// "word " + format(self.path.as_posix(), "")
Ref command(PyObject* word, PyObject* self);
// Raises type(prefix + str(self.path) + suffix).
[[noreturn]] void raise_about(PyObject* type, const char* prefix, PyObject* self, const char* suffix);
// ftplib.error_perm, looked up at each use.
Ref error_perm(const Call& c);
// Whether an ftplib error's reply has this three-digit code, e.g. "550".
bool has_code(PyObject* error, const char* code);
// A 500 or 502 reply: the server does not know the command.
bool not_understood(PyObject* error);
// Remembers on the client what its server does not understand; a client
// that takes no attributes just asks again next time.
void remember(PyObject* client, PyObject* flag);
// self._valid_reset(), result ignored.
void valid_reset(PyObject* self);

// Inside the handler of an exception that left an exchange with the server
// (a command, or a transfer on a data connection): unless it is the server's
// own error reply, read whole, a reply is still unread (a signal handler raised,
// Ctrl-C, a local read failed), so the thread's client is dropped rather
// than left to hand that stale reply to the next command.
void drop_if_open(const Call& c, PyObject* self, const Except& exc);

// Runs fn, a transfer, under drop_if_open.
template <class Fn>
auto transfer(const Call& c, PyObject* self, Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (PyErrorSet&) {
        Except exc;
        drop_if_open(c, self, exc);
        exc.reraise();
    }
}

// An entry of a long listing ("ls -l" lines).
struct Listed {
    Ref name;  // as listed, leading blanks kept; nothing for no entry, ".", ".."
    bool link = false;
    // A link line "a -> b -> c" whose target length did not tell where the
    // name ends: name holds the whole text and the line is nobody's entry.
    bool ambiguous = false;
    // Whether this line could be the entry named own.
    bool names(PyObject* own) const;
};
// The entry of one long-listing line. The name begins after the one blank
// that follows the time (or year) column, so blanks it begins with are kept;
// a link's name ends at the " -> " after which the target takes exactly as
// many bytes, in encoding, as the size column says.
Listed long_entry(PyObject* line, PyObject* encoding);

// Appends the lines of the long listing of the path (or, with here, of the
// working directory) to data. Most servers hide names that begin with a dot
// unless asked with "-a"; one that takes "-a" for part of the path refuses
// it and is asked plainly (remembered).
void long_listing(const Call& c, PyObject* self, PyObject* data, bool here);

// Whether the path text holds white space.
bool has_blank(PyObject* text);

// f(arg) under drop_if_open: one command on the control connection, whose
// reply would be read by the next command if it was left unread.
inline Ref exchange(const Call& c, PyObject* self, PyObject* f, PyObject* arg) {
    return transfer(c, self, [&] { return call(f, arg); });
}

// Whether the path text holds a character that some servers expand as a
// shell pattern in the argument of NLST, LIST or STAT.
bool has_wildcard(PyObject* text);

// The client's text encoding, for telling how many bytes a name takes.
Ref encoding_of(PyObject* client);

// The kind MLST gives for the path: the server's word for it ("dir",
// "file", "os.unix=symlink", ...) folded to lower case; None when the
// server has no MLST (remembered) or refuses it for this path.
Ref mlst_type(const Call& c, PyObject* self);

// Whether CWD into the path succeeds; the working directory is restored
// before this returns (the client is dropped where it cannot be). The
// server resolves the path literally: no pattern is expanded.
// With lines, the working directory's long listing ("LIST -a") is
// appended to it while there.
bool enters(const Call& c, PyObject* self, PyObject* lines);
// CWD back to home after enters(); where that fails the client is dropped.
void leave(const Call& c, PyObject* self, PyObject* sendcmd, PyObject* home);
// Sets an attribute on the client; a client that takes none keeps nothing.
void remember_value(PyObject* client, PyObject* name, PyObject* value);

// A download of the path was refused: whether that is because the path is a
// directory (a file the user may not read is refused too). MLST where the
// server has it, else CWD into the path and back.
bool refused_as_directory(const Call& c, PyObject* self);

}  // namespace op
}  // namespace dravlen
