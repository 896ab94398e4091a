// zelk.ring: the stream frame around each message and the connection that moves whole messages.
#include "ring/names.hpp"
#include "ring/ring.hpp"

namespace {

void exec_ring(zk::Module& m) {
    ring::names::intern();
    m.import("hashlib");
    m.import("select");
    m.import("struct");
    m.from_import("socket", {"socket"});
    m.from_import("typing", {"Any"});
    m.from_import(".protocol", {"SOCKET_RECV_SIZE", "BytePacker"});
    zk::Ref byte_stream = ring::define_byte_stream(m);
    ring::define_connection(m, byte_stream);
    m.def(ring::get_port_def());
}

}  // namespace

ZK_MODULE(ring, exec_ring)
