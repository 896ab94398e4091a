// Connection: sends, flushes, clears and closes one socket's stream of framed messages.
// The reader, recv, has a file of its own.
//
// Threads may share a connection: one lock per direction lets one whole message out and one in at
// a time. Neither is held while a value is packed or unpacked, which may run any Python code.
#include "ring/channel.hpp"
#include "ring/ring_api.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cmath>
#include <thread>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// The kernel ends a blocking socket's reads and writes after `seconds` (never, when negative), so
// that a thread waits no longer than the connection's time-out inside a single call.
void set_kernel_timeouts(int fd, double seconds) {
    timeval span{};
    if (seconds >= 0) {
        span.tv_sec = static_cast<time_t>(seconds);
        span.tv_usec = static_cast<suseconds_t>((seconds - std::floor(seconds)) * 1e6);
        if (span.tv_sec == 0 && span.tv_usec == 0) span.tv_usec = 1;
    }
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        if (setsockopt(fd, SOL_SOCKET, option, &span, sizeof span) < 0) raise_errno(errno);
    }
}

double positive_seconds(Handle value, const char* name) {
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    if (!(seconds > 0)) zk::raise(PyExc_ValueError, "%s must be a positive number of seconds or None", name);
    return seconds;
}

// An allow-list as a connection keeps it: an AllowedClasses, made from an iterable of classes when need be.
Ref allow_list(const State& st, Handle allowed_classes) {
    if (allowed_classes.get() == Py_None) return Ref();
    if (zk::isinstance(allowed_classes, st.allowed_classes_class)) return Ref::borrow(allowed_classes);
    return zk::call(st.allowed_classes_class, allowed_classes);
}

Ref init(Scope s, Handle self, Handle socket, Handle max_message_size, Handle idle_timeout, Handle first_message_timeout,
         Handle allowed_classes) {
    const State& st = s.state();
    const Names& n = st.names;
    Py_ssize_t limit = checked_message_size(max_message_size);
    double idle = idle_timeout.get() == Py_None ? -1 : positive_seconds(idle_timeout, "idle_timeout");
    double first = first_message_timeout.get() == Py_None ? -1 : positive_seconds(first_message_timeout, "first_message_timeout");
    Ref allowed = allow_list(st, allowed_classes);
    zk::call_method(s.super(self), n.__init__);
    zk::setattr(self, n._socket, socket);
    Ref capsule = make_channel(limit);
    zk::setattr(self, n._channel, capsule);
    bool over_tls = is_tls_socket(n, socket);  // settled once: see tls.cpp
    channel_of(st, self)->tls = over_tls;
    if (first > 0) channel_of(st, self)->first_message = Deadline::after(first);
    channel_of(st, self)->allowed_classes = std::move(allowed);
    zk::setattr(self, n._tls, zk::boolean(over_tls));
    if (idle > 0) {
        channel_of(st, self)->idle_timeout = idle;
        if (int fd = plain_descriptor(st, socket); fd >= 0) {
            Ref timeout = zk::getattr(socket, n.timeout);
            if (timeout.get() == Py_None) set_kernel_timeouts(fd, idle);
        }
    }
    return zk::none();
}

Ref allowed_classes(Scope s, Handle self) {
    ChannelRef ch = channel_of(s.state(), self);
    return ch->allowed_classes ? ch->allowed_classes.copy() : zk::none();
}

Ref max_message_size(Scope s, Handle self) { return zk::integer(channel_of(s.state(), self)->max_message_size); }

Ref idle_timeout(Scope s, Handle self) {
    double idle = channel_of(s.state(), self)->idle_timeout.load(std::memory_order_relaxed);
    return idle < 0 ? zk::none() : zk::floating(idle);
}

Ref timeout(Scope s, Handle self) {
    const State& st = s.state();
    return timeout_of(st, *channel_of(st, self), zk::getattr(self, st.names._socket));
}

