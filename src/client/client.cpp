// Client: connecting, and sending one numbered request; the call itself is in call.cpp.
#include "client/lanes.hpp"

#include <algorithm>
#include <chrono>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self, Handle host, Handle port, Handle timeout, Handle errors, Handle max_message_size,
         Handle allowed_classes, Handle balance, Handle authkey, Handle ssl_context, Handle stream_window) {
    const State& st = s.state();
    const Names& n = st.names;
    Balance chosen = balance_of(n, balance);
    ring::check_ssl_context(st.ring_capsule, ssl_context);
    if (zk::to_ssize(stream_window) < 1) zk::raise(PyExc_ValueError, "stream_window must be at least 1");
    zk::call_kw(zk::getattr(s.super(self), n.__init__), {host, port, timeout},
                {{n.errors, errors}, {n.max_message_size, max_message_size}, {n.allowed_classes, allowed_classes}});
    lanes_of(st, self)->hosts.set_balance(chosen);
    zk::setattr(self, n._authkey, authkey);
    zk::setattr(self, n._ssl_context, ssl_context);
    zk::setattr(self, n._stream_window, stream_window);
    return zk::none();
}

// With an ssl_context, the connected socket wrapped in TLS, its handshake done within `seconds`
// (and never longer than a key handshake may take); else `sock` itself.
Ref over_tls(const Names& n, Handle self, Handle sock, Handle host, double seconds) {
    Ref context = zk::getattr_optional(self, n._ssl_context);
    if (!context || context.get() == Py_None) return Ref::borrow(sock);
    Ref wrapped = zk::call_kw(zk::getattr(context, n.wrap_socket), {sock},
                              {{n.server_hostname, host}, {n.do_handshake_on_connect, Py_False}});
    try {
        if (seconds <= 0) zk::raise(PyExc_TimeoutError, "timed out");
        zk::call_method(wrapped, n.settimeout, zk::floating(std::min(seconds, ring::handshake_seconds)));
        zk::call_method(wrapped, n.do_handshake);
        zk::call_method(wrapped, n.settimeout, zk::getattr(self, n._timeout));
    } catch (zk::PyError&) {
        zk::call_method(wrapped, n.close);  // the socket it took over is closed with it
        throw;
    }
    return wrapped;
}

// A new connection to one address, made within the client's time-out, handshakes included; with a
// key, it passes the key handshake; with an ssl_context, both happen inside TLS. `sock` is left
// with the socket, for the caller to close on a failure.
Ref connect_to(Scope s, Handle self, const Address& address, Ref& sock) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref timeout = zk::getattr(self, n._timeout);
    double limit = PyFloat_AsDouble(timeout.get());
    if (limit == -1.0 && PyErr_Occurred()) zk::throw_error();
    auto started = std::chrono::steady_clock::now();
    auto seconds_left = [&] {
        return limit - std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    sock = zk::call(zk::getattr(s.global(n.socket), n.socket), address.family);
    zk::call_method(sock, n.settimeout, timeout);
    zk::call_method(sock, n.connect, address.sockaddr);
    sock = over_tls(n, self, sock, address.name, seconds_left());
    Ref most = zk::getattr_optional(self, n._max_message_size);
    Ref allowed = zk::getattr_optional(self, n._allowed_classes);
    Ref connection = most ? zk::call_kw(s.global(n.Connection), {sock},
                                        {{n.max_message_size, most}, {n.allowed_classes, allowed ? allowed.get() : Py_None}})
                          : zk::call(s.global(n.Connection), sock);
    Ref key = zk::getattr_optional(self, n._authkey);
    if (key && key.get() != Py_None) {
        zk::call_kw(st.answer_challenge, {connection, key}, {{n.timeout, zk::floating(seconds_left())}});
    }
    // From here on the connection keeps the time-out: in the kernel, for a plain socket.
    zk::call_method(connection, n.settimeout, timeout);
    return connection;
}

