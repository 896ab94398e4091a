// A server with an ssl.SSLContext: every accepted connection, browsers' included, is wrapped in
// TLS in its own handler thread, so that a peer that is slow, silent or not speaking TLS holds up
// no one else; the handshake is bounded in time. A server without a context serves plain TCP and
// turns away peers that begin a TLS handshake, which would otherwise wait on it for nothing.
#include "server/server.hpp"

#include <sys/socket.h>

#include <cstring>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

Ref context_of(const Names& n, Handle server) {
    Ref context = zk::getattr_optional(server, n._ssl_context);
    return context && context.get() != Py_None ? std::move(context) : Ref();
}

// A peer whose bytes were no TLS handshake (a client without an ssl_context) is told so the way TLS
// tells it, with a fatal alert record, unexpected_message: OpenSSL closes without one when the bytes
// are not TLS records at all, and the peer could only report a reset. What the peer sent is read
// first, so that closing ends the stream rather than resetting it, which could cost it the record.
void send_alert(const Names& n, Handle sock) {
    static constexpr unsigned char alert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x0a};
    int fd = static_cast<int>(zk::to_ssize(zk::call_method(sock, n.fileno)));
    if (fd < 0) return;
    char sink[4096];
    for (int reads = 0; reads < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; reads++) {
    }
    (void)::send(fd, alert, sizeof alert, MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

bool serves_tls(const Names& n, Handle server) { return static_cast<bool>(context_of(n, server)); }

// The handshake keeps to the first message's deadline, and the connection over TLS then to the rest of
// it, as well as to every other limit of a plain connection.
bool passes_tls_handshake(const State& st, Handle self, const FirstMessage& first) {
    const Names& n = st.names;
    Ref server = zk::getattr(self, n.server);
    Ref context = context_of(n, server);
    if (!context) return true;
    Ref sock;
    try {
        sock = zk::call_kw(zk::getattr(context, n.wrap_socket), {zk::getattr(self, n.request)},
                           {{n.server_side, Py_True}, {n.do_handshake_on_connect, Py_False}});
        zk::setattr(self, n.request, sock);  // it took the accepted socket's descriptor over
        Ref before = zk::getattr(sock, n.timeout);
        zk::call_method(sock, n.settimeout, zk::floating(first.left(ring::handshake_seconds)));
        zk::finally([&] { zk::call_method(sock, n.do_handshake); }, [&] { zk::call_method(sock, n.settimeout, before); });
        zk::setattr(self, n._connection, connection_for(st, server, sock, first.left_or_none()));
        return true;
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;  // ssl.SSLError and time-outs are OSErrors too
        if (sock && !e.matches(PyExc_TimeoutError) && !e.matches(PyExc_ConnectionError)) send_alert(n, sock);
        Ref text = zk::text("Client {} failed the TLS handshake: {}", zk::getattr(self, n.client_address), e.value());
        warn(n, server, zk::escape_controls(text));
        return false;
    }
}

bool starts_tls_handshake(Handle first) {
    // A TLS record of the handshake type, a 3.x version and a ClientHello after its length: as a
    // zelk length field these bytes would announce a message of a terabyte or more.
    if (!PyBytes_Check(first.get()) || PyBytes_GET_SIZE(first.get()) < 6) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(first.get()));
    return b[0] == 0x16 && b[1] == 0x03 && b[2] <= 0x04 && b[5] == 0x01;
}

void turn_away_tls(const State& st, Handle self) {
    const Names& n = st.names;
    Ref server = zk::getattr(self, n.server);
    Ref text = zk::text("Client {} began a TLS handshake, and this server has no ssl_context: disconnected",
                        zk::getattr(self, n.client_address));
    warn(n, server, text);
}

}  // namespace server
