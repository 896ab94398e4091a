// Connection.recv: collects one framed message from the socket and decodes it. In WebSocket mode
// the reader of websocket_reader.cpp collects a browser's request or frame instead.
//
// A read may bring bytes beyond the end of the message (the peer wrote several messages at once);
// they are kept on the connection for the next recv, so back-to-back messages all arrive intact.
// A read that stops in the middle of a message (a time-out) keeps what arrived, so the next recv
// goes on with the same message instead of reading from its middle.
#include "ring/ring.hpp"

#include "core/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// The bytes of one message as they arrive: the length field, then the packet. The packet is a
// bytes object written in place before anyone else sees it, so the decoded arrays can be views of
// it: it is never written again once handed on.
class Message {
public:
    bool started() const { return header_used_ > 0; }
    bool sized() const { return header_used_ == header_size; }
    bool complete() const { return sized() && got_ == size_; }
    Py_ssize_t missing() const { return size_ - got_; }
    // The whole packet, once complete.
    Ref packet() const { return packet_ ? packet_.copy() : zk::check(PyBytes_FromStringAndSize(nullptr, 0)); }
    // The part of the length field that has arrived.
    Ref header_bytes() const { return zk::check(PyBytes_FromStringAndSize(header_, header_used_)); }

    // Takes what belongs to this message from `data`; returns how many bytes that was.
    Py_ssize_t feed(const char* data, Py_ssize_t n) {
        Py_ssize_t used = 0;
        if (!sized()) {
            used = std::min(n, header_size - header_used_);
            std::memcpy(header_ + header_used_, data, used);
            header_used_ += used;
            if (sized()) start_packet();
        }
        if (sized() && used < n && !complete()) {
            Py_ssize_t take = std::min(n - used, missing());
            std::memcpy(reserve(got_ + take) + got_, data + used, take);
            got_ += take;
            used += take;
        }
        return used;
    }

    // Reads up to `limit` bytes of the packet straight into it; false when the peer has closed.
    bool read_into(const Names& names, Handle recv_into, Py_ssize_t limit) {
        Py_ssize_t want = std::min(missing(), limit);
        // A read fills the room the packet has before asking for more: see reserve.
        if (Py_ssize_t room = packet_ ? PyBytes_GET_SIZE(packet_.get()) - got_ : 0; room > 0) want = std::min(want, room);
        char* at = reserve(got_ + want) + got_;
        Ref view = zk::check(PyMemoryView_FromMemory(at, want, PyBUF_WRITE));
        // The view points into a buffer that may move; no one may write through it later.
        Ref count = zk::finally([&] { return zk::call(recv_into, view); },
                                [&] { zk::call_method(view, names.release); });
        Py_ssize_t n = zk::to_ssize(count);
        if (n < 0 || n > want) zk::raise(PyExc_ValueError, "recv_into() returned %zd for a buffer of %zd bytes", n, want);
        got_ += n;
        return n > 0;
    }

    // What arrived so far, kept on the connection for the next recv, which goes on with it.
    Ref snapshot() {
        PyObject* capsule = PyCapsule_New(new Message(std::move(*this)), snapshot_name, drop_snapshot);
        if (!capsule) zk::throw_error();
        return Ref::steal(capsule);
    }

    // Goes on with the message of a snapshot; anything that is not one of ours is dropped.
    void resume(Handle snapshot) {
        if (!PyCapsule_IsValid(snapshot, snapshot_name)) return;
        *this = std::move(*static_cast<Message*>(PyCapsule_GetPointer(snapshot, snapshot_name)));
    }

    Message() = default;
    Message(Message&&) = default;
    Message& operator=(Message&&) = default;

private:
    static constexpr const char* snapshot_name = "zelk.ring.partial_message";

    static void drop_snapshot(PyObject* capsule) noexcept {
        delete static_cast<Message*>(PyCapsule_GetPointer(capsule, snapshot_name));
    }

    void start_packet() {
        std::uint64_t size;
        std::memcpy(&size, header_, header_size);
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            zk::raise(PyExc_OverflowError, "message length %llu is beyond this machine's reach",
                      static_cast<unsigned long long>(size));
        }
        size_ = static_cast<Py_ssize_t>(size);
    }

    // Room for `needed` bytes; returns where the packet starts. A length field may promise far
    // more than the peer sends, so the packet is first given at most `first_reserve` (whatever
    // arrives beyond it), then, once that much has come, its size up to `second_reserve`, then all
    // of it (memory is only committed as it is written). The first step costs a lying peer little
    // and copies at most that much when the packet grows; more steps would copy the packet each time.
    char* reserve(Py_ssize_t needed) {
        Py_ssize_t have = packet_ ? PyBytes_GET_SIZE(packet_.get()) : 0;
        if (needed > have) {
            Py_ssize_t step = have < first_reserve ? first_reserve : have < second_reserve ? second_reserve : size_;
            Py_ssize_t room = std::min(size_, std::max(needed, step));
            if (!packet_) {
                packet_ = zk::check(PyBytes_FromStringAndSize(nullptr, room));
            } else {
                PyObject* grown = packet_.release();
                if (_PyBytes_Resize(&grown, room) < 0) zk::throw_error();
                packet_ = Ref::steal(grown);
            }
            if (PyBytes_GET_SIZE(packet_.get()) == size_) zk::advise_huge_pages(PyBytes_AS_STRING(packet_.get()), size_);
        }
        return PyBytes_AS_STRING(packet_.get());
    }

    static constexpr Py_ssize_t first_reserve = Py_ssize_t(1) << 20;
    static constexpr Py_ssize_t second_reserve = Py_ssize_t(1) << 30;

    char header_[header_size] = {};
    Py_ssize_t header_used_ = 0;
    Py_ssize_t size_ = 0;
    Py_ssize_t got_ = 0;
    Ref packet_;
};

