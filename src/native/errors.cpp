#include "errors.hpp"

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

void add_traceback(const char* where, int line) { _PyTraceback_Add(where, kTraceFile, line); }

}  // namespace dravlen
