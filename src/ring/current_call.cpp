// _calls: the call each handler thread serves, and the look at its connection that finds the
// control records (credits and cancels) its client sent meanwhile, or the client's going, without
// waiting and without disturbing the requests behind them.
#include "ring/calls_api.hpp"
#include "ring/channel.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace ring {

using zk::Handle;
using zk::Ref;

namespace {

thread_local CurrentCall* current_call = nullptr;

// A look reads this much at a time, and keeps reading while less than `keep_most` is kept or the
// kept input ends inside a message: a control record behind a pipelined request is found, and a
// peer can make the server hold at most one message more than it would anyway.
constexpr Py_ssize_t look_size = 64 * 1024;
constexpr Py_ssize_t keep_most = 1 << 20;
// A control record is a list of two or three small counts: a few bytes.
constexpr std::uint64_t longest_control = 32;

const State& state_of(const CallsApi* api) noexcept { return *static_cast<const State*>(api->state); }

// A non-negative msgpack int at p[at]; advances `at`. False for anything else.
bool read_count(const unsigned char* p, std::size_t n, std::size_t& at, long long& value) {
    if (at >= n) return false;
    unsigned char head = p[at++];
    if (head <= 0x7f) return value = head, true;
    int width = head == 0xcc ? 1 : head == 0xcd ? 2 : head == 0xce ? 4 : head == 0xcf ? 8 : 0;
    if (!width || n - at < static_cast<std::size_t>(width)) return false;
    std::uint64_t v = 0;
    for (int i = 0; i < width; i++) v = v << 8 | p[at++];
    if (v > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return value = static_cast<long long>(v), true;
}

struct Control {
    long kind;
    long long id, taken = 0;
};

// Whether a packet is a control record ([5, id, taken] or [6, id]), and which: the first two bytes
// tell, since no request or answer begins with them.
bool control_in(const unsigned char* p, std::size_t n, Control& c) {
    if (n < 3 || n > longest_control) return false;
    if (!((p[0] == 0x93 && p[1] == credit_kind) || (p[0] == 0x92 && p[1] == cancel_kind))) return false;
    c.kind = p[1];
    std::size_t at = 2;
    if (!read_count(p, n, at, c.id)) return false;
    if (c.kind == credit_kind && !read_count(p, n, at, c.taken)) return false;
    return at == n;
}

void apply(CurrentCall& call, const Control& c) {
    if (c.kind == cancel_kind) {
        call.cancelled = true;
    } else if (c.taken > call.taken) {
        call.taken = c.taken < call.sent ? c.taken : call.sent;  // never more than was sent
    }
}

// Takes the control records out of the kept input, as far as it holds whole messages: those for
// `call` count, the others are of calls that have ended and go. True when one was for `call`.
bool take_controls(Channel& ch, CurrentCall& call) {
    const auto* data = reinterpret_cast<const unsigned char*>(ch.kept_data());
    auto size = static_cast<std::size_t>(ch.kept_size());
    std::string rest;  // what stays, once a control record has been taken from among it
    bool taken_any = false, for_call = false;
    std::size_t at = 0, copied = 0;
    while (size - at >= static_cast<std::size_t>(header_size)) {
        std::uint64_t length = length_field(reinterpret_cast<const char*>(data) + at);
        if (length > static_cast<std::uint64_t>(ch.max_message_size) || size - at - header_size < length) break;
        std::size_t end = at + header_size + static_cast<std::size_t>(length);
        Control c{};
        if (control_in(data + at + header_size, static_cast<std::size_t>(length), c)) {
            if (!taken_any) rest.reserve(size);
            rest.append(reinterpret_cast<const char*>(data) + copied, at - copied);
            copied = end;
            taken_any = true;
            if (call.id_known && c.id == call.id) {
                apply(call, c);
                for_call = true;
            }
        }
        at = end;
    }
    if (taken_any) {
        rest.append(reinterpret_cast<const char*>(data) + copied, size - copied);
        auto kept_at = ch.kept_at;
        ch.drop_kept(static_cast<std::size_t>(ch.kept_size()));
        if (!rest.empty()) ch.keep(rest.data(), static_cast<Py_ssize_t>(rest.size()));
        ch.kept_at = kept_at;
    }
    return for_call;
}

// Whether the kept input ends inside a message, whose rest may be read ahead.
bool ends_inside_message(const Channel& ch) {
    const char* data = ch.kept_data();
    auto size = static_cast<std::uint64_t>(ch.kept_size());
    std::uint64_t at = 0;
    while (size - at >= static_cast<std::uint64_t>(header_size)) {
        std::uint64_t length = length_field(data + at);
        if (length > static_cast<std::uint64_t>(ch.max_message_size)) return false;
        if (size - at - header_size < length) return true;
        at += header_size + length;
    }
    return at < size;
}

enum class Read { data, nothing, closed };

// One read of a plain socket without waiting, kept.
Read read_plain_now(Channel& ch, int fd) {
    char buffer[look_size];
    for (;;) {
        ssize_t got;
        try {
            DescriptorUse use(ch);
            got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        } catch (zk::PyError&) {
            return Read::closed;  // its close has begun
        }
        if (got > 0) return ch.keep(buffer, got), Read::data;
        if (got == 0) return Read::closed;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::nothing;
        if (errno != EINTR) return Read::closed;  // reset: the peer is gone
        if (PyErr_CheckSignals() < 0) zk::throw_error();
    }
}

// One read of an SSL socket through its methods, waiting no longer than `until`, kept.
Read read_tls(const State& st, Channel& ch, Handle sock, const Deadline& until) {
    const Names& n = st.names;
    Ref own = zk::getattr(sock, n.timeout);
    try {
        return zk::finally(
            [&] {
                zk::call_method(sock, n.settimeout, zk::floating(until.seconds_left()));
                Ref chunk = zk::call_method(sock, n.recv, zk::integer(look_size));
                zk::BufferView view(chunk);
                if (view.size() == 0) return Read::closed;
                ch.keep(view.data(), view.size());
                return Read::data;
            },
            [&] { zk::call_method(sock, n.settimeout, own); });
    } catch (zk::PyError& e) {
        if (would_block(n, e) || e.matches(PyExc_TimeoutError)) return Read::nothing;
        if (e.matches(PyExc_OSError)) return Read::closed;
        throw;
    }
}

void look_at(const State& st, CurrentCall& call, double wait_seconds) {
    const Names& n = st.names;
    Handle connection = call.connection;
    if (websocket_mode(n, connection)) return;  // a browser sends no control records
    ChannelRef ch = channel_of(st, connection);
    Ref sock = zk::getattr(connection, n._socket);
    int fd = -1;
    try {
        fd = plain_descriptor(st, sock);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
        call.cancelled = call.peer_gone = true;  // closed under us: gone
        return;
    }
    bool tls = ch->tls;
    if (fd < 0 && !tls) return;  // a socket of its own kind: only what was kept
    Deadline until = wait_seconds > 0 ? Deadline::after(wait_seconds) : Deadline::now();
    zk::Holding holding(ch->recv_lock);
    if (ch->partial || ch->out_of_step) return;  // the kept input does not begin a message
    try {
        for (;;) {
            if (take_controls(*ch, call) || call.cancelled) return;
            if (ch->kept_size() >= keep_most && !ends_inside_message(*ch)) return;
            Read got = tls ? read_tls(st, *ch, sock, until) : read_plain_now(*ch, fd);
            if (got == Read::closed) {
                call.cancelled = call.peer_gone = true;
                return;
            }
            if (got == Read::data) continue;
            if (until.seconds_left() <= 0 || tls) return;
            wait_readable(st, *ch, fd, until);
        }
    } catch (zk::PyError& e) {
        if (e.matches(PyExc_TimeoutError)) return;  // nothing came in time
        if (!e.matches(PyExc_OSError)) throw;
        call.cancelled = call.peer_gone = true;  // reset, or closed under us: gone either way
    }
}

CurrentCall* current() noexcept { return current_call; }

void enter(CurrentCall* call) noexcept {
    call->outer = current_call;
    current_call = call;
}

void leave(CurrentCall* call) noexcept { current_call = call->outer; }

int look(const CallsApi* api, CurrentCall* call, double wait_seconds) noexcept {
    return zk::boundary_status([&] { look_at(state_of(api), *call, wait_seconds); });
}

double since_arrival(const CallsApi* api, PyObject* connection) noexcept {
    const State& st = state_of(api);
    try {
        Ref capsule = zk::getattr_optional(connection, st.names._channel);
        if (!capsule) return -1;
        ChannelRef ch = channel_of(st, connection);
        return std::chrono::duration<double>(Clock::now() - ch->message_began).count();
    } catch (zk::PyError&) {
        PyErr_Clear();
        return -1;
    }
}

// _time_left(): the seconds left of the current call's deadline; None outside a call or without one.
Ref time_left_of_current(Scope) {
    CurrentCall* call = current_call;
    double left = call ? seconds_left(*call) : -1;
    return left < 0 ? zk::none() : zk::floating(left);
}

}  // namespace

void define_calls_api(zk::Module& m, State& st) {
    m.set("_calls", zk::box(std::make_unique<CallsApi>(CallsApi{current, enter, leave, look, since_arrival, &st}),
                            calls_api_capsule));
    // The records beside REQUEST and RESPONSE, for zelk.aio, which speaks them itself.
    Ref kinds = zk::new_dict();
    for (auto [name, kind] : {std::pair{"call", call_kind}, {"items", items_kind}, {"end", end_kind}, {"credit", credit_kind},
                              {"cancel", cancel_kind}}) {
        zk::setitem(kinds, zk::str(name), zk::integer(kind));
    }
    m.set("_RECORD_KINDS", kinds);
    m.set("_VERSION_QUESTION", zk::str(version_question));
    m.set("_CALLS_VERSION", zk::integer(calls_version));
    m.set("_STREAM_WINDOW", zk::integer(default_stream_window));
    m.set("_STREAM_BUDGET", zk::integer(default_stream_budget));
    m.def(zk::declare<time_left_of_current>("_time_left", {})
              .doc("Seconds left of the deadline of the call this thread serves; None outside one or without one."));
}

}  // namespace ring
