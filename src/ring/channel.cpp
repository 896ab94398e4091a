// Channel: a connection's native state, kept in a capsule on the connection.
#include "ring/channel.hpp"

#include "ring/message.hpp"

#include <cerrno>
#include <cmath>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

constexpr const char* channel_name = "zelk.ring.channel";

}  // namespace

Deadline Deadline::after(double seconds) {
    if (!(seconds > 0)) return now();
    // Beyond a century is for ever, and the clock's arithmetic stays in range.
    if (!std::isfinite(seconds) || seconds > 3e9) return never();
    auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return Deadline(Kind::at, Clock::now() + span);
}

Deadline Deadline::of_timeout(Handle timeout) {
    if (timeout.get() == Py_None) return never();
    double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    return seconds == 0.0 ? now() : after(seconds);
}

Deadline Deadline::sooner(const Deadline& a, const Deadline& b) noexcept {
    if (a.kind_ == Kind::never) return b;
    if (b.kind_ == Kind::never || a.kind_ == Kind::now) return a;
    if (b.kind_ == Kind::now) return b;
    return a.when_ <= b.when_ ? a : b;
}

int Deadline::poll_ms() const noexcept {
    if (kind_ == Kind::never) return -1;
    if (kind_ == Kind::now) return 0;
    auto left = when_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

double Deadline::seconds_left() const noexcept {
    if (kind_ != Kind::at) return kind_ == Kind::now ? 0.0 : HUGE_VAL;
    double left = std::chrono::duration<double>(when_ - Clock::now()).count();
    return left > 0 ? left : 0.0;
}

Channel::Channel(Py_ssize_t limit) : max_message_size(limit) {}

Channel::~Channel() = default;

Deadline Channel::deadline(Handle timeout) const {
    Deadline own = Deadline::of_timeout(timeout);
    double idle = idle_timeout.load(std::memory_order_relaxed);
    return idle < 0 ? own : Deadline::sooner(own, Deadline::after(idle));
}

Ref timeout_of(const State& st, const Channel& ch, Handle sock) {
    Ref own = zk::getattr(sock, st.names.timeout);
    double idle = ch.idle_timeout.load(std::memory_order_relaxed);
    return own.get() != Py_None || idle < 0 ? std::move(own) : zk::floating(idle);
}

void Channel::drop_kept(std::size_t n) noexcept {
    kept_from += n;
    if (kept_from >= kept.size()) {
        kept.clear();
        kept_from = 0;
    }
}

void Channel::keep(const char* data, Py_ssize_t n) {
    if (kept_from == kept.size()) {
        kept.clear();
        kept_from = 0;
        kept_at = Clock::now();
    }
    kept.append(data, static_cast<std::size_t>(n));
}

void Channel::drop_input() noexcept {
    kept.clear();
    kept_from = 0;
    partial.reset();
}

ChannelRef channel_of(const State& st, Handle connection) { return channel_in(zk::getattr(connection, st.names._channel)); }

ChannelRef channel_in(Ref capsule) { return zk::unbox<Channel>(std::move(capsule), channel_name); }

Ref decode_allowing(const State& st, const Channel& ch, Handle unpack, Handle packet) {
    if (!ch.allowed_classes) return zk::call(unpack, packet);
    return zk::check(st.codec->call_allowing(st.codec, ch.allowed_classes.get(), unpack, packet));
}

Ref make_channel(Py_ssize_t max_message_size) { return zk::box(std::make_unique<Channel>(max_message_size), channel_name); }

DescriptorUse::DescriptorUse(Channel& ch) : ch_(ch) {
    ch_.users.fetch_add(1);
    if (ch_.closing.load()) {
        ch_.users.fetch_sub(1);
        raise_closed();
    }
}

void raise_closed() {
    zk::raise(zk::call(PyExc_OSError, zk::integer(ECONNABORTED), zk::str("the connection was closed")));
}

void refuse_if_closing(const Channel& ch) {
    if (ch.closing.load()) raise_closed();
}

void raise_errno(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    zk::throw_error();
}

}  // namespace ring
