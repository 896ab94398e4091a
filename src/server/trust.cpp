// What a server lets its peers do: what their pickles may rebuild (allowed_classes, which its
// connections decode under), which names they may call (expose), and the warning of a server that
// any peer on the network may make run code.
#include "server/server.hpp"

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

bool given(const Ref& setting) { return setting && setting.get() != Py_None; }

}  // namespace

NamePolicy name_policy(const Names& n, Handle server) {
    Ref exposed = zk::getattr_optional(server, n._expose);
    bool hides_private = given(exposed) || given(zk::getattr_optional(server, n._allowed_classes));
    return {given(exposed) ? std::move(exposed) : Ref(), hides_private};
}

Ref checked_allow_list(const State& st, Handle allowed_classes) {
    if (allowed_classes.get() == Py_None || zk::isinstance(allowed_classes, st.allowed_classes)) return Ref::borrow(allowed_classes);
    return zk::call(st.allowed_classes, allowed_classes);
}

// Names as a call gives them after the service's name ("add", "sub.mul"); a private one would
// never be answered, and is refused here rather than left to puzzle whoever listed it.
Ref checked_expose(const Names& n, Handle expose) {
    if (expose.get() == Py_None) return Ref::borrow(expose);
    if (PyUnicode_Check(expose.get()) || PyBytes_Check(expose.get())) {
        zk::raise(PyExc_TypeError, "expose must be an iterable of method names, not %.200s", Py_TYPE(expose.get())->tp_name);
    }
    Ref names = zk::check(PySet_New(nullptr));
    for (Ref name : zk::iterate(expose)) {
        if (!PyUnicode_Check(name.get())) {
            zk::raise(PyExc_TypeError, "expose: names must be str, not %.200s", Py_TYPE(name.get())->tp_name);
        }
        for (Ref part : zk::iterate(zk::call_method(name, n.split, n.dot))) {
            if (PyUnicode_GET_LENGTH(part.get()) == 0) {
                zk::raise(zk::call(PyExc_ValueError, zk::text("expose: {} is not a dotted attribute name", zk::repr(name))));
            }
            if (PyUnicode_READ_CHAR(part.get(), 0) == '_') {
                zk::raise(zk::call(PyExc_ValueError, zk::text("expose: {} names a private attribute, which is never served", zk::repr(name))));
            }
        }
        zk::check_status(PySet_Add(names.get(), name.get()));
    }
    return zk::check(PyFrozenSet_New(names.get()));
}

void keep_trust_settings(const State& st, Handle server, Handle allowed, Handle exposed) {
    const Names& n = st.names;
    zk::setattr(server, n._allowed_classes, allowed);
    if (exposed.get() == Py_None) return zk::setattr(server, n._expose, exposed);
    Ref names = zk::check(PySet_New(exposed));
    // An object's own attribute of a service method's name is its own method: exposed only when named.
    Ref shadowed = zk::getattr_optional(server, n._shadowed);
    for (Handle service : {n.ping.get(), n.getpid.get(), n.stats.get(), n.client.get()}) {
        if (!shadowed || !zk::contains(shadowed, service)) zk::check_status(PySet_Add(names.get(), service));
    }
    zk::setattr(server, n._expose, zk::check(PyFrozenSet_New(names.get())));
}

void warn_if_open(const State& st, Handle server, Handle log, Handle authkey) {
    const Names& n = st.names;
    if (authkey.get() != Py_None || given(zk::getattr_optional(server, n._allowed_classes))) return;
    Ref address = zk::getattr(server, n.server_address);
    Ref host = zk::getitem(address, zk::integer(0));
    try {
        Ref ip = zk::call(zk::getattr(zk::import("ipaddress"), n.ip_address), host);
        if (zk::truthy(zk::getattr(ip, n.is_loopback))) return;
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // not an address of its own: beyond, for all one knows
    }
    Ref text = zk::text("{} at {}:{} is open beyond this machine with neither authkey nor allowed_classes: "
                        "any peer that reaches it can run code in this process",
                        zk::getattr(server, n._alias), shown_host(host), zk::getitem(address, zk::integer(1)));
    zk::call_method(log, n.warning, text);
}

}  // namespace server
