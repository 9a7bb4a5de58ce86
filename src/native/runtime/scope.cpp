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
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    raised();
}

Site::Site(const char* file, PyObject* name, int line) : line_(line) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) raised();
    code_ = Ref::check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, text, line)));
}

// As _PyTraceback_Add, with the code object made beforehand. A new frame has
// not run an instruction, so its line is the code's first line.
void Site::add_traceback() const noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref globals = Ref::steal(PyDict_New());
    Ref frame;
    if (globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code_.get()), globals, nullptr)));
    }
    if (!frame) {
        _PyErr_ChainExceptions(type, value, traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void add_traceback(const char* file, const char* name, int line) { _PyTraceback_Add(name, file, line); }

}  // namespace dravlen
