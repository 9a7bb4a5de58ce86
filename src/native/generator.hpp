// The generator type that glob() returns: Python's generator protocol
// (send, throw, close, iteration) around a step function that produces one
// item per request.
#pragma once
#include "ref.hpp"

namespace dravlen {

// What the glob generator keeps between two items.
struct GlobState {
    PyObject* self;     // the path object
    PyObject* pattern;  // exact str
    PyObject* globals;  // module namespace, for names looked up at each use
    PyObject* data;     // the listing lines, or nullptr before the first request
    Py_ssize_t pos;     // index in data of the next line to examine
    PyObject* encoding; // the client's text encoding, or nullptr before the first request
    bool machine;       // data holds MLSD lines rather than long-listing lines
};

// The next item, or an empty Ref (no exception set) when the listing is done.
Ref glob_step(GlobState& state);

void init_generator_type(PyObject* module);
Ref make_glob_generator(PyObject* self, PyObject* pattern, PyObject* globals, PyObject* code);

}  // namespace dravlen
