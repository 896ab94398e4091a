// Connection.recv: collects one framed message from the socket and decodes it. In WebSocket mode
// the reader of websocket_reader.cpp collects a browser's request or frame instead.
//
// A read may bring bytes beyond the end of the message (the peer wrote several messages at once);
// they are kept on the connection for the next recv, so back-to-back messages all arrive intact.
// A read that stops in the middle of a message (a time-out) keeps what arrived, so the next recv
// goes on with the same message instead of reading from its middle. The whole message must arrive
// within the socket's time-out (and the connection's idle time-out), however it trickles in.
#include "ring/channel.hpp"
#include "ring/message.hpp"

#include <algorithm>
#include <memory>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// A first read takes the length field and, for most messages, the whole packet (and any message
// that follows it); the rest of a longer packet is read straight into it.
constexpr Py_ssize_t first_read_size = 16 * 1024;

// Feeds `data` to the message and keeps what is beyond it for the next recv.
void feed_keeping_surplus(const State& st, Channel& ch, Message& message, const char* data, Py_ssize_t n) {
    Py_ssize_t used = message.feed(st, data, n);
    if (used < n) ch.keep(data + used, n - used);
}

// Reads a plain socket on its descriptor until the message is complete; false when the peer closed first.
bool read_from_descriptor(const State& st, Channel& ch, Message& message, const PlainSocket& io) {
    bool first = !message.started();
    while (!message.complete()) {
        if (message.sized() && message.missing() >= first_read_size) {
            Py_ssize_t granted;
            char* at = message.room(message.missing(), granted);
            Py_ssize_t n = read_plain(io, at, granted, false, io.deadline.waits_forever());
            if (n == 0) return false;
            message.commit(n);
            continue;
        }
        char buffer[first_read_size];
        // The first read is where a reader waits for its peer; a blocking socket waits in the read.
        Py_ssize_t n = read_plain(io, buffer, first_read_size, first, first || io.deadline.waits_forever());
        if (n == 0) return false;
        feed_keeping_surplus(st, ch, message, buffer, n);
        first = false;
    }
    return true;
}

// Reads up to `limit` bytes of the packet through the socket's recv_into; false when the peer has closed.
bool read_into(const Names& n, Message& message, Handle recv_into, Py_ssize_t limit) {
    Py_ssize_t want;
    char* at = message.room(limit, want);
    Ref view = zk::check(PyMemoryView_FromMemory(at, want, PyBUF_WRITE));
    // The view points into a buffer that may move; no one may write through it later.
    Ref count = zk::finally([&] { return zk::call(recv_into, view); }, [&] { zk::call_method(view, n.release); });
    Py_ssize_t got = zk::to_ssize(count);
    if (got < 0 || got > want) zk::raise(PyExc_ValueError, "recv_into() returned %zd for a buffer of %zd bytes", got, want);
    message.commit(got);
    return got > 0;
}

// Reads any other socket through its own methods until the message is complete, calling
// before_read() before each read; false when the peer closed first.
template <class BeforeRead>
bool read_through_methods(Scope s, Channel& ch, Message& message, Handle sock, BeforeRead&& before_read) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref size = s.global(n.SOCKET_RECV_SIZE);
    Ref recv_into;
    while (!message.complete()) {
        if (message.sized()) {
            // The rest of a long packet goes straight into it, when the socket can do that, in reads
            // of a few times the usual size: never past the end of the message.
            if (!recv_into) recv_into = zk::getattr_optional(sock, n.recv_into);
            if (recv_into && recv_into.get() != Py_None) {
                before_read();
                if (!read_into(n, message, recv_into, body_read_limit(zk::to_ssize(size)))) return false;
                continue;
            }
        }
        before_read();
        Ref chunk = zk::call_method(sock, n.recv, size);
        if (!zk::truthy(chunk)) return false;
        zk::BufferView view(chunk);
        feed_keeping_surplus(st, ch, message, view.data(), view.size());
    }
    return true;
}

// A socket of the socket module that is not plain (an SSL socket) gets what is left of the deadline
// as its time-out before each read, so that the whole message keeps to it; its own time-out comes back after.
bool read_within(Scope s, Channel& ch, Message& message, Handle sock, const Deadline& deadline) {
    return keeping_to(s.names(), sock, deadline,
                      [&](auto&& before_read) { return read_through_methods(s, ch, message, sock, before_read); });
}

