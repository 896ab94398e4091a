// Connection.recv in WebSocket mode, and Connection.upgrade, which switches a connection into it.
//
// A browser sends its HTTP upgrade request, then frames. Each recv hands unpack one of them whole,
// as a bytearray: the request up to its blank line, or one frame by the length in its header,
// exactly as it arrived. A message the browser sent in fragments (it does so for long ones) is
// handed over as the one frame it could have been sent as, so that it decodes the same.
// Pings are answered with pongs and pongs are dropped, and reading goes on; a close frame is
// answered with one and ends the connection as an empty read does. Bytes beyond the request or
// frame wait in `_surplus` for the next recv; what an interrupted read collected waits in `_partial`.
//
// Frames no browser sends (unmasked, with reserved bits or opcodes, a continuation of nothing, a
// fragmented or long control frame) fail the connection, as RFC 6455 asks of a server: the peer is
// sent a close frame with status 1002 (1009 for a length beyond reach), and recv raises.
#include "ring/channel.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// An upgrade request ends with its blank line within this many bytes.
constexpr Py_ssize_t request_limit = Py_ssize_t(1) << 16;
// RFC 6455: control frames (close, ping, pong) carry at most 125 bytes.
constexpr std::uint64_t control_limit = 125;

enum Opcode : unsigned { continuation_frame = 0, text_frame = 1, binary_frame = 2, close_frame = 8, ping_frame = 9,
                         pong_frame = 10 };

// The status codes of a close frame that fails the connection.
constexpr unsigned protocol_error = 1002, message_too_big = 1009;

// Where a frame's parts lie, from its first bytes.
struct FrameHeader {
    unsigned opcode = 0;
    bool final = false;
    bool reserved_bits = false;  // RSV1 to RSV3: no extension is agreed on, so none may be set
    bool masked = false;
    Py_ssize_t head = 0;           // the header with its mask
    std::uint64_t length = 0;      // of the data
    bool complete_header = false;  // enough bytes arrived to know all of the above

    FrameHeader(const unsigned char* b, Py_ssize_t got) {
        if (got < 2) return;
        opcode = b[0] & 0x0F;
        final = (b[0] & 0x80) != 0;
        reserved_bits = (b[0] & 0x70) != 0;
        masked = (b[1] & 0x80) != 0;
        unsigned code = b[1] & 0x7F;
        Py_ssize_t extended = code == 126 ? 2 : code == 127 ? 8 : 0;
        if (got < 2 + extended) return;
        length = code;
        if (extended) {
            length = 0;
            for (Py_ssize_t i = 0; i < extended; i++) length = (length << 8) | b[2 + i];
        }
        head = 2 + extended + (masked ? 4 : 0);
        complete_header = true;
    }

    bool control() const { return (opcode & 8) != 0; }
    bool known_opcode() const {
        return opcode <= binary_frame || opcode == close_frame || opcode == ping_frame || opcode == pong_frame;
    }
};

// The bytes of one upgrade request or frame as they arrive, in the bytearray that unpack gets.
class Incoming {
public:
    Incoming(Py_ssize_t max_data, PyObject* too_large) noexcept : max_data_(max_data), too_large_(too_large) {}

