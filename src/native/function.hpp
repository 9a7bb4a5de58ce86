// The native function type of the module's members: a heap type that behaves
// like a Python function (binding, introspection, inspect.signature) and is
// called through vectorcall.
#pragma once
#include "ref.hpp"

namespace dravlen {

struct Function;

// What a member body sees: its bound arguments and the module namespace.
struct Call {
    PyObject* const* arg;  // one slot per parameter, in declaration order
    PyObject* globals;
    PyObject* code;  // the function's code object, for generators made by the call

    // A module-level name, looked up at each use, falling back to the builtins.
    Ref global(PyObject* name) const;
};

using Body = Ref (*)(const Call&);

struct Param {
    const char* name;
    PyTypeObject* exact_type;  // the argument must be exactly this type, or nullptr
    const char* annotation;    // stored as text, never evaluated
};

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* trace;  // traceback name, module and class prefix included
    int line;
    Body body;
    Param params[3];  // self first, for methods
    int nparams;
    const char* last_default;  // default of the last parameter, or nullptr
    const char* return_annotation;
    bool generator;
    bool var_any;  // (*_, **__): takes and ignores anything
    bool remote;   // acts on self.path on the server: a path FTP cannot carry is refused first
};

// Creates the type; called once per import.
void init_function_type(PyObject* module);
// A new function object for spec, bound to the module namespace.
Ref make_function(const FunctionSpec& spec, PyObject* globals);

// The global lookup shared with the generator type.
Ref lookup_global(PyObject* globals, PyObject* name);

}  // namespace dravlen
