// exists, is_dir() and mtime: what the server says about one path, and the
// interrupt callback that abandons a download at its first block.
#include "errors.hpp"
#include "members.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

Ref interrupt(const Call&) {
    PyErr_SetString(PyExc_InterruptedError, "Finish!");
    raised();
}

Ref exists(const Call& c) {
    PyObject* self = c.arg[0];
    try {
        Ref client = attr(self, N.client);
        Ref nlst = attr(client, N.nlst);
        call(nlst, op::posix(self));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        return boolean(false);
    }
    return boolean(true);
}

Ref is_dir(const Call& c) {
    PyObject* self = c.arg[0];
    if (!truthy(attr(self, N.exists))) op::raise_about(PyExc_FileNotFoundError, "'", self, "' does not exist.");
    try {
        Ref client = attr(self, N.client);
        Ref retrbinary = attr(client, N.retrbinary);
        Ref text = op::command(N.cmd_RETR, self);
        Ref callback = c.global(N.interrupt);
        call_kw(retrbinary, N.kw_blocksize, text, callback, N.int_one);
    } catch (PyErrorSet&) {
        Except exc;
        if (exc.matches(PyExc_InterruptedError)) {
            // The file has content; its transfer was abandoned at the first byte.
            op::valid_reset(self);
            return boolean(false);
        }
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        return boolean(true);
    }
    return boolean(false);  // an empty file: the transfer completed without data
}

Ref mtime(const Call& c) {
    PyObject* self = c.arg[0];
    try {
        if (!truthy(attr(self, N.exists))) op::raise_about(PyExc_FileNotFoundError, "'", self, "' does not exist.");
        Ref sendcmd = attr(attr(self, N.client), N.sendcmd);
        Ref response = call(sendcmd, op::command(N.cmd_MDTM, self));
        if (!truthy(call_method(response, N.startswith, N.text_213))) {
            Ref shown = Ref::check(PyObject_Format(response, N.text_empty));
            Ref path = Ref::check(PyObject_Str(attr(self, N.path)));
            PyErr_SetObject(PyExc_TypeError,
                            Ref::check(PyUnicode_FromFormat("Cannot retrieve modification time for '%U'. Response: %U",
                                                            path.get(), shown.get())));
            raised();
        }
        Ref rest = Ref::check(PySequence_GetSlice(response, 4, PY_SSIZE_T_MAX));
        Ref time_str = call_method(rest, N.strip);
        Ref pieces = call_method(time_str, N.split, N.text_dot);
        Ref seconds = Ref::check(PySequence_GetItem(pieces, 0));
        Ref datetime_class = attr(c.global(N.datetime), N.datetime);
        Ref parsed = call_method(datetime_class, N.strptime, seconds, N.text_mdtm_format);
        Ref shift = call_kw(attr(c.global(N.datetime), N.timedelta), N.kw_hours, N.int_eight);
        return Ref::check(PyNumber_Add(parsed, shift));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        op::raise_about(PyExc_TypeError, "'", self, "' could not retrieve modification time.");
    }
}

}  // namespace

const FunctionSpec interrupt_spec{
    "interrupt", "interrupt", "dravlen.ftp.path.interrupt", 1, interrupt, {}, 0, nullptr, "None", false, true,
};
const FunctionSpec exists_spec{
    "exists", "FTPPath.exists", "dravlen.ftp.path.FTPPath.exists", 3, exists,
    {op::self_param}, 1, nullptr, "bool", false, false,
};
const FunctionSpec is_dir_spec{
    "is_dir", "FTPPath.is_dir", "dravlen.ftp.path.FTPPath.is_dir", 4, is_dir,
    {op::self_param}, 1, nullptr, "bool", false, false,
};
const FunctionSpec mtime_spec{
    "mtime", "FTPPath.mtime", "dravlen.ftp.path.FTPPath.mtime", 11, mtime,
    {op::self_param}, 1, nullptr, "datetime.datetime", false, false,
};

}  // namespace dravlen
