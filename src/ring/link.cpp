// _api: the capsule through which zelk.server and zelk.client speak to connections (ring::Link, in
// ring_api.hpp). What a connection is (its class, its socket, its channel) is looked up once and
// checked cheaply before each operation, which ring then does itself or leaves to the connection.
#include "ring/channel.hpp"
#include "ring/ring_api.hpp"

#include <optional>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// A connection as the last look at it found it. That look holds while the class keeps its version
// tag, which CPython renews whenever the class or a base changes, and while its __dict__ is the same
// dict of the same size, which a method set on the instance changes.
struct Linked {
    Ref connection;
    PyTypeObject* type = nullptr;
    unsigned int version = 0;  // 0: look again before the next operation
    Ref dict;                  // empty: not a Connection, whose attributes are all its own business
    Py_ssize_t dict_size = 0;
    bool own_closed = false;   // `closed` is ByteStream's, which reads `_closed`
    std::optional<ChannelRef> channel;
    // flush is Connection's own, on a socket that is not an SSL one, and no WebSocket input is kept:
    // when the channel is quiet, it has nothing to do.
    bool own_flush = false;
    // send, recv and flush are Connection's own, on a plain socket (`sock`): ring's calls stand for
    // them as long as the socket stays and the connection in binary mode.
    bool native = false;
    Ref sock;
};

const State& state_of(const RingApi* api) noexcept { return *static_cast<const State*>(api->state); }

Linked& linked(void* link) noexcept { return *static_cast<Linked*>(link); }

// Whether the connection's send and recv, and what they pack and unpack with, are its class's own.
bool sends_natively(const State& st, Handle connection) {
    const Names& n = st.names;
    const zk::CoreNames& core = st.core;
    return zk::is_native(core, connection, n.send, st.connection_send, st.is_native_send) &&
           zk::is_native(core, connection, n.recv, st.connection_recv, st.is_native_recv) &&
           zk::is_native(core, connection, n.pack, st.stream_pack, st.is_native_pack) &&
           zk::is_native(core, connection, n.unpack, st.stream_unpack, st.is_native_unpack);
}

bool in_binary_mode(const Names& n, Handle dict) {
    Ref flag = zk::dict_get(dict, n._onwebs);
    return !flag || !zk::truthy(flag);
}

// Looks at the connection afresh.
void look(const State& st, Linked& l) {
    const Names& n = st.names;
    PyObject* connection = l.connection.get();
    PyTypeObject* type = Py_TYPE(connection);
    unsigned int version = zk::assigned_version_tag(type);
    l.type = type;
    l.version = 0;  // until the look is done: one that fails is done again
    l.dict = Ref(), l.sock = Ref(), l.channel.reset();
    l.own_closed = l.own_flush = l.native = false;
    if (!PyObject_TypeCheck(connection, reinterpret_cast<PyTypeObject*>(st.connection_class.get()))) {
        l.version = version;
        return;
    }
    if (!version) return;
    Ref dict = zk::check(PyObject_GenericGetDict(connection, nullptr));
    bool own_closed = zk::is_native(st.core, connection, n.closed, st.stream_closed, st.is_native_closed);
    Ref sock = zk::dict_get(dict, n._socket);
    Ref channel = zk::dict_get(dict, n._channel);
    bool plain_input = channel && !zk::dict_get(dict, n._surplus) && !zk::dict_get(dict, n._partial);
    if (plain_input) {
        l.channel.emplace(channel_in(std::move(channel)));
        plain_input = !(*l.channel)->tls;
    }
    bool own_flush = plain_input && zk::is_native(st.core, connection, n.flush, st.connection_flush, st.is_native_flush);
    bool native = own_flush && sends_natively(st, connection) && sock &&
                  Py_IS_TYPE(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()));
    if (zk::version_tag(type) != version) return;  // the class changed meanwhile
    l.version = version;
    l.dict_size = PyDict_GET_SIZE(dict.get());
    l.dict = std::move(dict);
    l.sock = std::move(sock);
    l.own_closed = own_closed;
    l.own_flush = own_flush;
    l.native = native;
}