// A new connection replaces the old one: to the address the call was sent to (round robin), else
// to the one the client's connections go to, and when that fails to the next, each once. A server
// that cannot be reached at any is reported: for one address, in its own words; for
// several, each with its address.
Ref open_connection(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref host = zk::getattr(self, n._host);
    if (!zk::truthy(host)) return zk::none();
    Ref port = zk::getattr(self, n._port);
    LanesRef lanes = lanes_of(st, self);
    Hosts& hosts = lanes->hosts;
    Ref names = host_names(host);
    Ref unresolved;
    if (hosts.stale(names, port)) unresolved = resolve(s, hosts, names, port);
    std::string start;
    if (Lane* lane = lanes->current()) start = std::exchange(lane->target, {});
    std::vector<Address> plan = hosts.plan(start);
    if (plan.empty()) return report_unreachable(s, self, unresolved ? unresolved.get() : Py_None);
    std::optional<zk::PyError> last;
    Ref reasons = zk::new_list();
    for (const Address& address : plan) {
        Ref sock;
        try {
            Ref connection = connect_to(s, self, address, sock);
            zk::setattr(self, n._connection, connection);
            lanes->set_address(address.key);
            hosts.answered(address.key);
            return zk::none();
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_OSError)) throw;
            zk::Handling handling(e);
            if (sock) zk::call_method(sock, n.close);  // now, rather than whenever it is collected
            hosts.failed(address.key);
            zk::append(reasons, zk::text("{}: {}", zk::str(address.key), e.value()));
            last.emplace(e);
        }
    }
    zk::Handling handling(*last);
    if (hosts.count() == 1) return report_unreachable(s, self, last->value());
    return report_unreachable(s, self, zk::join(zk::str("; "), reasons));
}

// A `timeout` keyword is the client's, not the remote method's: it goes on the connection and stays there.
Ref request(Scope s, Handle self, Handle method, Handle args, Handle kwds) {
    LanesRef lanes = lanes_of(s.state(), self);
    send_request(s, *lanes, lanes->current(), zk::getattr(self, s.names()._connection), method, args, kwds);
    return zk::none();
}

}  // namespace

namespace {

// "Connection failed (<why>), please check: ...", for the client `self`.
Ref unreachable_text(const Names& n, Handle self, Handle why) {
    return zk::text(
        "Connection failed ({}), please check: \n"
        "                        1. the network is connected\n"
        "                        2. the server info(host({}) or port({})) is correct \n"
        "                        3. the server({}) has been started!",
        why, zk::getattr(self, n._host), zk::getattr(self, n._port), zk::getattr(self, n.alias));
}

}  // namespace

// Printed once per outage: while the service stays unreachable, every attempt gets the same text
// unprinted, so that callers retrying in a loop write one line, not one per attempt.
Ref report_unreachable(Scope s, Handle self, Handle reason) {
    const Names& n = s.names();
    Ref why = zk::format(reason);
    Ref message = unreachable_text(n, self, why);
    Lanes& lanes = *lanes_of(s.state(), self);
    if (Lane* lane = lanes.current()) lane->unreachable = std::move(why);
    return lanes.begin_outage() ? zk::call_method(zk::getattr(self, n.log), n.critical, message) : std::move(message);
}

void report_reachable(Scope s, Handle self) {
    const Names& n = s.names();
    Ref message = zk::text("Connection to ({}, {}) restored: the server({}) answers again", zk::getattr(self, n._host),
                           zk::getattr(self, n._port), zk::getattr(self, n.alias));
    zk::call_method(zk::getattr(self, n.log), n.warning, message);
}

namespace {

// zelk.aio keeps its own outages: `first` when this one has not been printed yet.
Ref unreachable_report(Scope s, Handle client, Handle reason, Handle first) {
    const Names& n = s.names();
    Ref message = unreachable_text(n, client, zk::format(reason));
    return zk::truthy(first) ? zk::call_method(zk::getattr(client, n.log), n.critical, message) : std::move(message);
}

Ref reachable_report(Scope s, Handle client) {
    report_reachable(s, client);
    return zk::none();
}

}  // namespace

Ref refusal_reason(Scope s, Handle answer) {
    // Only a list of three whose id is None can be one: the usual answer costs a type check.
    if (!PyList_CheckExact(answer.get()) || PyList_GET_SIZE(answer.get()) != 3 || PyList_GET_ITEM(answer.get(), 1) != Py_None) {
        return Ref();
    }
    Ref reason = zk::call(s.state().refusal_reason, answer);
    return reason.get() == Py_None ? Ref() : std::move(reason);
}

