// connect: a client for a service, with a printer titled with its name, behind a proxy; and close,
// which closes the client behind a proxy without taking the name from a remote method.
#include "client/hosts.hpp"

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

const char* const connect_doc =
    "A proxy for the service `name`: a remote call for each call of its attributes.\n"
    "\n"
    "    Nothing is opened until the first call. The port is get_port(name) unless given.\n"
    "\n"
    "    Args:\n"
    "        name (str): the service's name, the alias it was served under\n"
    "        host (str | list[str], optional): the server's host, default '127.0.0.1', or the hosts of\n"
    "            its replicas\n"
    "        port (int, optional): the server's port; if not given, `get_port(name)` is used\n"
    "        timeout (float, optional): seconds for making a connection and for each answer (1000)\n"
    "        types (str, optional): \"class\" for a proxy whose attributes are the service's methods;\n"
    "            anything else for a proxy that calls the service itself\n"
    "        authkey (bytes, optional): the key the server was given\n"
    "        errors (str, optional): \"return\" (the default) hands back a failure's text as the call's\n"
    "            value, \"raise\" raises RemoteError, CallTimeout, ConnectionLost or Unreachable\n"
    "        max_message_size (int, optional): the largest answer taken, in bytes (1 GiB)\n"
    "        ssl_context (ssl.SSLContext, optional): speak TLS, checking the server's certificate\n"
    "        allowed_classes (Iterable[type | str], optional): the only classes answers' pickles may rebuild\n"
    "        balance (str, optional): \"first\" (the first address that answers) or \"round_robin\"\n"
    "        stream_window (int, optional): how many items a stream's server may send ahead of those\n"
    "            taken (64)\n"
    "        api (type, optional): a class (a typing.Protocol, say) describing the service: type checkers\n"
    "            then take the proxy for one of it, and a name it does not define raises AttributeError\n"
    "            before anything is sent\n"
    "    ";

// Nothing is opened here: the first remote call connects.
Ref connect(Scope s, Handle name, Handle host, Handle port, Handle timeout, Handle types, Handle authkey, Handle errors,
            Handle max_message_size, Handle ssl_context, Handle allowed_classes, Handle balance, Handle stream_window,
            Handle api) {
    const Names& n = s.names();
    raises(n, errors);
    host_names(host);
    balance_of(n, balance);
    if (api.get() != Py_None) {
        if (!PyType_Check(api.get())) zk::raise(PyExc_TypeError, "api must be a class or None, not %.200s", Py_TYPE(api.get())->tp_name);
        if (!zk::equal(types, n.class_)) zk::raise(PyExc_ValueError, "api describes a class proxy: types must be \"class\"");
    }
    Ref log = zk::call_kw(s.global(n.BrillPrint), {name}, {{n.exclude, zk::check(PySequence_List(s.global(n._OWN_PACKAGES).get()))}});
    Ref service_port = Ref::borrow(port);
    if (!zk::truthy(port)) {
        service_port = zk::call(s.global(n.get_port), name);
        if (!PyLong_CheckExact(service_port.get()) && service_port.get() != Py_None) {
            zk::raise(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(service_port.get())->tp_name);
        }
    }
    Ref client = zk::call_kw(s.global(n.Client), {host, service_port, timeout},
                             {{n.errors, errors},
                              {n.max_message_size, max_message_size},
                              {n.allowed_classes, allowed_classes},
                              {n.balance, balance},
                              {n.stream_window, stream_window},
                              {n.authkey, authkey},
                              {n.ssl_context, ssl_context}});
    zk::setattr(client, n.log, log);
    Ref proxy = zk::call(client, name, types);
    if (api.get() == Py_None) return proxy;
    return zk::call(s.global(n._TypedRemoteClass), client, name, api);
}

// The client behind a proxy (or the client itself) closes every connection it holds.
Ref close(Scope s, Handle proxy) {
    const Names& n = s.names();
    Ref client = zk::getattr_optional(proxy, n._client);
    zk::call_method(client ? client.get() : proxy.get(), n.close);
    return zk::none();
}

}  // namespace

zk::Def connect_def(zk::Handle limit) {
    using zk::arg;
    using zk::Check;
    using zk::kwonly;
    return zk::declare<connect>("connect", {arg("name", Check::Str), arg("host").annotate("str | list[str]") = "127.0.0.1",
                                            arg("port", Check::Int) = 0, arg("timeout", Check::Float) = 1000.0,
                                            arg("types", Check::Str) = "class",
                                            kwonly("authkey", Check::Bytes).optional() = zk::none(),
                                            kwonly("errors", Check::Str) = "return",
                                            kwonly("max_message_size", Check::Int) = Ref::borrow(limit),
                                            kwonly("ssl_context").annotate("ssl.SSLContext | None") = zk::none(),
                                            kwonly("allowed_classes").annotate("Iterable[type | str] | None") = zk::none(),
                                            kwonly("balance", Check::Str) = "first",
                                            kwonly("stream_window", Check::Int) = zk::integer(ring::default_stream_window),
                                            kwonly("api").annotate("type | None") = zk::none()})
        .doc(connect_doc);
}

zk::Def close_def() {
    return zk::declare<close>("close", {zk::arg("proxy").annotate("_RemoteStatus | ClientBase")})
        .doc("Close the client behind a proxy: every connection it holds. The next call connects again.");
}

}  // namespace client
