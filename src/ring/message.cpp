// Message: collects the length field and the packet of one framed message.
#include "ring/message.hpp"
#include "ring/ring_api.hpp"

#include "core/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ring {

using zk::Handle;
using zk::Ref;

Ref Message::packet() const { return packet_ ? packet_.copy() : zk::check(PyBytes_FromStringAndSize(nullptr, 0)); }

Ref Message::header_bytes() const { return zk::check(PyBytes_FromStringAndSize(header_, header_used_)); }

Py_ssize_t Message::feed(const State& st, const char* data, Py_ssize_t n) {
    Py_ssize_t used = 0;
    if (!started() && n > 0 && !began_known_) began_ = Clock::now(), began_known_ = true;
    if (!sized()) {
        used = std::min(n, header_size - header_used_);
        std::memcpy(header_ + header_used_, data, used);
        header_used_ += used;
        if (sized()) start_packet(st);
    }
    if (sized() && used < n && !complete()) {
        Py_ssize_t take = std::min(n - used, missing());
        std::memcpy(reserve(got_ + take) + got_, data + used, take);
        got_ += take;
        used += take;
    }
    return used;
}

char* Message::room(Py_ssize_t want, Py_ssize_t& granted) {
    want = std::min(want, missing());
    // A read fills the room the packet has before asking for more: see reserve.
    if (Py_ssize_t room = packet_ ? PyBytes_GET_SIZE(packet_.get()) - got_ : 0; room > 0) want = std::min(want, room);
    granted = want;
    return reserve(got_ + want) + got_;
}

void Message::start_packet(const State& st) {
    if (begins_tls_alert(header_, header_size)) zk::raise(tls_alert_error());
    size_ = announced_length(st, header_, max_size_);
}

Py_ssize_t announced_length(const State& st, const char* header, Py_ssize_t limit) {
    // A server with a key speaks first, with its challenge: a client without one reads it here.
    if (std::memcmp(header, challenge_mark, header_size) == 0) {
        zk::raise(zk::call(st.authentication_error, zk::str("the server requires a key")));
    }
    std::uint64_t size = length_field(header);
    if (size > static_cast<std::uint64_t>(limit)) {
        Ref announced = zk::check(PyLong_FromUnsignedLongLong(size));
        zk::raise(zk::call(st.message_too_large,
                           zk::text("a message of {} bytes is over max_message_size ({})", announced, zk::integer(limit))));
    }
    return static_cast<Py_ssize_t>(size);
}

namespace {

Ref packet_length(Scope s, Handle buffer, Handle start, Handle limit) {
    zk::BufferView view(buffer);
    Py_ssize_t at = zk::to_ssize(start), most = checked_message_size(limit);
    if (at < 0 || at > view.size() - header_size) zk::raise(PyExc_ValueError, "no length field at %zd", at);
    return zk::integer(announced_length(s.state(), view.data() + at, most));
}

}  // namespace

zk::Def packet_length_def() {
    using zk::arg;
    return zk::declare<packet_length>("_packet_length", {arg("buffer").annotate("Buffer"), arg("start", zk::Check::Int),
                                                         arg("limit", zk::Check::Int)})
        .returns("int")
        .doc("The packet length announced by the length field at `start` of `buffer`, for a reader of its own:\n"
             "    MessageTooLarge over `limit`, AuthenticationError for a key challenge, which is no message.");
}

// Room for `needed` bytes; returns where the packet starts. A length field may promise far more than
// the peer sends, so the packet is first given at most `first_reserve` (whatever arrives beyond it),
// then, once that much has come, its size up to `second_reserve`, then all of it (memory is only
// committed as it is written). The first step costs a lying peer little and copies at most that much
// when the packet grows; more steps would copy the packet each time. A whole packet under
// fresh_mapping_from asks for huge pages, which spares the page faults of memory the allocator
// reuses; a larger one takes the usual pages, since huge pages never touched before were at times
// four times slower to fill than small ones (see ARCHITECTURE.md, Large messages).
char* Message::reserve(Py_ssize_t needed) {
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
        if (PyBytes_GET_SIZE(packet_.get()) == size_ && size_ < fresh_mapping_from) {
            zk::advise_huge_pages(PyBytes_AS_STRING(packet_.get()), size_);
        }
    }
    return PyBytes_AS_STRING(packet_.get());
}

}  // namespace ring

namespace ring {

void define_message_too_large(zk::Module& m, State& st) {
    st.message_too_large = m.add_class("MessageTooLarge", {PyExc_ValueError},
                                       "A length field announced a message over the connection's max_message_size.", {});
}

}  // namespace ring
