// Exception handling in the shape of Python's try/except, and the boundary
// where C++ exceptions turn back into a NULL return with a traceback entry.
#pragma once
#include <new>

#include "ref.hpp"

namespace dravlen {

// The source file name that tracebacks show for this module.
inline constexpr const char* kTraceFile = "dravlen/ftp/path";

// An `except` clause. Constructed right after a PyErrorSet was caught: it takes
// the pending exception and makes it the handled one (sys.exc_info()), so
// whatever is raised inside chains to it implicitly (__context__). The
// previously handled exception comes back when the scope ends, as at the end
// of an except block.
class Except {
public:
    Except();
    ~Except();
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;

    // isinstance-style test against an exception class (or tuple of them).
    bool matches(PyObject* type) const;
    // The clause does not apply: the exception goes on as it was.
    [[noreturn]] void reraise();
    PyObject* value() const { return value_.get(); }

private:
    Ref type_, value_, traceback_;
    Ref outer_;  // the exception that was being handled before this one
};

// Adds the frame `where` to the traceback of the pending exception.
void add_traceback(const char* where, int line);

// Runs body at the Python boundary: a C++ exception becomes a NULL return
// (the Python exception is already set) after the traceback entry is added.
template <class Body>
PyObject* boundary(const char* where, int line, Body&& body) noexcept {
    try {
        return body().release();
    } catch (PyErrorSet&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_traceback(where, line);
    return nullptr;
}

}  // namespace dravlen
