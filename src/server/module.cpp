// zelk.server: serves one object under a service name to other processes over TCP.
#include "server/server.hpp"

#include "ring/peers.hpp"

namespace {

void exec_server(zk::Module& m, server::State& st) {
    m.import("os");
    m.import("socketserver");
    m.from_import("types", {"MethodType"});
    m.from_import("typing", {"Any"});
    zk::Ref ring = ring::take_protocol_and_ring(m, st);
    m.from_import(".scribe", {"BrillPrint", "iformat", "iprint", "_OWN_PACKAGES"});
    st.request_kind = m.get("REQUEST");
    st.response_kind = m.get("RESPONSE");
    st.connection_class = m.get("Connection");
    st.deliver_challenge = zk::getattr(ring, st.names.deliver_challenge);
    st.message_too_large = zk::getattr(ring, st.names.MessageTooLarge);
    st.thread_class = zk::getattr(zk::import("threading"), st.names.Thread);
    st.threads_class = zk::getattr(m.get("socketserver"), st.names._Threads);
    st.refusal = zk::getattr(ring, st.names._refusal);
    zk::Ref tcp_server = zk::getattr(m.get("socketserver"), st.names.TCPServer);
    st.tcp_shutdown_request = zk::getattr(tcp_server, st.names.shutdown_request);
    st.tcp_server_bind = zk::getattr(tcp_server, st.names.server_bind);
    st.tcp_get_request = zk::getattr(tcp_server, st.names.get_request);
    st.method_type = m.get("MethodType");
    st.iformat = m.get("iformat");
    st.exclude = zk::check(PySequence_List(m.get("_OWN_PACKAGES").get()));
    zk::Ref socket = zk::import("socket");
    st.socket_class = zk::getattr(socket, st.names.socket);
    st.listen_backlog = zk::getattr(socket, st.names.SOMAXCONN);
    st.ipproto_tcp = zk::getattr(socket, st.names.IPPROTO_TCP);
    st.tcp_nodelay = zk::getattr(socket, st.names.TCP_NODELAY);
    st.af_inet6 = zk::getattr(socket, st.names.AF_INET6);
    st.ipproto_ipv6 = zk::getattr(socket, st.names.IPPROTO_IPV6);
    st.ipv6_v6only = zk::getattr_optional(socket, st.names.IPV6_V6ONLY);
    st.connection_errors = zk::tuple_of({PyExc_ConnectionResetError, PyExc_ConnectionAbortedError, PyExc_BrokenPipeError});
    zk::Ref server_base = server::define_server_base(m, st);
    server::define_request_handler(m, st);
    server::define_server(m, st, server_base);
    m.def(server::time_left_def());
    m.def(server::cancelled_def());
    m.def(server::terminate_def());
    m.def(server::start_def());
    m.def(server::serve_def(m.get("MAX_MESSAGE_SIZE")));
}

}  // namespace

// It needs numpy (through the packer), which refuses subinterpreters.
ZK_MODULE(server, server::State, exec_server,
          "The server: serves one object under a service name to other processes over TCP.",
          Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
