// Server, a threading TCP server that is also the registry, and the two functions a program
// calls: serve builds and runs a server for one object, start runs one until it is interrupted.
#include "server/server.hpp"

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

const char* const serve_doc =
    "start a server for an object(function, class or a moudle)\n"
    "\n"
    "    Args:\n"
    "        obj (Any): function, class or a module\n"
    "        alias (str, optional): alias for the server. Defaults to ''.\n"
    "        host (str, optional): socket host, default '127.0.0.1'\n"
    "        port (int, optional): if not given, `get_port` is used\n"
    "        thread (bool, optional): move the server into a separate thread if true\n"
    "        clean (bool, optional): call `terminate` if true, default False\n"
    "        authkey (bytes, optional): a key clients must prove they know before anything\n"
    "            they send is decoded; without one, anyone who reaches the port is served\n"
    "        origins (list[str], optional): web pages allowed to call, as scheme://host[:port],\n"
    "            besides pages from a loopback host; browsers' other pages are refused\n"
    "        ssl_context (ssl.SSLContext, optional): serve every connection over TLS, browsers'\n"
    "            (wss://) included; the key handshake, with a key, then runs inside TLS\n"
    "    ";

// Binds with address reuse and serves each connection in a daemon thread; then registers obj.
// socketserver's listen backlog of 5 overflows when many clients connect at once: the kernel then
// drops their handshakes, and a client whose connect had already returned may wait a minute for
// its first answer while the server side of its connection is retried. The system's most it is.
Ref init(Scope s, Handle self, Handle server_address, Handle handler_class, Handle bind_and_activate, Handle obj,
         Handle alias) {
    const Names& n = s.names();
    zk::setattr(self, n.daemon_threads, Py_True);
    zk::setattr(self, n.allow_reuse_address, Py_True);
    zk::setattr(self, n.request_queue_size, s.state().listen_backlog);
    zk::call_method(s.super(self), n.__init__, server_address, handler_class, bind_and_activate);
    zk::call(zk::getattr(s.global(n.ServerBase), n.__init__), self, obj, alias);
    return zk::none();
}

Ref start(Scope s, Handle server, Handle clean) {
    const Names& n = s.names();
    try {
        zk::call_method(server, n.serve_forever);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        zk::call_method(server, n.server_close);
        Ref text = zk::text("Stopping {} at {}!!!", zk::getattr(server, n._alias), zk::getattr(server, n.server_address));
        zk::call_method(zk::getattr(server, n.log), n.warning, text);
        if (zk::truthy(clean)) zk::call(s.global(n.terminate));
    }
    return zk::none();
}

Ref serve(Scope s, Handle obj, Handle alias, Handle host, Handle port, Handle thread, Handle clean, Handle authkey,
          Handle origins, Handle ssl_context) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref allowed = allowed_origins(st, origins);  // a malformed entry is refused before anything is bound
    Ref context = checked_tls_context(n, ssl_context);
    Ref log = zk::call_kw(s.global(n.BrillPrint), {alias}, {{n.exclude, st.exclude}});
    Ref chosen = zk::truthy(port) ? Ref::borrow(port) : zk::call(s.global(n.get_port), alias);
    zk::call_method(log, n.info, zk::text("{} is serving at {}:{}", alias, host, chosen));
    Ref server = zk::call_kw(s.global(n.Server), {zk::tuple_of({host, chosen}), s.global(n.RequestHandler)},
                             {{n.obj, obj}, {n.alias, alias}});
    zk::setattr(server, n.log, log);
    zk::setattr(server, n._authkey, authkey);
    zk::setattr(server, n._origins, allowed);
    zk::setattr(server, n._ssl_context, context);
    if (zk::truthy(thread)) {
        Ref threading = zk::import("threading");
        Ref worker = zk::call_kw(zk::getattr(threading, n.Thread), {},
                                 {{n.target, s.global(n.start)}, {n.daemon, Py_True}, {n.args_, zk::tuple_of({server, clean})}});
        zk::call_method(worker, n.start);
    } else {
        zk::call(s.global(n.start), server, clean);
    }
    return zk::none();
}

}  // namespace

void define_server(zk::Module& m, const State& st, Handle server_base) {
    using zk::arg;
    using zk::Check;
    Ref base = zk::getattr(m.get("socketserver"), st.names.ThreadingTCPServer);
    m.add_class("Server", {base, server_base}, nullptr,
                {
                    zk::method(zk::declare<init>("__init__", {arg("self"),
                                                              arg("server_address", Check::Tuple).annotate("tuple[str, int]"),
                                                              arg("RequestHandlerClass"),
                                                              arg("bind_and_activate").annotate("bool") = true,
                                                              arg("obj").annotate("Any") = "Object",
                                                              arg("alias", Check::Str) = "Server"})),
                });
}

zk::Def start_def() {
    using zk::arg;
    return zk::declare<start>("start", {arg("s").annotate("Server"), arg("clean").annotate("bool") = false});
}

zk::Def serve_def() {
    using zk::arg;
    using zk::Check;
    return zk::declare<serve>("serve", {arg("obj"), arg("alias", Check::Str) = "", arg("host", Check::Str) = "127.0.0.1",
                                        arg("port", Check::Int) = 0, arg("thread").annotate("bool") = false,
                                        arg("clean").annotate("bool") = false,
                                        zk::kwonly("authkey", Check::Bytes).optional() = zk::none(),
                                        zk::kwonly("origins").annotate("list[str] | None") = zk::none(),
                                        zk::kwonly("ssl_context").annotate("ssl.SSLContext | None") = zk::none()})
        .doc(serve_doc);
}

}  // namespace server
