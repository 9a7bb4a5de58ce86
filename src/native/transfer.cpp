// read(), write() and upload(): whole-file transfers and the recursive upload
// of a local tree.
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

// A data connection that ends early looks like the end of the file, and some
// servers confirm such a transfer all the same: the size the server gives for
// the file afterwards tells. A server that gives none (no SIZE, or not for
// this path) is taken at its word. A mismatch is a transient failure, so the
// operation is tried again on a fresh client.
void check_size(const Call& c, PyObject* self, Py_ssize_t moved) {
    Ref size;
    try {
        Ref ask = attr(attr(self, N.client), N.size);
        size = call(ask, op::posix(self));
    } catch (PyErrorSet&) {
        Except exc;
        Ref ftplib = c.global(N.ftplib);
        if (!exc.matches(attr(ftplib, N.error_perm)) && !exc.matches(attr(ftplib, N.error_temp)) &&
            !exc.matches(attr(ftplib, N.error_reply))) {
            exc.reraise();
        }
        return;
    }
    if (!PyLong_Check(size.get())) return;
    const Py_ssize_t expected = PyLong_AsSsize_t(size);
    if (expected == -1 && PyErr_Occurred()) raised();
    if (expected == moved) return;
    Ref path = Ref::check(PyObject_Str(attr(self, N.path)));
    Ref message = Ref::check(PyUnicode_FromFormat("426 Transfer of '%U' incomplete: %zd bytes moved, the server has %zd",
                                                  path.get(), moved, expected));
    PyErr_SetObject(attr(c.global(N.ftplib), N.error_temp), message);
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
        call(retrbinary, text, append);
        content = call_method(N.empty_bytes, N.join, data);
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        op::raise_about(PyExc_TypeError, "'", self, "' is not a file.");
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
    call(storbinary, text, stream);
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
        call(storbinary, text, local_file);
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

Ref upload(const Call& c) {
    PyObject* self = c.arg[0];
    Ref local = call(attr(c.global(N.pathlib), N.Path), c.arg[1]);
    if (!truthy(call_method(local, N.is_dir))) {
        upload_file(c, self, local);
        return none();
    }
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
