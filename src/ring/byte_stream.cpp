// ByteStream: puts the 8-byte length in front of each packet the packer makes, and hands received
// packets back to the packer.
#include "ring/names.hpp"
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(zk::Fn fn, Handle self) {
    zk::call_method(fn.super(self), names::__init__);
    zk::setattr(self, names::_closed, Py_False);
    zk::setattr(self, names::_onwebs, Py_False);
    return zk::none();
}

Ref closed(zk::Fn, Handle self) { return zk::getattr(self, names::_closed); }

// The length field and the packet as one bytes object, ready for a single sendall.
Ref pack(zk::Fn fn, Handle, Handle request) { return framed(zk::call(fn.captured(0), request)); }

Ref unpack(zk::Fn fn, Handle, Handle response) { return zk::call(fn.captured(0), response); }

}  // namespace

Ref define_byte_stream(zk::Module& m) {
    using zk::arg;
    Ref packer = m.get("BytePacker");
    Ref packer_pack = zk::getattr(packer, names::pack);
    Ref packer_unpack = zk::getattr(packer, names::unpack);
    return m.add_class(
        "ByteStream", {}, nullptr,
        {
            zk::method(zk::fn<init>("__init__", {arg("self")})),
            zk::property(zk::fn<closed>("closed", {arg("self")})),
            zk::method(zk::fn<pack>("pack", {arg("self"), arg("request").annotate("Any")}).capture({packer_pack})),
            zk::method(zk::fn<unpack>("unpack", {arg("self"), arg("response", zk::Check::Bytearray)})
                           .capture({packer_unpack})),
        });
}

}  // namespace ring
