// Server, a threading TCP server that is also the registry, and the two functions a program
// calls: serve builds and runs a server for one object, start runs one until it is interrupted.
#include "server/metrics.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <unordered_map>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

const char* const serve_doc =
    "start a server for an object(function, class or a module)\n"
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
    "        metrics (bool, optional): answer GET /metrics on the same port with the server's\n"
    "            counts in Prometheus' text format (calls, durations, connections, bytes)\n"
    "    ";

using Clock = std::chrono::steady_clock;

// The limit that turns a new connection away, if any.
enum class Limit { none, max_connections, max_connections_per_host };

// The connections a server serves now, in all and per client address: taken in the accept loop's
// thread, given back by each connection's thread as it ends.
class Slots {
public:
    // Counts a new connection from `host`, or names the limit it would pass.
    Limit take(const std::string& host, Py_ssize_t most, Py_ssize_t most_per_host) {
        zk::Holding holding(lock_);
        if (open_ >= most) return Limit::max_connections;
        long& from_host = per_host_[host];
        if (from_host >= most_per_host) {
            if (from_host == 0) per_host_.erase(host);
            return Limit::max_connections_per_host;
        }
        open_++, from_host++;
        return Limit::none;
    }

    void give_back(const std::string& host) {
        zk::Holding holding(lock_);
        open_--;
        if (auto at = per_host_.find(host); at != per_host_.end() && --at->second <= 0) per_host_.erase(at);
    }

    // Refusals not reported yet, per limit, and when each was last reported: the accept loop's own.
    struct Reports {
        Clock::time_point last{};
        long unreported = 0;
    } full, host_full;

private:
    PyMutex lock_{};
    long open_ = 0;
    std::unordered_map<std::string, long> per_host_;
};

constexpr const char* slots_name = "zelk.server.slots";

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
    zk::setattr(self, n._line_rates, make_line_rates());
    choose_family(s.state(), self, server_address);
    zk::call_method(s.super(self), n.__init__, server_address, handler_class, bind_and_activate);
    zk::call(zk::getattr(s.global(n.ServerBase), n.__init__), self, obj, alias);
    return zk::none();
}

// Reports refused connections at most once a second per limit, so that a flood cannot flood the log
// too: line(count) is the line for `count` refusals.
template <class Line>
void report_refusal(const Names& n, Handle server, Slots::Reports& reports, Line&& line) {
    reports.unreported++;
    auto now = Clock::now();
    if (now - reports.last < std::chrono::seconds(1)) return;
    Ref count = zk::integer(reports.unreported);
    reports.unreported = 0;
    reports.last = now;
    warn(n, server, line(count));
}

// A plain server tells a connection it turns away why, in a record its client reads in place of an
// answer: one write that does not wait (a peer that reads nothing loses it), after reading what the
// peer sent already, so that closing ends the stream rather than resetting it. Over TLS the record
// could only go after a handshake, which the accept loop must not wait on: the peer is closed.
void tell_refusal(const State& st, Handle server, Handle request, Handle reason) {
    if (serves_tls(st.names, server) || !Py_IS_TYPE(request.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) {
        return;
    }
    int fd = static_cast<int>(zk::to_ssize(zk::call_method(request, st.names.fileno)));
    Ref message = zk::call(st.refusal, reason);
    char sink[4096];
    for (int reads = 0; reads < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; reads++) {
    }
    (void)::send(fd, PyBytes_AS_STRING(message.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(message.get())),
                 MSG_DONTWAIT | MSG_NOSIGNAL);
}

void turn_away(Scope s, Handle server, Handle request, Limit limit, Handle host, Slots& slots) {
    const State& st = s.state();
    const Names& n = st.names;
    bool full = limit == Limit::max_connections;
    Ref most = zk::getattr(server, full ? n.max_connections : n.max_connections_per_host);
    Ref reason = full ? zk::text("the server refused the connection: max_connections ({}) are open", most)
                      : zk::text("the server refused the connection: max_connections_per_host ({}) are open from {}", most, host);
    try {
        tell_refusal(st, server, request, reason);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;  // the peer has gone: it is closed all the same
    }
    zk::call_method(server, n.shutdown_request, request);
    if (auto metrics = metrics_of(n, server)) {
        auto& refused = full ? (*metrics)->refused_all : (*metrics)->refused_per_host;
        refused.fetch_add(1, std::memory_order_relaxed);
    }
    report_refusal(n, server, full ? slots.full : slots.host_full, [&](Handle count) {
        return full ? zk::text("Refused {} connection(s): max_connections ({}) are open", count, most)
                    : zk::text("Refused {} connection(s): max_connections_per_host ({}) are open from {}", count, most, host);
    });
}

// The address a connection counts against: its client's host.
Ref host_of(Handle client_address) {
    if (PyTuple_Check(client_address.get()) && PyTuple_GET_SIZE(client_address.get()) > 0) {
        return zk::to_str(PyTuple_GET_ITEM(client_address.get(), 0));
    }
    return zk::to_str(client_address);
}

std::string utf8(Handle text) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) zk::throw_error();
    return std::string(data, static_cast<std::size_t>(size));
}

