// zelk.ring: the stream frame around each message and the connection that moves whole messages.
#include "ring/ring.hpp"
#include "ring/ring_api.hpp"

#include <sched.h>

#include <cstdlib>

namespace {

// Microseconds a reader watches its socket before it sleeps: ZELK_WATCH_US, 50 by default, 0 for
// never. A process that may run on one processor only never watches: its peer cannot answer meanwhile.
long long watch_nanoseconds() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) == 1) return 0;
    constexpr long long default_us = 50, most_us = 1'000'000;
    const char* setting = std::getenv("ZELK_WATCH_US");
    if (!setting || !*setting) return default_us * 1000;
    char* end = nullptr;
    long long us = std::strtoll(setting, &end, 10);
    if (*end || us < 0) return default_us * 1000;  // not a count of microseconds: the default
    return (us > most_us ? most_us : us) * 1000;
}

void exec_ring(zk::Module& m, ring::State& st) {
    m.import("hashlib");
    m.import("select");
    zk::Ref struct_module = m.import("struct");
    st.struct_unpack = zk::getattr(struct_module, st.names.unpack);
    st.struct_error = zk::getattr(struct_module, st.names.error);
    m.from_import("socket", {"socket"});
    st.socket_class = m.get("socket");
    st.socket_fileno = zk::getattr(st.socket_class, st.names.fileno);
    m.from_import("typing", {"Any"});
    m.from_import(".protocol", {"SOCKET_RECV_SIZE", "BytePacker", "WebSocket"});
    st.protocol_module = zk::import("zelk.protocol");
    st.allowed_classes_class = zk::getattr(st.protocol_module, st.names.AllowedClasses);
    st.codec = static_cast<const protocol::CodecApi*>(PyCapsule_Import(protocol::codec_api_capsule, 0));
    if (!st.codec) zk::throw_error();
    st.heartbeat = zk::check(PyBytes_FromString("heartbeat"));
    st.watch_ns = watch_nanoseconds();
    m.set("MAX_MESSAGE_SIZE", zk::integer(ring::max_message_default));
    m.set("_HEADER_SIZE", zk::integer(ring::header_size));  // for zelk.aio, which reads its own frames
    m.set("_HANDSHAKE_SECONDS", zk::floating(ring::handshake_seconds));  // and bounds its own TLS handshakes
    ring::define_message_too_large(m, st);
    m.def(ring::packet_length_def());
    zk::Ref byte_stream = ring::define_byte_stream(m, st);
    ring::define_connection(m, st, byte_stream);
    ring::define_ring_api(m, st);
    ring::define_calls_api(m, st);
    m.def(ring::get_port_def());
    ring::define_refusal(m, st);
    ring::define_tls_alert(m);
    ring::define_authentication(m, st);
}

}  // namespace

ZK_MODULE(ring, ring::State, exec_ring,
          "The connection layer: the stream frame around each message and the connection that moves whole messages.",
          Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