// Looks at the connection again when its class or its __dict__ changed since the last look.
void refresh(const State& st, Linked& l) {
    PyTypeObject* type = Py_TYPE(l.connection.get());
    if (type == l.type && l.version && zk::version_tag(type) == l.version) {
        if (!l.dict) return;
        Ref dict = zk::check(PyObject_GenericGetDict(l.connection.get(), nullptr));
        if (dict.get() == l.dict.get() && PyDict_GET_SIZE(dict.get()) == l.dict_size) return;
    }
    look(st, l);
}

// Whether ring's calls stand for the connection's send, recv and flush now.
bool speaks_natively(const State& st, Linked& l) {
    const Names& n = st.names;
    refresh(st, l);
    if (!l.native) return false;
    if (zk::dict_get(l.dict, n._socket).get() != l.sock.get()) {
        look(st, l);
        if (!l.native) return false;
    }
    return in_binary_mode(n, l.dict);
}

void* open(const RingApi*, PyObject* connection) noexcept {
    try {
        auto* l = new Linked;
        l->connection = Ref::borrow(connection);
        return l;
    } catch (...) {
        zk::translate_exception();
        return nullptr;
    }
}

void close(void* link) noexcept { delete static_cast<Linked*>(link); }

int closed(const RingApi* api, void* link) noexcept {
    const State& st = state_of(api);
    Linked& l = linked(link);
    try {
        refresh(st, l);
        if (Ref flag = l.own_closed ? zk::dict_get(l.dict, st.names._closed) : Ref()) return zk::truthy(flag);
        return zk::truthy(zk::getattr(l.connection, st.names.closed));
    } catch (...) {
        zk::translate_exception();
        return -1;
    }
}

// A connection whose last message was read whole a moment ago holds nothing stale: neither its
// socket nor its mode matters then.
int flush(const RingApi* api, void* link) noexcept {
    const State& st = state_of(api);
    Linked& l = linked(link);
    return zk::boundary_status([&] {
        refresh(st, l);
        if (l.own_flush) {
            Channel& ch = **l.channel;
            refuse_if_closing(ch);
            zk::Holding holding(ch.recv_lock);
            if (ch.quiet()) return ch.drop_input();
        }
        if (speaks_natively(st, l)) {
            if (int fd = plain_descriptor(st, l.sock); fd >= 0) {
                zk::Holding holding(l.channel.value()->recv_lock);
                return drop_stale_input(st, **l.channel, l.sock, fd, Ref());
            }
        }
        zk::call_method(l.connection, st.names.flush);
    });
}

int send(const RingApi* api, void* link, PyObject* value) noexcept {
    const State& st = state_of(api);
    Linked& l = linked(link);
    return zk::boundary_status([&] {
        if (speaks_natively(st, l)) return send_binary(st, **l.channel, l.sock, value);
        zk::call_method(l.connection, st.names.send, value);
    });
}

PyObject* recv(const RingApi* api, void* link) noexcept {
    const State& st = state_of(api);
    Linked& l = linked(link);
    return zk::boundary([&] {
        if (speaks_natively(st, l)) {
            if (int fd = plain_descriptor(st, l.sock); fd >= 0) return receive_binary(st, **l.channel, l.sock, fd);
        }
        return zk::call_method(l.connection, st.names.recv);
    });
}

int mark_closed(const RingApi* api, void* link) noexcept {
    return zk::boundary_status([&] { zk::setattr(linked(link).connection, state_of(api).names._closed, Py_True); });
}

PyObject* socket_of(const RingApi* api, void* link) noexcept {
    return zk::boundary([&] { return zk::getattr_optional(linked(link).connection, state_of(api).names._socket); });
}

int in_websocket_mode(const RingApi* api, void* link) noexcept {
    try {
        return ring::websocket_mode(state_of(api).names, linked(link).connection);
    } catch (...) {
        zk::translate_exception();
        return -1;
    }
}

int check_ssl_context(const RingApi* api, PyObject* context) noexcept {
    return zk::boundary_status([&] { ring::check_ssl_context(state_of(api).names, context); });
}

}  // namespace

void define_ring_api(zk::Module& m, State& st) {
    RingApi api{open, close, closed, flush, send, recv, mark_closed, socket_of, in_websocket_mode, check_ssl_context, &st};
    m.set("_api", zk::box(std::make_unique<RingApi>(api), ring_api_capsule));
}

}  // namespace ring