namespace {

// The call's `timeout` keyword, which is the client's: taken out, and set on the connection, where it stays.
Ref take_timeout(const Names& n, Handle conn, Handle kwds) {
    Ref timeout = PyDict_CheckExact(kwds.get()) ? zk::dict_pop(kwds, n.timeout, Py_None)
                                                : zk::call_method(kwds, n.pop, n.timeout, Py_None);
    if (zk::truthy(timeout)) zk::call_method(conn, n.settimeout, timeout);
    return timeout;
}

}  // namespace

// Threads sharing the client each take an id of their own, so each id is sent once.
void send_request(Scope s, Lanes& lanes, Lane* lane, Handle conn, Handle method, Handle args, Handle kwds) {
    const Names& n = s.names();
    Ref msgid = zk::integer(lanes.take_id());
    if (lane) lane->sent_id = msgid.copy();
    Ref record = zk::tuple_of({s.global(n.REQUEST), msgid, method, args, kwds});
    take_timeout(n, conn, kwds);
    if (lane) {
        lane->link_to(s.state(), conn).send(record);
    } else {
        zk::call_method(conn, n.send, record);
    }
}

// A call that met a failure or a refusal while asking the server what it takes is not sent: that is
// its outcome. Its wait is bounded by a served call's deadline whatever the server takes.
void send_call(Scope s, Handle self, Lanes& lanes, Lane& lane, Handle conn, Handle method, Handle args, Handle kwds) {
    const Names& n = s.names();
    Ref timeout = take_timeout(n, conn, kwds);
    ring::Link& link = lane.link_to(s.state(), conn);
    if (lane.asked_on.get() != conn.get()) {
        ask_version(s, lane, link);
        if (lane.asking_failed || lane.refused) return;
    }
    Ref options = call_options(s, self, lane, conn, timeout);
    Ref msgid = zk::integer(lanes.take_id());
    lane.sent_id = msgid.copy();
    if (!lane.calls_version) return link.send(zk::tuple_of({s.global(n.REQUEST), msgid, method, args, kwds}));
    link.send(zk::list_of({zk::integer(ring::call_kind), msgid, method, args, kwds, options}));
}

void define_client(zk::Module& m, State& st, Handle base) {
    using zk::arg;
    using zk::Check;
    using zk::kwonly;
    Ref cls = m.add_class(
        "Client", {base}, nullptr,
        {
            zk::method(zk::declare<init>("__init__", {arg("self"), arg("host").annotate("str | list[str]"),
                                                      arg("port", Check::Int), arg("timeout", Check::Float),
                                                      kwonly("errors", Check::Str) = "return",
                                                      kwonly("max_message_size", Check::Int) = m.get("MAX_MESSAGE_SIZE"),
                                                      kwonly("allowed_classes").annotate("Iterable[type | str] | None") = zk::none(),
                                                      kwonly("balance", Check::Str) = "first",
                                                      kwonly("authkey", Check::Bytes).optional() = zk::none(),
                                                      kwonly("ssl_context").annotate("ssl.SSLContext | None") = zk::none(),
                                                      kwonly("stream_window", Check::Int) = zk::integer(ring::default_stream_window)})),
            zk::method(call_def()),
            zk::method(zk::declare<open_connection>("open_connection", {arg("self")})),
            zk::method(zk::declare<request>("_request", {arg("self"), arg("method", Check::Str), arg("args"), arg("kwds")})),
        });
    st.client_call = zk::getattr(cls, st.names.call);
    st.client_request = zk::getattr(cls, st.names._request);
    // For zelk.aio, which reports a service it cannot reach as this client does.
    m.def(zk::declare<unreachable_report>("_report_unreachable", {arg("client"), arg("reason"), zk::kwonly("first").annotate("bool") = true})
              .returns("str")
              .doc("\"Connection failed (<reason>), please check: ...\", printed through the client's printer when `first`\n"
                   "    of an outage; returns it."));
    m.def(zk::declare<reachable_report>("_report_reachable", {arg("client")})
              .returns("None")
              .doc("Prints \"Connection to (<host>, <port>) restored: ...\" through the client's printer, as a warning."));
}

}  // namespace client
