// Connection.recv: collects one framed message from the socket and decodes it.
//
// A read may bring bytes beyond the end of the message (the peer wrote several messages at once);
// they are kept on the connection for the next recv, so back-to-back messages all arrive intact.
#include "ring/ring.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

// A large packet is written page by page as it arrives; huge pages spare most of the page faults.
// Only a hint, as numpy gives for its large arrays: a refusal changes nothing. The whole pages
// around the buffer are advised, so that its mapping stays one piece that realloc could move.
void advise_huge_pages([[maybe_unused]] char* data, [[maybe_unused]] Py_ssize_t size) {
#ifdef MADV_HUGEPAGE
    constexpr Py_ssize_t worth_it = Py_ssize_t(1) << 23;
    if (size < worth_it) return;
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + static_cast<std::uintptr_t>(size) + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// The bytes of one message as they arrive: the length field, then the packet in a bytearray.
class Message {
public:
    bool started() const { return header_used_ > 0; }
    bool sized() const { return header_used_ == header_size; }
    bool complete() const { return sized() && got_ == size_; }
    Py_ssize_t missing() const { return size_ - got_; }
    Handle packet() const { return packet_; }

    // Takes what belongs to this message from `data`; returns how many bytes that was.
    Py_ssize_t feed(const char* data, Py_ssize_t n) {
        Py_ssize_t used = 0;
        if (!sized()) {
            used = std::min(n, header_size - header_used_);
            std::memcpy(header_ + header_used_, data, used);
            header_used_ += used;
            if (sized()) start_packet();
        }
        if (sized() && used < n) {
            Py_ssize_t take = std::min(n - used, missing());
            reserve(got_ + take);
            std::memcpy(PyByteArray_AS_STRING(packet_.get()) + got_, data + used, take);
            got_ += take;
            used += take;
        }
        return used;
    }

    // Reads up to `limit` bytes of the packet straight into it; false when the peer has closed.
    bool read_into(const Names& names, Handle recv_into, Py_ssize_t limit) {
        Py_ssize_t want = std::min(missing(), limit);
        reserve(got_ + want);
        Ref view = zk::check(PyMemoryView_FromMemory(PyByteArray_AS_STRING(packet_.get()) + got_, want, PyBUF_WRITE));
        // The view points into a buffer that may move; no one may write through it later.
        Ref count = zk::finally([&] { return zk::call(recv_into, view); },
                                [&] { zk::call_method(view, names.release); });
        Py_ssize_t n = zk::to_ssize(count);
        if (n < 0 || n > want) zk::raise(PyExc_ValueError, "recv_into() returned %zd for a buffer of %zd bytes", n, want);
        got_ += n;
        return n > 0;
    }

private:
    void start_packet() {
        std::uint64_t size;
        std::memcpy(&size, header_, header_size);
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            zk::raise(PyExc_OverflowError, "message length %llu is beyond this machine's reach",
                      static_cast<unsigned long long>(size));
        }
        size_ = static_cast<Py_ssize_t>(size);
        packet_ = zk::check(PyByteArray_FromStringAndSize(nullptr, 0));
    }

    // Room for `needed` bytes. The packet gets its whole announced size at once (memory is only
    // committed as it is written), but a size beyond `first_reserve` only once that much has
    // arrived, so a length field that promises more than the peer sends cannot claim it all.
    // Growing in steps would copy the packet each time.
    void reserve(Py_ssize_t needed) {
        Py_ssize_t have = PyByteArray_GET_SIZE(packet_.get());
        if (needed <= have) return;
        Py_ssize_t grown = have == 0 ? std::min(size_, std::max(needed, first_reserve)) : size_;
        zk::check_status(PyByteArray_Resize(packet_.get(), grown));
        if (grown == size_) advise_huge_pages(PyByteArray_AS_STRING(packet_.get()), grown);
    }

    static constexpr Py_ssize_t first_reserve = Py_ssize_t(1) << 30;

    char header_[header_size];
    Py_ssize_t header_used_ = 0;
    Py_ssize_t size_ = 0;
    Py_ssize_t got_ = 0;
    Ref packet_;
};

// How many times SOCKET_RECV_SIZE one read into a long packet may ask for: fewer calls, same bytes.
// A size so large that the product overflows reads the rest of the message at once.
Py_ssize_t body_read_limit(Py_ssize_t recv_size) {
    constexpr Py_ssize_t body_reads = 16;
    return recv_size > PY_SSIZE_T_MAX / body_reads ? PY_SSIZE_T_MAX : recv_size * body_reads;
}

// Feeds `data` to the message and keeps what is left of it for the next recv.
void feed_keeping_surplus(const Names& n, Message& message, Handle self, Handle data) {
    zk::BufferView view(data);
    Py_ssize_t used = message.feed(view.data(), view.size());
    if (used < view.size()) {
        zk::setattr(self, n._surplus, zk::check(PyBytes_FromStringAndSize(view.data() + used, view.size() - used)));
    }
}

// Reads until the message is complete; false when the peer closed the connection first.
bool read_message(Scope s, Handle self, Handle sock, Message& message, Ref& chunk) {
    const Names& n = s.names();
    if (Ref surplus = zk::pop_attr(self, n._surplus)) feed_keeping_surplus(n, message, self, surplus);
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
        chunk = zk::call_method(sock, n.recv, size);
        if (!zk::truthy(chunk)) return false;
        if (!message.started() && zk::length(chunk) < header_size) {
            zk::call(zk::getattr(s.global(n.struct_), n.unpack), n.length_format, chunk);
        }
        feed_keeping_surplus(n, message, self, chunk);
    }
    return true;
}

Ref recv(Scope s, Handle self) {
    const Names& n = s.names();
    Ref sock = zk::getattr(self, n._socket);
    Message message;
    Ref chunk = zk::none();
    try {
        if (!read_message(s, self, sock, message, chunk)) return zk::none();
        return zk::call_method(self, n.unpack, message.packet());
    } catch (zk::PyError& e) {
        zk::Handling handling(e);  // new errors keep the caught one as their context
        if (e.matches(PyExc_TimeoutError)) {
            zk::raise(zk::call(PyExc_TimeoutError, zk::text("{}({}s, {})", e.value(), zk::getattr(sock, n.timeout),
                                                             zk::call_method(sock, n.getsockname))));
        }
        if (e.matches(zk::getattr(s.global(n.struct_), n.error))) {
            Ref peer = zk::call_method(sock, n.getpeername);
            zk::raise(zk::call(PyExc_BufferError, zk::text("{}[{} from {} with length {}]", e.value(), chunk, peer,
                                                            zk::integer(zk::length(chunk)))));
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
