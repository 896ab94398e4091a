// The parts of zelk.ring, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec_api.hpp"

#include <cstdint>
#include <cstring>

namespace ring {

#define RING_NAMES(X, S)                 \
    X(__init__)                          \
    X(_channel)                          \
    X(_closed)                           \
    X(_head)                             \
    X(_key)                              \
    X(_nonce)                            \
    X(_onwebs)                           \
    X(_partial)                          \
    X(_socket)                           \
    X(_step)                             \
    X(_surplus)                          \
    X(_tls)                              \
    X(allowed_classes)                   \
    X(AllowedClasses)                    \
    X(close)                             \
    X(closed)                            \
    X(compare_digest)                    \
    X(digest)                            \
    X(error)                             \
    X(fileno)                            \
    X(flush)                             \
    X(getpeername)                       \
    X(getsockname)                       \
    X(pending)                           \
    X(hashlib)                           \
    X(hexdigest)                         \
    X(md5)                               \
    X(pack)                              \
    X(print)                             \
    X(recv)                              \
    X(recv_into)                         \
    X(RESPONSE)                          \
    X(release)                           \
    X(SOCKET_RECV_SIZE)                  \
    X(send)                              \
    X(sendall)                           \
    X(sendmsg)                           \
    X(setblocking)                       \
    X(settimeout)                        \
    X(sha256)                            \
    X(SSLContext)                        \
    X(SSLSocket)                         \
    X(SSLWantReadError)                  \
    X(SSLWantWriteError)                 \
    X(shutdown)                          \
    X(timeout)                           \
    X(unpack)                            \
    X(update)                            \
    X(urandom)                           \
    X(wanted)                            \
    S(new_, "new")                       \
    S(ssl_, "ssl")                       \
    S(length_format, "Q")

ZK_NAMES(Names, RING_NAMES)

struct State : zk::ModuleState {
    Names names;
    zk::Ref packer_pack, packer_unpack;  // BytePacker.pack and BytePacker.unpack
    zk::Ref websocket_pack, websocket_unpack;  // WebSocket.pack and WebSocket.unpack, for WebSocket mode
    zk::Ref stream_pack, stream_unpack, stream_closed;  // ByteStream's own, to tell whether a class replaced them
    mutable zk::NativeCache is_native_pack, is_native_unpack, is_native_closed;  // is_native's answers, per class
    zk::Ref connection_class;            // Connection, and its own send, recv and flush
    zk::Ref connection_send, connection_recv, connection_flush;
    mutable zk::NativeCache is_native_send, is_native_recv, is_native_flush;
    zk::Ref heartbeat;                   // the probe flush writes to a peer that has closed
    zk::Ref socket_class;                // socket.socket: a plain socket's descriptor may be used directly
    zk::Ref socket_fileno;               // and its fileno
    mutable zk::NativeCache is_native_fileno;
    zk::Ref message_too_large;           // MessageTooLarge: a length field over a connection's limit
    zk::Ref struct_unpack, struct_error;  // struct.unpack and struct.error, for a stream cut in a length field
    zk::Ref protocol_module;             // keeps the native encoder below alive
    zk::Ref response_kind;               // RESPONSE, the kind of a server's refusal record
    zk::Ref allowed_classes_class;       // protocol's AllowedClasses
    zk::Ref authentication_error, hmac_new, compare_digest, urandom;  // for the key handshake
    const protocol::CodecApi* codec = nullptr;
    // How long a reader watches its socket without sleeping before it waits (see socket_io.cpp);
    // 0 where it would only take the processor from the peer it waits for.
    long long watch_ns = 0;
    mutable zk::Turnstile waking;  // the readers and writers that slept on their sockets reattach through it

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(packer_pack), f(packer_unpack), f(stream_pack), f(stream_unpack), f(stream_closed), f(heartbeat), f(socket_class), f(socket_fileno), f(protocol_module);
        f(message_too_large), f(struct_unpack), f(struct_error);
        f(connection_class), f(connection_send), f(connection_recv), f(connection_flush);
        f(authentication_error), f(hmac_new), f(compare_digest), f(urandom);
        f(websocket_pack), f(websocket_unpack), f(response_kind), f(allowed_classes_class);
    }
};

using Scope = zk::Scope<State>;

// The 8-byte length field in front of every packet: an unsigned 64-bit count in host byte order.
constexpr Py_ssize_t header_size = 8;

// The length field of a packet of `size` bytes, written at `out`.
inline void write_length(char* out, Py_ssize_t size) noexcept {
    std::uint64_t n = static_cast<std::uint64_t>(size);
    std::memcpy(out, &n, header_size);
}

// The count a length field at `header` holds, unchecked.
inline std::uint64_t length_field(const char* header) noexcept {
    std::uint64_t length;
    std::memcpy(&length, header, header_size);
    return length;
}

// What a server with a key sends first, before its nonce: the key handshake's challenge.
inline constexpr char challenge_mark[] = "#ZELK-CHALLENGE#";

// The largest message a connection takes unless told otherwise: large arrays fit, and a peer that
// announces more is refused before anything is allocated for it.
constexpr Py_ssize_t max_message_default = Py_ssize_t(1) << 30;

