#include "scope.hpp"

#include <frameobject.h>

namespace dravlen {

Except::Except() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    outer_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value_);
}

Except::~Except() { PyErr_SetHandledException(outer_ ? outer_.get() : Py_None); }

bool Except::matches(PyObject* type) const { return PyErr_GivenExceptionMatches(value_, type) != 0; }

void Except::reraise() {
    restore();
    raised();
}

Ref Except::restore() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return {};
}

Site::Site(const char* file, PyObject* name, int line) : line_(line) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) raised();
    Ref code = Ref::check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, text, line)));
    Ref globals = Ref::check(PyDict_New());
    // A frame that has not run an instruction is on its code's first line.
    frame_ = Ref::check(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

// Without memory for the entry the exception goes on without it, as with _PyTraceback_Add.
void Site::add_traceback() const noexcept { (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame_.get())); }

void add_traceback(const char* file, const char* name, int line) { _PyTraceback_Add(name, file, line); }

}  // namespace dravlen