// A plain socket keeps a positive time-out in the kernel and stays in blocking mode, the connection
// bounding each whole message by it: a reader then sleeps in the read itself rather than in a poll
// before it, one system call rather than two. Any other socket, and any other value (None
// waits for ever, 0 never waits), goes to the socket as it is.
Ref settimeout(Scope s, Handle self, Handle value) {
    const State& st = s.state();
    const Names& n = st.names;
    ChannelRef ch = channel_of(st, self);
    refuse_if_closing(*ch);
    Ref sock = zk::getattr(self, n._socket);
    int fd = ch->tls ? -1 : plain_descriptor(st, sock);
    double seconds = -1;
    if (fd >= 0 && value.get() != Py_None) {
        seconds = PyFloat_AsDouble(value);
        if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    }
    bool in_kernel = seconds > 0 && std::isfinite(seconds);
    if (!in_kernel) seconds = -1;
    Handle own = in_kernel ? Handle(Py_None) : value;
    if (fd < 0) {
        zk::call_method(sock, n.settimeout, own);
        return zk::none();
    }
    // The descriptor stays this socket's until both time-outs are set (a plain socket's own
    // settimeout runs no Python code).
    DescriptorUse use(*ch);
    zk::call_method(sock, n.settimeout, own);
    ch->idle_timeout.store(seconds, std::memory_order_relaxed);
    set_kernel_timeouts(fd, seconds);
    return zk::none();
}

}  // namespace

void send_failure(const State& st, const Channel& ch, const zk::PyError& e, Handle sock) {
    if (!e.matches(PyExc_TimeoutError)) throw e;
    zk::Handling handling(e);  // the new error keeps the time-out as its context
    zk::raise(zk::call(PyExc_TimeoutError, zk::text("Send Timeout({}s, {})", timeout_of(st, ch, sock),
                                                     zk::call_method(sock, st.names.getsockname))));
}

void send_binary(const State& st, Channel& ch, Handle sock, Handle value) {
    refuse_if_closing(ch);
    try {
        Packet packet(st, value);
        zk::Holding holding(ch.send_lock);
        write_framed(st, ch, sock, packet);
    } catch (zk::PyError& e) {
        send_failure(st, ch, e, sock);
    }
}

