// The range check of the ids a generator packs: an id too large for its bits would spill into the
// next field (or the timestamp), and a negative one would turn the whole ID negative.
#include "minter/minter.hpp"

namespace minter {

void check_id_field(zk::Handle value, const char* name, long top) {
    int overflow = 0;
    long id = PyLong_AsLongAndOverflow(value, &overflow);
    if (id == -1 && PyErr_Occurred()) zk::throw_error();
    if (overflow != 0 || id < 0 || id > top) {
        zk::raise(PyExc_ValueError, "%s must be in the range 0 to %ld, got %S", name, top, value.get());
    }
}

}  // namespace minter
