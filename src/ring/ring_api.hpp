// The connection layer as the other zelk modules reach it natively: a capsule on zelk.ring, and
// ring::Link, through which a server's handler and a client's call speak to a Connection many
// times over, by ring's own calls wherever those stand for the connection's methods.
#pragma once

#include "core/boxed.hpp"
#include "core/ops.hpp"

namespace ring {

// A key or TLS handshake takes no longer than this, whatever a connection's other time-outs allow:
// a peer that says nothing, or drips its answer, cannot hold a thread for longer.
inline constexpr double handshake_seconds = 10.0;

// A max_message_size as a server, a client or a connection is given it: a number of bytes, not
// below 0.
inline Py_ssize_t checked_message_size(zk::Handle value) {
    Py_ssize_t limit = zk::to_ssize(value);
    if (limit < 0) zk::raise(PyExc_ValueError, "max_message_size must not be negative");
    return limit;
}

struct RingApi {
    // A link to `connection` (any object), or nullptr with an error.
    void* (*open)(const RingApi* api, PyObject* connection) noexcept;
    void (*close)(void* link) noexcept;
    // Connection.closed, flush, send and recv of the linked connection: each looks at the connection
    // first, and does the work itself while the connection is a plain one in binary mode whose
    // methods are its class's own, else calls the attribute or method. 0 (or a value) when done, -1
    // (or nullptr) with the error raised; `closed` gives 1 or 0.
    int (*closed)(const RingApi* api, void* link) noexcept;
    int (*flush)(const RingApi* api, void* link) noexcept;
    int (*send)(const RingApi* api, void* link, PyObject* value) noexcept;
    PyObject* (*recv)(const RingApi* api, void* link) noexcept;
    // Marks the linked connection closed, so that its owner's loop ends and nothing more is read.
    int (*mark_closed)(const RingApi* api, void* link) noexcept;
    // The linked connection's socket, or nullptr without an error when it has none.
    PyObject* (*socket)(const RingApi* api, void* link) noexcept;
    // 1 when the linked connection is in WebSocket mode, else 0.
    int (*websocket_mode)(const RingApi* api, void* link) noexcept;
    // 0 when `context` is an ssl_context as serve and connect take it (an ssl.SSLContext, or None);
    // -1 with a TypeError that says so otherwise.
    int (*check_ssl_context)(const RingApi* api, PyObject* context) noexcept;
    void* state;  // the ring module's, alive as long as the capsule
};

inline constexpr const char* ring_api_capsule = "zelk.ring._api";

// The calls in zelk.ring's `_api` capsule.
inline const RingApi* ring_api_in(zk::Handle capsule) {
    return zk::published_api<RingApi>(capsule, ring_api_capsule);
}

// An ssl_context as serve and connect take it: an ssl.SSLContext, or None; TypeError otherwise.
inline void check_ssl_context(zk::Handle capsule, zk::Handle context) {
    const RingApi* api = ring_api_in(capsule);
    zk::check_status(api->check_ssl_context(api, context.get()));
}

// One connection as a server's session or a client's lane speaks to it. Which way each operation
// goes is decided when it runs, never once for several: code that runs between two (a subclass's
// hook, a signal handler, settimeout) may replace a method, swap the socket or switch the mode, and
// is honoured by the next operation. The holder keeps the capsule too: at exit it may be freed after
// the ring module. One thread at a time uses a link.
class Link {
public:
    Link() = default;
    Link(zk::Handle capsule, zk::Handle connection) { open(capsule, connection); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() { let_go(); }

    // Links to `connection`, letting go of the one linked before; nothing to do when it is that one.
    void open(zk::Handle capsule, zk::Handle connection) {
        if (link_ && connection_.get() == connection.get()) return;
        let_go();
        capsule_ = zk::Ref::borrow(capsule.get());
        api_ = ring_api_in(capsule);
        link_ = api_->open(api_, connection.get());
        if (!link_) zk::throw_error();
        connection_ = zk::Ref::borrow(connection.get());
    }

    // The linked connection; null before the first open.
    PyObject* connection() const noexcept { return connection_.get(); }

    bool closed() const { return zk::check_status(api_->closed(api_, link_)) == 1; }
    void flush() const { zk::check_status(api_->flush(api_, link_)); }
    void send(zk::Handle value) const { zk::check_status(api_->send(api_, link_, value.get())); }
    zk::Ref recv() const { return zk::check(api_->recv(api_, link_)); }
    void mark_closed() const { zk::check_status(api_->mark_closed(api_, link_)); }
    // The connection's socket, or nothing when it has none.
    zk::Ref socket() const {
        PyObject* sock = api_->socket(api_, link_);
        if (!sock && PyErr_Occurred()) zk::throw_error();
        return zk::Ref::steal(sock);
    }
    bool websocket_mode() const { return zk::check_status(api_->websocket_mode(api_, link_)) == 1; }

private:
    void let_go() noexcept {
        if (link_) api_->close(link_);
        link_ = nullptr;
    }

    zk::Ref capsule_;
    zk::Ref connection_;
    const RingApi* api_ = nullptr;
    void* link_ = nullptr;
};

}  // namespace ring
