// FTPPath._reset(section): makes the calling thread's FTP client from a
// configuration section; returns the exception that stopped it, or None.
#include "member.hpp"
#include "names.hpp"
#include "runtime/scope.hpp"

namespace dravlen {

namespace {

// The keyword arguments for the client: a fresh dict, so the client cannot
// change the mapping the configuration handed out.
Ref keywords_from(Borrowed mapping) {
    Ref kwargs = Ref::check(PyDict_New());
    if (PyDict_Check(mapping)) {
        check(PyDict_Update(kwargs.get(), mapping));
    } else if (PyObject_HasAttrString(mapping, "keys")) {
        check(PyDict_Merge(kwargs.get(), mapping, 1));
    } else {
        PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(mapping)->tp_name);
        raised();
    }
    return kwargs;
}

Ref reset(const Call& c) {
    PyObject* self = c.arg[0];
    PyObject* section = c.arg[1];
    {
        Ref forget = attr(c.global(N.Local), N.delattr);
        call(forget, call_method(self, N._key_on_thread));
    }
    // What stops it is returned, not raised (anything but an Exception goes on).
    return attempt(
        [&] {
            Ref creator = attr(self, N._creator);
            Ref settings = call_method(self, N._read_config, section);
            Ref ftp = Ref::check(PyObject_Call(creator.get(), N.empty_tuple, keywords_from(settings).get()));
            Ref configer = call_method(c.global(N.EnvConfig), N.init_configer);
            Ref pasv = boolean(true);
            if (truthy(call_method(configer, N.has_option, section, N.pasv))) {
                pasv = call_method(configer, N.getboolean, section, N.pasv);
            }
            call_method(ftp, N.set_pasv, pasv);
            Ref store = attr(c.global(N.Local), N.setattr);
            call(store, call_method(self, N._key_on_thread), ftp);
            return none();
        },
        [](Except& exc) {
            if (!exc.matches(PyExc_Exception)) exc.reraise();
            return Ref::from_borrowed(exc.value());
        });
}

}  // namespace

const Member reset_member{
    .name = "_reset",
    .params = {self_param, {"section", &PyUnicode_Type, "str"}},
    .returns = "Optional[Exception]",
    .wrap = Wrap::none,
    .body = reset,
};

}  // namespace dravlen
