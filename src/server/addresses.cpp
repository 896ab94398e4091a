// Addresses of both families: a server binds IPv6 hosts as such ("::" takes IPv4 clients too, where
// the system allows), and names itself and its clients by (host, port) whichever family they use.
#include "server/server.hpp"

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

bool has_colon(Handle host) {
    return PyUnicode_Check(host.get()) && PyUnicode_FindChar(host.get(), ':', 0, PyUnicode_GET_LENGTH(host.get()), 1) >= 0;
}

// An IPv4 client of a server listening on "::" comes as "::ffff:127.0.0.1": it is named, and
// counted against its host's limit, as it would be by an IPv4 server.
Ref unmapped(Handle host) {
    static constexpr char prefix[] = "::ffff:";
    constexpr Py_ssize_t length = sizeof prefix - 1;
    if (!PyUnicode_Check(host.get()) || PyUnicode_GET_LENGTH(host.get()) <= length) return Ref::borrow(host);
    Ref head = zk::check(PyUnicode_Substring(host, 0, length));
    if (PyUnicode_CompareWithASCIIString(head.get(), prefix) != 0) return Ref::borrow(host);
    Ref rest = zk::check(PyUnicode_Substring(host, length, PyUnicode_GET_LENGTH(host.get())));
    bool dotted = PyUnicode_FindChar(rest.get(), '.', 0, PyUnicode_GET_LENGTH(rest.get()), 1) >= 0;
    return dotted ? std::move(rest) : Ref::borrow(host);
}

// An IPv6 socket address is (host, port, flowinfo, scope_id); the scope of a link-local address
// is in its host text already, and the flow label says nothing about the peer. An IPv4 one is kept
// as it is.
Ref named(Handle address) {
    if (!PyTuple_CheckExact(address.get()) || PyTuple_GET_SIZE(address.get()) != 4) return Ref::borrow(address);
    return zk::tuple_of({unmapped(PyTuple_GET_ITEM(address.get(), 0)), PyTuple_GET_ITEM(address.get(), 1)});
}

// Binds as TCPServer does, IPv6 sockets taking IPv4 clients as well where the system allows
// (on a wildcard address: "::" then serves both families).
Ref server_bind(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref sock = zk::getattr(self, n.socket);
    if (st.ipv6_v6only && zk::equal(zk::getattr(self, n.address_family), st.af_inet6)) {
        try {
            zk::call_method(sock, n.setsockopt, st.ipproto_ipv6, st.ipv6_v6only, zk::integer(0));
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_OSError)) throw;  // IPv6 only, then
        }
    }
    zk::call(st.tcp_server_bind, self);
    zk::setattr(self, n.server_address, named(zk::getattr(self, n.server_address)));
    return zk::none();
}

Ref get_request(Scope s, Handle self) {
    Ref accepted = zk::call(s.state().tcp_get_request, self);
    if (!PyTuple_CheckExact(accepted.get()) || PyTuple_GET_SIZE(accepted.get()) != 2) return accepted;
    PyObject* address = PyTuple_GET_ITEM(accepted.get(), 1);
    Ref name = named(address);
    if (name.get() == address) return accepted;
    return zk::tuple_of({PyTuple_GET_ITEM(accepted.get(), 0), name});
}

}  // namespace

void choose_family(const State& st, Handle server, Handle server_address) {
    if (PyTuple_GET_SIZE(server_address.get()) > 0 && has_colon(PyTuple_GET_ITEM(server_address.get(), 0))) {
        zk::setattr(server, st.names.address_family, st.af_inet6);
    }
}

Ref shown_host(Handle host) { return has_colon(host) ? zk::text("[{}]", host) : Ref::borrow(host); }

zk::Def server_bind_def() { return zk::declare<server_bind>("server_bind", {zk::arg("self")}); }

zk::Def get_request_def() { return zk::declare<get_request>("get_request", {zk::arg("self")}); }

}  // namespace server
