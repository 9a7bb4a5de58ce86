// A generator type: Python's generator protocol (send, throw, close,
// iteration) around a step function that produces one item per request.
// Its name, code and traceback entry are those of the function that made it.
#pragma once
#include <initializer_list>

#include "function.hpp"

namespace dravlen {

inline constexpr int kGeneratorSlots = 6;

// What a generator keeps between two items: owned references (null when
// unused) and a position, as the step function sees fit.
struct GeneratorState {
    PyObject* slot[kGeneratorSlots];
    Py_ssize_t pos;
};

// The next item, or an empty Ref (no exception set) when there are no more.
using Step = Ref (*)(GeneratorState& state);

void init_generator_type(PyObject* module);
// A generator made by the call c, whose state starts with the given slots
// (new references are taken) and position 0.
Ref make_generator(const Call& c, Step step, std::initializer_list<PyObject*> slots);

}  // namespace dravlen
