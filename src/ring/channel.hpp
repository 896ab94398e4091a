// A connection's native side: the locks of its two directions, the input it kept between messages,
// its limits, and the count of operations on its descriptor, so that closing never overlaps them.
#pragma once

#include "ring/ring.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <sys/uio.h>

namespace ring {

using Clock = std::chrono::steady_clock;

// When a read or write that must wait gives up: never, at once (a non-blocking socket), or at a time.
class Deadline {
public:
    static Deadline never() { return Deadline(Kind::never, {}); }
    static Deadline now() { return Deadline(Kind::now, {}); }
    static Deadline after(double seconds);
    // From a socket's `timeout`: None waits for ever, 0 never waits, anything else is seconds.
    static Deadline of_timeout(zk::Handle timeout);
    // Whichever of the two comes first.
    static Deadline sooner(const Deadline& a, const Deadline& b) noexcept;

    bool waits_forever() const noexcept { return kind_ == Kind::never; }
    bool never_waits() const noexcept { return kind_ == Kind::now; }
    // Milliseconds left, rounded up, for poll: -1 for ever, 0 when passed.
    int poll_ms() const noexcept;
    // Seconds left, for a socket's settimeout; 0 when passed.
    double seconds_left() const noexcept;

private:
    enum class Kind { never, now, at };
    Deadline(Kind kind, Clock::time_point when) : kind_(kind), when_(when) {}
    Kind kind_;
    Clock::time_point when_;
};

class Message;

struct Channel {
    PyMutex recv_lock{};  // one message in at a time
    PyMutex send_lock{};  // one message out at a time
    // Operations using the descriptor right now, and whether a close has begun: a close waits until
    // none is left, so the descriptor's number cannot be reused under one of them.
    std::atomic<int> users{0};
    std::atomic<bool> closing{false};

    // Guarded by recv_lock: bytes beyond the last message, and a message a read stopped in.
    std::string kept;
    std::size_t kept_from = 0;
    Clock::time_point kept_at{};  // when the oldest kept bytes were read
    // When the first byte of the last message recv returned was read: a call's deadline counts from it.
    Clock::time_point message_began = Clock::now();
    std::unique_ptr<Message> partial;
    // The last message was read whole and nothing was left over: no stale input can be waiting
    // unless the peer wrote unasked, so a flush soon after need not ask the kernel.
    bool clean = false;
    Clock::time_point last_read = Clock::now();
    // A length field over max_message_size put the stream out of step for good.
    bool out_of_step = false;
    // How many times running the peer's bytes did not come while a reader watched (see watch_briefly).
    std::atomic<unsigned> watch_misses{0};

    Py_ssize_t max_message_size;
    // Seconds a whole message in or out may take, beyond the socket's own time-out; negative: no limit.
    std::atomic<double> idle_timeout{-1};
    bool tls = false;  // the socket is an SSL socket: it goes through tls.cpp's ways
    // Guarded by recv_lock: when the first message must have come whole (a new connection of a
    // server, which a peer that connects and says nothing must not hold for the whole idle time);
    // never, once it has.
    Deadline first_message = Deadline::never();
    // What the peer's pickles may rebuild (an AllowedClasses), set before the connection is shared;
    // empty: anything.
    zk::Ref allowed_classes;

    explicit Channel(Py_ssize_t limit);
    // The deadline of a read or write starting now on a socket whose own time-out is `timeout`.
    Deadline deadline(zk::Handle timeout) const;
    // The deadline of a read of the next message starting now; the caller holds recv_lock.
    Deadline read_deadline(zk::Handle timeout) const { return Deadline::sooner(deadline(timeout), first_message); }
    // A whole message came: from now on the idle time-out alone bounds the next. Under recv_lock.
    void message_came() noexcept { first_message = Deadline::never(); }
    ~Channel();

    Py_ssize_t kept_size() const noexcept { return static_cast<Py_ssize_t>(kept.size() - kept_from); }
    const char* kept_data() const noexcept { return kept.data() + kept_from; }
    void drop_kept(std::size_t n) noexcept;
    void keep(const char* data, Py_ssize_t n);
    // Forgets kept input and any message a read stopped in.
    void drop_input() noexcept;
    // Under recv_lock: the last message was read whole a moment ago, with nothing beyond it, so no
    // stale input can be waiting unless the peer wrote unasked, and a flush need not ask the kernel.
    // A peer that closed in so short a time is found by the read of the answer instead. An SSL
    // socket may hold decrypted input beyond the last message: it is never quiet.
    bool quiet() const noexcept { return clean && !tls && Clock::now() - last_read < quiet_for; }

