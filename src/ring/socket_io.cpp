// Reading and writing a plain socket on its descriptor, with no more system calls than needed.
//
// On this path a system call costs more than everything else a message needs. So for a plain socket
// (socket.socket itself, not a subclass such as an SSL socket, whose bytes are not the stream's)
// reads and writes go to the descriptor: a read that can wait goes straight to waiting, a write is
// tried at once, and waiting is a poll bounded by the operation's deadline (or, for a socket in
// blocking mode, the blocking call itself, bounded by the kernel's time-out when one is set).
// While a peer's answer is on its way from another processor, a reader first watches its socket
// for a moment without sleeping (see watch_briefly).
#include "ring/channel.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

[[noreturn]] void timed_out() { zk::raise(PyExc_TimeoutError, "timed out"); }

// An interrupted call: the signal's Python handler runs (a KeyboardInterrupt raises here), then the
// call again. No use of the descriptor is held meanwhile: the handler may close the connection.
void after_interruption() {
    if (PyErr_CheckSignals() < 0) zk::throw_error();
}

// Waking a thread that slept on the socket costs more than an answer from another processor takes
// to arrive. So a reader first watches the socket for a moment without sleeping, yielding the
// processor to anyone who needs it meanwhile: true when input (or the peer's close) came.
//
// A peer that is slower than that moment (a client on an event loop, a caller that thinks between
// calls) would only be watched for nothing, and the reader would sleep just before its bytes came:
// after eight misses running, a reader sleeps at once, watching again on every 64th wait in case
// the peer got quicker.
bool watch_briefly(const State& st, Channel& ch, int fd) {
    if (st.watch_ns <= 0) return false;
    constexpr unsigned misses_tolerated = 8, retry_every = 64;
    unsigned misses = ch.watch_misses.load(std::memory_order_relaxed);
    if (misses >= misses_tolerated && misses % retry_every != 0) {
        ch.watch_misses.store(misses + 1, std::memory_order_relaxed);
        return false;
    }
    bool came;
    {
        DescriptorUse use(ch);
        came = zk::detached(st.waking, [&] {
            pollfd watched{fd, POLLIN, 0};
            auto until = Clock::now() + std::chrono::nanoseconds(st.watch_ns);
            for (;;) {
                if (::poll(&watched, 1, 0) != 0) return true;  // ready, or an error the read reports
                if (Clock::now() >= until) return false;
                sched_yield();
            }
        });
    }
    // Past the count's wrap the count starts again from the tolerated misses, not from none.
    ch.watch_misses.store(came ? 0 : std::max(misses + 1, misses_tolerated), std::memory_order_relaxed);
    return came;
}

// Waits until `fd` is ready for `events` or the deadline passes (TimeoutError).
void wait_for(const State& st, Channel& ch, int fd, short events, const Deadline& deadline) {
    if (deadline.never_waits()) raise_errno(EAGAIN);  // BlockingIOError, as a non-blocking socket's own call
    for (;;) {
        pollfd watched{fd, events, 0};
        int timeout = deadline.poll_ms();
        int ready;
        {
            DescriptorUse use(ch);
            ready = zk::detached(st.waking, [&] { return ::poll(&watched, 1, timeout); });
        }
        if (ready > 0) return;
        if (ready == 0) timed_out();
        if (errno != EINTR) raise_errno(errno);
        after_interruption();
    }
}

}  // namespace

int open_descriptor(Handle fileno) {
    long value = PyLong_AsLong(fileno.get());
    if (value == -1 && PyErr_Occurred()) zk::throw_error();
    // A plain socket without a descriptor was closed, on another thread a moment ago: its own methods
    // would only say "Bad file descriptor".
    if (value < 0) raise_closed();
    return static_cast<int>(value);
}

