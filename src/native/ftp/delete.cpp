// FTPPath.delete(): a file, a link (never what it points to), or a
// directory with everything in it.
#include "helpers.hpp"
#include "listing.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

// Whether the path is a symbolic link, from its own line in the parent's
// long listing. Servers follow links in NLST, RETR and LIST of the link itself
// (and some in MLSD), so only that line tells. A path that was found to be a
// directory and whose own line is not there for certain (a parent that cannot
// be listed, a server that mangles names it cannot show, a link line that
// does not tell its name) is taken for a link: removing a link as a file
// fails on a directory, whereas walking a link would remove what it points to.
bool is_link(const Call& c, Borrowed self, bool directory) {
    Ref parent = attr(self, N.parent);
    if (op::same_text(op::posix(c, parent), op::posix(c, self))) return false;  // the root
    Ref own_name = attr(attr(self, N.path), N.item_name);
    Ref data = Ref::check(PyList_New(0));
    const bool listed = op::if_refused_reset(
        c, self, [&] { return op::list_directory(c, parent, data), true; }, [](Except&) { return false; });
    if (!listed) return directory;
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

void remove_file(const Call& c, Borrowed self) {
    Ref remove = attr(attr(self, N.client), N.delete_);
    op::exchange(c, self, remove, op::posix(c, self));
}

// Entries that the long listing did not show (some servers leave out links
// to "." or "..") are found with MLSD and removed, links as links. False when
// the server cannot tell more.
bool sweep_unlisted(const Call& c, Borrowed self) {
    Ref client = attr(self, N.client);
    if (has_attr(client, N.no_mlsd)) return false;
    Ref data = Ref::check(PyList_New(0));
    const bool listed = op::if_refused(
        c,
        [&] {
            Ref retrlines = attr(client, N.retrlines);
            op::transfer(c, self, [&] { return call(retrlines, op::command(c, N.cmd_MLSD, self), attr(data, N.append)); });
            return true;
        },
        [&](Except& exc) {
            if (op::not_understood(exc.value())) op::remember(client, N.no_mlsd);
            return false;
        });
    if (!listed) return false;
    bool found = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
        bool link;
        Ref name = op::machine_entry(PyList_GET_ITEM(data.get(), i), &link);
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

void remove_directory(const Call& c, Borrowed self) {
    auto rmd = [&] { return op::exchange(c, self, attr(attr(self, N.client), N.rmd), op::posix(c, self)); };
    op::if_refused(c, rmd, [&](Except& exc) {
        if (!sweep_unlisted(c, self)) exc.reraise();
        return rmd();
    });
}

Ref delete_(const Call& c) {
    PyObject* self = c.arg[0];
    enum { file, directory, removed } kind = attempt(
        [&] { return truthy(call_method(self, N.is_dir)) ? directory : file; },
        [&](Except& exc) {
            // A dangling link looks missing; it is removed like any other link.
            if (!exc.matches(PyExc_FileNotFoundError) || !is_link(c, self, false)) exc.reraise();
            remove_file(c, self);
            return removed;
        });
    if (kind == removed) return none();
    if (kind == directory && is_link(c, self, true)) {
        // Removing the link itself; what it points to is not ours to walk.
        remove_file(c, self);
        return none();
    }
    if (kind == directory) {
        Ref entries = Ref::check(PyObject_GetIter(call_method(self, N.glob).get()));
        while (Ref file = Ref::steal(PyIter_Next(entries.get()))) call_method(file, N.delete_);
        if (PyErr_Occurred()) raised();
        remove_directory(c, self);
    } else {
        remove_file(c, self);
    }
    return none();
}

}  // namespace

const Member delete_member{
    .name = "delete",
    .params = {self_param},
    .remote = true,
    .body = delete_,
};

}  // namespace dravlen
