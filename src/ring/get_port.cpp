// get_port: the default port of a service, the same on both sides for one name.
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// The last three hex digits of the MD5 digest of the name: 0 to 4095.
Ref get_port(Scope s, Handle name) {
    const Names& n = s.names();
    Ref digest = zk::call_method(s.global(n.hashlib), n.md5);
    zk::call_method(digest, n.update, zk::check(PyUnicode_AsUTF8String(name)));
    Ref hex = zk::call_method(digest, n.hexdigest);
    return zk::check(PyLong_FromUnicodeObject(zk::slice(hex, 29, 32).get(), 16));
}

}  // namespace

zk::Def get_port_def() { return zk::declare<get_port>("get_port", {zk::arg("name", zk::Check::Str)}); }

}  // namespace ring
