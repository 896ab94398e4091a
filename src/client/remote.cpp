// The proxies: _RemoteStatus (the connection's addresses and time-out), _RemoteMethod (a call
// becomes Client.call), _RemoteClass (an attribute it lacks becomes a method proxy) and
// _TypedRemoteClass (the same, for the names of a class that describes the service).
#include "client/client.hpp"

#include <iterator>
#include <memory>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

// ---- _RemoteStatus ---------------------------------------------------------------------------

Ref repr(Scope s, Handle) { return s.names().proxy_repr.copy(); }

Ref connection_of(const Names& n, Handle self) { return zk::getattr(zk::getattr(self, n._client), n._connection); }

// The socket's address, or None while the client has no connection.
Ref address(const State& st, Handle self, Handle which) {
    try {
        if (Ref sock = ring::Link(st.ring_capsule, connection_of(st.names, self)).socket()) return zk::call_method(sock, which);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
    }
    return zk::none();
}

Ref laddr(Scope s, Handle self) { return address(s.state(), self, s.names().getsockname); }

Ref raddr(Scope s, Handle self) { return address(s.state(), self, s.names().getpeername); }

// The connection's time-out, which it keeps in the kernel for a plain socket.
Ref timeout(Scope s, Handle self) { return zk::getattr(connection_of(s.names(), self), s.names().timeout); }

Ref settimeout(Scope s, Handle self, Handle value) {
    zk::call_method(connection_of(s.names(), self), s.names().settimeout, value);
    return zk::none();
}

// `with connect(...) as proxy:` closes the client's connections at the end.
Ref enter(Scope, Handle self) { return Ref::borrow(self); }

Ref exit(Scope s, Handle self, Handle) {
    zk::call_method(zk::getattr(self, s.names()._client), s.names().close);
    return zk::none();
}

// ---- _RemoteMethod -------------------------------------------------------------------------

Ref method_init(Scope s, Handle self, Handle client, Handle method) {
    zk::setattr(self, s.names()._client, client);
    zk::setattr(self, s.names()._method, method);
    return zk::none();
}

// client.call(method, *args, **kwds) as Python would call it, without binding the method: the
// arguments go on one stack, on the C stack unless they are many, with a spare slot in front that the
// callee may use. `kwds` is this call's own dict, which nothing else sees.
Ref call_through_method(const Names& n, Handle client, Handle method, Handle args, Handle kwds) {
    Py_ssize_t count = PyTuple_GET_SIZE(args.get()), named = PyDict_GET_SIZE(kwds.get());
    std::size_t size = static_cast<std::size_t>(3 + count + named);  // the spare slot, client, method, the rest
    PyObject* small[16];
    std::unique_ptr<PyObject*[]> large;
    PyObject** stack = size <= std::size(small) ? small : (large = std::make_unique<PyObject*[]>(size)).get();
    stack[1] = client.get();
    stack[2] = method.get();
    for (Py_ssize_t i = 0; i < count; i++) stack[3 + i] = PyTuple_GET_ITEM(args.get(), i);
    Ref kwnames;
    if (named) {
        kwnames = zk::check(PyTuple_New(named));
        PyObject *key, *value;
        for (Py_ssize_t pos = 0, i = 0; PyDict_Next(kwds.get(), &pos, &key, &value); i++) {
            PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
            stack[3 + count + i] = value;
        }
    }
    std::size_t nargsf = static_cast<std::size_t>(2 + count) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return zk::check(PyObject_VectorcallMethod(n.call.get(), stack + 1, nargsf, kwnames.get()));
}

// client.call(method, *args, **kwds). While `call` is Client's own, its body is entered with the
// tuple and dict bound here, which become the request's; anything else is called as Python would.
Ref method_call(Scope s, Handle self, Handle args, Handle kwds) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref client = zk::getattr(self, n._client);
    Ref method = zk::getattr(self, n._method);
    if (zk::is_native(st.core, client, n.call, st.client_call, st.is_native_call)) {
        if (!PyUnicode_CheckExact(method.get())) zk::raise(zk::wrong_type("method", zk::Check::Str, method));
        return remote_call(s, client, method, args, kwds);
    }
    return call_through_method(n, client, method, args, kwds);
}

// ---- _RemoteClass --------------------------------------------------------------------------

Ref class_init(Scope s, Handle self, Handle client, Handle clsname, Handle) {
    zk::setattr(self, s.names()._client, client);
    zk::setattr(self, s.names()._class, clsname);
    return zk::none();
}

