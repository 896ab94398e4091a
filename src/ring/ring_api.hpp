// The connection layer as the other zelk modules reach it natively: a capsule on zelk.ring through
// which a server's handler and a client's call read and write a Connection many times over without
// looking its parts up, or going through its methods, each time.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"

namespace ring {

struct RingApi {
    // A Connection's parts, looked up once: an endpoint for the calls below, or nullptr without an
    // error when the connection is not one they serve (not on a plain socket, in WebSocket mode, a
    // class that replaced its methods): its methods are then the way.
    void* (*open)(const RingApi* api, PyObject* connection) noexcept;
    void (*close)(void* endpoint) noexcept;
    // Whether the endpoint's connection is still as `open` found it, its socket open: 1 when the
    // calls below may stand for its methods, until code that could change it runs; 0 when its
    // methods must be called instead; -1 with an error.
    int (*check)(const RingApi* api, void* endpoint) noexcept;
    // Connection.closed, flush, send and recv of a checked endpoint: 0 (or a value) when done, -1
    // (or nullptr) with the error the method would have raised.
    int (*closed)(const RingApi* api, void* endpoint) noexcept;
    int (*flush)(const RingApi* api, void* endpoint) noexcept;
    int (*send)(const RingApi* api, void* endpoint, PyObject* value) noexcept;
    PyObject* (*recv)(const RingApi* api, void* endpoint) noexcept;
    void* state;  // the ring module's, alive as long as the capsule
};

inline constexpr const char* ring_api_capsule = "zelk.ring._api";

// The calls in zelk.ring's `_api` capsule.
inline const RingApi* ring_api_in(zk::Handle capsule) {
    auto* api = static_cast<const RingApi*>(PyCapsule_GetPointer(capsule.get(), ring_api_capsule));
    if (!api) zk::throw_error();
    return api;
}

// One connection as ring's calls reach it, for as long as its holder (a server's session, a client's
// lane) keeps it. The holder keeps the capsule too: at exit it may be freed after the ring module.
class NativeConnection {
public:
    NativeConnection() = default;
    NativeConnection(const NativeConnection&) = delete;
    NativeConnection& operator=(const NativeConnection&) = delete;
    ~NativeConnection() { let_go(); }

    // Opens `connection` for ring's calls, letting go of the one opened before; when they do not
    // serve it, nothing is open and its methods are the way.
    void open(zk::Handle capsule, zk::Handle connection) {
        let_go();
        capsule_ = zk::Ref::borrow(capsule.get());
        api_ = ring_api_in(capsule);
        endpoint_ = api_->open(api_, connection.get());
        if (!endpoint_ && PyErr_Occurred()) zk::throw_error();
    }

    // Whether ring's calls below still stand for the connection's methods.
    bool usable() const {
        if (!endpoint_) return false;
        int usable = api_->check(api_, endpoint_);
        if (usable < 0) zk::throw_error();
        return usable == 1;
    }

    // Connection.closed, flush, send and recv, for a connection found usable since others' code last ran.
    bool closed() const {
        int closed = api_->closed(api_, endpoint_);
        if (closed < 0) zk::throw_error();
        return closed == 1;
    }
    void flush() const {
        if (api_->flush(api_, endpoint_) < 0) zk::throw_error();
    }
    void send(zk::Handle value) const {
        if (api_->send(api_, endpoint_, value.get()) < 0) zk::throw_error();
    }
    zk::Ref recv() const { return zk::check(api_->recv(api_, endpoint_)); }

private:
    void let_go() noexcept {
        if (endpoint_) api_->close(endpoint_);
        endpoint_ = nullptr;
    }

    zk::Ref capsule_;
    const RingApi* api_ = nullptr;
    void* endpoint_ = nullptr;
};

}  // namespace ring
