// Client: connecting, and sending one numbered request; the call itself is in call.cpp.
#include "client/lanes.hpp"

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self, Handle host, Handle port, Handle timeout, Handle errors, Handle max_message_size) {
    const State& st = s.state();
    zk::call_kw(zk::getattr(s.super(self), st.names.__init__), {host, port, timeout},
                {{st.names.errors, errors}, {st.names.max_message_size, max_message_size}});
    return zk::none();
}

// The new connection must be made within the client's time-out, key handshake included; with a key,
// it passes the handshake before it replaces the old one. A server that cannot be reached, or fails
// the handshake, is reported.
Ref open_connection(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref host = zk::getattr(self, n._host);
    if (!zk::truthy(host)) return zk::none();
    Ref port = zk::getattr(self, n._port);
    Ref sock;
    try {
        Ref timeout = zk::getattr(self, n._timeout);
        Ref started = zk::call(s.global(n.monotonic));
        sock = zk::call(zk::getattr(s.global(n.socket), n.socket));
        zk::call_method(sock, n.settimeout, timeout);
        zk::call_method(sock, n.connect, zk::tuple_of({host, port}));
        Ref limit = zk::getattr_optional(self, n._max_message_size);
        Ref connection = limit ? zk::call_kw(s.global(n.Connection), {sock}, {{n.max_message_size, limit}})
                               : zk::call(s.global(n.Connection), sock);
        Ref key = zk::getattr_optional(self, n._authkey);
        if (key && key.get() != Py_None) {
            Ref left = zk::subtract(timeout, zk::subtract(zk::call(s.global(n.monotonic)), started));
            zk::call_kw(st.answer_challenge, {connection, key}, {{n.timeout, left}});
        }
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
// Threads sharing the client take their ids one at a time, so each id is sent once.
Ref request(Scope s, Handle self, Handle method, Handle args, Handle kwds) {
    const Names& n = s.names();
    LanesRef lanes = lanes_of(s.state(), self);
    Ref msgid;
    {
        zk::Holding holding(lanes->ids);
        msgid = zk::add(zk::getattr(self, n._msgid), zk::integer(1));
        zk::setattr(self, n._msgid, msgid);
    }
    if (Lane* lane = lanes->current()) lane->sent_id = msgid.copy();
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
    using zk::kwonly;
    Ref cls = m.add_class(
        "Client", {base}, nullptr,
        {
            zk::method(zk::declare<init>("__init__", {arg("self"), arg("host", Check::Str), arg("port", Check::Int),
                                                      arg("timeout", Check::Float), kwonly("errors", Check::Str) = "return",
                                                      kwonly("max_message_size", Check::Int) = m.get("MAX_MESSAGE_SIZE")})),
            zk::method(call_def()),
            zk::method(zk::declare<open_connection>("open_connection", {arg("self")})),
            zk::method(zk::declare<request>("_request", {arg("self"), arg("method", Check::Str), arg("args"), arg("kwds")})),
        });
    st.client_call = zk::getattr(cls, st.names.call);
}

}  // namespace client
