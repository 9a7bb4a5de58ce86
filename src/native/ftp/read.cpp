// FTPPath.read(): the whole file, its size confirmed by the server.
#include "helpers.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

Ref read(const Call& c) {
    PyObject* self = c.arg[0];
    op::require_exists(self);
    Ref content = op::if_refused_reset(
        c, self,
        [&] {
            Ref data = Ref::check(PyList_New(0));
            Ref retrbinary = attr(attr(self, N.client), N.retrbinary);
            Ref text = op::command(c, N.cmd_RETR, self);
            Ref append = attr(data, N.append);
            op::transfer(c, self, [&] { return call(retrbinary, text, append); });
            return call_method(N.empty_bytes, N.join, data);
        },
        [&](Except& exc) -> Ref {
            // The same refusal meets a file the user may not read.
            if (op::refused_as_directory(c, self)) op::raise_about(PyExc_TypeError, "'", self, "' is not a file.");
            op::raise_about_with(PyExc_PermissionError, "'%U' could not be read: %S", self, exc.value());
        });
    op::check_size(c, self, PyBytes_GET_SIZE(content.get()));
    return content;
}

}  // namespace

const Member read_member{
    .name = "read",
    .params = {self_param},
    .returns = "bytes",
    .remote = true,
    .body = read,
};

}  // namespace dravlen
