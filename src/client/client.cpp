// Client: connecting, and sending one numbered request; the call itself is in call.cpp.
#include "client/client.hpp"

#include <algorithm>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

// The lock is the client's own, taken by `call` alone: re-entrant, so that a subclass whose
// open_connection or _request calls back into `call` from the same thread cannot deadlock.
Ref init(Scope s, Handle self, Handle host, Handle port, Handle timeout) {
    const State& st = s.state();
    zk::call_method(s.super(self), st.names.__init__, host, port, timeout);
    zk::setattr(self, st.names._lock, zk::call(st.rlock_class));
    return zk::none();
}

// With an ssl_context, the connected socket wrapped in TLS, its handshake done; else `sock` itself.
// The handshake waits no longer than the client's time-out, nor than a key handshake would.
Ref over_tls(const Names& n, Handle self, Handle sock, Handle host) {
    Ref context = zk::getattr_optional(self, n._ssl_context);
    if (!context || context.get() == Py_None) return Ref::borrow(sock);
    Ref wrapped = zk::call_kw(zk::getattr(context, n.wrap_socket), {sock},
                              {{n.server_hostname, host}, {n.do_handshake_on_connect, Py_False}});
    Ref timeout = zk::getattr(self, n._timeout);
    constexpr double handshake_seconds = 10.0;
    double limit = std::min(PyFloat_AsDouble(timeout.get()), handshake_seconds);
    if (limit == -1.0 && PyErr_Occurred()) zk::throw_error();
    try {
        zk::call_method(wrapped, n.settimeout, zk::floating(limit));
        zk::call_method(wrapped, n.do_handshake);
        zk::call_method(wrapped, n.settimeout, timeout);
    } catch (zk::PyError&) {
        zk::call_method(wrapped, n.close);  // the socket it took over is closed with it
        throw;
    }
    return wrapped;
}

// With a key, the new connection passes the key handshake before it replaces the old one; a
// server that fails it is reported like one that cannot be reached. With an ssl_context, both
// happen inside TLS.
Ref open_connection(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref host = zk::getattr(self, n._host);
    if (!zk::truthy(host)) return zk::none();
    Ref port = zk::getattr(self, n._port);
    Ref sock;
    try {
        sock = zk::call(zk::getattr(s.global(n.socket), n.socket));
        zk::call_method(sock, n.settimeout, zk::getattr(self, n._timeout));
        zk::call_method(sock, n.connect, zk::tuple_of({host, port}));
        sock = over_tls(n, self, sock, host);
        Ref connection = zk::call(s.global(n.Connection), sock);
        Ref key = zk::getattr_optional(self, n._authkey);
        if (key && key.get() != Py_None) zk::call(st.answer_challenge, connection, key);
        zk::setattr(self, n._connection, connection);
        return zk::none();
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
        zk::Handling handling(e);
        if (sock) zk::call_method(sock, n.close);  // now, rather than whenever it is collected
        Ref message = zk::text(
            "Connection failed ({}), please check: \n"
            "                        1. the network is connected\n"
            "                        2. the server info(host({}) or port({})) is correct \n"
            "                        3. the server({}) has been started!",
            e.value(), host, port, zk::getattr(self, n.alias));
        return zk::call_method(zk::getattr(self, n.log), n.critical, message);
    }
}

// A `timeout` keyword is the client's, not the remote method's: it goes on the socket and stays there.
Ref request(Scope s, Handle self, Handle method, Handle args, Handle kwds) {
    const Names& n = s.names();
    Ref msgid = zk::add(zk::getattr(self, n._msgid), zk::integer(1));
    zk::setattr(self, n._msgid, msgid);
    Ref record = zk::tuple_of({s.global(n.REQUEST), msgid, method, args, kwds});
    Ref timeout = PyDict_CheckExact(kwds.get()) ? zk::dict_pop(kwds, n.timeout, Py_None)
                                                : zk::call_method(kwds, n.pop, n.timeout, Py_None);
    Ref conn = zk::getattr(self, n._connection);
    if (zk::truthy(timeout)) zk::call_method(zk::getattr(conn, n._socket), n.settimeout, timeout);
    zk::call_method(conn, n.send, record);
    return zk::none();
}

}  // namespace

void define_client(zk::Module& m, State& st, Handle base) {
    using zk::arg;
    using zk::Check;
    Ref cls = m.add_class(
        "Client", {base}, nullptr,
        {
            zk::method(zk::declare<init>("__init__", {arg("self"), arg("host", Check::Str), arg("port", Check::Int),
                                                      arg("timeout", Check::Float)})),
            zk::method(call_def()),
            zk::method(zk::declare<open_connection>("open_connection", {arg("self")})),
            zk::method(zk::declare<request>("_request", {arg("self"), arg("method", Check::Str), arg("args"), arg("kwds")})),
        });
    st.client_call = zk::getattr(cls, st.names.call);
}

}  // namespace client