// Feeds `data` to the message and keeps what is left of it for the next recv.
void feed_keeping_surplus(const Names& n, Message& message, Handle self, Handle data) {
    zk::BufferView view(data);
    Py_ssize_t used = message.feed(view.data(), view.size());
    if (used < view.size()) {
        zk::setattr(self, n._surplus, zk::check(PyBytes_FromStringAndSize(view.data() + used, view.size() - used)));
    }
}

// Reads until the message is complete; false when the peer closed the connection first.
bool read_message(Scope s, Handle self, Handle sock, Message& message) {
    const Names& n = s.names();
    Ref size = s.global(n.SOCKET_RECV_SIZE);
    Ref recv_into;
    while (!message.complete()) {
        if (message.sized()) {
            // The rest of a long packet goes straight into it, when the socket can do that, in reads
            // of a few times the usual size: never past the end of the message.
            if (!recv_into) recv_into = zk::getattr_optional(sock, n.recv_into);
            if (recv_into && recv_into.get() != Py_None) {
                if (!message.read_into(n, recv_into, body_read_limit(zk::to_ssize(size)))) return false;
                continue;
            }
        }
        // The first read of a message is where a reader waits for its peer.
        Ref chunk = receive_chunk(s.state(), sock, size, !message.started());
        if (!zk::truthy(chunk)) return false;
        feed_keeping_surplus(n, message, self, chunk);
    }
    return true;
}

// The packet of the next message, or None when the peer closed the connection. A stream that ends
// inside the length field raises struct's own error for the bytes that came, which `recv` reports.
Ref receive_packet(Scope s, Handle self, Handle sock, Ref& short_header) {
    const Names& n = s.names();
    Message message;
    if (Ref partial = zk::pop_attr(self, n._partial)) message.resume(partial);
    if (Ref surplus = zk::pop_attr(self, n._surplus)) feed_keeping_surplus(n, message, self, surplus);
    bool complete;
    try {
        complete = read_message(s, self, sock, message);
    } catch (zk::PyError& e) {
        bool in_length_field = message.started() && !message.sized();
        if (in_length_field && e.matches(PyExc_ConnectionResetError)) {
            complete = false;  // a reset inside the length field ends the stream there
        } else {
            if (message.started()) zk::setattr(self, n._partial, message.snapshot());
            throw;
        }
    }
    if (complete) return message.packet();
    if (message.started() && !message.sized()) {
        short_header = message.header_bytes();
        zk::call(zk::getattr(s.global(n.struct_), n.unpack), n.length_format, short_header);
    }
    return zk::none();
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

// The value of a packet. With ByteStream's own unpack in binary mode the packer gets the packet
// itself, so the arrays it holds are views of it; anything else gets the bytearray unpack expects.
Ref decode_packet(Scope s, Handle self, Handle packet) {
    const State& st = s.state();
    const Names& n = st.names;
    if (zk::is_native(st.core, self, n.unpack, st.stream_unpack) && !zk::truthy(zk::getattr(self, n._onwebs))) {
        return zk::call(st.packer_unpack, packet);
    }
    return zk::call_method(self, n.unpack, zk::check(PyByteArray_FromObject(packet)));
}

Ref recv(Scope s, Handle self) {
    const Names& n = s.names();
    Ref sock = zk::getattr(self, n._socket);
    Ref short_header = zk::check(PyBytes_FromStringAndSize(nullptr, 0));
    try {
        bool websocket = websocket_mode(n, self);
        Ref packet = zk::with_lock(s.state().core, zk::getattr(self, n._recv_lock), [&] {
            return websocket ? receive_websocket(s, self, sock) : receive_packet(s, self, sock, short_header);
        });
        if (packet.get() == Py_None) return packet;
        return decode_packet(s, self, packet);
    } catch (zk::PyError& e) {
        zk::Handling handling(e);  // new errors keep the caught one as their context
        if (e.matches(PyExc_TimeoutError)) {
            zk::raise(zk::call(PyExc_TimeoutError, zk::text("{}({}s, {})", e.value(), zk::getattr(sock, n.timeout),
                                                             zk::call_method(sock, n.getsockname))));
        }
        if (e.matches(zk::getattr(s.global(n.struct_), n.error))) {
            zk::raise(zk::call(PyExc_BufferError, short_header_text(n, e.value(), sock, short_header)));
        }
        if (e.matches(PyExc_RuntimeError)) {
            zk::call(s.global(n.print), zk::str("Runtime Error"), e.value());
            return zk::none();
        }
        throw;
    }
}

}  // namespace

zk::Def recv_def() { return zk::declare<recv>("recv", {zk::arg("self")}); }

}  // namespace ring
