// FTPPath.mkdir(): the directory and any missing parents.
#include "helpers.hpp"
#include "listing.hpp"
#include "member.hpp"

namespace dravlen {

namespace {

Ref mkdir(const Call& c) {
    PyObject* self = c.arg[0];
    return op::if_refused_reset(
        c, self,
        [&] {
            Ref parent = attr(self, N.parent);
            Ref parent_text = op::posix(c, parent);
            if (!op::same_text(parent_text, N.text_dot) && !op::same_text(parent_text, N.text_slash)) {
                if (!truthy(attr(parent, N.exists))) call_method(parent, N.mkdir);
            }
            bool create = true;
            if (truthy(attr(self, N.exists))) create = !truthy(call_method(self, N.is_dir));
            if (create) {
                Ref mkd = attr(attr(self, N.client), N.mkd);
                op::exchange(c, self, mkd, op::posix(c, self));
            }
            return none();
        },
        [&](Except&) {
            // Another client may have made the directory between the probe and MKD.
            // The check is a second opinion only: its own failure leaves the refusal standing.
            const bool made = attempt([&] { return truthy(attr(self, N.exists)) && truthy(call_method(self, N.is_dir)); },
                                      [](Except& recheck) {
                                          if (!recheck.matches(PyExc_Exception)) recheck.reraise();
                                          return false;
                                      });
            if (!made) op::raise_about(PyExc_FileNotFoundError, "Failed to create directory '", self, "'.");
            return none();
        });
}

}  // namespace

const Member mkdir_member{
    .name = "mkdir",
    .params = {self_param},
    .remote = true,
    .body = mkdir,
};

}  // namespace dravlen
