// FTPPath.mtime: the modification time MDTM gives, shifted by the server clock's offset.
#include "helpers.hpp"
#include "member.hpp"

#include <datetime.h>  // after Python.h

namespace dravlen {

namespace {

// strptime takes one-digit fields, so a reply cut short ("...0304" for
// "...030405") would parse into another time: only all fourteen digits are a time.
void refuse_short_time(Borrowed text) {
    if (!PyUnicode_Check(text)) return;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    bool digits = n == 14;
    for (Py_ssize_t i = 0; digits && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
        digits = ch >= '0' && ch <= '9';
    }
    if (digits) return;
    PyErr_Format(PyExc_ValueError, "time data %R does not match format '%%Y%%m%%d%%H%%M%%S'", text.get());
    raised();
}

// datetime.strptime(digits, "%Y%m%d%H%M%S") for fourteen checked digits:
// where the class is the standard one and the fields make a valid time, the
// same datetime is made directly (strptime's pattern matching and locale
// lock cost more than the rest of the member); anything else is left to
// strptime, with its own result or error.
Ref parse_time(Borrowed datetime_class, Borrowed digits) {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) raised();
    }
    if (datetime_class == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType) && PyUnicode_CheckExact(digits) &&
        PyUnicode_GET_LENGTH(digits) == 14) {
        int field[6];
        const int width[6] = {4, 2, 2, 2, 2, 2};
        Py_ssize_t at = 0;
        for (int f = 0; f < 6; ++f) {
            field[f] = 0;
            for (int k = 0; k < width[f]; ++k) field[f] = field[f] * 10 + int(PyUnicode_READ_CHAR(digits, at++) - '0');
        }
        PyObject* made = PyDateTimeAPI->DateTime_FromDateAndTime(field[0], field[1], field[2], field[3], field[4],
                                                                 field[5], 0, Py_None, PyDateTimeAPI->DateTimeType);
        if (made != nullptr) return Ref::steal(made);
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raised();
        PyErr_Clear();
    }
    return call_method(datetime_class, N.strptime, digits, N.text_mdtm_format);
}

// parsed + timedelta(hours=8)
Ref shifted(Borrowed parsed, Borrowed timedelta_class) {
    Ref shift = timedelta_class == reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType)
                    ? Ref::check(PyDelta_FromDSU(0, 3600 * kServerClockHours, 0))
                    : call_kw(timedelta_class, N.kw_hours, N.server_clock_hours);
    return Ref::check(PyNumber_Add(parsed, shift.get()));
}

// The time in a reply's text "YYYYMMDDHHMMSS[.fraction]", shifted as MDTM's is.
Ref time_of(const Call& c, Borrowed text) {
    Ref time_str = call_method(text, N.strip);
    Ref pieces = call_method(time_str, N.split, N.text_dot);
    Ref seconds = Ref::check(PySequence_GetItem(pieces.get(), 0));
    refuse_short_time(seconds);
    Ref datetime = c.global(N.datetime);
    Ref parsed = parse_time(attr(datetime, N.datetime), seconds);
    return shifted(parsed, attr(datetime, N.timedelta));
}

// MLST's "modify" fact, for a server that does not know MDTM (aioftp); it
// is read as MDTM's time is. Nothing where MLST does not tell it either.
Ref modify_fact(const Call& c, Borrowed self) {
    Ref modify = op::mlst_fact(c, self, "modify=");
    return modify ? time_of(c, modify) : Ref{};
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
                Ref shown = Ref::check(PyObject_Format(response.get(), N.text_empty));
                op::raise_about_with(PyExc_TypeError, "Cannot retrieve modification time for '%U'. Response: %S",
                                     self, shown);
            }
            Ref rest = Ref::check(PySequence_GetSlice(response.get(), 4, PY_SSIZE_T_MAX));
            return time_of(c, rest);
        },
        [&](Except& exc) -> Ref {
            if (op::not_understood(exc.value())) {
                Ref told = modify_fact(c, self);
                if (told) return told;
            }
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
