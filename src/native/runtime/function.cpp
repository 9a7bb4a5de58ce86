#include "function.hpp"

#include <structmember.h>

#include <new>

#include "names.hpp"

namespace dravlen {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    int nparams;
    Site site;  // constructed in place; destroyed in dealloc
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* code;
    PyObject* globals;
};

namespace {

PyTypeObject* function_type = nullptr;  // bound at import

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

[[noreturn]] void count_error(const FunctionDef& s, int nparams, int nrequired, Py_ssize_t found) {
    bool exact = nrequired == nparams;
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < nrequired) {
        expected = nrequired;
        more_or_less = exact ? "exactly" : "at least";
    } else {
        expected = nparams;
        more_or_less = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name,
                 more_or_less, expected, expected == 1 ? "" : "s", found);
    raised();
}

// Binds positional and keyword arguments to the parameter slots; borrowed.
void bind(const Function* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** slots) {
    const FunctionDef& s = *f->def;
    const int nparams = f->nparams;
    const int nrequired = s.last_default ? nparams - 1 : nparams;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > nparams) count_error(s, nparams, nrequired, nargs);
    for (int i = 0; i < nparams; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int found = -1;
        for (int i = 0; i < nparams && found < 0; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, s.params[i].name) == 0) found = i;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
            raised();
        }
        if (slots[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
            raised();
        }
        slots[found] = args[nargs + k];
    }
    for (int i = 0; i < nparams; ++i) {
        if (slots[i] != nullptr) continue;
        if (i < nrequired) count_error(s, nparams, nrequired, i);
        slots[i] = PyTuple_GET_ITEM(f->defaults, 0);
    }
    for (int i = 0; i < nparams; ++i) {
        PyTypeObject* want = s.params[i].exact_type;
        if (want != nullptr && Py_TYPE(slots[i]) != want) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         s.params[i].name, want->tp_name, Py_TYPE(slots[i])->tp_name);
            raised();
        }
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(self);
    const FunctionDef& s = *f->def;
    return boundary(f->site, [&] {
        PyObject* slots[kMaxParams];
        if (!s.var_any) bind(f, args, nargsf, kwnames, slots);
        Call call{slots, f->globals, self, {}};
        if (s.prepare != nullptr) call.prepared = s.prepare(call);
        return s.body(call);
    });
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    as_function(self)->site.~Site();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Function, annotations), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(Function, kwdefaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "dravlen.ftp.path.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref text(const char* s) { return Ref::check(PyUnicode_FromString(s)); }

// A code object that tells inspect the real parameters; it has no bytecode to run.
Ref make_code(const FunctionDef& s, const Origin& o, Borrowed name) {
    const int nparams = s.nparams();
    Ref empty = Ref::check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(o.file, s.name, o.line)));
    Ref varnames = Ref::check(PyTuple_New(s.var_any ? 2 : nparams));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (s.var_any) {
        PyTuple_SET_ITEM(varnames.get(), 0, text("_").release());
        PyTuple_SET_ITEM(varnames.get(), 1, text("__").release());
        flags |= CO_VARARGS | CO_VARKEYWORDS;
    } else {
        for (int i = 0; i < nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, text(s.params[i].name).release());
    }
    if (s.generator) flags |= CO_GENERATOR;
    Ref replace = attr(empty, R.replace);
    Ref kwargs = Ref::check(PyDict_New());
    Ref argcount = Ref::check(PyLong_FromLong(s.var_any ? 0 : nparams));
    Ref nlocals = Ref::check(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
    Ref co_flags = Ref::check(PyLong_FromLong(flags));
    check(PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_flags", co_flags.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_name", name));
    check(PyDict_SetItemString(kwargs.get(), "co_qualname", o.qualname));
    return Ref::check(PyObject_Call(replace.get(), R.empty_tuple, kwargs.get()));
}

}  // namespace

void init_function_type(PyObject* module) {
    Ref type = Ref::check(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
    Py_XSETREF(function_type, reinterpret_cast<PyTypeObject*>(type.release()));
}

Ref make_function(const FunctionDef& s, const Origin& o, Borrowed globals) {
    const int nparams = s.nparams();
    Ref name = text(s.name);
    Ref qualname = Ref::from_borrowed(o.qualname);
    Ref annotations = Ref::check(PyDict_New());
    for (int i = 0; i < nparams; ++i) {
        if (s.params[i].annotation == nullptr) continue;
        check(PyDict_SetItemString(annotations.get(), s.params[i].name, text(s.params[i].annotation).get()));
    }
    check(PyDict_SetItemString(annotations.get(), "return", text(s.returns).get()));
    Ref defaults = none();
    if (s.last_default != nullptr) defaults = Ref::check(PyTuple_Pack(1, text(s.last_default).get()));
    Ref code = make_code(s, o, name);
    Site site(o.file, o.trace, o.line);
    Ref module = Ref::from_borrowed(PyDict_GetItemWithError(globals, R.__name__));
    if (!module) {
        if (PyErr_Occurred()) raised();
        module = none();
    }

    Function* f = PyObject_GC_New(Function, function_type);
    if (f == nullptr) raised();
    f->vectorcall = function_vectorcall;
    f->def = &s;
    f->nparams = nparams;
    new (&f->site) Site(std::move(site));
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = Py_NewRef(Py_None);
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->kwdefaults = Py_NewRef(Py_None);
    f->code = code.release();
    f->globals = Py_NewRef(globals);
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref lookup_global(Borrowed globals, Borrowed name) {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found == nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(R.builtins, name);
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        raised();
    }
    return Ref::from_borrowed(found);
}

Ref Call::global(Borrowed name) const { return lookup_global(globals, name); }

PyObject* function_name(PyObject* function) { return as_function(function)->name; }
PyObject* function_qualname(PyObject* function) { return as_function(function)->qualname; }
PyObject* function_code(PyObject* function) { return as_function(function)->code; }
const Site& function_site(PyObject* function) { return as_function(function)->site; }

}  // namespace dravlen
