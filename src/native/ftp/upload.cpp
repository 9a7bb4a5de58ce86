// FTPPath.upload(local_path): a local file, or a local tree walked
// depth-first, each file's size confirmed by the server.
#include <cerrno>

#include "helpers.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

// type(o).name bound to o, as the `with` statement looks it up.
Ref special_method(Borrowed o, Borrowed name) {
    Ref found = type_attr_or_null(Py_TYPE(o), name);
    if (!found) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(o)->tp_name);
        raised();
    }
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (get == nullptr) return found;
    return Ref::check(get(found.get(), o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
}

// Sends one local file; the file is closed on every way out.
void upload_file(const Call& c, Borrowed self, Borrowed local) {
    call_method(attr(self, N.parent), N.mkdir);
    Ref file = call(c.global(N.open), local, N.rb);
    Ref enter = special_method(file, N.__enter__);
    Ref exit = special_method(file, N.__exit__);
    Ref local_file = call(enter);
    const bool sent = attempt(
        [&] {
            Ref storbinary = attr(attr(self, N.client), N.storbinary);
            Ref text = op::command(c, N.cmd_STOR, self);
            op::transfer(c, self, [&] { return call(storbinary, text, local_file); });
            // What was sent is what the file held up to where storbinary stopped reading.
            const Py_ssize_t moved = PyLong_AsSsize_t(call_method(local_file, N.tell).get());
            if (moved == -1 && PyErr_Occurred()) raised();
            op::check_size(c, self, moved);
            return true;
        },
        [&](Except& exc) {
            // The with block's exit: the exception goes on unless __exit__ suppresses it.
            PyObject* value = exc.value();
            Ref traceback = Ref::steal(PyException_GetTraceback(value));
            Ref suppress = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                                traceback ? traceback.get() : Py_None);
            if (!truthy(suppress)) exc.reraise();
            return false;
        });
    if (sent) call(exit, Py_None, Py_None, Py_None);
}

bool same_file(Borrowed a, Borrowed b) {
    return check(PyObject_RichCompareBool(attr(a, N.st_ino).get(), attr(b, N.st_ino).get(), Py_EQ)) != 0 &&
           check(PyObject_RichCompareBool(attr(a, N.st_dev).get(), attr(b, N.st_dev).get(), Py_EQ)) != 0;
}

// A local directory that is one of the directories it lies in (through a
// link to an ancestor) would be walked without end: it is refused before
// anything remote is made for it.
void refuse_loop(Borrowed local) {
    Ref own = call_method(local, N.stat);
    Ref ancestors = Ref::check(PyObject_GetIter(attr(call_method(local, N.absolute), N.parents).get()));
    while (Ref ancestor = Ref::steal(PyIter_Next(ancestors.get()))) {
        // An ancestor that cannot be looked at cannot be walked into either.
        Ref status = attempt([&] { return call_method(ancestor, N.stat); },
                             [](Except& exc) {
                                 if (!exc.matches(PyExc_OSError)) exc.reraise();
                                 return Ref{};
                             });
        if (!status || !same_file(own, status)) continue;
        Ref message = Ref::check(PyUnicode_FromFormat(
            "Local directory '%S' is its own ancestor '%S' (a symbolic link loop); nothing was uploaded for it",
            local.get(), ancestor.get()));
        Ref shown = Ref::check(PyObject_Str(local));
        Ref error = Ref::check(PyObject_CallFunction(PyExc_OSError, "iOO", ELOOP, message.get(), shown.get()));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
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
    Ref entries = Ref::check(PyObject_GetIter(call_method(local, N.iterdir).get()));
    while (Ref item = Ref::steal(PyIter_Next(entries.get()))) {
        Ref join = attr(self, N.join);
        Ref remote_item = call(join, attr(item, N.item_name));
        Ref child_upload = attr(remote_item, N.upload);
        call(child_upload, call_method(item, N.as_posix));
    }
    if (PyErr_Occurred()) raised();
    return none();
}

}  // namespace

const Member upload_member{
    .name = "upload",
    .params = {self_param, {"local_path", &PyUnicode_Type, "str"}},
    .remote = true,
    .body = upload,
};

}  // namespace dravlen
