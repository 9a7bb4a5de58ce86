// Assembly of a module body and of a class body, the way Python runs them:
// imports bound into the namespace, a class made by its metaclass from a
// prepared namespace, and the once-per-process rules of this module kind.
#pragma once
#include <initializer_list>

#include "ref.hpp"

namespace dravlen {

// import name
void import_module(Borrowed globals, Borrowed name);
// from module import names...
void import_from(Borrowed globals, const char* module, std::initializer_list<PyObject*> names);

// A class statement: the metaclass picked from the bases, its __prepare__
// namespace filled in order, then metaclass(name, bases, namespace).
class ClassBody {
public:
    ClassBody(Borrowed name, Borrowed bases);
    void bind(Borrowed key, Borrowed value);
    Ref make();

private:
    Ref name_, bases_, meta_, ns_;
};

// What a module's Py_mod_exec runs, and the traceback entry of its failure.
struct ModuleBody {
    void (*run)(PyObject* module);
    const char* short_name;  // as the messages name the module
    const char* file;
    const char* init_frame;
};

// Py_mod_create and Py_mod_exec: the module is made once per process, in
// one interpreter only; a body that fails leaves nothing behind, so a later
// import starts afresh.
PyObject* create_module(PyObject* spec);
int exec_module(PyObject* module, const ModuleBody& body);

}  // namespace dravlen
