#include "names.hpp"

#include "runtime/names.hpp"

namespace dravlen {

Names N;

void intern_names() {
    if (N.interrupted != nullptr) return;  // a failed import may run the body again
#define DRAVLEN_INTERN(field, text) N.field = interned(text);
    DRAVLEN_NAMES(DRAVLEN_INTERN)
#undef DRAVLEN_INTERN
    N.kw_blocksize = kept(PyTuple_Pack(1, N.blocksize));
    N.kw_maxsplit = kept(PyTuple_Pack(1, N.maxsplit));
    N.kw_hours = kept(PyTuple_Pack(1, N.hours));
    N.empty_bytes = kept(PyBytes_FromStringAndSize(nullptr, 0));
    N.empty_tuple = kept(PyTuple_New(0));
    N.int_one = kept(PyLong_FromLong(1));
    N.listing_cuts = kept(PyLong_FromLong(kListingCuts));
    N.server_clock_hours = kept(PyLong_FromLong(kServerClockHours));
    N.interrupted = kept(PyUnicode_FromString("Finish!"));
}

}  // namespace dravlen
