#include "listing.hpp"

#include "helpers.hpp"

namespace dravlen::op {

bool same_text(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

void long_listing(const Call& c, PyObject* self, PyObject* data, bool here) {
    Ref client = attr(self, N.client);
    Ref retrlines = attr(client, N.retrlines);
    Ref append = attr(data, N.append);
    auto list = [&](PyObject* word, PyObject* bare) {
        Ref text = here ? Ref::borrow(bare) : command(c, word, self);
        return transfer(c, self, [&] { return call(retrlines, text, append); });
    };
    if (has_attr(client, N.plain_list)) {
        list(N.cmd_LIST, N.cmd_LIST_bare);
        return;
    }
    if_refused(c, [&] { return list(N.cmd_LIST_all, N.cmd_LIST_here); },
               [&](Except&) {
                   check(PyList_SetSlice(data, 0, PyList_GET_SIZE(data), nullptr));
                   list(N.cmd_LIST, N.cmd_LIST_bare);
                   remember(client, N.plain_list);
                   return Ref{};
               });
}

void list_directory(const Call& c, PyObject* self, PyObject* data) {
    Ref text = posix(c, self);
    if (has_wildcard(text) || has_blank(text)) {
        if (enters(c, self, data)) return;
        check(PyList_SetSlice(data, 0, PyList_GET_SIZE(data), nullptr));
    }
    long_listing(c, self, data, false);
}

namespace {

bool starts_with_folded(int kind, const void* text, Py_ssize_t at, Py_ssize_t end, const char* word) {
    for (; *word != 0; ++word, ++at) {
        if (at >= end || Py_UNICODE_TOLOWER(PyUnicode_READ(kind, text, at)) != static_cast<Py_UCS4>(*word)) return false;
    }
    return true;
}

}  // namespace

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
    return attempt(
        [&] {
            Ref bytes = call_method(text, N.encode, encoding, N.surrogateescape);
            return PyBytes_Check(bytes.get()) && PyBytes_GET_SIZE(bytes.get()) == size;
        },
        [](Except& exc) {
            if (!exc.matches(PyExc_LookupError) && !exc.matches(PyExc_UnicodeError)) exc.reraise();
            return false;
        });
}

}  // namespace

Listed long_entry(PyObject* line, PyObject* encoding) {
    Listed entry;
    if (!PyUnicode_Check(line)) {
        // Not text: take the fields the way str.split(maxsplit=8) would.
        Ref parts = call_kw(attr(line, N.split), N.kw_maxsplit, N.listing_cuts);
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
    for (int field = 0; field < kListingCuts; ++field) {
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

}  // namespace dravlen::op
