// _api: the capsule through which zelk.server and zelk.client speak to connections (ring::Link, in
// ring_api.hpp). What a connection is (its class, its socket, its channel) is looked up once and
// checked cheaply before each operation, which ring then does itself or leaves to the connection.
#include "ring/channel.hpp"
#include "ring/ring_api.hpp"

#include <array>
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
    // socket.socket's version tag when its fileno was found its own, which it stays while the class
    // keeps the tag (its instances have no __dict__ to put another in); 0: ask each time.
    unsigned int fileno_version = 0;
    // Where the last pass over the dict found `_socket`, `_onwebs` and `_closed` (positions for
    // PyDict_Next, in the order of Attribute), -1 where it did not: looked at there first.
    Py_ssize_t found_at[3] = {-1, -1, -1};
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

// A connection's `_socket`, `_onwebs` and `_closed`.
enum Attribute : unsigned { sock_attribute, websocket_attribute, closed_attribute };
constexpr unsigned bit(Attribute a) noexcept { return 1u << a; }

// What the dict holds of them, borrowed: once read, only compared with what the link holds, or with
// True and False. Null where absent.
using Held = std::array<PyObject*, 3>;

// Reads the attributes `wanted` (bits) of the linked connection's dict in one pass over it, shorter
// than as many lookups: a connection's own attributes come first (`_closed`, `_onwebs`, `_socket`).
// A key identical to a name is that name, and an interned str that is not is none of them (there is
// one interned str per text). False for any other key (a str not interned, a str subclass), which
// only a lookup compares as Python does. Notes where each was found, to be read there next time.
bool read_held_anywhere(const Names& n, Linked& l, unsigned wanted, Held& held) {
    PyObject* dict = l.dict.get();
    PyObject* const names[] = {n._socket.get(), n._onwebs.get(), n._closed.get()};
    PyObject *key, *value;
    zk::CriticalSection section(dict);
    for (Py_ssize_t pos = 0, at = 0; wanted && PyDict_Next(dict, &pos, &key, &value); at = pos) {
        unsigned i = key == names[0] ? 0 : key == names[1] ? 1 : key == names[2] ? 2 : 3;
        if (i < 3) {
            held[i] = value, l.found_at[i] = at;
            wanted &= ~(1u << i);
        } else if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) {
            return false;
        }
    }
    for (unsigned i = 0; i < 3; i++) {
        if (wanted & (1u << i)) held[i] = nullptr, l.found_at[i] = -1;  // absent
    }
    return true;
}

// The value of `name` in `dict` if it is at `pos` (a key found there is the one: a dict holds each
// key once); else null.
PyObject* held_at(PyObject* dict, Py_ssize_t pos, PyObject* name) {
    PyObject *key, *value;
    return pos >= 0 && PyDict_Next(dict, &pos, &key, &value) && key == name ? value : nullptr;
}

// Reads `_socket` and `_onwebs` where they were found last, else anywhere.
bool read_io_held(const Names& n, Linked& l, Held& held) {
    {
        zk::CriticalSection section(l.dict.get());
        held[sock_attribute] = held_at(l.dict.get(), l.found_at[sock_attribute], n._socket.get());
        held[websocket_attribute] = held_at(l.dict.get(), l.found_at[websocket_attribute], n._onwebs.get());
    }
    return (held[sock_attribute] && held[websocket_attribute]) ||
           read_held_anywhere(n, l, bit(sock_attribute) | bit(websocket_attribute), held);
}

// Reads `_closed` where it was found last, else anywhere.
bool read_closed_held(const Names& n, Linked& l, Held& held) {
    {
        zk::CriticalSection section(l.dict.get());
        held[closed_attribute] = held_at(l.dict.get(), l.found_at[closed_attribute], n._closed.get());
    }
    return held[closed_attribute] || read_held_anywhere(n, l, bit(closed_attribute), held);
}

// Whether a flag of the connection's (`_onwebs`, `_closed`) is set: True and False tell at once,
// anything else as Python tells.
bool flag_set(Handle dict, Handle name, PyObject* value) {
    if (value == Py_True || value == Py_False) return value == Py_True;
    return zk::truthy(zk::dict_get(dict, name));
}

// The version tag of a plain socket's class while its fileno is the class's own, else 0.
unsigned int own_fileno_version(const State& st, Handle sock) {
    PyTypeObject* type = Py_TYPE(sock.get());
    unsigned int version = zk::assigned_version_tag(type);
    if (!version || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0) return 0;
    bool own = zk::is_native(st.core, sock, st.names.fileno, st.socket_fileno, st.is_native_fileno);
    return own && zk::version_tag(type) == version ? version : 0;
}

// The linked socket's descriptor, as plain_descriptor reads it, without asking again whose fileno it is.
int descriptor(const State& st, const Linked& l) {
    if (!l.fileno_version || zk::version_tag(Py_TYPE(l.sock.get())) != l.fileno_version) return plain_descriptor(st, l.sock);
    return open_descriptor(zk::call(st.socket_fileno, l.sock));
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
    l.fileno_version = 0;
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
    unsigned int fileno_version = native ? own_fileno_version(st, sock) : 0;
    if (zk::version_tag(type) != version) return;  // the class changed meanwhile
    l.version = version;
    l.dict_size = PyDict_GET_SIZE(dict.get());
    l.dict = std::move(dict);
    l.sock = std::move(sock);
    l.own_closed = own_closed;
    l.own_flush = own_flush;
    l.native = native;
    l.fileno_version = fileno_version;
}

// Looks at the connection again when its class or its __dict__ changed since the last look.
void refresh(const State& st, Linked& l) {
    PyTypeObject* type = Py_TYPE(l.connection.get());
    if (type == l.type && l.version && zk::version_tag(type) == l.version) {
        if (!l.dict) return;
        PyObject* dict = PyObject_GenericGetDict(l.connection.get(), nullptr);
        if (!dict) zk::throw_error();
        bool same = dict == l.dict.get() && PyDict_GET_SIZE(dict) == l.dict_size;
        Py_DECREF(dict);  // only compared: a plain decref, on a hot path
        if (same) return;
    }
    look(st, l);
}

// Whether ring's calls stand for the connection's send, recv and flush, by lookups: when the socket
// changed, or a key of the dict is one only a lookup compares.
bool speaks_natively_after_all(const State& st, Linked& l) {
    const Names& n = st.names;
    if (zk::dict_get(l.dict, n._socket).get() != l.sock.get()) {
        look(st, l);
        if (!l.native) return false;
    }
    Ref websocket = zk::dict_get(l.dict, n._onwebs);
    return !websocket || !zk::truthy(websocket);
}

// Whether ring's calls stand for the connection's send, recv and flush now.
bool speaks_natively(const State& st, Linked& l) {
    refresh(st, l);
    if (!l.native) return false;
    Held held;
    if (!read_io_held(st.names, l, held) || held[sock_attribute] != l.sock.get()) {
        return speaks_natively_after_all(st, l);
    }
    PyObject* websocket = held[websocket_attribute];
    return !websocket || !flag_set(l.dict, st.names._onwebs, websocket);
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
        if (l.own_closed) {
            Held held;
            if (!read_closed_held(st.names, l, held)) {
                if (Ref flag = zk::dict_get(l.dict, st.names._closed)) return zk::truthy(flag);
            } else if (PyObject* flag = held[closed_attribute]) {
                return flag_set(l.dict, st.names._closed, flag);
            }
        }
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
            if (int fd = descriptor(st, l); fd >= 0) {
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
            if (int fd = descriptor(st, l); fd >= 0) return receive_binary(st, **l.channel, l.sock, fd);
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
