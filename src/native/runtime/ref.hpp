// Owning references and terse call helpers.
//
// A C++ exception of type PyErrorSet means "a Python exception is set"; it is
// thrown right after the failing API call and caught only at the Python
// boundary (see scope.hpp).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "capi.hpp"

namespace dravlen {

struct PyErrorSet {};

[[noreturn]] inline void raised() { throw PyErrorSet{}; }

// Throws when an int-returning API reports failure (-1).
inline int check(int status) {
    if (status < 0) raised();
    return status;
}

// The one owning reference type. Plain PyObject* is used only where an API
// lends a reference (arguments, borrowed dictionary items).
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    static Ref steal(PyObject* o) noexcept {
        Ref r;
        r.p_ = o;
        return r;
    }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return steal(o);
    }
    // Takes a new reference from an API; null means the API set an exception.
    static Ref check(PyObject* o) {
        if (o == nullptr) raised();
        return steal(o);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

inline Ref attr(PyObject* o, PyObject* name) { return Ref::check(PyObject_GetAttr(o, name)); }

inline void set_item(PyObject* mapping, PyObject* key, PyObject* value) {
    check(PyObject_SetItem(mapping, key, value));
}

inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// f(a...), positional only, through vectorcall: no temporary tuple.
template <class... A>
Ref call(PyObject* f, const A&... a) {
    PyObject* args[] = {nullptr, static_cast<PyObject*>(a)...};
    return Ref::check(PyObject_Vectorcall(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// o.name(a...): the attribute is fetched and called at once.
template <class... A>
Ref call_method(PyObject* o, PyObject* name, const A&... a) {
    PyObject* args[] = {o, static_cast<PyObject*>(a)...};
    return Ref::check(
        PyObject_VectorcallMethod(name, args, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., keyword...) where kwnames is a tuple naming the trailing values.
template <class... A>
Ref call_kw(PyObject* f, PyObject* kwnames, const A&... a) {
    PyObject* args[] = {nullptr, static_cast<PyObject*>(a)...};
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    size_t npos = sizeof...(A) - static_cast<size_t>(nkw);
    return Ref::check(PyObject_Vectorcall(f, args + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The same calls without the C++ exception: an empty Ref, with the Python
// exception set, on failure. For calls whose failure is an expected answer
// (a refusal, an abandoned download), handled right away by attempt().
template <class... A>
[[nodiscard]] Ref call_or_null(PyObject* f, const A&... a) {
    PyObject* args[] = {nullptr, static_cast<PyObject*>(a)...};
    return Ref::steal(PyObject_Vectorcall(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
[[nodiscard]] Ref call_kw_or_null(PyObject* f, PyObject* kwnames, const A&... a) {
    PyObject* args[] = {nullptr, static_cast<PyObject*>(a)...};
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    size_t npos = sizeof...(A) - static_cast<size_t>(nkw);
    return Ref::steal(PyObject_Vectorcall(f, args + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// getattr(o, name, None) without making the AttributeError: an empty Ref
// when o has no such attribute.
inline Ref attr_or_null(PyObject* o, PyObject* name) {
    PyObject* found = nullptr;
    if (capi::optional_attr(o, name, &found) < 0) raised();
    return Ref::steal(found);
}

// The attribute as `type` or a class in its MRO defines it, unbound, as the
// interpreter looks up special methods: an empty Ref when none defines it.
inline Ref type_attr_or_null(PyTypeObject* type, PyObject* name) {
    Ref found = Ref::steal(capi::type_lookup(type, name));
    if (!found && PyErr_Occurred()) raised();
    return found;
}

// hasattr(o, name), any error taken for "no" as PyObject_HasAttr does, but
// without making the AttributeError of a missing attribute.
inline bool has_attr(PyObject* o, PyObject* name) {
    PyObject* found = nullptr;
    const int status = capi::optional_attr(o, name, &found);
    Py_XDECREF(found);
    if (status < 0) PyErr_Clear();
    return status > 0;
}

inline Ref concat(PyObject* a, PyObject* b) { return Ref::check(PyUnicode_Concat(a, b)); }

}  // namespace dravlen
