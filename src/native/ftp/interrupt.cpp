// interrupt: the download callback with which is_dir() abandons a transfer
// at its first block.
#include "member.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

Ref interrupt(const Call&) {
    PyErr_SetObject(PyExc_InterruptedError, N.interrupted);
    return {};  // raised: is_dir() meets this at every file, so no C++ throw
}

}  // namespace

const Member interrupt_member{
    .name = "interrupt",
    .wrap = Wrap::none,
    .var_any = true,
    .body = interrupt,
};

}  // namespace dravlen
