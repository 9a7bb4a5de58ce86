// Module set-up: multi-phase initialisation, the module body (imports,
// interrupt, the class FTPPath) and the once-per-process rules.
#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "members.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

// Bound by the first import; the module is made once per process, in one
// interpreter only.
int64_t main_interpreter = -1;
PyObject* created_module = nullptr;
PyObject* executed_module = nullptr;

void import_module(PyObject* globals, PyObject* name) {
    Ref module = Ref::check(PyImport_Import(name));
    set_item(globals, name, module);
}

// from module import names...
void import_from(PyObject* globals, const char* module, std::initializer_list<PyObject*> names) {
    Ref fromlist = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    Ref module_name = Ref::check(PyUnicode_FromString(module));
    Ref imported = Ref::check(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist, 0));
    for (PyObject* name : names) {
        PyObject* value = nullptr;
        if (_PyObject_LookupAttr(imported, name, &value) < 0) raised();
        if (value == nullptr) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name, module);
            raised();
        }
        Ref owned = Ref::steal(value);
        set_item(globals, name, owned);
    }
}

enum class Wrap { none, retry, retry_property };

// A class-body member: decorators evaluated first, then the function made and
// decorated from the inside out.
void define(PyObject* ns, PyObject* globals, const FunctionSpec& spec, Wrap wrap) {
    Ref name = Ref::check(PyUnicode_FromString(spec.name));
    Ref decorator_property;
    Ref decorator_retry;
    if (wrap == Wrap::retry_property) decorator_property = lookup_global(globals, N.property);
    if (wrap != Wrap::none) {
        Ref retry = lookup_global(globals, N.retry);
        Ref ftplib = lookup_global(globals, N.ftplib);
        Ref temp = attr(ftplib, N.error_temp);
        Ref reply = attr(ftplib, N.error_reply);
        decorator_retry = call(retry, temp, reply);
    }
    Ref member = make_function(spec, globals);
    if (decorator_retry) member = call(decorator_retry, member);
    if (decorator_property) member = call(decorator_property, member);
    set_item(ns, name, member);
}

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
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref build_ftppath(PyObject* globals) {
    Ref bases = Ref::check(PyTuple_Pack(1, lookup_global(globals, N.BasePath).get()));
    Ref meta = metaclass_of(bases);
    Ref ns = call(attr(meta, N.__prepare__), N.FTPPath, bases);
    set_item(ns, N.__module__, Ref::check(PyUnicode_FromString("dravlen.ftp.path")));
    set_item(ns, N.__qualname__, N.FTPPath);
    Ref annotations = Ref::check(PyDict_New());
    set_item(ns, N.__annotations__, annotations);
    set_item(annotations, N.client, Ref::check(PyUnicode_FromString("ftplib.FTP")));
    set_item(ns, N._section, Ref::check(PyTuple_Pack(1, N.ftp)));
    set_item(ns, N._creator, attr(lookup_global(globals, N.ftplib), N.FTP));
    define(ns, globals, reset_spec, Wrap::none);
    define(ns, globals, exists_spec, Wrap::retry_property);
    define(ns, globals, is_dir_spec, Wrap::retry);
    define(ns, globals, read_spec, Wrap::retry);
    define(ns, globals, write_spec, Wrap::retry);
    define(ns, globals, upload_spec, Wrap::retry);
    define(ns, globals, delete_spec, Wrap::retry);
    define(ns, globals, mkdir_spec, Wrap::retry);
    define(ns, globals, glob_spec, Wrap::retry);
    define(ns, globals, mtime_spec, Wrap::retry_property);
    return call(meta, N.FTPPath, bases, ns);
}

void run_body(PyObject* module) {
    intern_names();
    init_function_type(module);
    init_generator_type(module);
    PyObject* globals = PyModule_GetDict(module);
    import_module(globals, N.datetime);
    import_module(globals, N.fnmatch);
    import_module(globals, N.ftplib);
    import_module(globals, N.io);
    import_module(globals, N.pathlib);
    import_from(globals, "typing", {N.Generator, N.Any, N.Optional});
    import_from(globals, "dravlen.base", {N.retry, N.BasePath, N.Local});
    import_from(globals, "dravlen.config", {N.EnvConfig});
    set_item(globals, N.interrupt, make_function(interrupt_spec, globals));
    set_item(globals, N.FTPPath, build_ftppath(globals));
}

// Copies one attribute of the module spec into the new module's namespace.
void copy_from_spec(PyObject* spec, PyObject* globals, PyObject* from, PyObject* to, bool allow_none) {
    PyObject* value = nullptr;
    if (_PyObject_LookupAttr(spec, from, &value) < 0) raised();
    Ref owned = Ref::steal(value);
    if (owned && (allow_none || owned.get() != Py_None)) set_item(globals, to, owned);
}

PyObject* create(PyObject* spec, PyModuleDef*) {
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
        intern_names();
        Ref name = attr(spec, N.item_name);
        Ref module = Ref::check(PyModule_NewObject(name));
        PyObject* globals = PyModule_GetDict(module);
        copy_from_spec(spec, globals, N.loader, N.__loader__, true);
        copy_from_spec(spec, globals, N.origin, N.__file__, true);
        copy_from_spec(spec, globals, N.parent, N.__package__, true);
        copy_from_spec(spec, globals, N.submodule_search_locations, N.__path__, false);
        created_module = Py_NewRef(module.get());
        return module.release();
    } catch (PyErrorSet&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

int exec(PyObject* module) {
    if (executed_module != nullptr) {
        if (executed_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'path' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    executed_module = module;
    try {
        run_body(module);
        return 0;
    } catch (PyErrorSet&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_traceback("init dravlen.ftp.path", 1);
    // A failed body leaves nothing usable behind; a later import starts afresh.
    executed_module = nullptr;
    Py_CLEAR(created_module);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "path", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace dravlen

PyMODINIT_FUNC PyInit_path() { return PyModuleDef_Init(&dravlen::module_def); }
