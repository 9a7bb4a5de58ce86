// FTPPath.glob(pattern): a generator of the directory's entries whose
// names match the pattern, from the directory's long listing. The listing is
// taken at the first request; each request then reads lines until one names
// a matching entry.
#include "helpers.hpp"
#include "listing.hpp"
#include "member.hpp"
#include "runtime/generator.hpp"

namespace dravlen {

namespace {

// What the generator keeps between two items (GeneratorState::slot).
enum Slot { kSelf, kPattern, kGlobals, kLines, kEncoding, kMatch };

// A name that cannot be an entry of this directory (an absolute path,
// "../x", a NUL that servers cut at) is passed over; so is a link line that
// does not tell its own name. Names of other types (a listing line that is
// no text) are taken as listed.
Ref entry_of(Borrowed line, Borrowed encoding) {
    op::Listed entry = op::long_entry(line, encoding);
    if (entry.ambiguous || !entry.name) return {};
    if (PyUnicode_Check(entry.name.get()) && !op::child_name(entry.name)) return {};
    return std::move(entry.name);
}

Ref glob_step(GeneratorState& s) {
    PyObject* self = s.slot[kSelf];
    const Call c{nullptr, s.slot[kGlobals], nullptr, {}};
    if (s.slot[kLines] == nullptr) {
        if (!truthy(call_method(self, N.is_dir))) op::raise_about(PyExc_TypeError, "'", self, "' is not a directory.");
        Ref lines = Ref::check(PyList_New(0));
        s.slot[kLines] = Py_NewRef(lines.get());
        s.slot[kEncoding] = op::encoding_of(attr(self, N.client)).release();
        op::list_directory(c, self, lines);
    }
    PyObject* lines = s.slot[kLines];
    while (s.pos < PyList_GET_SIZE(lines)) {
        Ref line = Ref::from_borrowed(PyList_GET_ITEM(lines, s.pos));
        ++s.pos;
        Ref name = entry_of(line, s.slot[kEncoding]);
        if (!name) continue;
        Ref match = attr(c.global(N.fnmatch), N.fnmatch);
        if (!truthy(call(match, name, s.slot[kPattern]))) continue;
        return call_method(self, N.join, name);
    }
    return {};
}

Ref glob(const Call& c) { return make_generator(c, glob_step, {c.arg[0], c.arg[1], c.globals}); }

}  // namespace

const Member glob_member{
    .name = "glob",
    .params = {self_param, {"pattern", &PyUnicode_Type, "str"}},
    .last_default = "*",
    .returns = "Generator['FTPPath', Any, Any]",
    .remote = true,
    .generator = true,
    .body = glob,
};

}  // namespace dravlen