    static constexpr auto quiet_for = std::chrono::milliseconds(1);
};

// The channel of a Connection, made by its __init__.
using ChannelRef = zk::Boxed<Channel>;
ChannelRef channel_of(const State& st, zk::Handle connection);
// The channel a connection's `_channel` capsule holds.
ChannelRef channel_in(zk::Ref capsule);
zk::Ref make_channel(Py_ssize_t max_message_size);

// One system call on the channel's descriptor, counted while it runs, so that a close waits for it
// and the descriptor's number cannot be reused under it. Refused once a close has begun. A use is
// never held while Python code runs (a signal handler may close the connection, and would wait for it).
class DescriptorUse {
public:
    explicit DescriptorUse(Channel& ch);
    ~DescriptorUse() { ch_.users.fetch_sub(1); }
    DescriptorUse(const DescriptorUse&) = delete;
    DescriptorUse& operator=(const DescriptorUse&) = delete;

private:
    Channel& ch_;
};

// What an operation on a connection raises once its close has begun: ConnectionAbortedError, a
// connection lost to whoever was using it.
[[noreturn]] void raise_closed();
// Refuses an operation on a connection whose close has begun, as DescriptorUse does for a single call.
void refuse_if_closing(const Channel& ch);

// Raises the OSError (subclass) the interpreter raises for `error`, an errno value.
[[noreturn]] void raise_errno(int error);

// One read or write on a plain socket's descriptor.
struct PlainSocket {
    const State& state;
    Channel& channel;
    int fd;
    bool blocking;      // the socket has no time-out of its own: its calls may block
    Deadline deadline;  // of the whole operation
};

// The descriptor of a plain socket (socket.socket itself), or -1 for anything else; a plain socket
// that was closed raises as a closed connection does.
int plain_descriptor(const State& st, zk::Handle sock);
// What a plain socket's fileno() returned, as a descriptor; a closed socket's -1 raises as above.
int open_descriptor(zk::Handle fileno);

// The time-out of a socket of the socket module; None for anything else, which keeps its own ways.
zk::Ref socket_timeout(const State& st, zk::Handle sock);

// Reads up to `size` bytes: how many, 0 when the peer has closed. `expect_wait`: the bytes are
// likely still on their way, so no read is tried before waiting; `may_block`: a blocking socket
// may wait in the read itself (the first read of a message, bounded by the kernel's time-out).
Py_ssize_t read_plain(const PlainSocket& io, char* into, Py_ssize_t size, bool expect_wait, bool may_block);

// Writes all of `pieces` (which it advances).
void write_plain(const PlainSocket& io, iovec* pieces, std::size_t count);

// Whether input is waiting, or the peer has closed, without waiting.
bool input_waiting(Channel& ch, int fd);

// Waits until `fd` has input (or its end) or `deadline` passes (TimeoutError).
void wait_readable(const State& st, Channel& ch, int fd, const Deadline& deadline);

// Runs body(before_call) with `sock`, a socket that is not plain (an SSL socket), kept to
// `deadline`: before_call() gives it what is left as its time-out, before each of its reads or
// writes; its own time-out comes back after.
template <class Body>
auto keeping_to(const Names& n, zk::Handle sock, const Deadline& deadline, Body&& body) {
    auto untimed = [] {};
    if (deadline.waits_forever() || deadline.never_waits()) return body(untimed);
    zk::Ref own = zk::getattr(sock, n.timeout);
    auto before_call = [&] {
        double left = deadline.seconds_left();
        if (left <= 0) zk::raise(PyExc_TimeoutError, "timed out");
        zk::call_method(sock, n.settimeout, zk::floating(left));
    };
    return zk::finally([&] { return body(before_call); }, [&] { zk::call_method(sock, n.settimeout, own); });
}

// Runs body(before_read) with every read of `sock` through its own methods kept to `deadline`: a
// plain socket is waited on for what is left before each read, a socket of the socket module that is
// not plain (an SSL socket) is kept to it as keeping_to does, and anything else reads as it is.
template <class Body>
auto reading_within(const State& st, Channel& ch, zk::Handle sock, const Deadline& deadline, Body&& body) {
    auto untimed = [] {};
    if (deadline.waits_forever() || deadline.never_waits()) return body(untimed);
    if (int fd = plain_descriptor(st, sock); fd >= 0) {
        return body([&] { wait_readable(st, ch, fd, deadline); });
    }
    if (PyObject_TypeCheck(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) {
        return keeping_to(st.names, sock, deadline, body);
    }
    return body(untimed);
}
// The value of a packet, decoded with the channel's allow-list in force when it has one:
// unpack(packet), BytePacker.unpack or the connection's own.
zk::Ref decode_allowing(const State& st, const Channel& ch, zk::Handle unpack, zk::Handle packet);
// Reads and drops what the descriptor holds, without waiting; stops at the peer's close.
void drop_all_waiting(Channel& ch, int fd);

// Connection.recv of a plain socket (descriptor `fd`) in binary mode with the class's own unpack:
// the next message's value, or None when the peer closed the connection.
zk::Ref receive_binary(const State& st, Channel& ch, zk::Handle sock, int fd);
// Connection.flush's work under the receive lock: drops the kept input and what the socket holds,
// unless the connection is known to hold nothing stale. `read_size` for a socket that is not plain.
void drop_stale_input(const State& st, Channel& ch, zk::Handle sock, int plain_fd, zk::Handle read_size);
// Connection.send of a socket that is not an SSL one, in binary mode with the class's own pack; the
// descriptor is read once the value is packed, which may have run any code.
void send_binary(const State& st, Channel& ch, zk::Handle sock, zk::Handle value);
// Writes `packet` behind its length field to a plain socket's descriptor; the caller holds the send lock.
void write_framed_plain(const State& st, Channel& ch, zk::Handle sock, int fd, const Packet& packet);
// The time-out that each whole message in or out keeps to: the socket's own, else the channel's, else None.
zk::Ref timeout_of(const State& st, const Channel& ch, zk::Handle sock);
// What send makes of `e`, raised while it wrote to `sock`: a time-out says so, the rest as they are.
[[noreturn]] void send_failure(const State& st, const Channel& ch, const zk::PyError& e, zk::Handle sock);
// What recv makes of `e`, raised while it read from `sock`: its own errors, or None.
zk::Ref recv_failure(const State& st, const Channel& ch, const zk::PyError& e, zk::Handle sock, zk::Handle short_header);

}  // namespace ring
