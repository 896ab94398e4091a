// Server, a threading TCP server that is also the registry, and the two functions a program
// calls: serve builds and runs a server for one object, start runs one until it is interrupted.
#include "server/server.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

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
    "        max_message_size (int, optional): the largest message a client may send, in bytes;\n"
    "            a connection announcing more is closed before anything is allocated (1 GiB)\n"
    "        idle_timeout (float | None, optional): seconds a connection may stay silent, or take\n"
    "            to send one message, before it is closed (300); None for no limit\n"
    "        max_connections (int, optional): connections served at once; more are closed as\n"
    "            they come (1024)\n"
    "        allowed_classes (Iterable[type | str], optional): the only classes clients' pickles may\n"
    "            rebuild (the classes, or \"module.QualName\" texts); others fail the call unrun\n"
    "        expose (Iterable[str], optional): the only methods clients may call, dotted for nested\n"
    "            attributes, besides ping, getpid, stats and client\n"
    "    ";

using Clock = std::chrono::steady_clock;

// The connections a server serves now, counted from the accept loop's thread (which alone reports
// refusals) and counted down by each connection's thread as it ends.
struct Slots {
    std::atomic<long> open{0};
    Clock::time_point last_report{};
    long unreported = 0;
};

constexpr const char* slots_name = "zelk.server.slots";

zk::Boxed<Slots> slots_of(const Names& n, Handle server) {
    return zk::unbox<Slots>(zk::getattr(server, n._slots), slots_name);
}

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
    zk::setattr(self, n._slots, zk::box(std::make_unique<Slots>(), slots_name));
    zk::call_method(s.super(self), n.__init__, server_address, handler_class, bind_and_activate);
    zk::call(zk::getattr(s.global(n.ServerBase), n.__init__), self, obj, alias);
    return zk::none();
}

// Reports refused connections at most once a second, so that a flood cannot flood the log too.
void report_refusal(const Names& n, Handle server, Slots& slots, Handle limit) {
    slots.unreported++;
    auto now = Clock::now();
    if (now - slots.last_report < std::chrono::seconds(1)) return;
    Ref count = zk::integer(slots.unreported);
    slots.unreported = 0;
    slots.last_report = now;
    Ref text = zk::text("Refused {} connection(s): max_connections ({}) are open", count, limit);
    zk::call_method(zk::getattr(server, n.log), n.warning, text);
}

// A connection beyond max_connections is closed at once, in the accept loop's thread, and holds
// no thread; the others are served as ThreadingMixIn serves them, and counted until they end.
Ref process_request(Scope s, Handle self, Handle request, Handle client_address) {
    const State& st = s.state();
    const Names& n = st.names;
    zk::Boxed<Slots> slots = slots_of(n, self);
    Ref limit = zk::getattr(self, n.max_connections);
    if (slots->open.load() >= zk::to_ssize(limit)) {
        zk::call_method(self, n.shutdown_request, request);
        report_refusal(n, self, *slots, limit);
        return zk::none();
    }
    slots->open.fetch_add(1);
    try {
        zk::call(st.threading_process_request, self, request, client_address);
    } catch (...) {
        slots->open.fetch_sub(1);  // no thread was started for it
        throw;
    }
    return zk::none();
}

Ref process_request_thread(Scope s, Handle self, Handle request, Handle client_address) {
    const State& st = s.state();
    zk::Boxed<Slots> slots = slots_of(st.names, self);
    zk::finally([&] { zk::call(st.threading_process_request_thread, self, request, client_address); },
                [&] { slots->open.fetch_sub(1); });
    return zk::none();
}

