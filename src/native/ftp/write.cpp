// FTPPath.write(data): the whole file, its parent made first, its size
// confirmed by the server.
#include "helpers.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

Ref write(const Call& c) {
    PyObject* self = c.arg[0];
    PyObject* data = c.arg[1];
    call_method(attr(self, N.parent), N.mkdir);
    Ref storbinary = attr(attr(self, N.client), N.storbinary);
    Ref text = op::command(c, N.cmd_STOR, self);
    Ref stream = call(attr(c.global(N.io), N.BytesIO), data);
    op::transfer(c, self, [&] { return call(storbinary, text, stream); });
    op::check_size(c, self, PyBytes_GET_SIZE(data));
    return none();
}

}  // namespace

const Member write_member{
    .name = "write",
    .params = {self_param, {"data", &PyBytes_Type, "bytes"}},
    .remote = true,
    .body = write,
};

}  // namespace dravlen
