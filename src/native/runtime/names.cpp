#include "names.hpp"

namespace dravlen {

RuntimeNames R;

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) raised();
    return s;
}

PyObject* kept(PyObject* o) {
    if (o == nullptr) raised();
    return o;
}

void intern_runtime_names() {
    if (R.builtins != nullptr) return;  // a failed import may run the body again
#define DRAVLEN_INTERN(field, text) R.field = interned(text);
    DRAVLEN_RUNTIME_NAMES(DRAVLEN_INTERN)
#undef DRAVLEN_INTERN
    R.empty_tuple = kept(PyTuple_New(0));
    Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
    R.builtins = Ref::from_borrowed(PyModule_GetDict(builtins.get())).release();
}

}  // namespace dravlen