// The packet of the next message, read by read(message), or None when the peer closed the
// connection. A stream that ends inside the length field raises struct's own error for the bytes
// that came, which `recv` reports.
template <class Read>
Ref receive_with(const State& st, Channel& ch, Ref& short_header, Read&& read) {
    if (ch.out_of_step) return zk::none();  // after a message over the limit: as good as closed
    Message message = ch.partial ? std::move(*ch.partial) : Message(ch.max_message_size);
    ch.partial.reset();
    ch.clean = false;
    bool complete = false;
    try {
        if (Py_ssize_t n = ch.kept_size()) {
            message.began_at(ch.kept_at);
            ch.drop_kept(message.feed(st, ch.kept_data(), n));
        }
        complete = message.complete() || read(message);
    } catch (zk::PyError& e) {
        if (e.matches(st.message_too_large)) {
            ch.out_of_step = true;
            ch.drop_input();
            throw;
        }
        bool in_length_field = message.started() && !message.sized();
        if (!(in_length_field && e.matches(PyExc_ConnectionResetError))) {
            if (message.started()) ch.partial = std::make_unique<Message>(std::move(message));
            throw;
        }
        // A reset inside the length field ends the stream there.
    }
    if (complete) {
        ch.message_came();
        ch.message_began = message.began();
        ch.clean = ch.kept_size() == 0;
        ch.last_read = Clock::now();
        return message.packet();
    }
    if (message.started() && !message.sized()) {
        short_header = message.header_bytes();
        if (begins_tls_alert(PyBytes_AS_STRING(short_header.get()), PyBytes_GET_SIZE(short_header.get()))) {
            zk::raise(tls_alert_error());
        }
        zk::call(st.struct_unpack, st.names.length_format, short_header);
    }
    return zk::none();
}

// The deadline of a read starting now, and whether the socket may block in the read itself: not
// while the first message is awaited, whose deadline is sooner than the kernel's time-out.
PlainSocket plain_reader(const State& st, Channel& ch, Handle sock, int fd) {
    Ref timeout = zk::getattr(sock, st.names.timeout);
    return {st, ch, fd, timeout.get() == Py_None && ch.first_message.waits_forever(), ch.read_deadline(timeout)};
}

