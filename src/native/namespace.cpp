// glob(), mkdir() and delete(): listing, creating and removing remote entries.
#include "errors.hpp"
#include "generator.hpp"
#include "members.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

bool same_text(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// Appends the lines of the directory's long listing to data. A path holding
// pattern characters or blanks is listed from inside (CWD there, "LIST -a",
// CWD back): some servers expand patterns in LIST's argument, and Pure-FTPd
// takes the blanks in it for separators between several paths. Elsewhere the
// path is listed by name, as before.
void list_directory(const Call& c, PyObject* self, PyObject* data) {
    Ref text = op::posix(self);
    if (op::has_wildcard(text) || op::has_blank(text)) {
        if (op::enters(c, self, data)) return;
        check(PyList_SetSlice(data, 0, PyList_GET_SIZE(data), nullptr));
    }
    op::long_listing(c, self, data, false);
}

bool starts_with_folded(int kind, const void* text, Py_ssize_t at, Py_ssize_t end, const char* word) {
    for (; *word != 0; ++word, ++at) {
        if (at >= end || Py_UNICODE_TOLOWER(PyUnicode_READ(kind, text, at)) != static_cast<Py_UCS4>(*word)) return false;
    }
    return true;
}

// The entry of an MLSD line "fact=value;fact=value; name": its name, or
// nothing for the directory itself and its parent. *link tells a symbolic link.
Ref machine_entry(PyObject* line, bool* link) {
    *link = false;
    if (!PyUnicode_Check(line) || PyUnicode_READY(line) < 0) return {};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const Py_ssize_t blank = PyUnicode_FindChar(line, ' ', 0, n, 1);
    if (blank < 0 || blank + 1 >= n) return {};
    const int kind = PyUnicode_KIND(line);
    const void* text = PyUnicode_DATA(line);
    for (Py_ssize_t fact = 0; fact < blank;) {
        Py_ssize_t end = PyUnicode_FindChar(line, ';', fact, blank, 1);
        if (end < 0) end = blank;
        if (starts_with_folded(kind, text, fact, end, "type=")) {
            const Py_ssize_t value = fact + 5;
            if (starts_with_folded(kind, text, value, end, "cdir") || starts_with_folded(kind, text, value, end, "pdir")) {
                return {};
            }
            *link = starts_with_folded(kind, text, value, end, "os.unix=slink") ||
                    starts_with_folded(kind, text, value, end, "os.unix=symlink");
        }
        fact = end + 1;
    }
    const Py_ssize_t len = n - blank - 1;
    const Py_UCS4 first = PyUnicode_READ(kind, text, blank + 1);
    if (first == '.' && (len == 1 || (len == 2 && PyUnicode_READ(kind, text, blank + 2) == '.'))) return {};
    return Ref::check(PyUnicode_Substring(line, blank + 1, n));
}

// A listed name holding "/" would name something outside the directory
// (an absolute path, "../x"): no entry of this directory, so it is passed over.
// So is a link line that does not tell its own name.
Ref entry_of(PyObject* line, bool machine, PyObject* encoding, bool* link) {
    Ref name;
    if (machine) {
        name = machine_entry(line, link);
    } else {
        op::Listed entry = op::long_entry(line, encoding);
        if (entry.ambiguous) return {};
        name = std::move(entry.name);
        *link = entry.link;
    }
    if (name && PyUnicode_Check(name.get())) {
        const Py_ssize_t found = PyUnicode_FindChar(name, '/', 0, PyUnicode_GET_LENGTH(name.get()), 1);
        if (found == -2) raised();
        if (found >= 0) return {};
    }
    return name;
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
            op::exchange(c, self, mkd, op::posix(self));
        }
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        // Another client may have made the directory between the probe and MKD.
        // The check is a second opinion only: its own failure leaves the refusal standing.
        try {
            if (truthy(attr(self, N.exists)) && truthy(call_method(self, N.is_dir))) return none();
        } catch (PyErrorSet&) {
            Except recheck;
            if (!recheck.matches(PyExc_Exception)) recheck.reraise();
        }
        op::raise_about(PyExc_FileNotFoundError, "Failed to create directory '", self, "'.");
    }
    return none();
}

