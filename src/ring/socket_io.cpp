// Reading and writing a plain socket without the cost of waiting when no wait is needed.
//
// On this path a system call costs more than everything else a message needs, and a socket with a
// time-out makes Python's own recv and sendall poll before each call. So for a plain socket
// (socket.socket itself, not a subclass such as an SSL socket, whose bytes are not the stream's) a
// read or write is first tried without waiting, on the descriptor; only when that cannot finish
// does the socket's own method run, with its time-out and its errors. Waiting for input starts
// with a moment of watching the socket without sleeping (see watch_briefly).
#include "ring/ring.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// The descriptor of a plain socket, or -1 for anything else.
int plain_descriptor(const State& st, Handle sock) {
    if (!Py_IS_TYPE(sock.get(), reinterpret_cast<PyTypeObject*>(st.socket_class.get()))) return -1;
    Ref fd = zk::call_method(sock, st.names.fileno);
    long value = PyLong_AsLong(fd.get());
    if (value == -1 && PyErr_Occurred()) zk::throw_error();
    return static_cast<int>(value);
}

// Up to `size` bytes that can be read at once, b"" when the peer has closed, or an empty Ref when
// nothing is waiting (or the socket has something to say that its own recv should raise).
Ref read_now(int fd, Py_ssize_t size) {
    Ref chunk = zk::check(PyBytes_FromStringAndSize(nullptr, size));
    ssize_t n = ::recv(fd, PyBytes_AS_STRING(chunk.get()), static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n < 0) return Ref();
    if (n == size) return chunk;
    PyObject* shrunk = chunk.release();
    if (_PyBytes_Resize(&shrunk, n) < 0) zk::throw_error();
    return Ref::steal(shrunk);
}

// An answer is usually on its way when recv is called, and waking a thread that slept on the
// socket costs more than the answer takes to arrive. So the reader first watches the socket for a
// moment without sleeping, yielding the processor to anyone who needs it meanwhile, and only then
// blocks in the socket's own recv.
void watch_briefly(int fd) {
    constexpr auto budget = std::chrono::microseconds(50);
    pollfd watched{fd, POLLIN, 0};
    Py_BEGIN_ALLOW_THREADS
    auto until = std::chrono::steady_clock::now() + budget;
    while (::poll(&watched, 1, 0) == 0 && std::chrono::steady_clock::now() < until) sched_yield();
    Py_END_ALLOW_THREADS
}

bool non_blocking(const Names& n, Handle sock) {
    Ref timeout = zk::getattr_optional(sock, n.timeout);
    return timeout && PyFloat_Check(timeout.get()) && PyFloat_AS_DOUBLE(timeout.get()) == 0.0;
}

}  // namespace

Ref receive_chunk(const State& st, Handle sock, Handle size, bool expect_wait) {
    const Names& n = st.names;
    if (expect_wait) {
        int fd = plain_descriptor(st, sock);
        if (fd >= 0) {
            if (Ref chunk = read_now(fd, zk::to_ssize(size))) return chunk;
            if (!non_blocking(n, sock)) watch_briefly(fd);  // a non-blocking socket's recv is not to wait
        }
    }
    return zk::call_method(sock, n.recv, size);
}

void send_whole(const State& st, Handle sock, Handle message) {
    const Names& n = st.names;
    int fd = plain_descriptor(st, sock);
    if (fd < 0) {
        zk::call_method(sock, n.sendall, message);
        return;
    }
    zk::BufferView view(message);
    ssize_t sent = ::send(fd, view.data(), static_cast<std::size_t>(view.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent == view.size()) return;
    // The rest (or all of it, after an error the socket's own sendall will raise again) the usual way.
    Py_ssize_t from = sent > 0 ? sent : 0;
    Ref rest = zk::check(PyMemoryView_FromMemory(const_cast<char*>(view.data()) + from, view.size() - from, PyBUF_READ));
    zk::finally([&] { zk::call_method(sock, n.sendall, rest); }, [&] { zk::call_method(rest, n.release); });
}

}  // namespace ring
