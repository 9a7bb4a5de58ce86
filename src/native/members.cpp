#include "members.hpp"

#include "errors.hpp"
#include "names.hpp"

namespace dravlen::op {

Ref posix(PyObject* self) { return call_method(attr(self, N.path), N.as_posix); }

Ref command(PyObject* word, PyObject* self) {
    Ref text = Ref::check(PyObject_Format(posix(self), N.text_empty));
    return concat(word, text);
}

void raise_about(PyObject* type, const char* prefix, PyObject* self, const char* suffix) {
    Ref message = quoted_message(prefix, attr(self, N.path), suffix);
    PyErr_SetObject(type, message);
    raised();
}

Ref error_perm(const Call& c) { return attr(c.global(N.ftplib), N.error_perm); }

bool has_code(PyObject* error, const char* code) {
    Ref text = Ref::check(PyObject_Str(error));
    Ref prefix = Ref::check(PyUnicode_FromString(code));
    return PyUnicode_Tailmatch(text, prefix, 0, 3, -1) == 1;
}

bool not_understood(PyObject* error) { return has_code(error, "500") || has_code(error, "502"); }

void remember(PyObject* client, PyObject* flag) {
    if (PyObject_SetAttr(client, flag, Py_True) < 0) PyErr_Clear();
}

void valid_reset(PyObject* self) { call_method(self, N._valid_reset); }

}  // namespace dravlen::op