namespace {

// Bytes the owner read from the socket itself, handed back: the next recv reads them first.
Ref unread(Scope s, Handle self, Handle received) {
    ChannelRef ch = channel_of(s.state(), self);
    zk::BufferView view(received);
    zk::Holding holding(ch->recv_lock);
    std::string input(view.data(), static_cast<std::size_t>(view.size()));
    input.append(ch->kept_data(), static_cast<std::size_t>(ch->kept_size()));
    ch->kept = std::move(input);
    ch->kept_from = 0;
    ch->clean = false;
    return zk::none();
}

// Input the reader kept, beyond its last message or of one it stopped in, is stale too.
void drop_kept_input(const Names& n, Handle self, Channel& ch) {
    ch.drop_input();
    zk::pop_attr(self, n._surplus);
    zk::pop_attr(self, n._partial);
}

// Reads and drops whatever can be read without waiting; the socket ends up blocking, without
// time-out. A plain socket is read on its descriptor, each read a use of it, so that a close on
// another thread cannot close the descriptor, and another socket take its number, under a read.
Ref clear(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    ChannelRef ch = channel_of(st, self);
    refuse_if_closing(*ch);
    zk::Holding holding(ch->recv_lock);
    drop_kept_input(n, self, *ch);
    ch->clean = false;
    Ref sock = zk::getattr(self, n._socket);
    if (int fd = ch->tls ? -1 : plain_descriptor(st, sock); fd >= 0) {
        zk::finally([&] { drop_all_waiting(*ch, fd); },
                    [&] {
                        DescriptorUse use(*ch);
                        zk::call_method(sock, n.setblocking, Py_True);
                    });
        return zk::none();
    }
    zk::call_method(sock, n.setblocking, Py_False);
    Ref size = zk::integer(4096);
    zk::finally(
        [&] {
            try {
                while (zk::truthy(zk::call_method(sock, n.recv, size))) {
                }
            } catch (zk::PyError& e) {
                if (!would_block(n, e)) throw;
            }
        },
        [&] { zk::call_method(sock, n.setblocking, Py_True); });
    return zk::none();
}

// The next input that can be read at once, dropped; false when there was none. A peer that has closed
// gets the "heartbeat" probe instead, until the system reports the broken connection as
// BrokenPipeError or ConnectionResetError.
bool drop_waiting_input(const State& st, Channel& ch, Handle sock, int plain_fd, Handle read_size) {
    const Names& n = st.names;
    bool ended;
    if (plain_fd >= 0) {
        char buffer[4096];
        ssize_t got;
        {
            DescriptorUse use(ch);
            got = ::recv(plain_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return errno == EINTR;
            raise_errno(errno);
        }
        ended = got == 0;
    } else {
        ended = !zk::truthy(zk::call_method(sock, n.recv, read_size));
    }
    if (ended) {
        zk::Holding holding(ch.send_lock);
        write_bytes(st, ch, sock, st.heartbeat);
    }
    return true;
}

}  // namespace

void drop_stale_input(const State& st, Channel& ch, Handle sock, int plain_fd, Handle read_size) {
    bool quiet = ch.quiet();
    ch.drop_input();
    if (quiet) return;
    ch.clean = false;
    int fd = plain_fd >= 0 ? plain_fd : static_cast<int>(zk::to_ssize(zk::call_method(sock, st.names.fileno)));
    while (input_waiting(ch, fd)) {
        if (!drop_waiting_input(st, ch, sock, plain_fd, read_size)) break;
    }
    ch.clean = true;
    ch.last_read = Clock::now();
}

namespace {

// Drops everything that is waiting. A connection whose last message was read whole a moment ago holds
// nothing stale, so the kernel is not asked.
Ref flush(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    ChannelRef ch = channel_of(st, self);
    refuse_if_closing(*ch);
    zk::Holding holding(ch->recv_lock);
    drop_kept_input(n, self, *ch);
    Ref sock = zk::getattr(self, n._socket);
    if (ch->tls) {
        ch->clean = false;
        flush_tls(s, *ch, sock);
        return zk::none();
    }
    int plain_fd = plain_descriptor(st, sock);
    drop_stale_input(st, *ch, sock, plain_fd, plain_fd >= 0 ? Ref() : s.global(n.SOCKET_RECV_SIZE));
    return zk::none();
}

// Writes one message under the send lock, packed before the lock is taken. With ByteStream's own
// pack in binary mode, the message goes out in pieces, large buffers in place, instead of being
// joined first.
void write_message(Scope s, Handle self, Handle sock, Handle request) {
    const State& st = s.state();
    const Names& n = st.names;
    ChannelRef ch = channel_of(st, self);
    if (!zk::is_native(st.core, self, n.pack, st.stream_pack, st.is_native_pack) || websocket_mode(n, self)) {
        Ref message = zk::call_method(self, n.pack, request);
        zk::Holding holding(ch->send_lock);
        write_bytes(st, *ch, sock, message);
        return;
    }
    Packet packet(st, request);
    zk::Holding holding(ch->send_lock);
    if (ch->tls) {
        write_framed_tls(st, *ch, sock, packet);
    } else {
        write_framed(st, *ch, sock, packet);
    }
}

Ref send(Scope s, Handle self, Handle request) {
    refuse_if_closing(*channel_of(s.state(), self));
    Ref sock = zk::getattr(self, s.names()._socket);
    try {
        write_message(s, self, sock, request);
    } catch (zk::PyError& e) {
        send_failure(s.state(), *channel_of(s.state(), self), e, sock);
    }
    return zk::none();
}

// The shutdown wakes any thread waiting on the socket; the descriptor is closed once no read or
// write is using it. A shutdown that fails (the peer reset the connection, or it was closed before)
// still lets the descriptor go and marks the connection closed; its error then reaches the caller.
// Only the first close touches the socket: a second, at once on another thread or later, raises as
// closing a closed socket does, since the descriptor's number may already be another socket's.
Ref close(Scope s, Handle self) {
    const Names& n = s.names();
    ChannelRef ch = channel_of(s.state(), self);
    Ref sock = zk::getattr(self, n._socket);
    if (ch->closing.exchange(true)) raise_errno(EBADF);
    zk::finally([&] { zk::call_method(sock, n.shutdown, zk::integer(2)); },
                [&] {
                    while (ch->users.load() > 0) {
                        zk::detached([] { std::this_thread::sleep_for(std::chrono::microseconds(50)); });
                    }
                    zk::call_method(sock, n.close);
                    zk::setattr(self, n._closed, Py_True);
                });
    return zk::none();
}

// For zelk.aio, whose client takes the limit as the blocking client does.
Ref message_size(Scope, Handle max_message_size) { return zk::integer(checked_message_size(max_message_size)); }

Ref ssl_context_check(Scope s, Handle ssl_context) {
    check_ssl_context(s.names(), ssl_context);
    return zk::none();
}

}  // namespace

void define_connection(zk::Module& m, State& st, Handle byte_stream) {
    using zk::arg;
    using zk::kwonly;
    st.connection_class = m.add_class("Connection", {byte_stream}, nullptr,
                {
                    zk::method(zk::declare<init>("__init__", {arg("self"), arg("socket").annotate("socket"),
                                                              kwonly("max_message_size", zk::Check::Int) = zk::integer(max_message_default),
                                                              kwonly("idle_timeout").annotate("float | None") = zk::none(),
                                                              kwonly("first_message_timeout").annotate("float | None") = zk::none(),
                                                              kwonly("allowed_classes").annotate("AllowedClasses | Iterable[type | str] | None") = zk::none()})),
                    zk::property(zk::declare<max_message_size>("max_message_size", {arg("self")})),
                    zk::property(zk::declare<idle_timeout>("idle_timeout", {arg("self")})),
                    zk::property(zk::declare<allowed_classes>("allowed_classes", {arg("self")})
                                     .doc("What the peer's pickles may rebuild (an AllowedClasses), or None for anything.")),
                    zk::property(zk::declare<timeout>("timeout", {arg("self")})
                                     .doc("Seconds each whole message in or out may take: the socket's time-out, else idle_timeout; None for ever.")),
                    zk::method(zk::declare<settimeout>("settimeout", {arg("self"), arg("value").annotate("float | None")})
                                   .doc("Set the time-out of each whole message in or out, as socket.settimeout does for one call.")),
                    zk::method(zk::declare<clear>("clear", {arg("self")})),
                    zk::method(zk::declare<flush>("flush", {arg("self")})),
                    zk::method(zk::declare<send>("send", {arg("self"), arg("request").annotate("Any")})),
                    zk::method(recv_def()),
                    zk::method(peek_def()),
                    zk::method(upgrade_def()),
                    zk::method(zk::declare<unread>("unread", {arg("self"), arg("received", zk::Check::Bytes)})
                                   .doc("Hand back bytes read from the socket by the connection's owner: the next recv reads them first.")),
                    zk::method(zk::declare<close>("close", {arg("self")})),
                });
    m.def(zk::declare<message_size>("_checked_message_size", {arg("max_message_size", zk::Check::Int)})
              .returns("int")
              .doc("max_message_size as a connection takes it: ValueError when it is negative."));
    m.def(zk::declare<ssl_context_check>("_check_ssl_context", {arg("ssl_context")})
              .returns("None")
              .doc("TypeError unless ssl_context is an ssl.SSLContext or None, as serve and connect take it."));
    Ref dict = zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(st.connection_class.get())));
    st.connection_send = zk::getitem(dict, st.names.send);
    st.connection_recv = zk::getitem(dict, st.names.recv);
    st.connection_flush = zk::getitem(dict, st.names.flush);
}

}  // namespace ring
