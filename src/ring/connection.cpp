// Connection: sends, flushes, clears and closes one socket's stream of framed messages.
// The reader, recv, has a file of its own.
//
// Threads may share a connection: one lock per direction lets one whole message out and one in at
// a time. Neither is held while a value is packed or unpacked, which may run any Python code.
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(Scope s, Handle self, Handle socket) {
    const Names& n = s.names();
    zk::call_method(s.super(self), n.__init__);
    zk::setattr(self, n._socket, socket);
    zk::setattr(self, n._send_lock, zk::call(s.state().lock_class));
    zk::setattr(self, n._recv_lock, zk::call(s.state().lock_class));
    return zk::none();
}

// Input the reader kept, beyond its last message or of one it stopped in, is stale too.
void drop_kept_input(const Names& n, Handle self) {
    zk::pop_attr(self, n._surplus);
    zk::pop_attr(self, n._partial);
}

// Reads and drops whatever can be read without waiting; the socket ends up blocking, without time-out.
Ref clear(Scope s, Handle self) {
    const Names& n = s.names();
    return zk::with_lock(s.state().core, zk::getattr(self, n._recv_lock), [&] {
        drop_kept_input(n, self);
        Ref sock = zk::getattr(self, n._socket);
        zk::call_method(sock, n.setblocking, Py_False);
        Ref size = zk::integer(4096);
        zk::finally(
            [&] {
                try {
                    while (zk::truthy(zk::call_method(sock, n.recv, size))) {
                    }
                } catch (zk::PyError& e) {
                    if (!e.matches(PyExc_BlockingIOError)) throw;
                }
            },
            [&] { zk::call_method(sock, n.setblocking, Py_True); });
        return zk::none();
    });
}

// Drops everything that is waiting; a peer that has closed gets "heartbeat" probes until the
// system reports the broken connection as BrokenPipeError or ConnectionResetError.
Ref flush(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    return zk::with_lock(st.core, zk::getattr(self, n._recv_lock), [&] {
        drop_kept_input(n, self);
        Ref sock = zk::getattr(self, n._socket);
        Ref select = zk::getattr(s.global(n.select), n.select);
        Ref watched = zk::list_of({sock});
        Ref nothing = zk::new_list();
        Ref size = s.global(n.SOCKET_RECV_SIZE);
        for (;;) {
            Ref ready = zk::call(select, watched, nothing, nothing, zk::integer(0));
            Ref readers = zk::getitem(ready, zk::integer(0));
            if (!zk::truthy(readers)) return zk::none();
            for (Ref reader : zk::iterate(readers)) {
                Ref data = zk::call_method(reader, n.recv, size);
                if (zk::truthy(data)) continue;
                zk::with_lock(st.core, zk::getattr(self, n._send_lock),
                              [&] { return zk::call_method(reader, n.sendall, st.heartbeat); });
            }
        }
    });
}

// Writes one message under the send lock, packed before the lock is taken. With ByteStream's own
// pack in binary mode, the message goes out in pieces, large buffers in place, instead of being
// joined first.
void write_message(Scope s, Handle self, Handle sock, Handle request) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref lock = zk::getattr(self, n._send_lock);
    if (!zk::is_native(st.core, self, n.pack, st.stream_pack) || websocket_mode(n, self)) {
        Ref message = zk::call_method(self, n.pack, request);
        zk::with_lock(st.core, lock, [&] { return zk::call_method(sock, n.sendall, message); });
        return;
    }
    Packet packet(st, request);
    zk::with_lock(st.core, lock, [&] {
        write_framed(st, sock, packet);
        return zk::none();
    });
}

Ref send(Scope s, Handle self, Handle request) {
    const Names& n = s.names();
    Ref sock = zk::getattr(self, n._socket);
    try {
        write_message(s, self, sock, request);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_TimeoutError)) throw;
        zk::Handling handling(e);  // the new error keeps the time-out as its context
        zk::raise(zk::call(PyExc_TimeoutError, zk::text("Send Timeout({}s, {})", zk::getattr(sock, n.timeout),
                                                         zk::call_method(sock, n.getsockname))));
    }
    return zk::none();
}

// A shutdown that fails (the peer reset the connection, or it was closed before) still lets the
// descriptor go and marks the connection closed; its error then reaches the caller.
Ref close(Scope s, Handle self) {
    const Names& n = s.names();
    Ref sock = zk::getattr(self, n._socket);
    zk::finally([&] { zk::call_method(sock, n.shutdown, zk::integer(2)); },
                [&] {
                    zk::call_method(sock, n.close);
                    zk::setattr(self, n._closed, Py_True);
                });
    return zk::none();
}

}  // namespace

void define_connection(zk::Module& m, Handle byte_stream) {
    using zk::arg;
    m.add_class("Connection", {byte_stream}, nullptr,
                {
                    zk::method(zk::declare<init>("__init__", {arg("self"), arg("socket").annotate("socket")})),
                    zk::method(zk::declare<clear>("clear", {arg("self")})),
                    zk::method(zk::declare<flush>("flush", {arg("self")})),
                    zk::method(zk::declare<send>("send", {arg("self"), arg("request").annotate("Any")})),
                    zk::method(recv_def()),
                    zk::method(upgrade_def()),
                    zk::method(zk::declare<close>("close", {arg("self")})),
                });
}

}  // namespace ring
