#include "listing.hpp"

#include "helpers.hpp"

namespace dravlen::op {

bool same_text(Borrowed a, Borrowed b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

void long_listing(const Call& c, Borrowed self, Borrowed data, bool here) {
    Ref client = attr(self, N.client);
    Ref retrlines = attr(client, N.retrlines);
    Ref append = attr(data, N.append);
    auto list = [&](PyObject* word, PyObject* bare) {
        Ref text = here ? Ref::from_borrowed(bare) : command(c, word, self);
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

void list_directory(const Call& c, Borrowed self, Borrowed data) {
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

bool child_name(Borrowed name) {
    if (!PyUnicode_Check(name)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (n == 0 || same_text(name, N.text_dot) || same_text(name, N.text_dotdot)) return false;
    for (const Py_UCS4 ch : {Py_UCS4{'/'}, Py_UCS4{0}, Py_UCS4{'\r'}, Py_UCS4{'\n'}}) {
        const Py_ssize_t found = PyUnicode_FindChar(name, ch, 0, n, 1);
        if (found == -2) raised();
        if (found >= 0) return false;
    }
    return true;
}

Ref machine_entry(Borrowed line, bool* link) {
    *link = false;
    if (!PyUnicode_Check(line) || PyUnicode_READY(line) < 0) return {};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const Py_ssize_t blank = PyUnicode_FindChar(line, ' ', 0, n, 1);
    if (blank < 0 || blank + 1 >= n) return {};
    const int kind = PyUnicode_KIND(line.get());
    const void* text = PyUnicode_DATA(line.get());
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
    Ref name = Ref::check(PyUnicode_Substring(line, blank + 1, n));
    if (!child_name(name)) return {};
    return name;
}

bool Listed::names(Borrowed own) const {
    if (!name) return false;
    if (!ambiguous) return same_text(name, own);
    Ref prefix = concat(own, N.text_arrow);
    return PyUnicode_Tailmatch(name.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
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
bool takes_bytes(Borrowed text, Borrowed encoding, long long size) {
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

// Reads the columns of a listing line. Each step takes the position where
// its column may start and gives the position after it, or -1. The columns
// are those that dravlen.ftp.wire.listing matches with its patterns, tried in the
// same order, so that both take the same name from every line.
struct Columns {
    int kind;
    const void* text;
    Py_ssize_t n;
    Py_ssize_t size_start = 0, size_end = 0;  // a plain size column, if the line has one

    // Positions outside the line (-1 is "no match") read as NUL.
    Py_UCS4 at(Py_ssize_t i) const { return i >= 0 && i < n ? PyUnicode_READ(kind, text, i) : 0; }
    bool blank_at(Py_ssize_t i) const { return i >= 0 && i < n && Py_UNICODE_ISSPACE(at(i)); }
    bool digit_at(Py_ssize_t i) const { return at(i) >= '0' && at(i) <= '9'; }
    bool letter_at(Py_ssize_t i) const {
        const Py_UCS4 ch = at(i);
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
    }
    bool one_of(Py_ssize_t i, const char* set) const {
        if (i < 0 || i >= n) return false;
        for (; *set != 0; ++set) {
            if (at(i) == static_cast<Py_UCS4>(*set)) return true;
        }
        return false;
    }
    // One blank or more.
    Py_ssize_t blanks(Py_ssize_t p) const {
        if (p < 0) return -1;
        Py_ssize_t q = p;
        while (blank_at(q)) ++q;
        return q > p ? q : -1;
    }
    // ASCII spaces only, at least `least` of them.
    Py_ssize_t spaces(Py_ssize_t p, Py_ssize_t least) const {
        if (p < 0) return -1;
        Py_ssize_t q = p;
        while (at(q) == ' ') ++q;
        return q - p >= least ? q : -1;
    }
    Py_ssize_t word(Py_ssize_t p) const {
        if (p < 0) return -1;
        Py_ssize_t q = p;
        while (q < n && !blank_at(q)) ++q;
        return q > p ? q : -1;
    }
    // Between fewest and most digits (most < 0: no limit). What follows a
    // run of digits in these columns is never a digit, so the longest run
    // is the only one that can fit.
    Py_ssize_t digits(Py_ssize_t p, Py_ssize_t fewest, Py_ssize_t most) const {
        if (p < 0) return -1;
        Py_ssize_t q = p;
        while (digit_at(q) && (most < 0 || q - p < most)) ++q;
        return q - p >= fewest ? q : -1;
    }
    Py_ssize_t expect(Py_ssize_t p, char ch) const { return p >= 0 && at(p) == static_cast<Py_UCS4>(ch) ? p + 1 : -1; }

    // "Mon DD YYYY", "Mon DD HH:MM" or "YYYY-MM-DD HH:MM", ending before a blank.
    Py_ssize_t date(Py_ssize_t p) const {
        if (letter_at(p) && letter_at(p + 1) && letter_at(p + 2)) {
            const Py_ssize_t day = blanks(digits(blanks(p + 3), 1, 2));
            const Py_ssize_t year = digits(day, 4, 4);
            if (blank_at(year)) return year;
            const Py_ssize_t minute = digits(expect(digits(day, 1, 2), ':'), 2, 2);
            return blank_at(minute) ? minute : -1;
        }
        Py_ssize_t q = digits(expect(digits(expect(digits(p, 4, 4), '-'), 2, 2), '-'), 2, 2);
        q = digits(expect(digits(blanks(q), 2, 2), ':'), 2, 2);
        return blank_at(q) ? q : -1;
    }
    // The size (or a device's "major, minor"), then the date.
    Py_ssize_t size_and_date(Py_ssize_t p) {
        const Py_ssize_t start = blanks(p);
        const Py_ssize_t major = expect(digits(start, 1, -1), ',');
        if (major >= 0) {
            Py_ssize_t minor = major;
            while (blank_at(minor)) ++minor;
            const Py_ssize_t end = date(blanks(digits(minor, 1, -1)));
            if (end >= 0) return end;
        }
        const Py_ssize_t size = digits(start, 1, -1);
        const Py_ssize_t end = date(blanks(size));
        if (end >= 0) size_start = start, size_end = size;
        return end;
    }
    // A Unix long-listing line: where its name starts, or -1. Owner and
    // group may be missing (owner and group first, then one of them, then
    // neither); exactly one blank parts the date from the name.
    Py_ssize_t unix_name(Py_UCS4* type) {
        Py_ssize_t p = 0;
        while (blank_at(p)) ++p;
        if (!one_of(p, "-dlcbpsDn?")) return -1;
        *type = at(p);
        for (int k = 1; k < 10; ++k) {
            if (!one_of(p + k, "-rwxsStTlL?")) return -1;
        }
        p += 10;
        while (p < n && !blank_at(p)) ++p;
        const Py_ssize_t links = digits(blanks(p), 1, -1);
        for (int owners = 2; owners >= 0 && links >= 0; --owners) {
            Py_ssize_t q = links;
            for (int k = 0; k < owners; ++k) q = word(blanks(q));
            if (q < 0) continue;
            const Py_ssize_t end = size_and_date(q);
            if (end >= 0) return end + 1;
        }
        return -1;
    }
    // A DOS (IIS) line "MM-DD-YY  HH:MM[AM|PM]  <DIR>|size name": where its
    // name starts, or -1 (also for an hour past 12 with AM or PM).
    Py_ssize_t dos_name() const {
        Py_ssize_t p = expect(digits(expect(digits(0, 2, 2), '-'), 2, 2), '-');
        if (p < 0) return -1;
        const Py_ssize_t two = digits(p, 2, 2);
        p = two >= 0 && at(two) == ' ' ? two : digits(p, 4, 4);
        const Py_ssize_t hour_start = spaces(p, 1);
        const Py_ssize_t hour_end = digits(hour_start, 1, 2);
        const Py_ssize_t minute = digits(expect(hour_end, ':'), 2, 2);
        if (minute < 0) return -1;
        Py_ssize_t q = spaces(minute, 0);
        if (one_of(q, "AaPp") && one_of(q + 1, "Mm")) {
            long hour = 0;
            for (Py_ssize_t k = hour_start; k < hour_end; ++k) hour = hour * 10 + static_cast<long>(at(k) - '0');
            if (hour > 12) return -1;
            q = spaces(q + 2, 1);
        } else if (q == minute) {
            return -1;
        }
        if (q < 0) return -1;
        if (at(q) == '<' && at(q + 1) == 'D' && at(q + 2) == 'I' && at(q + 3) == 'R' && at(q + 4) == '>') {
            const Py_ssize_t after = q + 5;
            Py_ssize_t name = after;
            while (name < n && name - after < 10 && at(name) == ' ') ++name;
            return name > after ? name : -1;
        }
        const Py_ssize_t size = digits(q, 1, -1);
        return size >= 0 && at(size) == ' ' && size < n ? size + 1 : -1;
    }
};

}  // namespace

Listed long_entry(Borrowed line, Borrowed encoding) {
    Listed entry;
    if (!PyUnicode_Check(line)) {
        // Not text: take the fields the way str.split(maxsplit=8) would.
        Ref parts = call_kw(attr(line, N.split), N.kw_maxsplit, N.listing_cuts);
        const Py_ssize_t n = PySequence_Size(parts.get());
        if (n < 0) raised();
        if (n < 9) return entry;
        Ref name = Ref::check(PySequence_GetItem(parts.get(), n - 1));
        if (same_text(name, N.text_dot) || same_text(name, N.text_dotdot)) return entry;
        entry.name = std::move(name);
        return entry;
    }
    if (PyUnicode_READY(line) < 0) raised();
    Columns cols{PyUnicode_KIND(line.get()), PyUnicode_DATA(line.get()), PyUnicode_GET_LENGTH(line)};
    const Py_ssize_t n = cols.n;
    Py_UCS4 type = 0;
    Py_ssize_t i = cols.unix_name(&type);
    if (i < 0) i = cols.dos_name();
    if (i < 0 || i >= n) return entry;
    entry.listed = true;
    Py_ssize_t end = n;
    entry.link = type == 'l';
    if (entry.link) {
        // A symbolic link reads "name -> target", and either may hold " -> "
        // itself: the size column, the target's length, tells which arrow it is.
        const long long size = size_column(cols.kind, cols.text, cols.size_start, cols.size_end);
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
    if (cols.at(i) == '.' && (len == 1 || (len == 2 && cols.at(i + 1) == '.'))) return entry;
    entry.name = Ref::check(PyUnicode_Substring(line, i, end));
    return entry;
}

}  // namespace dravlen::op
