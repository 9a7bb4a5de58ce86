#include "generator.hpp"

#include <structmember.h>

#include "names.hpp"

namespace dravlen {

namespace {

enum class Status : unsigned char { created, suspended, running, finished };

struct Generator {
    PyObject_HEAD
    GeneratorState state;
    Step step;
    PyObject* function;  // what made it: its name, code and traceback entry
    PyObject* weakrefs;
    Status status;
};

PyTypeObject* generator_type = nullptr;  // bound at import

Generator* as_generator(PyObject* o) { return reinterpret_cast<Generator*>(o); }

void drop_state(Generator* g) {
    for (PyObject*& slot : g->state.slot) Py_CLEAR(slot);
}

void finish(Generator* g) {
    g->status = Status::finished;
    drop_state(g);
}

// An exception leaving the body ends the generator; a StopIteration that
// escapes from inside is not allowed to look like the end of iteration.
void leave_with_error(Generator* g) {
    finish(g);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Except stop;
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    }
    function_site(g->function).add_traceback();
}

// One request. Returns the item, or nullptr: at the end with no exception set
// (the caller decides how the end is reported), or with an exception.
PyObject* resume(Generator* g) {
    g->status = Status::running;
    Ref item;
    try {
        item = g->step(g->state);
    } catch (PyErrorSet&) {
        leave_with_error(g);
        return nullptr;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        leave_with_error(g);
        return nullptr;
    }
    if (!item) {
        finish(g);
        return nullptr;
    }
    g->status = Status::suspended;
    return item.release();
}

bool refuse_running(Generator* g) {
    if (g->status != Status::running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

PyObject* generator_next(PyObject* self) {
    Generator* g = as_generator(self);
    if (refuse_running(g) || g->status == Status::finished) return nullptr;
    return resume(g);
}

PyObject* generator_send(PyObject* self, PyObject* value) {
    Generator* g = as_generator(self);
    if (refuse_running(g)) return nullptr;
    if (g->status == Status::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = g->status == Status::finished ? nullptr : resume(g);
    if (item == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

// Sets the exception described by throw()'s arguments, as Python does.
bool set_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(type)) {
        Py_INCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_Restore(type, value, tb);
        return true;
    }
    if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        value = type;
        type = PyExceptionInstance_Class(value);
        if (tb == nullptr) tb = PyException_GetTraceback(value);
        else Py_INCREF(tb);
        Py_INCREF(type);
        Py_INCREF(value);
        PyErr_Restore(type, value, tb);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return false;
}

PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Generator* g = as_generator(self);
    if (nargs < 1 || nargs > 3) {
        // The words of the interpreter's own check of positional counts.
        if (nargs < 1) PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        else PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 on, the generators of Python code warn of this form.
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                                  "signature instead.",
                                  1) < 0)
        return nullptr;
#endif
    if (refuse_running(g)) return nullptr;
    if (!set_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) return nullptr;
    // The body has no handler of its own: the exception leaves it at once.
    if (g->status != Status::finished) leave_with_error(g);
    return nullptr;
}

PyObject* generator_close(PyObject* self, PyObject*) {
    Generator* g = as_generator(self);
    if (refuse_running(g)) return nullptr;
    finish(g);
    Py_RETURN_NONE;
}

PyObject* generator_running(PyObject* self, void*) { return PyBool_FromLong(as_generator(self)->status == Status::running); }
PyObject* generator_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_generator(self)->status == Status::suspended);
}
PyObject* generator_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* generator_name(PyObject* self, void*) { return Py_NewRef(function_name(as_generator(self)->function)); }
PyObject* generator_qualname(PyObject* self, void*) {
    return Py_NewRef(function_qualname(as_generator(self)->function));
}
PyObject* generator_code(PyObject* self, void*) { return Py_NewRef(function_code(as_generator(self)->function)); }

PyObject* generator_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", function_qualname(as_generator(self)->function), self);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = as_generator(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* slot : g->state.slot) Py_VISIT(slot);
    Py_VISIT(g->function);
    return 0;
}

int generator_clear(PyObject* self) {
    Generator* g = as_generator(self);
    drop_state(g);
    Py_CLEAR(g->function);
    return 0;
}

void generator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_generator(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    generator_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL, nullptr},
    {"close", generator_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", generator_name, nullptr, nullptr, nullptr},
    {"__qualname__", generator_qualname, nullptr, nullptr, nullptr},
    {"gi_code", generator_code, nullptr, nullptr, nullptr},
    {"gi_running", generator_running, nullptr, nullptr, nullptr},
    {"gi_suspended", generator_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", generator_none, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", generator_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef generator_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Generator, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot generator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(generator_next)},
    {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(generator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
    {Py_tp_methods, generator_methods},
    {Py_tp_getset, generator_getset},
    {Py_tp_members, generator_members},
    {0, nullptr},
};

PyType_Spec generator_spec = {
    "dravlen.ftp.path.generator",
    sizeof(Generator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    generator_slots,
};

}  // namespace

void init_generator_type(PyObject* module) {
    Ref type = Ref::check(PyType_FromModuleAndSpec(module, &generator_spec, nullptr));
    Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
    call_method(attr(abc, R.Generator), R.register_, type);
    Py_XSETREF(generator_type, reinterpret_cast<PyTypeObject*>(type.release()));
}

Ref make_generator(const Call& c, Step step, std::initializer_list<PyObject*> slots) {
    Generator* g = PyObject_GC_New(Generator, generator_type);
    if (g == nullptr) raised();
    int i = 0;
    for (PyObject*& slot : g->state.slot) slot = nullptr;
    for (PyObject* o : slots) g->state.slot[i++] = Py_XNewRef(o);
    g->state.pos = 0;
    g->step = step;
    g->function = Py_NewRef(c.function);
    g->weakrefs = nullptr;
    g->status = Status::created;
    PyObject_GC_Track(g);
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace dravlen