    bool started() const { return got_ > 0; }
    // The error was the peer's bytes, not the reading: keeping them would only raise it again.
    bool refused() const { return refused_; }
    Py_ssize_t got() const { return got_; }
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(buffer_.get())); }
    // No valid frame starts with "G" (0x47 sets a reserved bit and names a reserved opcode), so a
    // message that does is the request line of an HTTP request.
    bool request() const { return got_ > 0 && bytes()[0] == 'G'; }

    // Goes on with what an interrupted recv collected; anything but a bytearray is not ours.
    void resume(Handle partial) {
        if (!PyByteArray_CheckExact(partial.get())) return;
        buffer_ = Ref::borrow(partial);
        got_ = PyByteArray_GET_SIZE(partial.get());
    }

    void feed(Handle data) {
        zk::BufferView view(data);
        reserve(got_ + view.size());
        std::memcpy(PyByteArray_AS_STRING(buffer_.get()) + got_, view.data(), view.size());
        got_ += view.size();
    }

    // The whole message's length once its bytes tell it, else -1: a request up to its blank line,
    // a frame alone, or the frames of a fragmented message up to its final one with the control
    // frames among them. Raises for a request without its blank line within the limit, a control
    // frame too long, a length beyond reach and a message begun inside another.
    Py_ssize_t total() {
        if (total_ >= 0 || got_ == 0) return total_;
        if (request()) return total_ = request_length();
        for (;;) {
            FrameHeader frame(bytes() + scanned_, got_ - scanned_);
            if (!frame.complete_header) return -1;
            auto length = static_cast<unsigned long long>(frame.length);
            bool control = frame.control(), first = scanned_ == 0;
            check_frame(frame, first);
            if (control && frame.length > control_limit) {
                refuse(PyExc_ValueError, protocol_error, "a control frame carries at most 125 bytes, not %llu", length);
            }
            // Every byte kept for a message counts but its first frame's header: the data, and what came
            // among its fragments (their headers, control frames, empty fragments) alike. A control frame
            // alone is no message, and is answered at once.
            if (!(control && first)) {
                auto counted = static_cast<std::uint64_t>(first ? 0 : scanned_ - first_head_);
                std::uint64_t cost = (first ? 0 : static_cast<std::uint64_t>(frame.head)) + frame.length;
                if (cost > static_cast<std::uint64_t>(max_data_) - counted) {
                    refuse(too_large_, message_too_big, "a message of %llu bytes is over max_message_size (%zd)",
                           static_cast<unsigned long long>(counted + cost), max_data_);
                }
            }
            if (frame.length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX - frame.head - scanned_)) {
                refuse(PyExc_OverflowError, message_too_big, "frame length %llu is beyond this machine's reach", length);
            }
            if (first) first_head_ = frame.head;
            Py_ssize_t end = scanned_ + frame.head + static_cast<Py_ssize_t>(frame.length);
            needed_ = end;
            if (end > got_) return -1;
            if (control ? first : frame.final) return total_ = end;
            scanned_ = end;
        }
    }

    // The status code of the close frame a refusal sends, or 0 for none (a refused HTTP request).
    unsigned close_code() const { return close_code_; }

    // How many bytes the frame being read ends at, once its header has come; else -1.
    Py_ssize_t needed() const { return needed_ > got_ ? needed_ : -1; }

    // Reads up to `limit` bytes of the message straight into it; false when the peer has closed.
    bool read_into(const Names& n, Handle recv_into, Py_ssize_t missing, Py_ssize_t limit) {
        Py_ssize_t want = std::min(missing, limit);
        reserve(got_ + want);
        Ref view = zk::check(PyMemoryView_FromMemory(PyByteArray_AS_STRING(buffer_.get()) + got_, want, PyBUF_WRITE));
        // The view points into a buffer that may move; no one may write through it later.
        Ref count = zk::finally([&] { return zk::call(recv_into, view); }, [&] { zk::call_method(view, n.release); });
        Py_ssize_t got = zk::to_ssize(count);
        if (got < 0 || got > want) zk::raise(PyExc_ValueError, "recv_into() returned %zd for a buffer of %zd bytes", got, want);
        got_ += got;
        return got > 0;
    }

    // The whole message, its bytes beyond kept on `self` for the next recv.
    Ref take(const Names& n, Handle self, Py_ssize_t total) {
        if (got_ > total) {
            Ref rest = zk::check(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(buffer_.get()) + total, got_ - total));
            zk::setattr(self, n._surplus, rest);
        }
        got_ = total;
        return snapshot();
    }

    // What arrived, as a bytearray of exactly those bytes.
    Ref snapshot() {
        if (!buffer_) buffer_ = zk::check(PyByteArray_FromStringAndSize(nullptr, 0));
        zk::check_status(PyByteArray_Resize(buffer_.get(), got_));
        return buffer_.copy();
    }

