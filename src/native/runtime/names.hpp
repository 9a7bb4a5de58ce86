// The names the runtime layer itself uses, interned once per process.
#pragma once
#include "ref.hpp"

namespace dravlen {

#define DRAVLEN_RUNTIME_NAMES(X)                                \
    X(Generator, "Generator")                                   \
    X(__file__, "__file__")                                     \
    X(__loader__, "__loader__")                                 \
    X(__name__, "__name__")                                     \
    X(__package__, "__package__")                               \
    X(__path__, "__path__")                                     \
    X(__prepare__, "__prepare__")                               \
    X(loader, "loader")                                         \
    X(name, "name")                                             \
    X(origin, "origin")                                         \
    X(parent, "parent")                                         \
    X(register_, "register")                                    \
    X(replace, "replace")                                       \
    X(submodule_search_locations, "submodule_search_locations")

struct RuntimeNames {
#define DRAVLEN_FIELD(field, text) PyObject* field;
    DRAVLEN_RUNTIME_NAMES(DRAVLEN_FIELD)
#undef DRAVLEN_FIELD
    PyObject* empty_tuple;
    PyObject* builtins;  // the builtins module's namespace
};

// Filled once by intern_runtime_names(); read-only afterwards.
extern RuntimeNames R;
void intern_runtime_names();

// An interned str that lives as long as the process; raises on failure.
PyObject* interned(const char* text);
// Keeps a new reference for the life of the process; raises on null.
PyObject* kept(PyObject* o);

}  // namespace dravlen
