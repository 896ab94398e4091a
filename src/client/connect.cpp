// connect: a client for a service, with a printer titled with its name, behind a proxy.
#include "client/client.hpp"

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

// Nothing is opened here: the first remote call connects.
Ref connect(Scope s, Handle name, Handle host, Handle port, Handle timeout, Handle types, Handle authkey,
            Handle ssl_context) {
    const Names& n = s.names();
    if (ssl_context.get() != Py_None && !zk::isinstance(ssl_context, zk::getattr(zk::import("ssl"), n.SSLContext))) {
        zk::raise(PyExc_TypeError, "ssl_context must be an ssl.SSLContext or None, not %.200s",
                  Py_TYPE(ssl_context.get())->tp_name);
    }
    Ref log = zk::call_kw(s.global(n.BrillPrint), {name}, {{n.exclude, zk::list_of({n.zelk, n.vantor, n.melix})}});
    Ref service_port = Ref::borrow(port);
    if (!zk::truthy(port)) {
        service_port = zk::call(s.global(n.get_port), name);
        if (!PyLong_CheckExact(service_port.get()) && service_port.get() != Py_None) {
            zk::raise(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(service_port.get())->tp_name);
        }
    }
    Ref client = zk::call(s.global(n.Client), host, service_port, timeout);
    zk::setattr(client, n.log, log);
    zk::setattr(client, n._authkey, authkey);
    zk::setattr(client, n._ssl_context, ssl_context);
    return zk::call(client, name, types);
}

}  // namespace

zk::Def connect_def() {
    using zk::arg;
    using zk::Check;
    return zk::declare<connect>("connect", {arg("name", Check::Str), arg("host", Check::Str) = "127.0.0.1",
                                            arg("port", Check::Int) = 0, arg("timeout", Check::Float) = 1000.0,
                                            arg("types", Check::Str) = "class",
                                            zk::kwonly("authkey", Check::Bytes).optional() = zk::none(),
                                            zk::kwonly("ssl_context").annotate("ssl.SSLContext | None") = zk::none()});
}

}  // namespace client