private:
    // A bytearray grows by a fraction of its size at a time, so this costs amortised linear time;
    // and it holds only what arrived, whatever a length field promised.
    void reserve(Py_ssize_t needed) {
        if (!buffer_) buffer_ = zk::check(PyByteArray_FromStringAndSize(nullptr, 0));
        if (needed > PyByteArray_GET_SIZE(buffer_.get())) zk::check_status(PyByteArray_Resize(buffer_.get(), needed));
    }

    Py_ssize_t request_length() {
        std::string_view data(reinterpret_cast<const char*>(bytes()), static_cast<std::size_t>(got_));
        std::size_t from = static_cast<std::size_t>(std::max<Py_ssize_t>(0, searched_ - 3));
        std::size_t end = data.find("\r\n\r\n", from);
        searched_ = got_;
        Py_ssize_t length = end == std::string_view::npos ? got_ + 1 : static_cast<Py_ssize_t>(end) + 4;
        if (length > request_limit) {
            refuse(PyExc_ValueError, 0, "an upgrade request ends with a blank line within %zd bytes; this one did not",
                   request_limit);
        }
        return end == std::string_view::npos ? -1 : length;
    }

    // What only a broken or hostile client sends: RFC 6455, sections 5.1 to 5.5.
    void check_frame(const FrameHeader& frame, bool first) {
        if (frame.reserved_bits) refuse(PyExc_ValueError, protocol_error, "a frame with reserved bits set: no extension was agreed on");
        if (!frame.known_opcode()) refuse(PyExc_ValueError, protocol_error, "a frame of reserved opcode %u", frame.opcode);
        if (!frame.masked) refuse(PyExc_ValueError, protocol_error, "an unmasked frame: a client masks every frame it sends");
        if (frame.control()) {
            if (!frame.final) refuse(PyExc_ValueError, protocol_error, "a control frame in fragments");
            return;
        }
        if (first && frame.opcode == continuation_frame) {
            refuse(PyExc_ValueError, protocol_error, "a continuation frame with no message to continue");
        }
        if (!first && frame.opcode != continuation_frame) {
            refuse(PyExc_ValueError, protocol_error, "a frame of opcode %u began a message inside a fragmented one", frame.opcode);
        }
    }

    template <class... Args>
    [[noreturn]] void refuse(PyObject* type, unsigned close_code, const char* format, Args... args) {
        refused_ = true;
        close_code_ = close_code;
        zk::raise(type, format, args...);
    }

    Py_ssize_t max_data_;       // the connection's max_message_size: what one message may keep
    PyObject* too_large_;       // MessageTooLarge
    Py_ssize_t first_head_ = 0;  // the header of a message's first frame, which is not counted
    Ref buffer_;
    Py_ssize_t got_ = 0;
    Py_ssize_t total_ = -1;
    Py_ssize_t needed_ = -1;
    Py_ssize_t scanned_ = 0;   // bytes of whole frames of a fragmented message not yet finished
    Py_ssize_t searched_ = 0;  // bytes of a request already searched for its blank line
    bool refused_ = false;
    unsigned close_code_ = 0;
};

// Reads until the message is whole, calling before_read() before each read; false when the peer
// closed the connection first.
template <class BeforeRead>
bool read_message(Scope s, Handle sock, Incoming& message, BeforeRead&& before_read) {
    const Names& n = s.names();
    Ref size = s.global(n.SOCKET_RECV_SIZE);
    Ref recv_into;
    for (;;) {
        Py_ssize_t total = message.total();
        if (total >= 0 && message.got() >= total) return true;
        if (Py_ssize_t needed = message.needed(); needed >= 0) {
            // The rest of a frame of known length goes straight into it, never past its end.
            if (!recv_into) recv_into = zk::getattr_optional(sock, n.recv_into);
            if (recv_into && recv_into.get() != Py_None) {
                before_read();
                if (!message.read_into(n, recv_into, needed - message.got(), body_read_limit(zk::to_ssize(size)))) return false;
                continue;
            }
        }
        before_read();
        Ref chunk = zk::call_method(sock, n.recv, size);
        if (!zk::truthy(chunk)) return false;
        message.feed(chunk);
    }
}

// A control frame from this side: unmasked, with `data` (at most 125 bytes).
Ref control_frame(unsigned opcode, std::string_view data) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    frame += static_cast<char>(data.size());
    frame += data;
    return zk::check(PyBytes_FromStringAndSize(frame.data(), static_cast<Py_ssize_t>(frame.size())));
}

// The data of the whole frame at `b`, unmasked when it came masked.
std::string frame_data(const unsigned char* b, Py_ssize_t size) {
    FrameHeader header(b, size);
    std::string data(reinterpret_cast<const char*>(b) + header.head, static_cast<std::size_t>(header.length));
    if (header.masked) {
        const unsigned char* mask = b + header.head - 4;
        for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(data[i] ^ mask[i & 3]);
    }
    return data;
}

Py_ssize_t frame_size(const unsigned char* b, Py_ssize_t size) {
    FrameHeader header(b, size);
    return header.head + static_cast<Py_ssize_t>(header.length);
}

// A final frame of `opcode` carrying `data`, as a client sends it: masked, with a mask of zeros.
Ref whole_frame(unsigned opcode, std::string_view data) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    std::uint64_t n = data.size();
    int extended = n < 126 ? 0 : n < 65536 ? 2 : 8;
    frame += static_cast<char>(0x80 | (extended == 0 ? n : extended == 2 ? 126 : 127));
    for (int i = extended - 1; i >= 0; i--) frame += static_cast<char>((n >> (8 * i)) & 0xFF);
    frame.append(4, '\0');
    frame += data;
    return zk::check(PyByteArray_FromStringAndSize(frame.data(), static_cast<Py_ssize_t>(frame.size())));
}

