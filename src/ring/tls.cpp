// A connection over TLS: the socket operations an ssl.SSLSocket needs done its own way.
//
// An SSLSocket takes no flags on recv and has no working sendmsg, and it may hold decrypted bytes
// (or records that carry none, such as TLS 1.3 session tickets) that poll cannot see or that
// a blocking recv would wait behind. Whether a connection's socket is one is settled when the
// connection is made; the plain socket's paths never see it.
#include "ring/channel.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// The ssl module, when it has been imported: no SSLSocket exists before that.
Ref ssl_module(const Names& n) {
    PyObject* module = PyImport_GetModule(n.ssl_.get());
    if (!module && PyErr_Occurred()) zk::throw_error();
    return Ref::steal(module);
}

// Runs `body` with the socket not blocking, then gives it its time-out back.
template <class Body>
auto without_waiting(const Names& n, Handle sock, Body&& body) -> decltype(body()) {
    Ref before = zk::getattr(sock, n.timeout);
    zk::call_method(sock, n.settimeout, zk::floating(0.0));
    return zk::finally(body, [&] { zk::call_method(sock, n.settimeout, before); });
}

// Pieces up to this size are gathered into one record with their neighbours.
constexpr Py_ssize_t gather_below = 1 << 14;

}  // namespace

bool is_tls_socket(const Names& n, Handle sock) {
    Ref ssl = ssl_module(n);
    return ssl && zk::isinstance(sock, zk::getattr(ssl, n.SSLSocket));
}

void check_ssl_context(const Names& n, Handle context) {
    if (context.get() == Py_None || zk::isinstance(context, zk::getattr(zk::import("ssl"), n.SSLContext))) return;
    zk::raise(PyExc_TypeError, "ssl_context must be an ssl.SSLContext or None, not %.200s", Py_TYPE(context.get())->tp_name);
}

bool would_block(const Names& n, const zk::PyError& e) {
    if (e.matches(PyExc_BlockingIOError)) return true;
    Ref ssl = ssl_module(n);
    return ssl && (e.matches(zk::getattr(ssl, n.SSLWantReadError)) || e.matches(zk::getattr(ssl, n.SSLWantWriteError)));
}

// Small neighbouring pieces (the length field, the encoder's own bytes) go out together; large
// buffers go out in place, each with one sendall, which cuts them into records itself. The whole
// message keeps to one deadline, as on a plain socket.
void write_framed_tls(const State& st, Channel& ch, Handle sock, const Packet& packet) {
    const Names& n = st.names;
    std::string gathered;
    char header[header_size];
    write_length(header, packet.size());
    gathered.append(header, header_size);
    keeping_to(n, sock, ch.deadline(zk::getattr(sock, n.timeout)), [&](auto&& before_send) {
        auto send_gathered = [&] {
            if (gathered.empty()) return;
            before_send();
            zk::call_method(sock, n.sendall,
                            zk::check(PyBytes_FromStringAndSize(gathered.data(), static_cast<Py_ssize_t>(gathered.size()))));
            gathered.clear();
        };
        for (std::size_t i = 0; i < packet.piece_count(); i++) {
            protocol::EncodedPiece piece = packet.piece(i);
            if (piece.size < gather_below) {
                gathered.append(piece.data, static_cast<std::size_t>(piece.size));
                continue;
            }
            send_gathered();
            before_send();
            Ref view = zk::check(PyMemoryView_FromMemory(const_cast<char*>(piece.data), piece.size, PyBUF_READ));
            zk::finally([&] { zk::call_method(sock, n.sendall, view); }, [&] { zk::call_method(view, n.release); });
        }
        send_gathered();
    });
}

// Drops what is waiting, decrypted or not, without ever waiting for more. A peer that has closed
// its side gets no probe, which would only meet TLS's own errors: its end of the session is over,
// and that is BrokenPipeError to the caller, as the probe would have found.
void flush_tls(Scope s, Channel& ch, Handle sock) {
    const Names& n = s.names();
    int fd = static_cast<int>(zk::to_ssize(zk::call_method(sock, n.fileno)));
    Ref size = s.global(n.SOCKET_RECV_SIZE);
    for (;;) {
        bool decrypted = zk::truthy(zk::call_method(sock, n.pending));
        if (!decrypted && !input_waiting(ch, fd)) return;
        bool closed = without_waiting(n, sock, [&] {
            try {
                return !zk::truthy(zk::call_method(sock, n.recv, size));
            } catch (zk::PyError& e) {
                if (!would_block(n, e)) throw;
                return false;  // a record with no data for us, or part of one: poll says when more comes
            }
        });
        if (closed) zk::raise(zk::call(PyExc_BrokenPipeError, zk::integer(32), zk::str("the peer closed the TLS connection")));
    }
}

}  // namespace ring