// Counts as a Python call: a proxy missing its own attributes would otherwise look them up here
// without end.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while looking up an attribute of a remote class")) zk::throw_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// _RemoteMethod(self._client, ".".join((self._class, method)))
Ref method_proxy(Scope s, Handle self, Handle method) {
    const Names& n = s.names();
    Ref client = zk::getattr(self, n._client);
    Ref clsname = zk::getattr(self, n._class);
    Ref full = PyUnicode_CheckExact(clsname.get()) ? zk::concat({clsname, n.dot, method})
                                                    : zk::join(n.dot, zk::tuple_of({clsname, method}));
    return zk::call(s.global(n._RemoteMethod), client, full);
}

Ref class_getattr(Scope s, Handle self, Handle method) {
    RecursionGuard guard;
    return method_proxy(s, self, method);
}

// ---- _TypedRemoteClass -----------------------------------------------------------------------

// The names `api` defines are those dir() lists: its methods, its bases', and what every class has.
Ref typed_init(Scope s, Handle self, Handle client, Handle clsname, Handle api) {
    const Names& n = s.names();
    if (!PyType_Check(api.get())) zk::raise(PyExc_TypeError, "api must be a class, not %.200s", Py_TYPE(api.get())->tp_name);
    class_init(s, self, client, clsname, zk::none());
    zk::setattr(self, n._api, api);
    zk::setattr(self, n._names, zk::check(PyFrozenSet_New(zk::check(PyObject_Dir(api)).get())));
    return zk::none();
}

// A name the api does not define is a mistake found here, before anything is sent.
Ref typed_getattr(Scope s, Handle self, Handle method) {
    const Names& n = s.names();
    RecursionGuard guard;
    if (!zk::contains(zk::getattr(self, n._names), method)) {
        Ref api_name = zk::getattr(zk::getattr(self, n._api), s.state().core.__name__);
        Ref error = zk::call(PyExc_AttributeError, zk::text("the api {} has no attribute {}", api_name, zk::repr(method)));
        zk::setattr(error, n.name, method);
        zk::setattr(error, n.obj, self);
        zk::raise(error);
    }
    return method_proxy(s, self, method);
}

}  // namespace

Ref define_remote_status(zk::Module& m) {
    using zk::arg;
    return m.add_class("_RemoteStatus", {}, nullptr,
                       {
                           zk::method(zk::declare<repr>("__repr__", {arg("self")}).returns("str")),
                           zk::property(zk::declare<laddr>("laddr", {arg("self")})),
                           zk::property(zk::declare<raddr>("raddr", {arg("self")})),
                           zk::property(zk::declare<timeout>("timeout", {arg("self")})),
                           zk::method(zk::declare<settimeout>(
                               "settimeout", {arg("self"), arg("value", zk::Check::Float).optional()})),
                           zk::method(zk::declare<enter>("__enter__", {arg("self")})),
                           zk::method(zk::declare<exit>("__exit__", {arg("self"), zk::varargs("exc_info")})),
                       });
}

void define_remote_method(zk::Module& m, Handle status) {
    using zk::arg;
    m.add_class("_RemoteMethod", {status}, nullptr,
                {
                    zk::method(zk::declare<method_init>(
                        "__init__", {arg("self"), arg("client").annotate("'Client'"), arg("method", zk::Check::Str)})),
                    zk::method(zk::declare<method_call>("__call__", {arg("self"), zk::varargs("args"), zk::kwargs("kwds")})),
                });
}

void define_remote_class(zk::Module& m, Handle status) {
    using zk::arg;
    Ref remote_class = m.add_class("_RemoteClass", {status}, nullptr,
                {
                    zk::method(zk::declare<class_init>("__init__", {arg("self"), arg("client").annotate("'Client'"),
                                                                    arg("clsname", zk::Check::Str), zk::varargs("args")})),
                    zk::method(zk::declare<class_getattr>("__getattr__", {arg("self"), arg("method", zk::Check::Str)})),
                });
    m.add_class("_TypedRemoteClass", {remote_class},
                "A class proxy whose service `api` describes: a name the api does not define raises AttributeError.",
                {
                    zk::method(zk::declare<typed_init>("__init__", {arg("self"), arg("client").annotate("'Client'"),
                                                                    arg("clsname", zk::Check::Str), arg("api").annotate("type")})),
                    zk::method(zk::declare<typed_getattr>("__getattr__", {arg("self"), arg("method", zk::Check::Str)})),
                });
}

}  // namespace client
