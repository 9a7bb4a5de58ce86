// glob(), mkdir() and delete(): listing, creating and removing remote entries.
#include "errors.hpp"
#include "generator.hpp"
#include "members.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

bool same_text(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// The entry name of a long-listing line: the ninth blank-separated field with
// its inner and trailing blanks, or nothing for a line that names no entry.
// Only the name itself is allocated. *type gets the line's type character.
Ref entry_name(PyObject* line, Py_UCS4* type) {
    *type = 0;
    if (!PyUnicode_Check(line)) {
        // Not text: take the fields the way str.split(maxsplit=8) would.
        Ref parts = call_kw(attr(line, N.split), N.kw_maxsplit, N.int_eight);
        const Py_ssize_t n = PySequence_Size(parts);
        if (n < 0) raised();
        if (n < 9) return {};
        Ref name = Ref::check(PySequence_GetItem(parts, n - 1));
        if (same_text(name, N.text_dot) || same_text(name, N.text_dotdot)) return {};
        return name;
    }
    if (PyUnicode_READY(line) < 0) raised();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const int kind = PyUnicode_KIND(line);
    const void* text = PyUnicode_DATA(line);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, text, i); };
    Py_ssize_t i = 0;
    for (int field = 0; field < 8; ++field) {
        while (i < n && Py_UNICODE_ISSPACE(at(i))) ++i;
        if (i == n) return {};
        if (field == 0) *type = at(i);
        while (i < n && !Py_UNICODE_ISSPACE(at(i))) ++i;
    }
    while (i < n && Py_UNICODE_ISSPACE(at(i))) ++i;
    if (i == n) return {};
    Py_ssize_t end = n;
    if (*type == 'l') {
        // A symbolic link reads "name -> target": the entry is the link itself.
        Py_ssize_t arrow = PyUnicode_Find(line, N.text_arrow, i, n, 1);
        if (arrow == -2) raised();
        if (arrow >= 0) end = arrow;
        if (end == i) return {};
    }
    const Py_ssize_t len = end - i;
    if (at(i) == '.' && (len == 1 || (len == 2 && at(i + 1) == '.'))) return {};
    return Ref::check(PyUnicode_Substring(line, i, end));
}

Ref glob(const Call& c) { return make_glob_generator(c.arg[0], c.arg[1], c.globals, c.code); }

Ref mkdir(const Call& c) {
    PyObject* self = c.arg[0];
    try {
        Ref parent_text = op::posix(attr(self, N.parent));
        if (!same_text(parent_text, N.text_dot) && !same_text(parent_text, N.text_slash)) {
            if (!truthy(attr(attr(self, N.parent), N.exists))) call_method(attr(self, N.parent), N.mkdir);
        }
        bool create = true;
        if (truthy(attr(self, N.exists))) create = !truthy(call_method(self, N.is_dir));
        if (create) {
            Ref mkd = attr(attr(self, N.client), N.mkd);
            call(mkd, op::posix(self));
        }
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        op::raise_about(PyExc_FileNotFoundError, "Failed to create directory '", self, "'.");
    }
    return none();
}

// Whether the path is a symbolic link, from its own line in the parent's
// listing. Servers follow links in NLST, RETR and LIST of the link itself, so
// only the parent's listing tells. A parent that cannot be listed tells nothing.
bool is_link(const Call& c, PyObject* self) {
    Ref parent = attr(self, N.parent);
    if (same_text(op::posix(parent), op::posix(self))) return false;  // the root
    Ref own_name = attr(attr(self, N.path), N.item_name);
    Ref data = Ref::check(PyList_New(0));
    try {
        Ref retrlines = attr(attr(self, N.client), N.retrlines);
        call(retrlines, op::command(N.cmd_LIST, parent), attr(data, N.append));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
        Py_UCS4 type;
        Ref name = entry_name(PyList_GET_ITEM(data.get(), i), &type);
        if (name && same_text(name, own_name)) return type == 'l';
    }
    return false;
}

void remove_file(PyObject* self) {
    Ref remove = attr(attr(self, N.client), N.delete_);
    call(remove, op::posix(self));
}

Ref delete_(const Call& c) {
    PyObject* self = c.arg[0];
    bool directory;
    try {
        directory = truthy(call_method(self, N.is_dir));
    } catch (PyErrorSet&) {
        // A dangling link looks missing; it is removed like any other link.
        Except exc;
        if (!exc.matches(PyExc_FileNotFoundError) || !is_link(c, self)) exc.reraise();
        remove_file(self);
        return none();
    }
    if (directory && is_link(c, self)) {
        // Removing the link itself; what it points to is not ours to walk.
        remove_file(self);
        return none();
    }
    if (directory) {
        Ref entries = Ref::check(PyObject_GetIter(call_method(self, N.glob)));
        while (Ref file = Ref::steal(PyIter_Next(entries))) call_method(file, N.delete_);
        if (PyErr_Occurred()) raised();
        Ref rmd = attr(attr(self, N.client), N.rmd);
        call(rmd, op::posix(self));
    } else {
        remove_file(self);
    }
    return none();
}

}  // namespace

Ref glob_step(GlobState& s) {
    Call c{nullptr, s.globals, nullptr};
    if (s.data == nullptr) {
        if (!truthy(call_method(s.self, N.is_dir))) {
            op::raise_about(PyExc_TypeError, "'", s.self, "' is not a directory.");
        }
        Ref data = Ref::check(PyList_New(0));
        s.data = Py_NewRef(data.get());
        Ref retrlines = attr(attr(s.self, N.client), N.retrlines);
        Ref text = op::command(N.cmd_LIST, s.self);
        Ref append = attr(data, N.append);
        call(retrlines, text, append);
    }
    while (s.pos < PyList_GET_SIZE(s.data)) {
        Ref line = Ref::borrow(PyList_GET_ITEM(s.data, s.pos));
        ++s.pos;
        Py_UCS4 type;
        Ref name = entry_name(line, &type);
        if (!name) continue;
        Ref match = attr(c.global(N.fnmatch), N.fnmatch);
        if (!truthy(call(match, name, s.pattern))) continue;
        return call_method(s.self, N.join, name);
    }
    return {};
}

const FunctionSpec delete_spec{
    "delete", "FTPPath.delete", "dravlen.ftp.path.FTPPath.delete", 8, delete_,
    {op::self_param}, 1, nullptr, "None", false, false,
};
const FunctionSpec mkdir_spec{
    "mkdir", "FTPPath.mkdir", "dravlen.ftp.path.FTPPath.mkdir", 9, mkdir,
    {op::self_param}, 1, nullptr, "None", false, false,
};
const FunctionSpec glob_spec{
    "glob", "FTPPath.glob", "dravlen.ftp.path.FTPPath.glob", 10, glob,
    {op::self_param, {"pattern", &PyUnicode_Type, "str"}}, 2, "*", "Generator['FTPPath', Any, Any]", true, false,
};

}  // namespace dravlen
