// get_port: the default port of a service, the same on both sides for one name.
#include "ring/names.hpp"
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// The last three hex digits of the MD5 digest of the name: 0 to 4095.
Ref get_port(zk::Fn fn, Handle name) {
    Ref digest = zk::call_method(fn.global(names::hashlib), names::md5);
    zk::call_method(digest, names::update, zk::check(PyUnicode_AsUTF8String(name)));
    Ref hex = zk::call_method(digest, names::hexdigest);
    Ref tail = zk::slice(hex, 29, 32);
    return zk::check(PyLong_FromUnicodeObject(tail.get(), 16));
}

}  // namespace

zk::Def get_port_def() { return zk::fn<get_port>("get_port", {zk::arg("name", zk::Check::Str)}); }

}  // namespace ring
