// read(), write() and upload(): whole-file transfers and the recursive upload
// of a local tree.
#include <cerrno>

#include "errors.hpp"
#include "members.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

// type(o).name bound to o, as the `with` statement looks it up.
Ref special_method(PyObject* o, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(o), name);
    if (found == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(o)->tp_name);
        raised();
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return Ref::borrow(found);
    return Ref::check(get(found, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
}

// Whether an ftplib error's text mentions ASCII (the transfer type).
bool mentions_ascii(PyObject* error) {
    Ref text = Ref::check(PyObject_Str(error));
    Ref folded = call_method(text, N.lower);
    const Py_ssize_t found = PyUnicode_Find(folded, N.text_ascii, 0, PY_SSIZE_T_MAX, 1);
    if (found == -2) raised();
    return found >= 0;
}

// A data connection that ends early looks like the end of the file, and some
// servers confirm such a transfer all the same: the size the server gives for
// the file afterwards tells. A server that gives none (no SIZE, or not for
// this path), or a client that cannot ask, is taken at its word. A mismatch
// is a transient failure, so the operation is tried again on a fresh client.
// Right after a binary transfer the type is binary: a SIZE refused "in ASCII
// mode" shows that the replies read were not those of the commands sent.
void check_size(const Call& c, PyObject* self, Py_ssize_t moved) {
    Ref client = attr(self, N.client);
    Ref sendcmd = Ref::steal(PyObject_GetAttr(client, N.sendcmd));
    if (!sendcmd) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raised();
        PyErr_Clear();
        return;
    }
    Ref ftplib = c.global(N.ftplib);
    Ref reply;
    try {
        reply = op::exchange(c, self, sendcmd, op::command(N.cmd_SIZE, self));
    } catch (PyErrorSet&) {
        Except exc;
        if (exc.matches(attr(ftplib, N.error_perm)) && mentions_ascii(exc.value())) {
            Ref path = Ref::check(PyObject_Str(attr(self, N.path)));
            Ref message = Ref::check(PyUnicode_FromFormat(
                "451 The size of '%U' was refused in ASCII mode after a binary transfer: the client is out of step (%S)",
                path.get(), exc.value()));
            PyErr_SetObject(attr(ftplib, N.error_temp), message);
            raised();
        }
        if (!exc.matches(attr(ftplib, N.error_perm)) && !exc.matches(attr(ftplib, N.error_temp)) &&
            !exc.matches(attr(ftplib, N.error_reply))) {
            exc.reraise();
        }
        return;
    }
    // "213 <bytes>"; anything else confirms nothing.
    if (!PyUnicode_Check(reply.get()) || !truthy(call_method(reply, N.startswith, N.text_213))) return;
    Ref digits = call_method(Ref::check(PySequence_GetSlice(reply, 3, PY_SSIZE_T_MAX)), N.strip);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(digits.get());
    if (n == 0 || n > 18) return;
    long long expected = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(digits.get(), i);
        if (ch < '0' || ch > '9') return;
        expected = expected * 10 + (ch - '0');
    }
    if (expected == moved) return;
    Ref path = Ref::check(PyObject_Str(attr(self, N.path)));
    Ref message = Ref::check(PyUnicode_FromFormat("426 Transfer of '%U' incomplete: %zd bytes moved, the server has %lld",
                                                  path.get(), moved, expected));
    PyErr_SetObject(attr(ftplib, N.error_temp), message);
    raised();
}

Ref read(const Call& c) {
    PyObject* self = c.arg[0];
    if (!truthy(attr(self, N.exists))) op::raise_about(PyExc_FileNotFoundError, "'", self, "' does not exist.");
    Ref content;
    try {
        Ref data = Ref::check(PyList_New(0));
        Ref retrbinary = attr(attr(self, N.client), N.retrbinary);
        Ref text = op::command(N.cmd_RETR, self);
        Ref append = attr(data, N.append);
        op::transfer(c, self, [&] { return call(retrbinary, text, append); });
        content = call_method(N.empty_bytes, N.join, data);
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        // The same refusal meets a file the user may not read.
        if (op::refused_as_directory(c, self)) op::raise_about(PyExc_TypeError, "'", self, "' is not a file.");
        Ref path = Ref::check(PyObject_Str(attr(self, N.path)));
        PyErr_SetObject(PyExc_PermissionError,
                        Ref::check(PyUnicode_FromFormat("'%U' could not be read: %S", path.get(), exc.value())));
        raised();
    }
    check_size(c, self, PyBytes_GET_SIZE(content.get()));
    return content;
}

