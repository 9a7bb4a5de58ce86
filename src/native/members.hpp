// The members of FTPPath and the module function, grouped by concern:
// client.cpp (making the thread's client), queries.cpp (existence, kind,
// modification time), transfer.cpp (read, write, upload) and namespace.cpp
// (glob, mkdir, delete).
#pragma once
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

}  // namespace op
}  // namespace dravlen
