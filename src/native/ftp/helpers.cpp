#include "helpers.hpp"

#include <structmember.h>

#include <cstring>

#include "listing.hpp"

namespace dravlen::op {

namespace {

// A PurePosixPath keeps its text once made (as_posix() returns str(path),
// which pathlib caches in the slot _str). Where that slot is, in objects of
// exactly that class, is found once at import; the text is then read from it
// without a lookup or a call.
PyTypeObject* posix_path_type = nullptr;
Py_ssize_t posix_text_offset = 0;

// self.path.as_posix(): the kept text where there is one, else asked.
Ref path_text(Borrowed self) {
    Ref path = attr(self, N.path);
    if (Py_TYPE(path.get()) == posix_path_type) {
        PyObject* text = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(path.get()) + posix_text_offset);
        if (text != nullptr && PyUnicode_CheckExact(text)) return Ref::from_borrowed(text);
    }
    return call_method(path, N.as_posix);
}

}  // namespace

void bind_path_text(Borrowed pathlib) {
    // Bound once: a failed import may run the module body again.
    if (posix_path_type != nullptr) return;
    Ref type = attr_or_null(pathlib, N.PurePosixPath);
    if (!type || !PyType_Check(type.get())) return;
    Ref slot = type_attr_or_null(reinterpret_cast<PyTypeObject*>(type.get()), N._str);
    if (!slot || Py_TYPE(slot.get()) != &PyMemberDescr_Type) return;  // another pathlib: always asked
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(slot.get())->d_member;
    if (member->type != T_OBJECT_EX) return;
    posix_text_offset = member->offset;
    posix_path_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process, as the module is
}

Ref checked_path_text(const Call& c) {
    Ref text = path_text(c.arg[0]);
    if (!PyUnicode_Check(text.get())) return text;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    const int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    const char* what = nullptr;
    for (Py_ssize_t i = 0; i < n && what == nullptr; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '\n' || ch == '\r') what = "a line break";
        if (ch == 0) what = "a NUL character";
    }
    if (what == nullptr) return text;
    PyErr_Format(PyExc_ValueError, "Remote path %R holds %s, which an FTP command cannot carry", text.get(), what);
    raised();
}

Ref posix(const Call& c, Borrowed self) {
    if (c.prepared && c.arg != nullptr && self == c.arg[0]) return c.prepared;
    return path_text(self);
}

Ref command(const Call& c, Borrowed word, Borrowed self) {
    Ref text = posix(c, self);
    if (!PyUnicode_CheckExact(text.get())) text = Ref::check(PyObject_Format(text.get(), N.text_empty));
    return concat(word, text);
}

void raise_about(Borrowed type, const char* prefix, Borrowed self, const char* suffix) {
    Ref text = Ref::check(PyObject_Str(attr(self, N.path).get()));
    PyErr_SetObject(type, Ref::check(PyUnicode_FromFormat("%s%U%s", prefix, text.get(), suffix)).get());
    raised();
}

void raise_about_with(Borrowed type, const char* format, Borrowed self, Borrowed detail) {
    Ref text = Ref::check(PyObject_Str(attr(self, N.path).get()));
    PyErr_SetObject(type, Ref::check(PyUnicode_FromFormat(format, text.get(), detail.get())).get());
    raised();
}

Ref error_perm(const Call& c) { return attr(c.global(N.ftplib), N.error_perm); }

bool has_code(Borrowed error, const char* code) {
    Ref text = Ref::check(PyObject_Str(error));
    if (PyUnicode_GET_LENGTH(text.get()) < 3) return false;
    for (int i = 0; i < 3; ++i) {
        if (PyUnicode_READ_CHAR(text.get(), i) != static_cast<Py_UCS4>(code[i])) return false;
    }
    return true;
}

bool not_understood(Borrowed error) { return has_code(error, "500") || has_code(error, "502"); }

void remember_value(Borrowed client, Borrowed name, Borrowed value) {
    if (PyObject_SetAttr(client, name, value) < 0) PyErr_Clear();
}

void hang_up(const Call& c, Borrowed self) {
    Ref key = call_method(self, N._key_on_thread);
    Ref lookup = Ref::check(PyObject_GetAttrString(c.global(N.Local).get(), "getattr"));
    Ref client = call(lookup, key);
    if (client.get() == Py_None) return;
    Ref session = call_method(self, N._session);
    call_method(session, N.end, client);
}

void drop_if_open(const Call& c, Borrowed self, const Except& exc) {
    if (exc.matches(attr(c.global(N.ftplib), N.Error))) return;
    hang_up(c, self);
    call_method(self, N._drop_client);
}

Ref exchange_or_null(const Call& c, Borrowed self, Borrowed f, Borrowed arg) {
    Ref reply = call_or_null(f, arg);
    if (reply) return reply;
    // Nothing is looked up while the exception is pending (a lookup may clear it).
    Except exc;
    drop_if_open(c, self, exc);
    return exc.restore();
}

bool has_blank(Borrowed text) {
    if (!PyUnicode_Check(text)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i))) return true;
    }
    return false;
}

