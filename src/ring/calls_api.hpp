// The call a handler thread serves, as zelk.ring keeps it for the thread: the server sets it around
// each step of a served method, the served method asks it (zelk.server.time_left, cancelled), and
// a call a client makes meanwhile takes what is left of its deadline. A capsule on zelk.ring
// (`_calls`) gives the other modules the thread's current call and the look at its connection.
#pragma once

#include "core/boxed.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"

#include <chrono>

namespace ring {

// The record kinds beside REQUEST (0) and RESPONSE (1), on connections whose server said it takes them.
enum Kind : long {
    call_kind = 2,    // [2, id, name, args, kwds, options]
    items_kind = 3,   // [3, id, items]: more follow
    end_kind = 4,     // [4, id, items]: the stream's last
    credit_kind = 5,  // [5, id, taken]
    cancel_kind = 6,  // [6, id]
};

// What a stream keeps to unless its call's options say otherwise: at most this many items, and
// bytes, sent ahead of what its caller took.
inline constexpr long long default_stream_window = 64;
inline constexpr long long default_stream_budget = 32LL << 20;

// What the question `version_question` is answered with by a server that takes them.
inline constexpr long calls_version = 1;
inline constexpr const char* version_question = "__zelk_version__";

// One call being served. The handler owns it (on its stack) and keeps `connection` alive; only the
// handler's thread reads or writes it.
struct CurrentCall {
    using Clock = std::chrono::steady_clock;

    PyObject* connection = nullptr;  // the Connection it came on, borrowed
    long long id = 0;                // its message id, when an int (controls name calls by it)
    bool id_known = false;
    bool has_deadline = false;
    Clock::time_point deadline{};
    bool cancelled = false;   // called off, timed out, or the peer gone: stays so
    bool peer_gone = false;   // the peer closed or reset the connection
    long long taken = 0;      // a stream's items the caller reported taken
    long long sent = 0;       // a stream's items sent so far: what `taken` may reach at most
    CurrentCall* outer = nullptr;  // the thread's current call before this one was entered
};

struct CallsApi {
    // The thread's current call, or nullptr.
    CurrentCall* (*current)() noexcept;
    // Makes `call` the thread's current call (remembering the one before), and back.
    void (*enter)(CurrentCall* call) noexcept;
    void (*leave)(CurrentCall* call) noexcept;
    // Takes the control records for `call` from its connection's input, reading what waits there
    // without waiting, or, with `wait_seconds` > 0, waiting up to that long for a control of the
    // call's (or the peer's close). Sets `cancelled`, `peer_gone` and `taken`. 0, or -1 with an error.
    int (*look)(const CallsApi* api, CurrentCall* call, double wait_seconds) noexcept;
    // How long ago the first byte of the last message `connection`'s recv returned was read; -1
    // when the connection cannot tell (not one of zelk.ring's), with no error.
    double (*since_arrival)(const CallsApi* api, PyObject* connection) noexcept;
    void* state;  // the ring module's, alive as long as the capsule
};

inline constexpr const char* calls_api_capsule = "zelk.ring._calls";

inline const CallsApi* calls_api_in(zk::Handle capsule) {
    return zk::published_api<CallsApi>(capsule, calls_api_capsule);
}

// Seconds left before `call`'s deadline (0 when passed); negative when it has none.
inline double seconds_left(const CurrentCall& call) noexcept {
    if (!call.has_deadline) return -1;
    double left = std::chrono::duration<double>(call.deadline - CurrentCall::Clock::now()).count();
    return left > 0 ? left : 0;
}

}  // namespace ring