// Whether the path is a symbolic link, from its own line in the parent's
// long listing. Servers follow links in NLST, RETR and LIST of the link itself
// (and some in MLSD), so only that line tells. A path that was found to be a
// directory and whose own line is not there for certain (a parent that cannot
// be listed, a server that mangles names it cannot show, a link line that
// does not tell its name) is taken for a link: removing a link as a file
// fails on a directory, whereas walking a link would remove what it points to.
bool is_link(const Call& c, PyObject* self, bool directory) {
    Ref parent = attr(self, N.parent);
    if (same_text(op::posix(parent), op::posix(self))) return false;  // the root
    Ref own_name = attr(attr(self, N.path), N.item_name);
    Ref data = Ref::check(PyList_New(0));
    try {
        list_directory(c, parent, data);
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        return directory;
    }
    Ref encoding = op::encoding_of(attr(self, N.client));
    bool unsure = directory;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
        op::Listed entry = op::long_entry(PyList_GET_ITEM(data.get(), i), encoding);
        if (!entry.names(own_name)) continue;
        if (entry.ambiguous) return true;
        if (entry.link) return true;
        unsure = false;
    }
    return unsure;
}

void remove_file(const Call& c, PyObject* self) {
    Ref remove = attr(attr(self, N.client), N.delete_);
    op::exchange(c, self, remove, op::posix(self));
}

// Entries that the long listing did not show (some servers leave out links
// to "." or "..") are found with MLSD and removed, links as links. False when
// the server cannot tell more.
bool sweep_unlisted(const Call& c, PyObject* self) {
    Ref client = attr(self, N.client);
    if (PyObject_HasAttr(client, N.no_mlsd) != 0) return false;
    Ref data = Ref::check(PyList_New(0));
    try {
        Ref retrlines = attr(client, N.retrlines);
        op::transfer(c, self, [&] { return call(retrlines, op::command(N.cmd_MLSD, self), attr(data, N.append)); });
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        if (op::not_understood(exc.value())) op::remember(client, N.no_mlsd);
        return false;
    }
    bool found = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
        bool link;
        Ref name = machine_entry(PyList_GET_ITEM(data.get(), i), &link);
        if (!name) continue;
        found = true;
        Ref child = call_method(self, N.join, name);
        if (link) {
            remove_file(c, child);
        } else {
            call_method(child, N.delete_);
        }
    }
    return found;
}

void remove_directory(const Call& c, PyObject* self) {
    try {
        Ref rmd = attr(attr(self, N.client), N.rmd);
        op::exchange(c, self, rmd, op::posix(self));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c)) || !sweep_unlisted(c, self)) exc.reraise();
        Ref rmd = attr(attr(self, N.client), N.rmd);
        op::exchange(c, self, rmd, op::posix(self));
    }
}

Ref delete_(const Call& c) {
    PyObject* self = c.arg[0];
    bool directory;
    try {
        directory = truthy(call_method(self, N.is_dir));
    } catch (PyErrorSet&) {
        // A dangling link looks missing; it is removed like any other link.
        Except exc;
        if (!exc.matches(PyExc_FileNotFoundError) || !is_link(c, self, false)) exc.reraise();
        remove_file(c, self);
        return none();
    }
    if (directory && is_link(c, self, true)) {
        // Removing the link itself; what it points to is not ours to walk.
        remove_file(c, self);
        return none();
    }
    if (directory) {
        Ref entries = Ref::check(PyObject_GetIter(call_method(self, N.glob)));
        while (Ref file = Ref::steal(PyIter_Next(entries))) call_method(file, N.delete_);
        if (PyErr_Occurred()) raised();
        remove_directory(c, self);
    } else {
        remove_file(c, self);
    }
    return none();
}

}  // namespace

namespace op {

bool Listed::names(PyObject* own) const {
    if (!name) return false;
    if (!ambiguous) return same_text(name, own);
    Ref prefix = concat(own, N.text_arrow);
    return PyUnicode_Tailmatch(name, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
}

namespace {

// The size column as a number, or -1.
long long size_column(int kind, const void* text, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start || end - start > 18) return -1;
    long long value = 0;
    for (Py_ssize_t k = start; k < end; ++k) {
        const Py_UCS4 ch = PyUnicode_READ(kind, text, k);
        if (ch < '0' || ch > '9') return -1;
        value = value * 10 + (ch - '0');
    }
    return value;
}

// Whether text takes size bytes in encoding (names that are no valid text
// carry their bytes as escapes, which encode back to those bytes).
bool takes_bytes(PyObject* text, PyObject* encoding, long long size) {
    try {
        Ref bytes = call_method(text, N.encode, encoding, N.surrogateescape);
        return PyBytes_Check(bytes.get()) && PyBytes_GET_SIZE(bytes.get()) == size;
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(PyExc_LookupError) && !exc.matches(PyExc_UnicodeError)) exc.reraise();
        return false;
    }
}

}  // namespace

