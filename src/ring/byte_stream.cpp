// ByteStream: puts the 8-byte length in front of each packet the packer makes, and hands received
// packets back to the packer; in WebSocket mode (`_onwebs` true) WebSocket frames and unframes them.
#include "ring/channel.hpp"

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

// The length field and the packet as one bytes object, ready for a single sendall; in WebSocket
// mode the handshake answer or frame that WebSocket makes, with nothing around it.
Ref pack(Scope s, Handle self, Handle request) {
    const State& st = s.state();
    if (websocket_mode(st.names, self)) return zk::call(st.websocket_pack, request);
    return framed(zk::call(st.packer_pack, request));
}

// WebSocket is handed the bytes of what arrived: its header reader takes nothing else. A
// connection's packets are decoded under its allow-list, when it has one.
Ref unpack(Scope s, Handle self, Handle response) {
    const State& st = s.state();
    if (websocket_mode(st.names, self)) return zk::call(st.websocket_unpack, zk::check(PyBytes_FromObject(response)));
    if (!zk::getattr_optional(self, st.names._channel)) return zk::call(st.packer_unpack, response);
    return decode_allowing(st, *channel_of(st, self), st.packer_unpack, response);
}

}  // namespace

bool websocket_mode(const Names& n, Handle stream) {
    Ref flag = zk::getattr_optional(stream, n._onwebs);
    return flag && zk::truthy(flag);
}

Ref define_byte_stream(zk::Module& m, State& st) {
    using zk::arg;
    Ref packer = m.get("BytePacker");
    st.packer_pack = zk::getattr(packer, st.names.pack);
    st.packer_unpack = zk::getattr(packer, st.names.unpack);
    Ref websocket = m.get("WebSocket");
    st.websocket_pack = zk::getattr(websocket, st.names.pack);
    st.websocket_unpack = zk::getattr(websocket, st.names.unpack);
    Ref cls = m.add_class("ByteStream", {}, nullptr,
                          {
                              zk::method(zk::declare<init>("__init__", {arg("self")})),
                              zk::property(zk::declare<closed>("closed", {arg("self")})),
                              zk::method(zk::declare<pack>("pack", {arg("self"), arg("request").annotate("Any")})),
                              zk::method(zk::declare<unpack>("unpack", {arg("self"), arg("response", zk::Check::Bytearray)})),
                          });
    st.stream_pack = zk::getattr(cls, st.names.pack);
    st.stream_unpack = zk::getattr(cls, st.names.unpack);
    st.stream_closed = zk::getitem(zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get()))), st.names.closed);
    return cls;
}

}  // namespace ring