void answer(Scope s, Handle self, Handle sock, Handle frame) {
    const State& st = s.state();
    ChannelRef ch = channel_of(st, self);
    zk::Holding holding(ch->send_lock);
    write_bytes(st, *ch, sock, frame);
}

// A close frame carrying `status`. A peer that has gone already cannot read it, and the
// connection ends either way.
void send_close(Scope s, Handle self, Handle sock, std::string_view status) {
    try {
        answer(s, self, sock, control_frame(close_frame, status));
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// Fails the connection with the status `code`.
void fail_connection(Scope s, Handle self, Handle sock, unsigned code) {
    const char status[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    send_close(s, self, sock, std::string_view(status, 2));
}

}  // namespace

Ref receive_websocket(Scope s, Handle self, Handle sock) {
    const State& st = s.state();
    const Names& n = st.names;
    ChannelRef ch = channel_of(st, self);
    for (;;) {
        Incoming message(ch->max_message_size, st.message_too_large.get());
        if (Ref partial = zk::pop_attr(self, n._partial)) message.resume(partial);
        if (Ref surplus = zk::pop_attr(self, n._surplus)) message.feed(surplus);
        // One deadline for the whole request or message, however its bytes trickle in.
        Deadline deadline = ch->read_deadline(socket_timeout(st, sock));
        bool whole;
        try {
            whole = reading_within(st, *ch, sock, deadline,
                                   [&](auto&& before_read) { return read_message(s, sock, message, before_read); });
        } catch (zk::PyError&) {
            if (message.refused()) {
                if (message.close_code()) fail_connection(s, self, sock, message.close_code());
            } else if (message.started()) {
                zk::setattr(self, n._partial, message.snapshot());
            }
            throw;
        }
        if (!whole) return zk::none();
        bool request = message.request();
        Ref data = message.take(n, self, message.total());
        if (request) {
            ch->message_came();
            return data;
        }
        const auto* b = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(data.get()));
        Py_ssize_t size = PyByteArray_GET_SIZE(data.get());
        // The pieces of a fragmented message, and the control frames that came among them.
        std::string pieces;
        bool control_only = true;
        for (Py_ssize_t at = 0; at < size; at += frame_size(b + at, size - at)) {
            switch (b[at] & 0x0F) {
                case close_frame: {
                    // The answer carries the status code back, as RFC 6455 asks.
                    send_close(s, self, sock, frame_data(b + at, size - at).substr(0, 2));
                    return zk::none();
                }
                case ping_frame:
                    answer(s, self, sock, control_frame(pong_frame, frame_data(b + at, size - at)));
                    break;
                case pong_frame:
                    break;  // unasked for, or the answer to a ping nobody here sent
                default:
                    ch->message_came();
                    if (frame_size(b, size) == size) return data;  // a frame alone, as it came
                    control_only = false;
                    pieces += frame_data(b + at, size - at);
            }
        }
        if (!control_only) return whole_frame(b[0] & 0x0F, pieces);
    }
}

namespace {

// WebSocket mode from now on. `received` is what the owner already read of the stream (the first
// bytes of a browser's request, read to tell it from a zelk client): the next recv reads it first,
// after any bytes the connection kept.
Ref upgrade(Scope s, Handle self, Handle received) {
    const Names& n = s.names();
    ChannelRef ch = channel_of(s.state(), self);
    zk::Holding holding(ch->recv_lock);
    Ref kept = zk::check(PyBytes_FromStringAndSize(ch->kept_data(), ch->kept_size()));
    ch->drop_input();
    if (Ref surplus = zk::pop_attr(self, n._surplus)) kept = zk::add(surplus, kept);
    Ref input = zk::add(kept, received);
    if (zk::truthy(input)) zk::setattr(self, n._surplus, input);
    zk::setattr(self, n._onwebs, Py_True);
    return zk::none();
}

}  // namespace

zk::Def upgrade_def() {
    return zk::declare<upgrade>("upgrade", {zk::arg("self"), zk::arg("received", zk::Check::Bytes) = zk::check(PyBytes_FromStringAndSize(nullptr, 0))})
        .doc("Switch the connection into WebSocket mode.\n"
             "\n"
             "        received: what its owner already read from the socket (the first bytes of a browser's\n"
             "        upgrade request, read to tell it from a zelk client); the next recv reads them first.\n"
             "        ");
}

}  // namespace ring
