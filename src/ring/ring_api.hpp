// The connection layer as the other zelk modules reach it natively: a capsule on zelk.ring through
// which a server's handler and a client's call read and write a Connection many times over without
// looking its parts up, or going through its methods, each time.
#pragma once

#include "core/python.hpp"

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

}  // namespace ring
