#include "members.hpp"

#include "errors.hpp"
#include "names.hpp"

namespace dravlen::op {

Ref posix(PyObject* self) { return call_method(attr(self, N.path), N.as_posix); }

Ref command(PyObject* word, PyObject* self) {
    Ref text = Ref::check(PyObject_Format(posix(self), N.text_empty));
    return concat(word, text);
}

void raise_about(PyObject* type, const char* prefix, PyObject* self, const char* suffix) {
    Ref message = quoted_message(prefix, attr(self, N.path), suffix);
    PyErr_SetObject(type, message);
    raised();
}

Ref error_perm(const Call& c) { return attr(c.global(N.ftplib), N.error_perm); }

bool has_code(PyObject* error, const char* code) {
    Ref text = Ref::check(PyObject_Str(error));
    Ref prefix = Ref::check(PyUnicode_FromString(code));
    return PyUnicode_Tailmatch(text, prefix, 0, 3, -1) == 1;
}

bool not_understood(PyObject* error) { return has_code(error, "500") || has_code(error, "502"); }

void remember(PyObject* client, PyObject* flag) { remember_value(client, flag, Py_True); }

void valid_reset(PyObject* self) { call_method(self, N._valid_reset); }

void drop_if_open(const Call& c, PyObject* self, const Except& exc) {
    if (exc.matches(attr(c.global(N.ftplib), N.Error))) return;
    call_method(self, N._drop_client);
}

void long_listing(const Call& c, PyObject* self, PyObject* data, bool here) {
    Ref client = attr(self, N.client);
    Ref retrlines = attr(client, N.retrlines);
    Ref append = attr(data, N.append);
    auto list = [&](PyObject* word, PyObject* bare) {
        Ref text = here ? Ref::borrow(bare) : command(word, self);
        transfer(c, self, [&] { return call(retrlines, text, append); });
    };
    if (PyObject_HasAttr(client, N.plain_list) != 0) return list(N.cmd_LIST, N.cmd_LIST_bare);
    try {
        list(N.cmd_LIST_all, N.cmd_LIST_here);
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(error_perm(c))) exc.reraise();
        check(PyList_SetSlice(data, 0, PyList_GET_SIZE(data), nullptr));
        list(N.cmd_LIST, N.cmd_LIST_bare);
        remember(client, N.plain_list);
    }
}

bool has_blank(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i))) return true;
    }
    return false;
}

bool has_wildcard(PyObject* text) {
    if (!PyUnicode_Check(text)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        switch (PyUnicode_READ_CHAR(text, i)) {
            case '*':
            case '?':
            case '[':
            case '{':
                return true;
            default:
                break;
        }
    }
    return false;
}

Ref encoding_of(PyObject* client) {
    Ref found = Ref::steal(PyObject_GetAttr(client, N.encoding));
    if (found && PyUnicode_Check(found.get())) return found;
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raised();
        PyErr_Clear();
    }
    return Ref::borrow(N.text_utf8);
}

namespace {

// The value of the "type" fact of an MLST entry line " fact=value;...; path",
// folded to lower case, or nothing.
Ref type_fact(PyObject* line) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    Py_ssize_t facts_end = PyUnicode_FindChar(line, ' ', 1, n, 1);
    if (facts_end < 0) facts_end = n;
    for (Py_ssize_t fact = 1; fact < facts_end;) {
        Py_ssize_t end = PyUnicode_FindChar(line, ';', fact, facts_end, 1);
        if (end < 0) end = facts_end;
        static constexpr char word[] = "type=";
        bool named = end - fact > 5;
        for (int k = 0; named && k < 5; ++k) {
            named = Py_UNICODE_TOLOWER(PyUnicode_READ_CHAR(line, fact + k)) == static_cast<Py_UCS4>(word[k]);
        }
        if (named) {
            Ref value = Ref::check(PyUnicode_Substring(line, fact + 5, end));
            return call_method(value, N.lower);
        }
        fact = end + 1;
    }
    return {};
}

// The directory the client works in: asked once with PWD, then kept on the
// client (the members never leave it for longer than one exchange).
Ref working_directory(const Call& c, PyObject* self, PyObject* client) {
    Ref known = Ref::steal(PyObject_GetAttr(client, N.home_dir));
    if (known) return known;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raised();
    PyErr_Clear();
    Ref reply = exchange(c, self, attr(client, N.sendcmd), N.cmd_PWD);
    Ref home = call(attr(c.global(N.ftplib), N.parse257), reply);
    remember_value(client, N.home_dir, home);
    return home;
}

}  // namespace

void remember_value(PyObject* client, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(client, name, value) < 0) PyErr_Clear();
}

Ref mlst_type(const Call& c, PyObject* self) {
    Ref client = attr(self, N.client);
    if (PyObject_HasAttr(client, N.no_mlst) != 0) return {};
    Ref reply;
    try {
        reply = exchange(c, self, attr(client, N.sendcmd), command(N.cmd_MLST, self));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(error_perm(c))) exc.reraise();
        if (not_understood(exc.value())) remember(client, N.no_mlst);
        return {};
    }
    if (!PyUnicode_Check(reply.get())) return {};
    Ref lines = call_method(reply, N.splitlines);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
        PyObject* line = PyList_GET_ITEM(lines.get(), i);
        if (PyUnicode_GET_LENGTH(line) > 1 && PyUnicode_READ_CHAR(line, 0) == ' ') return type_fact(line);
    }
    return {};
}

bool enters(const Call& c, PyObject* self, PyObject* lines) {
    Ref client = attr(self, N.client);
    Ref home = working_directory(c, self, client);
    Ref sendcmd = attr(client, N.sendcmd);
    try {
        exchange(c, self, sendcmd, command(N.cmd_CWD, self));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(error_perm(c))) exc.reraise();
        return false;
    }
    try {
        if (lines != nullptr) long_listing(c, self, lines, true);
    } catch (PyErrorSet&) {
        // After anything but a reply the client is dropped already: nothing to go back in.
        Except exc;
        if (exc.matches(attr(c.global(N.ftplib), N.Error))) leave(c, self, sendcmd, home);
        exc.reraise();
    }
    leave(c, self, sendcmd, home);
    return true;
}

void leave(const Call& c, PyObject* self, PyObject* sendcmd, PyObject* home) {
    try {
        exchange(c, self, sendcmd, concat(N.cmd_CWD, home));
    } catch (PyErrorSet&) {
        // Left elsewhere, relative paths would name other entries: the next
        // operation starts on a fresh client, in the login directory.
        Except exc;
        call_method(self, N._drop_client);
        if (!exc.matches(error_perm(c))) exc.reraise();
    }
}

bool refused_as_directory(const Call& c, PyObject* self) {
    Ref kind = mlst_type(c, self);
    if (kind) {
        for (const char* dir : {"dir", "cdir", "pdir"}) {
            if (PyUnicode_CompareWithASCIIString(kind, dir) == 0) return true;
        }
        if (PyUnicode_CompareWithASCIIString(kind, "file") == 0) return false;
    }
    return enters(c, self, nullptr);  // a link, or a server without MLST
}

}  // namespace dravlen::op