bool has_wildcard(Borrowed text) {
    if (!PyUnicode_Check(text)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        switch (PyUnicode_READ(kind, data, i)) {
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

Ref encoding_of(Borrowed client) {
    Ref found = attr_or_null(client, N.encoding);
    if (found && PyUnicode_Check(found.get())) return found;
    return Ref::from_borrowed(N.text_utf8);
}

void require_exists(Borrowed self) {
    if (!truthy(attr(self, N.exists))) raise_about(PyExc_FileNotFoundError, "'", self, "' does not exist.");
}

namespace {

// The value of the fact `word` (lower case, "=" included) of an MLST entry
// line " fact=value;...; path", or nothing.
Ref fact_of(Borrowed line, const char* word) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const Py_ssize_t length = static_cast<Py_ssize_t>(std::strlen(word));
    Py_ssize_t facts_end = PyUnicode_FindChar(line, ' ', 1, n, 1);
    if (facts_end < 0) facts_end = n;
    for (Py_ssize_t fact = 1; fact < facts_end;) {
        Py_ssize_t end = PyUnicode_FindChar(line, ';', fact, facts_end, 1);
        if (end < 0) end = facts_end;
        bool named = end - fact > length;
        for (Py_ssize_t k = 0; named && k < length; ++k) {
            named = Py_UNICODE_TOLOWER(PyUnicode_READ_CHAR(line, fact + k)) == static_cast<Py_UCS4>(word[k]);
        }
        if (named) return Ref::check(PyUnicode_Substring(line, fact + length, end));
        fact = end + 1;
    }
    return {};
}

// The directory the client works in: asked once with PWD, then kept on the
// client (the members never leave it for longer than one exchange).
Ref working_directory(const Call& c, Borrowed self, Borrowed client) {
    Ref known = attr_or_null(client, N.home_dir);
    if (known) return known;
    Ref reply = exchange(c, self, attr(client, N.sendcmd), N.cmd_PWD);
    Ref home = call(attr(c.global(N.ftplib), N.parse257), reply);
    remember_value(client, N.home_dir, home);
    return home;
}

// CWD back to home after entering; where that fails the client is dropped.
void leave(const Call& c, Borrowed self, Borrowed sendcmd, Borrowed home) {
    attempt([&] { return exchange(c, self, sendcmd, concat(N.cmd_CWD, home)); },
            [&](Except& exc) {
                // Left elsewhere, relative paths would name other entries: the next
                // operation starts on a fresh client, in the login directory.
                call_method(self, N._drop_client);
                if (!exc.matches(error_perm(c))) exc.reraise();
                return Ref{};
            });
}

}  // namespace

Ref mlst_fact(const Call& c, Borrowed self, const char* name) {
    Ref client = attr(self, N.client);
    if (has_attr(client, N.no_mlst)) return {};
    Ref reply = if_refused(
        c, [&] { return exchange_or_null(c, self, attr(client, N.sendcmd), command(c, N.cmd_MLST, self)); },
        [&](Except& exc) {
            if (not_understood(exc.value())) remember(client, N.no_mlst);
            return Ref{};
        });
    if (!reply || !PyUnicode_Check(reply.get())) return {};
    Ref lines = call_method(reply, N.splitlines);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
        PyObject* line = PyList_GET_ITEM(lines.get(), i);
        if (PyUnicode_GET_LENGTH(line) > 1 && PyUnicode_READ_CHAR(line, 0) == ' ') return fact_of(line, name);
    }
    return {};
}

Ref mlst_type(const Call& c, Borrowed self) {
    Ref kind = mlst_fact(c, self, "type=");
    return kind ? call_method(kind, N.lower) : Ref{};
}

bool enters(const Call& c, Borrowed self, Borrowed lines) {
    Ref client = attr(self, N.client);
    Ref home = working_directory(c, self, client);
    Ref sendcmd = attr(client, N.sendcmd);
    const Ref entered = if_refused(
        c, [&] { return exchange_or_null(c, self, sendcmd, command(c, N.cmd_CWD, self)); },
        [](Except&) { return Ref{}; });
    if (!entered) return false;
    if (lines != nullptr) {
        attempt([&] { return long_listing(c, self, lines, true), Ref{}; },
                [&](Except& exc) -> Ref {
                    // After anything but a reply the client is dropped already: nothing to go back in.
                    if (exc.matches(attr(c.global(N.ftplib), N.Error))) leave(c, self, sendcmd, home);
                    exc.reraise();
                });
    }
    leave(c, self, sendcmd, home);
    return true;
}

bool refused_as_directory(const Call& c, Borrowed self) {
    Ref kind = mlst_type(c, self);
    if (kind) {
        for (const char* dir : {"dir", "cdir", "pdir"}) {
            if (PyUnicode_CompareWithASCIIString(kind.get(), dir) == 0) return true;
        }
        if (PyUnicode_CompareWithASCIIString(kind.get(), "file") == 0) return false;
    }
    return enters(c, self, nullptr);  // a link, or a server without MLST
}

// A data connection that ends early looks like the end of the file, and some
// servers confirm such a transfer all the same: the size the server gives for
// the file afterwards tells. The rule is the product layer's one rule for
// every transfer, the client's session's confirm; a client that cannot ask
// is taken at its word. A mismatch is a transient
// failure (IncompleteTransfer), so the operation is tried again on a fresh
// client.
void check_size(const Call& c, Borrowed self, Py_ssize_t moved) {
    Ref client = attr(self, N.client);
    if (!attr_or_null(client, N.sendcmd)) return;
    Ref session = call_method(self, N._session);
    Ref count = Ref::check(PyLong_FromSsize_t(moved));
    Ref where = posix(c, self);
    transfer(c, self, [&] { return call_method(session, N.confirm, self, client, count, where); });
}

}  // namespace dravlen::op
