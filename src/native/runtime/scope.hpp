// Exception handling in the shape of Python's try/except, and the boundary
// where C++ exceptions turn back into a NULL return with a traceback entry.
#pragma once
#include <new>
#include <type_traits>

#include "ref.hpp"

namespace dravlen {

// An `except` clause. Constructed right after a PyErrorSet was caught: it takes
// the pending exception and makes it the handled one (sys.exc_info()), so
// whatever is raised inside chains to it implicitly (__context__), and Python
// code called from inside the clause sees it as the exception being handled,
// as it would in a Python except block. The previously handled exception
// comes back when the scope ends.
class Except {
public:
    Except();
    ~Except();
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;

    // isinstance-style test against an exception class (or tuple of them).
    bool matches(Borrowed type) const;
    // The clause does not apply: the exception goes on as it was.
    [[noreturn]] void reraise();
    // The same, reported the cheap way: the exception is pending again and
    // the caller returns an empty Ref (see attempt).
    Ref restore();
    Borrowed value() const { return value_; }

private:
    Ref type_, value_, traceback_;
    Ref outer_;  // the exception that was being handled before this one
};

// try { return body(); } except BaseException: return handler(exc).
// The handler re-raises what it does not handle (exc.reraise()).
// A body that returns a Ref may also report its failure by an empty Ref with
// the Python exception set (call_or_null), which spares a C++ throw on the
// paths where failing is an ordinary answer; an empty Ref with no exception
// set is a result like any other.
template <class Body, class Handler>
auto attempt(Body&& body, Handler&& handler) -> decltype(body()) {
    try {
        if constexpr (std::is_same_v<decltype(body()), Ref>) {
            Ref result = body();
            if (result || !PyErr_Occurred()) return result;
        } else {
            return body();
        }
    } catch (PyErrorSet&) {
    }
    Except exc;
    return handler(exc);
}

// Where a traceback entry points: a source file name, a frame name and a line.
// Its frame (with an empty code object: no locals, no bytecode) is made once
// and shared by the entries; making one per error cost more than the rest of
// a failing call.
class Site {
public:
    Site() = default;
    Site(const char* file, PyObject* name, int line);
    // Adds this frame to the traceback of the pending exception.
    void add_traceback() const noexcept;
    int line() const { return line_; }

private:
    Ref frame_;
    int line_ = 0;
};

// The same for a frame that has no Site of its own (a failed import).
void add_traceback(const char* file, const char* name, int line);

// The C++ exceptions that mean "a Python exception is set", made so; a body
// may also return an empty Ref with the exception set.
template <class Body>
PyObject* boundary(const Site& site, Body&& body) noexcept {
    try {
        Ref result = body();
        if (result) return result.release();
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a native function returned no result");
    } catch (PyErrorSet&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    site.add_traceback();
    return nullptr;
}

}  // namespace dravlen