// A connection's claim on its slot, settled once: by its thread when the thread runs, else by the
// accept loop when starting the thread failed. A KeyboardInterrupt may land in Thread.start() after
// the thread began, and that thread then serves the connection and gives the slot back itself.
struct Claim {
    std::atomic<bool> settled{false};
    bool settle() noexcept { return !settled.exchange(true); }
};

constexpr const char* claim_name = "zelk.server.claim";

// What a counted connection's thread keeps: its server and connection, and its claim on its slot.
struct Counted {
    Ref server, request, client_address, host, claim, slots;

    template <class F>
    void each(F&& f) {
        f(server), f(request), f(client_address), f(host), f(claim), f(slots);
    }
};

// The thread of a counted connection: served as ThreadingMixIn serves one, its slot given back after.
Ref serve_counted(Scope s) {
    const Names& n = s.names();
    Counted& counted = s.captured<Counted>();
    if (!zk::unbox<Claim>(counted.claim.copy(), claim_name)->settle()) return zk::none();  // closed by the accept loop
    zk::Boxed<Slots> slots = zk::unbox<Slots>(counted.slots.copy(), slots_name);
    std::string host = utf8(counted.host);
    zk::finally([&] { zk::call_method(counted.server, n.process_request_thread, counted.request, counted.client_address); },
                [&] { slots->give_back(host); });
    return zk::none();
}

// A connection past max_connections, or past max_connections_per_host from its address, is closed at
// once, in the accept loop's thread, and holds no thread; the others are served each in a thread of
// its own, as ThreadingMixIn serves them, and counted until they end.
Ref process_request(Scope s, Handle self, Handle request, Handle client_address) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref slots_box = zk::getattr(self, n._slots);
    zk::Boxed<Slots> slots = zk::unbox<Slots>(slots_box.copy(), slots_name);
    Ref host = host_of(client_address);
    std::string key = utf8(host);
    Limit refused = slots->take(key, zk::to_ssize(zk::getattr(self, n.max_connections)),
                                zk::to_ssize(zk::getattr(self, n.max_connections_per_host)));
    if (refused != Limit::none) {
        turn_away(s, self, request, refused, host, *slots);
        return zk::none();
    }
    Ref claim;
    try {
        claim = zk::box(std::make_unique<Claim>(), claim_name);
        Ref target = s.nested("serve_counted", Counted{Ref::borrow(self), Ref::borrow(request), Ref::borrow(client_address),
                                                       host.copy(), claim.copy(), slots_box.copy()});
        Ref thread = zk::call_kw(st.thread_class, {}, {{n.target, target}});
        zk::setattr(thread, n.daemon, zk::getattr(self, n.daemon_threads));
        if (zk::truthy(zk::getattr(self, n.block_on_close))) {  // vars(self).setdefault("_threads", _Threads())
            Ref own = zk::check(PyObject_GenericGetDict(self, nullptr));
            if (!zk::dict_get(own, n._threads)) zk::setitem(own, n._threads, zk::call(st.threads_class));
        }
        zk::call_method(zk::getattr(self, n._threads), n.append, thread);
        zk::call_method(thread, n.start);
    } catch (...) {
        // No thread will serve it (socketserver closes it, as it closes any request that failed here).
        if (!claim || zk::unbox<Claim>(claim.copy(), claim_name)->settle()) slots->give_back(key);
        throw;
    }
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
        warn(n, server, text);
        if (zk::truthy(clean)) zk::call(s.global(n.terminate));
    }
    return zk::none();
}

