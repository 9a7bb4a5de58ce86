#include "names.hpp"

namespace dravlen {

Names N;

namespace {
PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) raised();
    return s;
}
PyObject* owned(PyObject* o) {
    if (o == nullptr) raised();
    return o;
}
}  // namespace

void intern_names() {
    if (N.builtins != nullptr) return;  // a failed import may run the body again
#define DRAVLEN_INTERN(field, text) N.field = interned(text);
    DRAVLEN_NAMES(DRAVLEN_INTERN)
#undef DRAVLEN_INTERN
    N.kw_blocksize = owned(PyTuple_Pack(1, N.blocksize));
    N.kw_maxsplit = owned(PyTuple_Pack(1, N.maxsplit));
    N.kw_hours = owned(PyTuple_Pack(1, N.hours));
    N.empty_bytes = owned(PyBytes_FromStringAndSize(nullptr, 0));
    N.empty_tuple = owned(PyTuple_New(0));
    N.int_one = owned(PyLong_FromLong(1));
    N.int_eight = owned(PyLong_FromLong(8));
    Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
    N.builtins = Ref::borrow(PyModule_GetDict(builtins)).release();
}

Ref quoted_message(const char* prefix, PyObject* o, const char* suffix) {
    Ref text = Ref::check(PyObject_Str(o));
    return Ref::check(PyUnicode_FromFormat("%s%U%s", prefix, text.get(), suffix));
}

}  // namespace dravlen
