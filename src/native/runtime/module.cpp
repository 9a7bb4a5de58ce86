#include "module.hpp"

#include <new>

#include "names.hpp"
#include "scope.hpp"

namespace dravlen {

void import_module(Borrowed globals, Borrowed name) {
    Ref module = Ref::check(PyImport_Import(name));
    set_item(globals, name, module);
}

void import_from(Borrowed globals, const char* module, std::initializer_list<PyObject*> names) {
    Ref fromlist = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    Ref module_name = Ref::check(PyUnicode_FromString(module));
    Ref imported = Ref::check(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), 0));
    for (PyObject* name : names) {
        Ref owned = attr_or_null(imported, name);
        if (!owned) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name, module);
            raised();
        }
        set_item(globals, name, owned);
    }
}

namespace {

// The metaclass that type(name, bases, ns) would pick, as the class statement does.
Ref metaclass_of(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        raised();
    }
    return Ref::from_borrowed(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

ClassBody::ClassBody(Borrowed name, Borrowed bases)
    : name_(Ref::from_borrowed(name)), bases_(Ref::from_borrowed(bases)), meta_(metaclass_of(bases)) {
    ns_ = call(attr(meta_, R.__prepare__), name_, bases_);
}

void ClassBody::bind(Borrowed key, Borrowed value) { set_item(ns_, key, value); }

Ref ClassBody::make() { return call(meta_, name_, bases_, ns_); }

namespace {

// Bound by the first import; the module is made once per process, in one
// interpreter only.
int64_t main_interpreter = -1;
PyObject* created_module = nullptr;
PyObject* executed_module = nullptr;

// Copies one attribute of the module spec into the new module's namespace.
void copy_from_spec(PyObject* spec, PyObject* globals, PyObject* from, PyObject* to, bool allow_none) {
    Ref owned = attr_or_null(spec, from);
    if (owned && (allow_none || owned.get() != Py_None)) set_item(globals, to, owned);
}

}  // namespace

PyObject* create_module(PyObject* spec) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter == -1) {
        main_interpreter = interpreter;
    } else if (interpreter != main_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (created_module != nullptr) return Py_NewRef(created_module);
    try {
        intern_runtime_names();
        Ref name = attr(spec, R.name);
        Ref module = Ref::check(PyModule_NewObject(name.get()));
        PyObject* globals = PyModule_GetDict(module.get());
        copy_from_spec(spec, globals, R.loader, R.__loader__, true);
        copy_from_spec(spec, globals, R.origin, R.__file__, true);
        copy_from_spec(spec, globals, R.parent, R.__package__, true);
        copy_from_spec(spec, globals, R.submodule_search_locations, R.__path__, false);
        created_module = Py_NewRef(module.get());
        return module.release();
    } catch (PyErrorSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

int exec_module(PyObject* module, const ModuleBody& body) {
    if (executed_module != nullptr) {
        if (executed_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     body.short_name);
        return -1;
    }
    executed_module = module;
    try {
        intern_runtime_names();
        body.run(module);
        return 0;
    } catch (PyErrorSet&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_traceback(body.file, body.init_frame, 1);
    executed_module = nullptr;
    Py_CLEAR(created_module);
    return -1;
}

}  // namespace dravlen
