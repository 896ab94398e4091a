// One framed message as its bytes arrive: the 8-byte length field, then the packet.
#pragma once

#include "ring/ring.hpp"

#include <chrono>

namespace ring {

// The packet is a bytes object written in place before anyone else sees it, so the decoded arrays
// can be views of it: it is never written again once handed on.
class Message {
public:
    explicit Message(Py_ssize_t max_size) noexcept : max_size_(max_size) {}

    using Clock = std::chrono::steady_clock;

    bool started() const noexcept { return header_used_ > 0; }
    // When its first byte was read: when it was fed first, unless the bytes were kept from earlier.
    Clock::time_point began() const noexcept { return began_; }
    void began_at(Clock::time_point when) noexcept {
        if (!started()) began_ = when, began_known_ = true;
    }
    bool sized() const noexcept { return header_used_ == header_size; }
    bool complete() const noexcept { return sized() && got_ == size_; }
    Py_ssize_t missing() const noexcept { return size_ - got_; }
    // The whole packet, once complete.
    zk::Ref packet() const;
    // The part of the length field that has arrived.
    zk::Ref header_bytes() const;

    // Takes what belongs to this message from `data`; returns how many bytes that was. Raises
    // MessageTooLarge for a length field over the limit, before anything is allocated for it.
    Py_ssize_t feed(const State& st, const char* data, Py_ssize_t n);

    // Room for up to `want` more bytes of the packet, read straight into it; `commit` what was read.
    // The room is at most what the packet has before it must grow again (see reserve).
    char* room(Py_ssize_t want, Py_ssize_t& granted);
    void commit(Py_ssize_t n) noexcept { got_ += n; }

private:
    void start_packet(const State& st);
    char* reserve(Py_ssize_t needed);

    static constexpr Py_ssize_t first_reserve = Py_ssize_t(1) << 20;
    // A packet this large is mapped fresh from the kernel each time (the allocator reuses smaller
    // ones), and fresh huge pages may be slow to zero (see reserve): it gets the usual pages.
    static constexpr Py_ssize_t fresh_mapping_from = Py_ssize_t(32) << 20;
    static constexpr Py_ssize_t second_reserve = Py_ssize_t(1) << 30;

    char header_[header_size] = {};
    Py_ssize_t header_used_ = 0;
    Py_ssize_t size_ = 0;
    Py_ssize_t got_ = 0;
    Py_ssize_t max_size_;
    zk::Ref packet_;
    Clock::time_point began_{};
    bool began_known_ = false;
};

}  // namespace ring
