// FTPPath.is_dir(): whether the path is a directory, from a download of it
// that is abandoned at its first byte.
#include "helpers.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

Ref is_dir(const Call& c) {
    PyObject* self = c.arg[0];
    op::require_exists(self);
    return attempt(
        [&] {
            Ref retrbinary = attr(attr(self, N.client), N.retrbinary);
            Ref text = op::command(c, N.cmd_RETR, self);
            // Ends, for any file with content, in interrupt's InterruptedError.
            Ref done = call_kw_or_null(retrbinary, N.kw_blocksize, text, c.global(N.interrupt), N.int_one);
            return done ? boolean(false) : Ref{};  // an empty file: the transfer completed without data
        },
        [&](Except& exc) {
            if (exc.matches(PyExc_InterruptedError)) {
                // The file has content; its transfer was abandoned at the first byte.
                call_method(self, N._valid_reset);
                return boolean(false);
            }
            if (!exc.matches(op::error_perm(c))) {
                op::drop_if_open(c, self, exc);
                exc.reraise();
            }
            call_method(self, N._valid_reset);
            return boolean(op::refused_as_directory(c, self));
        });
}

}  // namespace

const Member is_dir_member{
    .name = "is_dir",
    .params = {self_param},
    .returns = "bool",
    .remote = true,
    .body = is_dir,
};

}  // namespace dravlen
