// The module body of dravlen.ftp.path: its imports, the function interrupt,
// and the class FTPPath, whose members are bound in the order of kFTPPath.
#include <iterator>

#include "helpers.hpp"
#include "member.hpp"
#include "names.hpp"
#include "runtime/function.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"

namespace dravlen {

namespace {

constexpr const char* kModule = "dravlen.ftp.path";
// The source file name that tracebacks show for this module.
constexpr const char* kTraceFile = "dravlen/ftp/path";

// The class body, in order. A member's traceback line is its place here
// plus two: interrupt, the module function, comes first on line 1.
const Member* const kFTPPath[] = {
    &reset_member, &exists_member, &is_dir_member, &read_member,  &write_member,
    &upload_member, &delete_member, &mkdir_member, &glob_member, &mtime_member,
};
constexpr int kInterruptLine = 1;
constexpr int kFirstMemberLine = 2;

// The function definitions the module's function objects point to; filled when
// the module body runs (once per process).
FunctionDef defs[std::size(kFTPPath) + 1];

Ref text(const char* s) { return Ref::check(PyUnicode_FromString(s)); }

// The function object of a member, under its qualified name.
Ref make_member(const Member& m, FunctionDef& def, PyObject* globals, const char* owner, int line) {
    def = m.function();
    Ref qualname = owner ? Ref::check(PyUnicode_FromFormat("%s.%s", owner, m.name)) : text(m.name);
    Ref trace = Ref::check(PyUnicode_FromFormat("%s.%U", kModule, qualname.get()));
    return make_function(def, Origin{qualname, kTraceFile, trace, line}, globals);
}

// A class-body member: decorators evaluated first, then the function made and
// decorated from the inside out.
void define(ClassBody& body, PyObject* globals, const Member& m, FunctionDef& def, int line) {
    Ref decorator_property;
    Ref decorator_retry;
    if (m.wrap == Wrap::retry_property) decorator_property = lookup_global(globals, N.property);
    if (m.wrap != Wrap::none) {
        Ref retry = lookup_global(globals, N.retry);
        Ref ftplib = lookup_global(globals, N.ftplib);
        decorator_retry = call(retry, attr(ftplib, N.error_temp), attr(ftplib, N.error_reply));
    }
    Ref member = make_member(m, def, globals, "FTPPath", line);
    if (decorator_retry) member = call(decorator_retry, member);
    if (decorator_property) member = call(decorator_property, member);
    body.bind(Ref::check(PyUnicode_InternFromString(m.name)), member);
}

Ref build_ftppath(PyObject* globals) {
    Ref bases = Ref::check(PyTuple_Pack(1, lookup_global(globals, N.BasePath).get()));
    ClassBody body(N.FTPPath, bases);
    body.bind(N.__module__, text(kModule));
    body.bind(N.__qualname__, N.FTPPath);
    Ref annotations = Ref::check(PyDict_New());
    body.bind(N.__annotations__, annotations);
    set_item(annotations, N.client, text("ftplib.FTP"));
    body.bind(N._section, Ref::check(PyTuple_Pack(1, N.ftp)));
    body.bind(N._creator, attr(lookup_global(globals, N.ftplib), N.FTP));
    int line = kFirstMemberLine;
    for (const Member* m : kFTPPath) {
        define(body, globals, *m, defs[line - kFirstMemberLine + 1], line);
        ++line;
    }
    return body.make();
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
    op::bind_path_text(lookup_global(globals, N.pathlib));
    import_from(globals, "typing", {N.Generator, N.Any, N.Optional});
    import_from(globals, "dravlen.base", {N.retry, N.BasePath, N.Local});
    import_from(globals, "dravlen.config", {N.EnvConfig});
    set_item(globals, N.interrupt, make_member(interrupt_member, defs[0], globals, nullptr, kInterruptLine));
    set_item(globals, N.FTPPath, build_ftppath(globals));
}

PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(spec); }
int exec(PyObject* module) { return exec_module(module, ModuleBody{run_body, "path", kTraceFile, "init dravlen.ftp.path"}); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "path", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

FunctionDef Member::function() const {
    FunctionDef def{
        .name = name,
        .last_default = last_default,
        .returns = returns,
        .generator = generator,
        .var_any = var_any,
        .prepare = remote ? op::checked_path_text : nullptr,
        .body = body,
    };
    for (int i = 0; i < kMaxParams; ++i) def.params[i] = params[i];
    return def;
}

}  // namespace dravlen

PyMODINIT_FUNC PyInit_path() { return PyModuleDef_Init(&dravlen::module_def); }
