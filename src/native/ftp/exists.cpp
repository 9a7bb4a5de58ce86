// FTPPath.exists: whether the server has an entry at the path.
#include "helpers.hpp"
#include "listing.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

enum class Known { missing, present, unsure };

// STAT, like NLST, expands patterns on some servers; CWD does not. So a path
// holding pattern characters is looked for by its exact name in the long
// listing of its parent, taken from inside the parent.
Known listed_in_parent(const Call& c, Borrowed self) {
    Ref parent = attr(self, N.parent);
    Ref lines = Ref::check(PyList_New(0));
    if (!op::enters(c, parent, lines)) return Known::missing;
    Ref own = attr(attr(self, N.path), N.item_name);
    Ref encoding = op::encoding_of(attr(self, N.client));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
        op::Listed entry = op::long_entry(PyList_GET_ITEM(lines.get(), i), encoding);
        if (entry.name && entry.names(own)) return Known::present;
    }
    return Known::missing;
}

// Whether a line of STAT's reply lists an entry: it has a listing line's
// columns ("." and ".." of a folder count: the folder is there). Other text
// is the server talking (inetutils answers a missing path with
// "x: No such file or directory" between the frame's lines), so is a line
// that begins with the path asked and a colon, whatever follows.
bool lists_an_entry(Borrowed line, Borrowed own, Borrowed encoding) {
    if (!PyUnicode_Check(line)) return false;
    if (PyUnicode_Check(own)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(own);
        if (PyUnicode_GET_LENGTH(line) > n && PyUnicode_READ_CHAR(line, n) == ':' &&
            PyUnicode_Tailmatch(line, own, 0, n, -1) == 1) {
            return false;
        }
    }
    return op::long_entry(line, encoding).listed;
}

// What STAT's reply says of the path.
enum class Stated { entry, refused, nothing, no_answer };

// STAT of the path: a line of its reply lists an entry, it is refused with
// 550, it lists nothing (an empty folder and a missing path read the same on
// some servers), or the server cannot tell (no STAT, remembered; a passing
// failure).
Stated stat_of(const Call& c, Borrowed self, Borrowed client, Borrowed ftplib) {
    if (has_attr(client, N.no_stat)) return Stated::no_answer;
    Stated stated = Stated::no_answer;
    Ref reply = attempt(
        [&] { return op::exchange_or_null(c, self, attr(client, N.sendcmd), op::command(c, N.cmd_STAT, self)); },
        [&](Except& exc) {
            if (exc.matches(attr(ftplib, N.error_perm))) {
                if (op::has_code(exc.value(), "550")) stated = Stated::refused;
                if (op::not_understood(exc.value())) op::remember(client, N.no_stat);
            } else if (!exc.matches(attr(ftplib, N.error_temp)) && !exc.matches(attr(ftplib, N.error_reply))) {
                exc.reraise();
            }
            return Ref{};
        });
    if (!reply) return stated;
    // The first and the last line are the reply's frame.
    Ref lines = call_method(reply, N.splitlines);
    Ref own = op::posix(c, self);
    Ref encoding = op::encoding_of(client);
    const Py_ssize_t n = PyList_GET_SIZE(lines.get());
    for (Py_ssize_t i = 1; i + 1 < n; ++i) {
        if (lists_an_entry(PyList_GET_ITEM(lines.get(), i), own, encoding)) return Stated::entry;
    }
    return Stated::nothing;
}

// MDTM of the path, which servers answer for a file: there, not there (550),
// or unsure.
Known mdtm_of(const Call& c, Borrowed self, Borrowed ftplib) {
    Ref client = attr(self, N.client);
    Known known = Known::unsure;
    Ref reply = attempt(
        [&] { return op::exchange_or_null(c, self, attr(client, N.sendcmd), op::command(c, N.cmd_MDTM, self)); },
        [&](Except& exc) {
            if (exc.matches(attr(ftplib, N.error_perm))) {
                if (op::has_code(exc.value(), "550")) known = Known::missing;
            } else if (!exc.matches(attr(ftplib, N.error_temp)) && !exc.matches(attr(ftplib, N.error_reply))) {
                exc.reraise();
            }
            return Ref{};
        });
    return reply ? Known::present : known;
}

