// _api: the capsule through which zelk.server and zelk.client read and write connections natively,
// with a connection's parts looked up once (an endpoint) and checked cheaply at each use.
#include "ring/channel.hpp"
#include "ring/ring_api.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// A Connection as `open` found it. Its class's version tag, which CPython renews whenever the class or
// a base changes, and its __dict__'s size, which a method set on the instance changes, tell at each
// use whether it still is.
struct Endpoint {
    Ref connection, dict, sock;
    ChannelRef channel;
    PyTypeObject* type;
    unsigned int version;
    Py_ssize_t dict_size;
    int fd = -1;  // the socket's descriptor, as the last check found it
};

const State& state_of(const RingApi* api) noexcept { return *static_cast<const State*>(api->state); }

Endpoint& endpoint(void* e) noexcept { return *static_cast<Endpoint*>(e); }

// Whether the connection's methods that these calls stand for are its class's own.
bool methods_native(const State& st, Handle connection) {
    const Names& n = st.names;
    const zk::CoreNames& core = st.core;
    return zk::is_native(core, connection, n.send, st.connection_send, st.is_native_send) &&
           zk::is_native(core, connection, n.recv, st.connection_recv, st.is_native_recv) &&
           zk::is_native(core, connection, n.flush, st.connection_flush, st.is_native_flush) &&
           zk::is_native(core, connection, n.pack, st.stream_pack, st.is_native_pack) &&
           zk::is_native(core, connection, n.unpack, st.stream_unpack, st.is_native_unpack);
}

bool in_binary_mode(const Names& n, Handle dict) {
    Ref flag = zk::dict_get(dict, n._onwebs);
    return !flag || !zk::truthy(flag);
}

void* open(const RingApi* api, PyObject* connection) noexcept {
    const State& st = state_of(api);
    const Names& n = st.names;
    try {
        if (!PyObject_TypeCheck(connection, reinterpret_cast<PyTypeObject*>(st.connection_class.get()))) return nullptr;
        PyTypeObject* type = Py_TYPE(connection);
        unsigned int version = zk::assigned_version_tag(type);
        if (!version) return nullptr;
        if (!methods_native(st, connection)) return nullptr;
        Ref dict = zk::check(PyObject_GenericGetDict(connection, nullptr));
        Ref sock = zk::dict_get(dict, n._socket);
        if (!sock || !Py_IS_TYPE(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) return nullptr;
        if (!in_binary_mode(n, dict) || zk::dict_get(dict, n._surplus) || zk::dict_get(dict, n._partial)) return nullptr;
        ChannelRef channel = channel_of(st, connection);
        if (channel->tls || zk::version_tag(type) != version) return nullptr;
        Py_ssize_t size = PyDict_GET_SIZE(dict.get());
        return new Endpoint{Ref::borrow(connection), std::move(dict), std::move(sock), std::move(channel), type, version, size, -1};
    } catch (...) {
        zk::translate_exception();
        return nullptr;
    }
}

void close(void* e) noexcept { delete static_cast<Endpoint*>(e); }

// Whether the connection is as `open` found it.
bool unchanged(const State& st, Endpoint& e) {
    PyObject* connection = e.connection.get();
    if (Py_TYPE(connection) != e.type || zk::version_tag(e.type) != e.version) return false;
    Ref dict = zk::check(PyObject_GenericGetDict(connection, nullptr));
    if (dict.get() != e.dict.get() || PyDict_GET_SIZE(dict.get()) != e.dict_size) return false;
    return zk::dict_get(dict, st.names._socket).get() == e.sock.get() && in_binary_mode(st.names, dict);
}

int check(const RingApi* api, void* endpoint_) noexcept {
    const State& st = state_of(api);
    Endpoint& e = endpoint(endpoint_);
    try {
        if (!unchanged(st, e)) return 0;
        e.fd = plain_descriptor(st, e.sock);  // -1 once the socket was closed behind the connection's back
        return e.fd >= 0;
    } catch (...) {
        zk::translate_exception();
        return -1;
    }
}

int closed(const RingApi* api, void* endpoint_) noexcept {
    Endpoint& e = endpoint(endpoint_);
    try {
        Ref flag = zk::dict_get(e.dict, state_of(api).names._closed);
        return flag && zk::truthy(flag);
    } catch (...) {
        zk::translate_exception();
        return -1;
    }
}

int flush(const RingApi* api, void* endpoint_) noexcept {
    Endpoint& e = endpoint(endpoint_);
    return zk::boundary_status([&] {
        zk::Holding holding(e.channel->recv_lock);
        drop_stale_input(state_of(api), *e.channel, e.sock, e.fd, Ref());
    });
}

int send(const RingApi* api, void* endpoint_, PyObject* value) noexcept {
    Endpoint& e = endpoint(endpoint_);
    return zk::boundary_status([&] { send_binary(state_of(api), *e.channel, e.sock, e.fd, value); });
}

PyObject* recv(const RingApi* api, void* endpoint_) noexcept {
    Endpoint& e = endpoint(endpoint_);
    return zk::boundary([&] { return receive_binary(state_of(api), *e.channel, e.sock, e.fd); });
}

}  // namespace

void define_ring_api(zk::Module& m, State& st) {
    m.set("_api", zk::box(std::make_unique<RingApi>(RingApi{open, close, check, closed, flush, send, recv, &st}), ring_api_capsule));
}

}  // namespace ring
