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
    PyErr_SetHandledException(value_.get());
}

Except::~Except() { PyErr_SetHandledException(outer_ ? outer_.get() : Py_None); }

bool Except::matches(Borrowed type) const { return PyErr_GivenExceptionMatches(value_.get(), type) != 0; }

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
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
}

// Without memory for the entry the exception goes on without it.
void Site::add_traceback() const noexcept { (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame_.get())); }

// The frame is made while no exception is pending (making it may run Python
// code), then the pending one gets the entry. Without memory for the frame,
// the new error is raised with the pending one as its context.
void add_traceback(const char* file, const char* name, int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* frame = nullptr;
    if (PyObject* globals = PyDict_New()) {
        if (PyCodeObject* code = PyCode_NewEmpty(file, name, line)) {
            frame = reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr));
            Py_DECREF(code);
        }
        Py_DECREF(globals);
    }
    if (type == nullptr) {  // nothing to add the entry to
        Py_XDECREF(frame);
        return;
    }
    if (frame != nullptr || !PyErr_Occurred()) {
        PyErr_Restore(type, value, traceback);
        if (frame != nullptr) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
        Py_XDECREF(frame);
        return;
    }
    PyObject *new_type, *new_value, *new_traceback;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyException_SetContext(new_value, value);  // takes the reference to value
    Py_DECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(new_type, new_value, new_traceback);
}

}  // namespace dravlen