// socket.socket's own fileno is called as the function it is, without looking it up on each call.
int plain_descriptor(const State& st, Handle sock) {
    if (!Py_IS_TYPE(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) return -1;
    return open_descriptor(zk::is_native(st.core, sock, st.names.fileno, st.socket_fileno, st.is_native_fileno)
                               ? zk::call(st.socket_fileno, sock)
                               : zk::call_method(sock, st.names.fileno));
}

Ref socket_timeout(const State& st, Handle sock) {
    if (!PyObject_TypeCheck(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) return zk::none();
    return zk::getattr(sock, st.names.timeout);
}

Py_ssize_t read_plain(const PlainSocket& io, char* into, Py_ssize_t size, bool expect_wait, bool may_block) {
    bool try_now = !expect_wait;
    for (;;) {
        if (try_now) {
            ssize_t n;
            {
                DescriptorUse use(io.channel);
                n = ::recv(io.fd, into, static_cast<std::size_t>(size), MSG_DONTWAIT);
            }
            if (n >= 0) return n;
            if (errno == EINTR) {
                after_interruption();
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) raise_errno(errno);
        }
        try_now = true;
        if (io.deadline.never_waits()) raise_errno(EAGAIN);
        if (watch_briefly(io.state, io.channel, io.fd)) continue;
        if (may_block && io.blocking) {
            // The socket's own blocking read, which the kernel ends after the connection's idle time-out.
            ssize_t n;
            {
                DescriptorUse use(io.channel);
                n = zk::detached(io.state.waking, [&] { return ::recv(io.fd, into, static_cast<std::size_t>(size), 0); });
            }
            if (n >= 0) return n;
            if (errno == EAGAIN || errno == EWOULDBLOCK) timed_out();
            if (errno != EINTR) raise_errno(errno);
            after_interruption();
            try_now = false;
            continue;
        }
        wait_for(io.state, io.channel, io.fd, POLLIN, io.deadline);
    }
}

void write_plain(const PlainSocket& io, iovec* pieces, std::size_t count) {
    constexpr std::size_t most_per_call = 512;  // well below IOV_MAX
    bool waited = false;
    while (count) {
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = std::min(count, most_per_call);
        // Blocking sockets block in the call itself once a wait is needed (bounded by the kernel's
        // time-out when the connection has one): one system call rather than a poll and a write.
        bool block = waited && io.blocking && io.deadline.waits_forever();
        int flags = MSG_NOSIGNAL | (block ? 0 : MSG_DONTWAIT);
        ssize_t sent;
        {
            DescriptorUse use(io.channel);
            sent = block ? zk::detached(io.state.waking, [&] { return ::sendmsg(io.fd, &message, flags); })
                         : ::sendmsg(io.fd, &message, flags);
        }
        if (sent < 0) {
            if (errno == EINTR) {
                after_interruption();
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) raise_errno(errno);
            if (block) timed_out();
            waited = true;
            if (!(io.blocking && io.deadline.waits_forever())) wait_for(io.state, io.channel, io.fd, POLLOUT, io.deadline);
            continue;
        }
        auto left = static_cast<std::size_t>(sent);
        while (count && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            pieces++;
            count--;
        }
        if (count) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
}

void wait_readable(const State& st, Channel& ch, int fd, const Deadline& deadline) {
    wait_for(st, ch, fd, POLLIN, deadline);
}

bool input_waiting(Channel& ch, int fd) {
    pollfd watched{fd, POLLIN, 0};
    for (;;) {
        int ready;
        {
            DescriptorUse use(ch);
            ready = ::poll(&watched, 1, 0);
        }
        if (ready >= 0) return ready > 0;
        if (errno != EINTR) raise_errno(errno);
        after_interruption();
    }
}

void drop_all_waiting(Channel& ch, int fd) {
    char buffer[4096];
    for (;;) {
        ssize_t got;
        {
            DescriptorUse use(ch);
            got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        }
        if (got > 0) continue;
        if (got == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno != EINTR) raise_errno(errno);
        after_interruption();
    }
}

}  // namespace ring
