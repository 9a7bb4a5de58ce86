// A native function type: a heap type that behaves like a Python function
// (binding, introspection, inspect.signature) and is called through
// vectorcall. What a function does is given by a FunctionDef; its names and
// traceback entry are given when it is made.
#pragma once
#include "ref.hpp"
#include "scope.hpp"

namespace dravlen {

// What a body sees: its bound arguments and the module namespace.
struct Call {
    PyObject* const* arg;  // one slot per parameter, in declaration order
    PyObject* globals;
    PyObject* function;  // the function called, or nullptr (a generator step)
    Ref prepared;        // what the prepare step handed over, if any

    // A module-level name, looked up at each use, falling back to the builtins.
    Ref global(Borrowed name) const;
};

using Body = Ref (*)(const Call&);
// Runs on the bound arguments before the body; may refuse them (raise) or
// hand the body a value it would otherwise compute again (Call::prepared).
using Prepare = Ref (*)(const Call& c);

struct Param {
    const char* name = nullptr;
    PyTypeObject* exact_type = nullptr;  // the argument must be exactly this type, or nullptr
    const char* annotation = nullptr;    // stored as text, never evaluated
};

inline constexpr int kMaxParams = 3;

struct FunctionDef {
    const char* name;
    Param params[kMaxParams] = {};     // self first, for methods; unused slots have no name
    const char* last_default = nullptr;  // default of the last parameter, or nullptr
    const char* returns = "None";        // the return annotation
    bool generator = false;              // the body returns a generator (the code says so to inspect)
    bool var_any = false;                // (*_, **__): takes and ignores anything
    Prepare prepare = nullptr;
    Body body = nullptr;

    int nparams() const {
        int n = 0;
        while (n < kMaxParams && params[n].name != nullptr) ++n;
        return n;
    }
};

// The names a function is made with: __qualname__, and its traceback entry.
struct Origin {
    Borrowed qualname;
    const char* file;  // the source file name that tracebacks show
    Borrowed trace;    // the frame name that tracebacks show
    int line;
};

// Creates the type; called once per import.
void init_function_type(PyObject* module);
// A new function object for def (which must outlive it), bound to the module namespace.
Ref make_function(const FunctionDef& def, const Origin& origin, Borrowed globals);

// What a function object made here tells about itself, for the generators its body makes.
PyObject* function_name(PyObject* function);
PyObject* function_qualname(PyObject* function);
PyObject* function_code(PyObject* function);
const Site& function_site(PyObject* function);

// The global lookup shared with the generator type.
Ref lookup_global(Borrowed globals, Borrowed name);

}  // namespace dravlen