// Seconds, or None: anything else than a positive number is refused, naming the setting.
void check_seconds(Handle value, const char* name) {
    if (value.get() == Py_None) return;
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    if (!(seconds > 0)) zk::raise(PyExc_ValueError, "%s must be a positive number of seconds or None", name);
}

void check_limits(Handle max_message_size, Handle idle_timeout, Handle max_connections, Handle max_connections_per_host,
                  Handle first_message_timeout) {
    ring::checked_message_size(max_message_size);
    if (zk::to_ssize(max_connections) < 1) zk::raise(PyExc_ValueError, "max_connections must be at least 1");
    if (zk::to_ssize(max_connections_per_host) < 1) zk::raise(PyExc_ValueError, "max_connections_per_host must be at least 1");
    check_seconds(idle_timeout, "idle_timeout");
    check_seconds(first_message_timeout, "first_message_timeout");
}

Ref serve(Scope s, Handle obj, Handle alias, Handle host, Handle port, Handle thread, Handle clean, Handle authkey,
          Handle origins, Handle ssl_context, Handle max_message_size, Handle idle_timeout, Handle max_connections,
          Handle max_connections_per_host, Handle first_message_timeout, Handle allowed_classes, Handle expose,
          Handle metrics) {
    const State& st = s.state();
    const Names& n = st.names;
    // Every setting is checked before anything is bound.
    Ref allowed = allowed_origins(st, origins);
    ring::check_ssl_context(st.ring_capsule, ssl_context);
    check_limits(max_message_size, idle_timeout, max_connections, max_connections_per_host, first_message_timeout);
    Ref allow_list = checked_allow_list(st, allowed_classes);
    Ref exposed = checked_expose(n, expose);
    if (zk::truthy(metrics) && authkey.get() != Py_None) {
        // A server with a key speaks first, and a scraper cannot answer it: the page could never be read.
        zk::raise(PyExc_ValueError, "metrics: cannot be served with an authkey, since a scraper cannot take part in the key handshake");
    }
    Ref log = zk::call_kw(s.global(n.BrillPrint), {alias}, {{n.exclude, st.exclude}});
    Ref chosen = zk::truthy(port) ? Ref::borrow(port) : zk::call(s.global(n.get_port), alias);
    Ref server = zk::call_kw(s.global(n.Server), {zk::tuple_of({host, chosen}), s.global(n.RequestHandler)},
                             {{n.obj, obj}, {n.alias, alias}});
    // Said once the socket listens: a bind that fails says nothing was served.
    zk::call_method(log, n.info, zk::text("{} is serving at {}:{}", alias, shown_host(host), chosen));
    zk::setattr(server, n.log, log);
    zk::setattr(server, n._authkey, authkey);
    zk::setattr(server, n._origins, allowed);
    zk::setattr(server, n._ssl_context, ssl_context);
    zk::setattr(server, n.max_message_size, max_message_size);
    zk::setattr(server, n.idle_timeout, idle_timeout);
    zk::setattr(server, n.max_connections, max_connections);
    zk::setattr(server, n.max_connections_per_host, max_connections_per_host);
    zk::setattr(server, n.first_message_timeout, first_message_timeout);
    if (zk::truthy(metrics)) zk::setattr(server, n._metrics, zk::box(std::make_unique<Metrics>(), metrics_name));
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
                    zk::attribute("max_connections_per_host", zk::integer(max_connections_per_host_default)),
                    zk::attribute("first_message_timeout", zk::floating(first_message_timeout_default)),
                    zk::attribute("_metrics", zk::none()),  // what it counts, when serve was asked for metrics
                    zk::method(zk::declare<process_request>("process_request",
                                                            {arg("self"), arg("request"), arg("client_address")})
                                   .nested(zk::declare<serve_counted>("serve_counted", {}))),
                    zk::method(zk::declare<shutdown_request>("shutdown_request", {arg("self"), arg("request")})),
                    zk::method(server_bind_def()),
                    zk::method(get_request_def()),
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
                                        kwonly("max_connections_per_host", Check::Int) = zk::integer(max_connections_per_host_default),
                                        kwonly("first_message_timeout").annotate("float | None") = zk::floating(first_message_timeout_default),
                                        kwonly("allowed_classes").annotate("Iterable[type | str] | None") = zk::none(),
                                        kwonly("expose").annotate("Iterable[str] | None") = zk::none(),
                                        kwonly("metrics").annotate("bool") = false})
        .doc(serve_doc);
}

}  // namespace server
