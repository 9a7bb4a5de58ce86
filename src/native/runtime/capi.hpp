// The interpreter calls whose form depends on the CPython version (3.11 to
// 3.13). Everything else in the module uses calls that are public and alike
// on all of them; a call that is private, or public only from some version
// on, is made here and nowhere else.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace dravlen::capi {

// getattr(o, name) where a missing attribute is an answer, not an error:
// 1 and a new reference in *found, 0 and null when o has no such attribute
// (no AttributeError is made), -1 with the exception set on any other error.
// Public since 3.13 as PyObject_GetOptionalAttr. Before that it exists only as
// the private _PyObject_LookupAttr: the public way (PyObject_GetAttr, then
// matching and clearing the AttributeError) builds and formats an exception
// object for every miss, which the probes of optional attributes would pay on
// each call.
inline int optional_attr(PyObject* o, PyObject* name, PyObject** found) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, found);
#else
    return _PyObject_LookupAttr(o, name, found);
#endif
}

// The namespace of a class, borrowed from the class. 3.12 keeps the
// namespace of the interpreter's own static types outside tp_dict (which may
// then be null) and hands it out through PyType_GetDict; heap types and 3.11
// keep it in tp_dict.
class TypeDict {
public:
    explicit TypeDict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
        dict_ = PyType_GetDict(type);
#else
        dict_ = type->tp_dict;
        Py_XINCREF(dict_);
#endif
    }
    ~TypeDict() { Py_XDECREF(dict_); }
    TypeDict(const TypeDict&) = delete;
    TypeDict& operator=(const TypeDict&) = delete;
    PyObject* get() const noexcept { return dict_; }

private:
    PyObject* dict_;
};

// The attribute `name` as the class statement of `type` or of a class in its
// method resolution order defines it, neither bound nor run through any
// __getattribute__ or descriptor: the lookup the interpreter makes for special
// methods and slots (what the private _PyType_Lookup does, without its cache).
// A new reference, or null with no exception set when no class defines it;
// null with the exception set when a namespace could not be read.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;  // set by PyType_Ready, which every usable class has been through
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        TypeDict dict(reinterpret_cast<PyTypeObject*>(base));
        if (dict.get() == nullptr) continue;
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found != nullptr) return Py_NewRef(found);
        if (PyErr_Occurred()) return nullptr;
    }
    return nullptr;
}

}  // namespace dravlen::capi