// Asks about the path on the control connection, for the answers of NLST
// that servers disagree on (an empty listing, a refusal): MLST where the
// server has it, else STAT, whose reply lists an entry for anything there.
// Where STAT lists nothing, a folder is what CWD enters and nothing else is
// there; where it cannot tell, a file is what MDTM answers for.
Known confirm(const Call& c, Borrowed self) {
    Ref client = attr(self, N.client);
    Ref ftplib = c.global(N.ftplib);
    Ref perm = attr(ftplib, N.error_perm);
    if (!has_attr(client, N.no_mlst)) {
        // True: there; False: not there; nothing: MLST could not tell.
        const Ref answer = attempt(
            [&] {
                Ref reply = op::exchange_or_null(c, self, attr(client, N.sendcmd), op::command(c, N.cmd_MLST, self));
                return reply ? boolean(true) : Ref{};
            },
            [&](Except& exc) {
                if (exc.matches(perm)) {
                    if (op::has_code(exc.value(), "550")) return boolean(false);
                    // Not understood: remember it for this client, and ask with STAT.
                    if (op::not_understood(exc.value())) op::remember(client, N.no_mlst);
                } else if (!exc.matches(attr(ftplib, N.error_temp)) && !exc.matches(attr(ftplib, N.error_reply))) {
                    // A transient failure or an unexpected reply tells nothing either way.
                    exc.reraise();
                }
                return Ref{};
            });
        if (answer) return answer.get() == Py_True ? Known::present : Known::missing;
    }
    if (op::has_wildcard(op::posix(c, self))) return listed_in_parent(c, self);
    switch (stat_of(c, self, client, ftplib)) {
        case Stated::entry:
            return Known::present;
        case Stated::refused:
            return Known::missing;
        case Stated::nothing:
            return op::enters(c, self, nullptr) ? Known::present : Known::missing;
        case Stated::no_answer:
            break;
    }
    if (op::enters(c, self, nullptr)) return Known::present;
    return mdtm_of(c, self, ftplib);
}

Ref exists(const Call& c) {
    PyObject* self = c.arg[0];
    // NLST's argument is a pattern to some servers: its answer could be about
    // other entries that the pattern matches.
    if (op::has_wildcard(op::posix(c, self))) return boolean(confirm(c, self) == Known::present);
    Ref found = attempt(
        [&] {
            Ref nlst = attr(attr(self, N.client), N.nlst);
            Ref listing = op::transfer(c, self, [&] { return call(nlst, op::posix(c, self)); });
            return truthy(listing) ? boolean(true) : Ref{};
        },
        [&](Except& exc) {
            Ref ftplib = c.global(N.ftplib);
            if (exc.matches(attr(ftplib, N.error_perm))) {
                call_method(self, N._valid_reset);
                return boolean(confirm(c, self) == Known::present);
            }
            // Some servers refuse NLST of an empty directory with 450.
            if (!exc.matches(attr(ftplib, N.error_temp)) || !op::has_code(exc.value(), "450")) exc.reraise();
            const Known known = confirm(c, self);
            if (known == Known::unsure) exc.reraise();
            return boolean(known == Known::present);
        });
    if (found) return found;
    // An empty listing: an empty directory, or a server that lists nothing for a missing path.
    return boolean(confirm(c, self) != Known::missing);
}

}  // namespace

const Member exists_member{
    .name = "exists",
    .params = {self_param},
    .returns = "bool",
    .wrap = Wrap::retry_property,
    .remote = true,
    .body = exists,
};

}  // namespace dravlen
