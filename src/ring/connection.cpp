// Connection: sends, flushes, clears and closes one socket's stream of framed messages.
// The reader, recv, has a file of its own.
#include "ring/names.hpp"
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

Ref init(zk::Fn fn, Handle self, Handle socket) {
    zk::call_method(fn.super(self), names::__init__);
    zk::setattr(self, names::_socket, socket);
    return zk::none();
}

// Input that the reader kept beyond its last message is stale too.
void drop_surplus(Handle self) {
    if (zk::getattr_optional(self, names::_surplus)) zk::check_status(PyObject_DelAttr(self, names::_surplus));
}

// Reads and drops whatever can be read without waiting; the socket ends up blocking, without time-out.
Ref clear(zk::Fn, Handle self) {
    drop_surplus(self);
    Ref sock = zk::getattr(self, names::_socket);
    zk::call_method(sock, names::setblocking, Py_False);
    Ref size = zk::integer(4096);
    try {
        while (zk::truthy(zk::call_method(sock, names::recv, size))) {
        }
    } catch (zk::PyError& e) {
        zk::call_method(sock, names::setblocking, Py_True);
        if (!e.matches(PyExc_BlockingIOError)) throw;
        return zk::none();
    }
    zk::call_method(sock, names::setblocking, Py_True);
    return zk::none();
}

// Drops everything that is waiting; a peer that has closed gets "heartbeat" probes until the
// system reports the broken connection as BrokenPipeError or ConnectionResetError.
Ref flush(zk::Fn fn, Handle self) {
    drop_surplus(self);
    Ref sock = zk::getattr(self, names::_socket);
    Ref select = zk::getattr(fn.global(names::select), names::select);
    Ref watched = zk::list_of({sock});
    Ref nothing = zk::new_list();
    Ref size = fn.global(names::SOCKET_RECV_SIZE);
    for (;;) {
        Ref ready = zk::call(select, watched, nothing, nothing, zk::integer(0));
        Ref readers = zk::getitem(ready, zk::integer(0));
        if (!zk::truthy(readers)) return zk::none();
        for (Ref reader : zk::iterate(readers)) {
            Ref data = zk::call_method(reader, names::recv, size);
            if (!zk::truthy(data)) zk::call_method(reader, names::sendall, fn.captured(0));
        }
    }
}

// Writes one message. With ByteStream's own pack, a large packet goes out after its length field
// instead of being copied behind it first.
void write_message(zk::Fn fn, Handle self, Handle sock, Handle request) {
    Ref pack = zk::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self.get())), names::pack);
    if (pack.get() != fn.captured(0)) {
        zk::call_method(sock, names::sendall, zk::call_method(self, names::pack, request));
        return;
    }
    Ref packet = zk::call(fn.captured(1), request);
    if (zk::length(packet) < large_packet) {
        zk::call_method(sock, names::sendall, framed(packet));
    } else {
        zk::call_method(sock, names::sendall, length_field(packet));
        zk::call_method(sock, names::sendall, packet);
    }
}

Ref send(zk::Fn fn, Handle self, Handle request) {
    Ref sock = zk::getattr(self, names::_socket);
    try {
        write_message(fn, self, sock, request);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_TimeoutError)) throw;
        zk::Handling handling(e);  // the new error keeps the time-out as its context
        Ref text = zk::concat({names::send_timeout, zk::format(zk::getattr(sock, names::timeout)), names::seconds_comma,
                               zk::format(zk::call_method(sock, names::getsockname)), names::close_paren});
        zk::raise(zk::call(PyExc_TimeoutError, text));
    }
    return zk::none();
}

Ref close(zk::Fn, Handle self) {
    Ref sock = zk::getattr(self, names::_socket);
    zk::call_method(sock, names::shutdown, zk::integer(2));
    zk::call_method(sock, names::close);
    zk::setattr(self, names::_closed, Py_True);
    return zk::none();
}

}  // namespace

void define_connection(zk::Module& m, Handle byte_stream) {
    using zk::arg;
    m.add_class("Connection", {byte_stream}, nullptr,
                {
                    zk::method(zk::fn<init>("__init__", {arg("self"), arg("socket").annotate("socket")})),
                    zk::method(zk::fn<clear>("clear", {arg("self")})),
                    zk::method(zk::fn<flush>("flush", {arg("self")}).capture({zk::check(PyBytes_FromString("heartbeat"))})),
                    zk::method(zk::fn<send>("send", {arg("self"), arg("request").annotate("Any")})
                                   .capture({zk::getattr(byte_stream, names::pack),
                                             zk::getattr(m.get("BytePacker"), names::pack)})),
                    zk::method(recv_def()),
                    zk::method(zk::fn<close>("close", {arg("self")})),
                });
}

}  // namespace ring
