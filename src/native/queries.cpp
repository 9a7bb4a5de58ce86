// exists, is_dir() and mtime: what the server says about one path, and the
// interrupt callback that abandons a download at its first block.
#include "errors.hpp"
#include "members.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

Ref interrupt(const Call&) {
    PyErr_SetString(PyExc_InterruptedError, "Finish!");
    raised();
}

enum class Known { missing, present, unsure };

// STAT, like NLST, expands patterns on some servers; CWD does not. So a path
// holding pattern characters is looked for by its exact name in the long
// listing of its parent, taken from inside the parent.
Known listed_in_parent(const Call& c, PyObject* self) {
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

// Asks about the path on the control connection, for the answers of NLST
// that servers disagree on (an empty listing, a refusal): MLST where the
// server has it, else STAT, whose reply lists an entry for anything there.
Known confirm(const Call& c, PyObject* self) {
    Ref client = attr(self, N.client);
    Ref ftplib = c.global(N.ftplib);
    Ref perm = attr(ftplib, N.error_perm);
    if (PyObject_HasAttr(client, N.no_mlst) == 0) {
        try {
            op::exchange(c, self, attr(client, N.sendcmd), op::command(N.cmd_MLST, self));
            return Known::present;
        } catch (PyErrorSet&) {
            Except exc;
            if (exc.matches(perm)) {
                if (op::has_code(exc.value(), "550")) return Known::missing;
                if (op::not_understood(exc.value())) {
                    // Not understood: remember it for this client, and ask with STAT.
                    op::remember(client, N.no_mlst);
                }
            } else if (!exc.matches(attr(ftplib, N.error_temp)) && !exc.matches(attr(ftplib, N.error_reply))) {
                exc.reraise();
            }
        }
    }
    if (op::has_wildcard(op::posix(self))) return listed_in_parent(c, self);
    Ref reply;
    try {
        reply = op::exchange(c, self, attr(client, N.sendcmd), op::command(N.cmd_STAT, self));
    } catch (PyErrorSet&) {
        Except exc;
        if (exc.matches(perm)) return op::has_code(exc.value(), "550") ? Known::missing : Known::unsure;
        if (exc.matches(attr(ftplib, N.error_temp)) || exc.matches(attr(ftplib, N.error_reply))) return Known::unsure;
        exc.reraise();
    }
    // The first and the last line are the reply's frame; any line between is an entry.
    Ref lines = call_method(reply, N.splitlines);
    const Py_ssize_t n = PyList_GET_SIZE(lines.get());
    for (Py_ssize_t i = 1; i + 1 < n; ++i) {
        Ref stripped = call_method(PyList_GET_ITEM(lines.get(), i), N.strip);
        if (PyUnicode_GET_LENGTH(stripped) > 0) return Known::present;
    }
    return Known::missing;
}

Ref exists(const Call& c) {
    PyObject* self = c.arg[0];
    // NLST's argument is a pattern to some servers: its answer could be about
    // other entries that the pattern matches.
    if (op::has_wildcard(op::posix(self))) return boolean(confirm(c, self) == Known::present);
    try {
        Ref client = attr(self, N.client);
        Ref nlst = attr(client, N.nlst);
        Ref listing = op::transfer(c, self, [&] { return call(nlst, op::posix(self)); });
        if (truthy(listing)) return boolean(true);
    } catch (PyErrorSet&) {
        Except exc;
        if (exc.matches(op::error_perm(c))) {
            op::valid_reset(self);
            return boolean(confirm(c, self) == Known::present);
        }
        // Some servers refuse NLST of an empty directory with 450.
        if (!exc.matches(attr(c.global(N.ftplib), N.error_temp)) || !op::has_code(exc.value(), "450")) exc.reraise();
        Known known = confirm(c, self);
        if (known == Known::unsure) exc.reraise();
        return boolean(known == Known::present);
    }
    // An empty listing: an empty directory, or a server that lists nothing for a missing path.
    return boolean(confirm(c, self) != Known::missing);
}

Ref is_dir(const Call& c) {
    PyObject* self = c.arg[0];
    if (!truthy(attr(self, N.exists))) op::raise_about(PyExc_FileNotFoundError, "'", self, "' does not exist.");
    try {
        Ref client = attr(self, N.client);
        Ref retrbinary = attr(client, N.retrbinary);
        Ref text = op::command(N.cmd_RETR, self);
        Ref callback = c.global(N.interrupt);
        call_kw(retrbinary, N.kw_blocksize, text, callback, N.int_one);
    } catch (PyErrorSet&) {
        Except exc;
        if (exc.matches(PyExc_InterruptedError)) {
            // The file has content; its transfer was abandoned at the first byte.
            op::valid_reset(self);
            return boolean(false);
        }
        if (!exc.matches(op::error_perm(c))) {
            op::drop_if_open(c, self, exc);
            exc.reraise();
        }
        op::valid_reset(self);
        return boolean(op::refused_as_directory(c, self));
    }
    return boolean(false);  // an empty file: the transfer completed without data
}

// strptime takes one-digit fields, so a reply cut short ("...0304" for
// "...030405") would parse into another time: only all fourteen digits are a time.
void refuse_short_time(PyObject* text) {
    if (!PyUnicode_Check(text)) return;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    bool digits = n == 14;
    for (Py_ssize_t i = 0; digits && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
        digits = ch >= '0' && ch <= '9';
    }
    if (digits) return;
    PyErr_Format(PyExc_ValueError, "time data %R does not match format '%%Y%%m%%d%%H%%M%%S'", text);
    raised();
}

Ref mtime(const Call& c) {
    PyObject* self = c.arg[0];
    try {
        if (!truthy(attr(self, N.exists))) op::raise_about(PyExc_FileNotFoundError, "'", self, "' does not exist.");
        Ref sendcmd = attr(attr(self, N.client), N.sendcmd);
        Ref response = op::exchange(c, self, sendcmd, op::command(N.cmd_MDTM, self));
        if (!truthy(call_method(response, N.startswith, N.text_213))) {
            Ref shown = Ref::check(PyObject_Format(response, N.text_empty));
            Ref path = Ref::check(PyObject_Str(attr(self, N.path)));
            PyErr_SetObject(PyExc_TypeError,
                            Ref::check(PyUnicode_FromFormat("Cannot retrieve modification time for '%U'. Response: %U",
                                                            path.get(), shown.get())));
            raised();
        }
        Ref rest = Ref::check(PySequence_GetSlice(response, 4, PY_SSIZE_T_MAX));
        Ref time_str = call_method(rest, N.strip);
        Ref pieces = call_method(time_str, N.split, N.text_dot);
        Ref seconds = Ref::check(PySequence_GetItem(pieces, 0));
        refuse_short_time(seconds);
        Ref datetime_class = attr(c.global(N.datetime), N.datetime);
        Ref parsed = call_method(datetime_class, N.strptime, seconds, N.text_mdtm_format);
        Ref shift = call_kw(attr(c.global(N.datetime), N.timedelta), N.kw_hours, N.int_eight);
        return Ref::check(PyNumber_Add(parsed, shift));
    } catch (PyErrorSet&) {
        Except exc;
        if (!exc.matches(op::error_perm(c))) exc.reraise();
        op::valid_reset(self);
        op::raise_about(PyExc_TypeError, "'", self, "' could not retrieve modification time.");
    }
}

}  // namespace

const FunctionSpec interrupt_spec{
    "interrupt", "interrupt", "dravlen.ftp.path.interrupt", 1, interrupt, {}, 0, nullptr, "None", false, true, false,
};
const FunctionSpec exists_spec{
    "exists", "FTPPath.exists", "dravlen.ftp.path.FTPPath.exists", 3, exists,
    {op::self_param}, 1, nullptr, "bool", false, false, true,
};
const FunctionSpec is_dir_spec{
    "is_dir", "FTPPath.is_dir", "dravlen.ftp.path.FTPPath.is_dir", 4, is_dir,
    {op::self_param}, 1, nullptr, "bool", false, false, true,
};
const FunctionSpec mtime_spec{
    "mtime", "FTPPath.mtime", "dravlen.ftp.path.FTPPath.mtime", 11, mtime,
    {op::self_param}, 1, nullptr, "datetime.datetime", false, false, true,
};

}  // namespace dravlen