Ref receive_packet(Scope s, Channel& ch, Handle sock, Ref& short_header) {
    const State& st = s.state();
    return receive_with(st, ch, short_header, [&](Message& message) {
        int fd = plain_descriptor(st, sock);
        if (fd >= 0) return read_from_descriptor(st, ch, message, plain_reader(st, ch, sock, fd));
        if (PyObject_TypeCheck(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) {
            Ref timeout = zk::getattr(sock, st.names.timeout);
            return read_within(s, ch, message, sock, ch.read_deadline(timeout));
        }
        return read_through_methods(s, ch, message, sock, [] {});
    });
}

// "unpack requires a buffer of 8 bytes[b'\x05' from ('127.0.0.1', 681) with length 1]": the peer's
// address is left out when the connection can no longer tell it.
Ref short_header_text(const Names& n, Handle error, Handle sock, Handle header) {
    Ref length = zk::integer(zk::length(header));
    try {
        Ref peer = zk::call_method(sock, n.getpeername);
        return zk::text("{}[{} from {} with length {}]", error, header, peer, length);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
    return zk::text("{}[{} with length {}]", error, header, length);
}

// The value of a packet in binary mode, by the native codec while BytePacker's hooks are its own;
// its arrays are views of the packet. With an allow-list, through BytePacker.unpack under it.
Ref decode_binary(const State& st, const Channel& ch, Handle packet) {
    if (ch.allowed_classes) return decode_allowing(st, ch, st.packer_unpack, packet);
    if (Ref value = Ref::steal(st.codec->decode(st.codec, packet))) return value;
    if (PyErr_Occurred()) zk::throw_error();
    return zk::call(st.packer_unpack, packet);  // BytePacker's hooks were replaced
}

// The value of a packet. With ByteStream's own unpack in binary mode the packer gets the packet
// itself, so the arrays it holds are views of it; anything else gets the bytearray unpack expects.
Ref decode_packet(Scope s, Handle self, const Channel& ch, Handle packet) {
    const State& st = s.state();
    const Names& n = st.names;
    if (zk::is_native(st.core, self, n.unpack, st.stream_unpack, st.is_native_unpack) && !zk::truthy(zk::getattr(self, n._onwebs))) {
        return decode_binary(st, ch, packet);
    }
    return decode_allowing(st, ch, zk::getattr(self, n.unpack), zk::check(PyByteArray_FromObject(packet)));
}

Ref recv(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    ChannelRef ch = channel_of(st, self);
    refuse_if_closing(*ch);
    Ref sock = zk::getattr(self, n._socket);
    Ref short_header = zk::check(PyBytes_FromStringAndSize(nullptr, 0));
    try {
        bool websocket = websocket_mode(n, self);
        Ref packet;
        {
            zk::Holding holding(ch->recv_lock);
            packet = websocket ? receive_websocket(s, self, sock) : receive_packet(s, *ch, sock, short_header);
        }
        if (packet.get() == Py_None) return packet;
        return decode_packet(s, self, *ch, packet);
    } catch (zk::PyError& e) {
        return recv_failure(st, *ch, e, sock, short_header);
    }
}

// The next `size` bytes of input, waited for within the next message's deadline, and kept for the
// next recv, which reads them first; fewer when the peer closes first. An SSL socket cannot look at
// its input without taking it, so every socket's bytes are taken and kept.
Ref peek(Scope s, Handle self, Handle size) {
    const State& st = s.state();
    const Names& n = st.names;
    Py_ssize_t wanted = zk::to_ssize(size);
    if (wanted < 0) zk::raise(PyExc_ValueError, "size must not be negative");
    Ref sock = zk::getattr(self, n._socket);
    ChannelRef ch = channel_of(st, self);
    zk::Holding holding(ch->recv_lock);
    ch->clean = false;
    Deadline deadline = ch->read_deadline(socket_timeout(st, sock));
    reading_within(st, *ch, sock, deadline, [&](auto&& before_read) {
        while (ch->kept_size() < wanted) {
            before_read();
            Ref chunk = zk::call_method(sock, n.recv, zk::integer(wanted - ch->kept_size()));
            zk::BufferView view(chunk);
            if (view.size() == 0) break;
            ch->keep(view.data(), view.size());
        }
    });
    return zk::check(PyBytes_FromStringAndSize(ch->kept_data(), std::min(wanted, ch->kept_size())));
}

}  // namespace

Ref recv_failure(const State& st, const Channel& ch, const zk::PyError& e, Handle sock, Handle short_header) {
    const Names& n = st.names;
    zk::Handling handling(e);  // new errors keep the caught one as their context
    if (e.matches(PyExc_TimeoutError)) {
        zk::raise(zk::call(PyExc_TimeoutError, zk::text("{}({}s, {})", e.value(), timeout_of(st, ch, sock),
                                                         zk::call_method(sock, n.getsockname))));
    }
    if (e.matches(st.struct_error)) zk::raise(zk::call(PyExc_BufferError, short_header_text(n, e.value(), sock, short_header)));
    if (e.matches(PyExc_RuntimeError)) {
        zk::print_out(st, zk::dict_get(st.builtins, n.print), zk::tuple_of({zk::str("Runtime Error"), zk::escaped_text(e.value())}));
        return zk::none();
    }
    throw e;
}

Ref receive_binary(const State& st, Channel& ch, Handle sock, int fd) {
    Ref short_header = zk::check(PyBytes_FromStringAndSize(nullptr, 0));
    try {
        Ref packet;
        {
            zk::Holding holding(ch.recv_lock);
            packet = receive_with(st, ch, short_header,
                                  [&](Message& message) { return read_from_descriptor(st, ch, message, plain_reader(st, ch, sock, fd)); });
        }
        if (packet.get() == Py_None) return packet;
        return decode_binary(st, ch, packet);
    } catch (zk::PyError& e) {
        return recv_failure(st, ch, e, sock, short_header);
    }
}

zk::Def recv_def() { return zk::declare<recv>("recv", {zk::arg("self")}); }

zk::Def peek_def() {
    return zk::declare<peek>("peek", {zk::arg("self"), zk::arg("size", zk::Check::Int)})
        .returns("bytes")
        .doc("The next `size` bytes of input, left for the next recv: fewer if the peer closes first.\n"
             "\n"
             "        They are waited for as long as the next message may take (the first message's deadline, the\n"
             "        idle time-out or the socket's time-out, whichever comes first): TimeoutError after that.\n"
             "        ");
}

}  // namespace ring