Ref write(const Call& c) {
    PyObject* self = c.arg[0];
    PyObject* data = c.arg[1];
    call_method(attr(self, N.parent), N.mkdir);
    Ref storbinary = attr(attr(self, N.client), N.storbinary);
    Ref text = op::command(N.cmd_STOR, self);
    Ref stream = call(attr(c.global(N.io), N.BytesIO), data);
    op::transfer(c, self, [&] { return call(storbinary, text, stream); });
    check_size(c, self, PyBytes_GET_SIZE(data));
    return none();
}

// Sends one local file; the file is closed on every way out.
void upload_file(const Call& c, PyObject* self, PyObject* local) {
    call_method(attr(self, N.parent), N.mkdir);
    Ref file = call(c.global(N.open), local, N.rb);
    Ref enter = special_method(file, N.__enter__);
    Ref exit = special_method(file, N.__exit__);
    Ref local_file = call(enter);
    try {
        Ref storbinary = attr(attr(self, N.client), N.storbinary);
        Ref text = op::command(N.cmd_STOR, self);
        op::transfer(c, self, [&] { return call(storbinary, text, local_file); });
        // What was sent is what the file held up to where storbinary stopped reading.
        Ref sent = call_method(local_file, N.tell);
        const Py_ssize_t moved = PyLong_AsSsize_t(sent);
        if (moved == -1 && PyErr_Occurred()) raised();
        check_size(c, self, moved);
    } catch (PyErrorSet&) {
        Except exc;
        PyObject* value = exc.value();
        Ref traceback = Ref::steal(PyException_GetTraceback(value));
        Ref suppress = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                            traceback ? traceback.get() : Py_None);
        if (!truthy(suppress)) exc.reraise();
        return;
    }
    call(exit, Py_None, Py_None, Py_None);
}

bool same_file(PyObject* a, PyObject* b) {
    return check(PyObject_RichCompareBool(attr(a, N.st_ino), attr(b, N.st_ino), Py_EQ)) != 0 &&
           check(PyObject_RichCompareBool(attr(a, N.st_dev), attr(b, N.st_dev), Py_EQ)) != 0;
}

// A local directory that is one of the directories it lies in (through a
// link to an ancestor) would be walked without end: it is refused before
// anything remote is made for it.
void refuse_loop(PyObject* local) {
    Ref own = call_method(local, N.stat);
    Ref ancestors = Ref::check(PyObject_GetIter(attr(call_method(local, N.absolute), N.parents)));
    while (Ref ancestor = Ref::steal(PyIter_Next(ancestors))) {
        Ref status;
        try {
            status = call_method(ancestor, N.stat);
        } catch (PyErrorSet&) {
            Except exc;  // an ancestor that cannot be looked at cannot be walked into either
            if (!exc.matches(PyExc_OSError)) exc.reraise();
            continue;
        }
        if (!same_file(own, status)) continue;
        Ref message = Ref::check(PyUnicode_FromFormat(
            "Local directory '%S' is its own ancestor '%S' (a symbolic link loop); nothing was uploaded for it",
            local, ancestor.get()));
        Ref shown = Ref::check(PyObject_Str(local));
        Ref error = Ref::check(PyObject_CallFunction(PyExc_OSError, "iOO", ELOOP, message.get(), shown.get()));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error);
        raised();
    }
    if (PyErr_Occurred()) raised();
}

Ref upload(const Call& c) {
    PyObject* self = c.arg[0];
    Ref local = call(attr(c.global(N.pathlib), N.Path), c.arg[1]);
    if (!truthy(call_method(local, N.is_dir))) {
        upload_file(c, self, local);
        return none();
    }
    refuse_loop(local);
    call_method(self, N.mkdir);
    Ref entries = Ref::check(PyObject_GetIter(call_method(local, N.iterdir)));
    while (Ref item = Ref::steal(PyIter_Next(entries))) {
        Ref join = attr(self, N.join);
        Ref remote_item = call(join, attr(item, N.item_name));
        Ref child_upload = attr(remote_item, N.upload);
        call(child_upload, call_method(item, N.as_posix));
    }
    if (PyErr_Occurred()) raised();
    return none();
}

}  // namespace

const FunctionSpec read_spec{
    "read", "FTPPath.read", "dravlen.ftp.path.FTPPath.read", 5, read,
    {op::self_param}, 1, nullptr, "bytes", false, false, true,
};
const FunctionSpec write_spec{
    "write", "FTPPath.write", "dravlen.ftp.path.FTPPath.write", 6, write,
    {op::self_param, {"data", &PyBytes_Type, "bytes"}}, 2, nullptr, "None", false, false, true,
};
const FunctionSpec upload_spec{
    "upload", "FTPPath.upload", "dravlen.ftp.path.FTPPath.upload", 7, upload,
    {op::self_param, {"local_path", &PyUnicode_Type, "str"}}, 2, nullptr, "None", false, false, true,
};

}  // namespace dravlen
