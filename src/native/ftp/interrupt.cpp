// interrupt: the download callback with which is_dir() abandons a transfer
// at its first block.
#include "member.hpp"
#include "names.hpp"

namespace dravlen {

namespace {

Ref interrupt(const Call&) {
    PyErr_SetObject(PyExc_InterruptedError, N.interrupted);
    raised();
}

}  // namespace

const Member interrupt_member{
    .name = "interrupt",
    .wrap = Wrap::none,
    .var_any = true,
    .body = interrupt,
};

}  // namespace dravlen
