// zelk.ring: the stream frame around each message and the connection that moves whole messages.
#include "ring/ring.hpp"

namespace {

void exec_ring(zk::Module& m, ring::State& st) {
    m.import("hashlib");
    m.import("select");
    m.import("struct");
    m.from_import("socket", {"socket"});
    st.socket_class = m.get("socket");
    m.from_import("typing", {"Any"});
    m.from_import(".protocol", {"SOCKET_RECV_SIZE", "BytePacker", "WebSocket"});
    st.protocol_module = zk::import("zelk.protocol");
    st.codec = static_cast<const protocol::CodecApi*>(PyCapsule_Import(protocol::codec_api_capsule, 0));
    if (!st.codec) zk::throw_error();
    st.heartbeat = zk::check(PyBytes_FromString("heartbeat"));
    st.lock_class = zk::getattr(zk::import("threading"), st.names.Lock);
    zk::Ref byte_stream = ring::define_byte_stream(m, st);
    ring::define_connection(m, byte_stream);
    m.def(ring::get_port_def());
    ring::define_authentication(m, st);
}

}  // namespace

ZK_MODULE(ring, ring::State, exec_ring,
          "The connection layer: the stream frame around each message and the connection that moves whole messages.",
          Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
