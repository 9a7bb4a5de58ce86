// Owned and borrowed references, and terse call helpers.
//
// A C++ exception of type PyErrorSet means "a Python exception is set"; it is
// thrown right after the failing API call and caught only at the Python
// boundary (see scope.hpp).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <type_traits>
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

class Ref;

// A reference someone else owns, lent for as long as they keep it: an
// argument, a container's item, a Ref the caller holds. It takes and drops
// nothing. Functions take it as a parameter, so that a caller passes a
// PyObject* and a Ref alike (a temporary Ref lives to the end of the full
// expression, so it outlasts the call); kept beyond that, it would outlive
// the Ref that lent it.
class Borrowed {
public:
    Borrowed() noexcept = default;
    Borrowed(std::nullptr_t) noexcept {}
    Borrowed(PyObject* o) noexcept : p_(o) {}
    Borrowed(const Ref& o) noexcept;

    PyObject* get() const noexcept { return p_; }
    // A lent pointer is what the C API takes.
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// The one owning reference type. It gives up its pointer only when asked
// (get() lends it, release() hands the reference over), so that every bare
// pointer taken from a Ref shows where it is taken, and whether it could
// outlive the Ref.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    // Takes over a reference the caller owns (an API's new reference).
    static Ref steal(PyObject* o) noexcept {
        Ref r;
        r.p_ = o;
        return r;
    }
    // Owns a new reference to what o lends (null stays null).
    static Ref from_borrowed(Borrowed o) noexcept {
        Py_XINCREF(o.get());
        return steal(o.get());
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
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

inline Borrowed::Borrowed(const Ref& o) noexcept : p_(o.get()) {}

inline Ref none() { return Ref::from_borrowed(Py_None); }
inline Ref boolean(bool b) { return Ref::from_borrowed(b ? Py_True : Py_False); }

inline Ref attr(Borrowed o, Borrowed name) { return Ref::check(PyObject_GetAttr(o, name)); }

inline void set_item(Borrowed mapping, Borrowed key, Borrowed value) { check(PyObject_SetItem(mapping, key, value)); }

inline bool truthy(Borrowed o) { return check(PyObject_IsTrue(o)) != 0; }

// What the calls below take for an argument: a PyObject*, a Ref or a Borrowed.
template <class A>
concept Lendable = std::is_convertible_v<const A&, Borrowed>;

// f(a...), positional only, through vectorcall: no temporary tuple.
template <Lendable... A>
Ref call(Borrowed f, const A&... a) {
    PyObject* args[] = {nullptr, Borrowed(a).get()...};
    return Ref::check(PyObject_Vectorcall(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// o.name(a...): the attribute is fetched and called at once.
template <Lendable... A>
Ref call_method(Borrowed o, Borrowed name, const A&... a) {
    PyObject* args[] = {o, Borrowed(a).get()...};
    return Ref::check(
        PyObject_VectorcallMethod(name, args, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(positional..., keyword...) where kwnames is a tuple naming the trailing values.
template <Lendable... A>
Ref call_kw(Borrowed f, Borrowed kwnames, const A&... a) {
    PyObject* args[] = {nullptr, Borrowed(a).get()...};
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames.get());
    size_t npos = sizeof...(A) - static_cast<size_t>(nkw);
    return Ref::check(PyObject_Vectorcall(f, args + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The same calls without the C++ exception: an empty Ref, with the Python
// exception set, on failure. For calls whose failure is an expected answer
// (a refusal, an abandoned download), handled right away by attempt().
template <Lendable... A>
[[nodiscard]] Ref call_or_null(Borrowed f, const A&... a) {
    PyObject* args[] = {nullptr, Borrowed(a).get()...};
    return Ref::steal(PyObject_Vectorcall(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <Lendable... A>
[[nodiscard]] Ref call_kw_or_null(Borrowed f, Borrowed kwnames, const A&... a) {
    PyObject* args[] = {nullptr, Borrowed(a).get()...};
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames.get());
    size_t npos = sizeof...(A) - static_cast<size_t>(nkw);
    return Ref::steal(PyObject_Vectorcall(f, args + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// getattr(o, name, None) without making the AttributeError: an empty Ref
// when o has no such attribute.
inline Ref attr_or_null(Borrowed o, Borrowed name) {
    PyObject* found = nullptr;
    if (capi::optional_attr(o, name, &found) < 0) raised();
    return Ref::steal(found);
}

// The attribute as `type` or a class in its MRO defines it, unbound, as the
// interpreter looks up special methods: an empty Ref when none defines it.
inline Ref type_attr_or_null(PyTypeObject* type, Borrowed name) {
    Ref found = Ref::steal(capi::type_lookup(type, name));
    if (!found && PyErr_Occurred()) raised();
    return found;
}

// hasattr(o, name), any error taken for "no" as PyObject_HasAttr does, but
// without making the AttributeError of a missing attribute.
inline bool has_attr(Borrowed o, Borrowed name) {
    PyObject* found = nullptr;
    const int status = capi::optional_attr(o, name, &found);
    Py_XDECREF(found);
    if (status < 0) PyErr_Clear();
    return status > 0;
}

inline Ref concat(Borrowed a, Borrowed b) { return Ref::check(PyUnicode_Concat(a, b)); }

}  // namespace dravlen
