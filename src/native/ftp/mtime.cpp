// FTPPath.mtime: the modification time MDTM gives, shifted by the server clock's offset.
#include "helpers.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

// strptime takes one-digit fields, so a reply cut short ("...0304" for
// "...030405") would parse into another time: only all fourteen digits are a time.
void refuse_short_time(PyObject* text) {
    if (!PyUnicode_Check(text)) return;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    bool digits = n == 14;
    for (Py_ssize_t i = 0; digits && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
        digits = ch >= '0' && ch <= '9';
    }
    if (digits) return;
    PyErr_Format(PyExc_ValueError, "time data %R does not match format '%%Y%%m%%d%%H%%M%%S'", text);
    raised();
}

Ref mtime(const Call& c) {
    PyObject* self = c.arg[0];
    return op::if_refused_reset(
        c, self,
        [&] {
            op::require_exists(self);
            Ref sendcmd = attr(attr(self, N.client), N.sendcmd);
            Ref response = op::exchange(c, self, sendcmd, op::command(c, N.cmd_MDTM, self));
            if (!truthy(call_method(response, N.startswith, N.text_213))) {
                Ref shown = Ref::check(PyObject_Format(response, N.text_empty));
                op::raise_about_with(PyExc_TypeError, "Cannot retrieve modification time for '%U'. Response: %S",
                                     self, shown);
            }
            Ref rest = Ref::check(PySequence_GetSlice(response, 4, PY_SSIZE_T_MAX));
            Ref time_str = call_method(rest, N.strip);
            Ref pieces = call_method(time_str, N.split, N.text_dot);
            Ref seconds = Ref::check(PySequence_GetItem(pieces, 0));
            refuse_short_time(seconds);
            Ref datetime = c.global(N.datetime);
            Ref parsed = call_method(attr(datetime, N.datetime), N.strptime, seconds, N.text_mdtm_format);
            Ref shift = call_kw(attr(datetime, N.timedelta), N.kw_hours, N.server_clock_hours);
            return Ref::check(PyNumber_Add(parsed, shift));
        },
        [&](Except&) -> Ref {
            op::raise_about(PyExc_TypeError, "'", self, "' could not retrieve modification time.");
        });
}

}  // namespace

const Member mtime_member{
    .name = "mtime",
    .params = {self_param},
    .returns = "datetime.datetime",
    .wrap = Wrap::retry_property,
    .remote = true,
    .body = mtime,
};

}  // namespace dravlen