// socketserver's own shutdown and close of a finished connection, without letting go of the
// interpreter around them: neither call waits, and when thousands of connections end at once each
// thread that lets go waits in line to come back, which the new callers' threads do too.
Ref shutdown_request(Scope s, Handle self, Handle request) {
    const State& st = s.state();
    if (!Py_IS_TYPE(request.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) {
        zk::call(st.tcp_shutdown_request, self, request);
        return zk::none();
    }
    long fd = PyLong_AsLong(zk::call_method(request, st.names.detach).get());
    if (fd == -1 && PyErr_Occurred()) zk::throw_error();
    if (fd >= 0) {
        ::shutdown(static_cast<int>(fd), SHUT_WR);  // may fail on a connection already reset: it is closed either way
        ::close(static_cast<int>(fd));
    }
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

void check_limits(Handle max_message_size, Handle idle_timeout, Handle max_connections) {
    if (zk::to_ssize(max_message_size) < 0) zk::raise(PyExc_ValueError, "max_message_size must not be negative");
    if (zk::to_ssize(max_connections) < 1) zk::raise(PyExc_ValueError, "max_connections must be at least 1");
    if (idle_timeout.get() == Py_None) return;
    double seconds = PyFloat_AsDouble(idle_timeout);
    if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    if (!(seconds > 0)) zk::raise(PyExc_ValueError, "idle_timeout must be a positive number of seconds or None");
}

Ref serve(Scope s, Handle obj, Handle alias, Handle host, Handle port, Handle thread, Handle clean, Handle authkey,
          Handle origins, Handle ssl_context, Handle max_message_size, Handle idle_timeout, Handle max_connections,
          Handle allowed_classes, Handle expose) {
    const State& st = s.state();
    const Names& n = st.names;
    // Every setting is checked before anything is bound.
    Ref allowed = allowed_origins(st, origins);
    Ref context = checked_tls_context(n, ssl_context);
    check_limits(max_message_size, idle_timeout, max_connections);
    Ref allow_list = checked_allow_list(st, allowed_classes);
    Ref exposed = checked_expose(n, expose);
    Ref log = zk::call_kw(s.global(n.BrillPrint), {alias}, {{n.exclude, st.exclude}});
    Ref chosen = zk::truthy(port) ? Ref::borrow(port) : zk::call(s.global(n.get_port), alias);
    zk::call_method(log, n.info, zk::text("{} is serving at {}:{}", alias, host, chosen));
    Ref server = zk::call_kw(s.global(n.Server), {zk::tuple_of({host, chosen}), s.global(n.RequestHandler)},
                             {{n.obj, obj}, {n.alias, alias}});
    zk::setattr(server, n.log, log);
    zk::setattr(server, n._authkey, authkey);
    zk::setattr(server, n._origins, allowed);
    zk::setattr(server, n._ssl_context, context);
    zk::setattr(server, n.max_message_size, max_message_size);
    zk::setattr(server, n.idle_timeout, idle_timeout);
    zk::setattr(server, n.max_connections, max_connections);
    keep_trust_settings(st, server, allow_list, exposed);
    report_shadowed(s, server);
    warn_if_open(st, server, log, authkey);
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
                    zk::attribute("max_message_size", m.get("MAX_MESSAGE_SIZE")),
                    zk::attribute("idle_timeout", zk::floating(idle_timeout_default)),
                    zk::attribute("max_connections", zk::integer(max_connections_default)),
                    zk::method(zk::declare<process_request>("process_request",
                                                            {arg("self"), arg("request"), arg("client_address")})),
                    zk::method(zk::declare<process_request_thread>("process_request_thread",
                                                                   {arg("self"), arg("request"), arg("client_address")})),
                    zk::method(zk::declare<shutdown_request>("shutdown_request", {arg("self"), arg("request")})),
                });
}

zk::Def start_def() {
    using zk::arg;
    return zk::declare<start>("start", {arg("s").annotate("Server"), arg("clean").annotate("bool") = false});
}

zk::Def serve_def(Handle max_message_size) {
    using zk::arg;
    using zk::Check;
    using zk::kwonly;
    return zk::declare<serve>("serve", {arg("obj"), arg("alias", Check::Str) = "", arg("host", Check::Str) = "127.0.0.1",
                                        arg("port", Check::Int) = 0, arg("thread").annotate("bool") = false,
                                        arg("clean").annotate("bool") = false,
                                        kwonly("authkey", Check::Bytes).optional() = zk::none(),
                                        kwonly("origins").annotate("list[str] | None") = zk::none(),
                                        kwonly("ssl_context").annotate("ssl.SSLContext | None") = zk::none(),
                                        kwonly("max_message_size", Check::Int) = Ref::borrow(max_message_size),
                                        kwonly("idle_timeout").annotate("float | None") = zk::floating(idle_timeout_default),
                                        kwonly("max_connections", Check::Int) = zk::integer(max_connections_default),
                                        kwonly("allowed_classes").annotate("Iterable[type | str] | None") = zk::none(),
                                        kwonly("expose").annotate("Iterable[str] | None") = zk::none()})
        .doc(serve_doc);
}

}  // namespace server
