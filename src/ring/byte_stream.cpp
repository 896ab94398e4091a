// ByteStream: puts the 8-byte length in front of each packet the packer makes, and hands received
// packets back to the packer.
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self) {
    const Names& n = s.names();
    zk::call_method(s.super(self), n.__init__);
    zk::setattr(self, n._closed, Py_False);
    zk::setattr(self, n._onwebs, Py_False);
    return zk::none();
}

Ref closed(Scope s, Handle self) { return zk::getattr(self, s.names()._closed); }

// The length field and the packet as one bytes object, ready for a single sendall.
Ref pack(Scope s, Handle, Handle request) { return framed(zk::call(s.state().packer_pack, request)); }

Ref unpack(Scope s, Handle, Handle response) { return zk::call(s.state().packer_unpack, response); }

}  // namespace

Ref define_byte_stream(zk::Module& m, State& st) {
    using zk::arg;
    Ref packer = m.get("BytePacker");
    st.packer_pack = zk::getattr(packer, st.names.pack);
    st.packer_unpack = zk::getattr(packer, st.names.unpack);
    Ref cls = m.add_class("ByteStream", {}, nullptr,
                          {
                              zk::method(zk::declare<init>("__init__", {arg("self")})),
                              zk::property(zk::declare<closed>("closed", {arg("self")})),
                              zk::method(zk::declare<pack>("pack", {arg("self"), arg("request").annotate("Any")})),
                              zk::method(zk::declare<unpack>("unpack", {arg("self"), arg("response", zk::Check::Bytearray)})),
                          });
    st.stream_pack = zk::getattr(cls, st.names.pack);
    st.stream_unpack = zk::getattr(cls, st.names.unpack);
    return cls;
}

}  // namespace ring