// The packet length the length field at `header` announces, at most `limit`: MessageTooLarge over
// it, and AuthenticationError for the start of a key challenge, which a keyed server sends first.
Py_ssize_t announced_length(const State& st, const char* header, Py_ssize_t limit);
// _packet_length(buffer, start, limit): the same, for zelk.aio, which reads its own frames.
zk::Def packet_length_def();

// The length field and the packet as one bytes object, for a single sendall.
zk::Ref framed(zk::Handle packet);

// Messages from this size on are written in pieces (length field, what the encoder wrote, large
// buffers in place) with one gathering write, rather than copied into one bytes object first.
constexpr Py_ssize_t large_packet = 1 << 16;

// The packet BytePacker.pack makes of a value, as pieces: what the native encoder wrote with large
// buffers in place, or the bytes BytePacker.pack returned when its hooks were replaced.
class Packet {
public:
    Packet(const State& st, zk::Handle value);
    ~Packet();
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    Py_ssize_t size() const;
    std::size_t piece_count() const;
    protocol::EncodedPiece piece(std::size_t i) const;

private:
    const protocol::CodecApi* api_;
    void* message_ = nullptr;
    zk::Ref bytes_;
};

struct Channel;

// Writes `packet` behind its length field to `sock`, the socket of the connection whose channel is
// `ch`; the caller holds the channel's send lock.
void write_framed(const State& st, Channel& ch, zk::Handle sock, const Packet& packet);

// Writes `data` (any bytes-like object) as it is, likewise.
void write_bytes(const State& st, Channel& ch, zk::Handle sock, zk::Handle data);

// How many times SOCKET_RECV_SIZE one read into a long message may ask for: fewer calls, same bytes.
// A size so large that the product overflows reads the rest of the message at once.
inline Py_ssize_t body_read_limit(Py_ssize_t recv_size) {
    constexpr Py_ssize_t body_reads = 16;
    return recv_size > PY_SSIZE_T_MAX / body_reads ? PY_SSIZE_T_MAX : recv_size * body_reads;
}

// Whether `sock` is an ssl.SSLSocket, whose reads and writes go through the functions below.
bool is_tls_socket(const Names& n, zk::Handle sock);

// An ssl_context as serve and connect take it: an ssl.SSLContext, or None; TypeError otherwise.
void check_ssl_context(const Names& n, zk::Handle context);

// Whether `e` says a socket that does not wait had nothing to give: BlockingIOError, or an SSL
// socket's want-read or want-write.
bool would_block(const Names& n, const zk::PyError& e);

// write_framed for an SSL socket, which has no working sendmsg; the caller holds the channel's send lock.
void write_framed_tls(const State& st, Channel& ch, zk::Handle sock, const Packet& packet);

// Connection.flush's loop for an SSL socket: drops decrypted and raw input alike, never waits.
void flush_tls(Scope s, Channel& ch, zk::Handle sock);

// class ByteStream: the stream frame around each packet.
zk::Ref define_byte_stream(zk::Module& m, State& st);

// Whether `stream` is in WebSocket mode: its `_onwebs` is true.
bool websocket_mode(const Names& n, zk::Handle stream);

// class Connection(ByteStream): whole messages over one socket.
void define_connection(zk::Module& m, State& st, zk::Handle byte_stream);

// Connection.recv, the reader of one framed message.
zk::Def recv_def();

// Connection.peek, which looks at the first bytes of the input without taking them from recv.
zk::Def peek_def();

// The reader of WebSocket mode: the next upgrade request or data frame as a bytearray, or None when
// the peer closed the connection or sent a close frame. Runs under the connection's receive lock.
zk::Ref receive_websocket(Scope s, zk::Handle self, zk::Handle sock);

// Connection.upgrade, which switches a connection into WebSocket mode.
zk::Def upgrade_def();

// get_port(name): a service's default port.
zk::Def get_port_def();

// _api, the capsule through which zelk.server and zelk.client speak to connections (ring::Link).
void define_ring_api(zk::Module& m, State& st);

// _calls, the capsule of the call each handler thread serves (calls_api.hpp), and _time_left().
void define_calls_api(zk::Module& m, State& st);

// MessageTooLarge, raised for a length field over a connection's max_message_size.
void define_message_too_large(zk::Module& m, State& st);

// AuthenticationError, deliver_challenge and answer_challenge: the key handshake of a connection.
void define_authentication(zk::Module& m, State& st);

// Whether bytes read where a length field was expected begin a TLS alert record (tls_alert.cpp): a
// TLS server's answer to a peer without TLS. The ConnectionError that says so; _tls_alert(head).
bool begins_tls_alert(const char* data, Py_ssize_t size) noexcept;
zk::Ref tls_alert_error();
void define_tls_alert(zk::Module& m);

// _refusal and _refusal_reason: the message a full server sends to a connection it refuses.
void define_refusal(zk::Module& m, State& st);
// The reason in a server's refusal record, or nothing when `value` is not one.
zk::Ref refusal_reason(const State& st, zk::Handle value);

}  // namespace ring