Listed long_entry(PyObject* line, PyObject* encoding) {
    Listed entry;
    if (!PyUnicode_Check(line)) {
        // Not text: take the fields the way str.split(maxsplit=8) would.
        Ref parts = call_kw(attr(line, N.split), N.kw_maxsplit, N.int_eight);
        const Py_ssize_t n = PySequence_Size(parts);
        if (n < 0) raised();
        if (n < 9) return entry;
        Ref name = Ref::check(PySequence_GetItem(parts, n - 1));
        if (same_text(name, N.text_dot) || same_text(name, N.text_dotdot)) return entry;
        entry.name = std::move(name);
        return entry;
    }
    if (PyUnicode_READY(line) < 0) raised();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const int kind = PyUnicode_KIND(line);
    const void* text = PyUnicode_DATA(line);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, text, i); };
    Py_ssize_t i = 0;
    Py_ssize_t size_start = 0, size_end = 0;
    Py_UCS4 type = 0;
    for (int field = 0; field < 8; ++field) {
        while (i < n && Py_UNICODE_ISSPACE(at(i))) ++i;
        if (i == n) return entry;
        if (field == 0) type = at(i);
        const Py_ssize_t start = i;
        while (i < n && !Py_UNICODE_ISSPACE(at(i))) ++i;
        if (field == 4) size_start = start, size_end = i;
    }
    // Exactly one blank parts the time from the name: the name's own blanks stay.
    if (i + 1 >= n) return entry;
    ++i;
    Py_ssize_t end = n;
    entry.link = type == 'l';
    if (entry.link) {
        // A symbolic link reads "name -> target", and either may hold " -> "
        // itself: the size column, the target's length, tells which arrow it is.
        const long long size = size_column(kind, text, size_start, size_end);
        Py_ssize_t last = -1, fitting = -1;
        int arrows = 0, fits = 0;
        for (Py_ssize_t a = PyUnicode_Find(line, N.text_arrow, i, n, 1); a >= 0;
             a = PyUnicode_Find(line, N.text_arrow, a + 1, n, 1)) {
            ++arrows;
            last = a;
            if (size >= 0 && takes_bytes(Ref::check(PyUnicode_Substring(line, a + 4, n)), encoding, size)) {
                ++fits;
                fitting = a;
            }
        }
        if (PyErr_Occurred()) raised();
        if (arrows == 1) {
            end = last;
        } else if (arrows > 1) {
            if (fits != 1) {
                entry.ambiguous = true;
                entry.name = Ref::check(PyUnicode_Substring(line, i, n));
                return entry;
            }
            end = fitting;
        }
        if (end == i) return entry;
    }
    const Py_ssize_t len = end - i;
    if (at(i) == '.' && (len == 1 || (len == 2 && at(i + 1) == '.'))) return entry;
    entry.name = Ref::check(PyUnicode_Substring(line, i, end));
    return entry;
}

}  // namespace op

Ref glob_step(GlobState& s) {
    Call c{nullptr, s.globals, nullptr};
    if (s.data == nullptr) {
        if (!truthy(call_method(s.self, N.is_dir))) {
            op::raise_about(PyExc_TypeError, "'", s.self, "' is not a directory.");
        }
        Ref data = Ref::check(PyList_New(0));
        s.data = Py_NewRef(data.get());
        s.encoding = op::encoding_of(attr(s.self, N.client)).release();
        list_directory(c, s.self, data);
        s.machine = false;
    }
    while (s.pos < PyList_GET_SIZE(s.data)) {
        Ref line = Ref::borrow(PyList_GET_ITEM(s.data, s.pos));
        ++s.pos;
        bool link;
        Ref name = entry_of(line, s.machine, s.encoding, &link);
        if (!name) continue;
        Ref match = attr(c.global(N.fnmatch), N.fnmatch);
        if (!truthy(call(match, name, s.pattern))) continue;
        return call_method(s.self, N.join, name);
    }
    return {};
}

const FunctionSpec delete_spec{
    "delete", "FTPPath.delete", "dravlen.ftp.path.FTPPath.delete", 8, delete_,
    {op::self_param}, 1, nullptr, "None", false, false, true,
};
const FunctionSpec mkdir_spec{
    "mkdir", "FTPPath.mkdir", "dravlen.ftp.path.FTPPath.mkdir", 9, mkdir,
    {op::self_param}, 1, nullptr, "None", false, false, true,
};
const FunctionSpec glob_spec{
    "glob", "FTPPath.glob", "dravlen.ftp.path.FTPPath.glob", 10, glob,
    {op::self_param, {"pattern", &PyUnicode_Type, "str"}}, 2, "*", "Generator['FTPPath', Any, Any]", true, false, true,
};

}  // namespace dravlen
