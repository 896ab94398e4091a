// Client.call: one remote call. The client's lock is held from the flush before the request to the
// check of its answer, so threads sharing a client (or a proxy) each get their own answer; the
// messages of a failed call are printed once the lock is released.
#include "client/client.hpp"

#include <optional>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

Ref log_critical(const Names& n, Handle self, Handle message) {
    return zk::call_method(zk::getattr(self, n.log), n.critical, message);
}

// "@SEND: BrokenPipeError, [Errno 32] Broken pipe"
Ref failure_text(const char* pattern, const zk::PyError& e) {
    Ref type_name = zk::check(PyType_GetName(Py_TYPE(e.value())));
    return zk::text(pattern, type_name, e.value());
}

// What went wrong inside the lock, to be reported outside it.
struct Failures {
    std::optional<zk::PyError> recv;   // the receive failed; the connection was renewed
    std::optional<zk::PyError> parse;  // the answer did not pass the check
};

// Sends the request, and after a broken connection reconnects and sends it once more, as a new
// request with the next id. A second failure is only reported: the receive comes next either way.
void send_phase(Scope s, Handle self, Handle conn, Handle method, Handle args, Handle kwds) {
    const State& st = s.state();
    const Names& n = st.names;
    try {
        zk::call_method(conn, n.flush);
        zk::call_method(self, n._request, method, args, kwds);
    } catch (zk::PyError& e) {
        if (!e.matches(st.send_errors)) throw;
        zk::Handling handling(e);
        log_critical(n, self, failure_text("@SEND: {}, {}", e));
        zk::call_method(self, n.open_connection);
        try {
            zk::call_method(self, n._request, method, args, kwds);
        } catch (zk::PyError& again) {
            if (!again.matches(st.send_errors)) throw;
            zk::Handling handling_again(again);
            log_critical(n, self, failure_text("@RESEND: {}, {}", again));
        }
    }
}

// Drops a connection whose receive failed. A reset one cannot be read or shut down, and says so;
// close still lets its descriptor go, and the failure that matters is the receive's.
void discard(const Names& n, Handle conn) {
    for (PyObject* step : {n.clear.get(), n.close.get()}) {
        try {
            zk::call_method(conn, step);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
}

// The exchange itself, under the lock: an empty Ref when `failures` says what to report.
Ref exchange(Scope s, Handle self, Handle method, Handle args, Handle kwds, Failures& failures) {
    const State& st = s.state();
    const Names& n = st.names;
    auto unusable = [&](Handle c) { return c.get() == Py_None || zk::truthy(zk::getattr(c, n.closed)); };
    Ref conn = zk::getattr(self, n._connection);
    if (unusable(conn)) {
        zk::call_method(self, n.open_connection);
        conn = zk::getattr(self, n._connection);
        // Connecting failed and said so; the connection left in place is the closed one, if any.
        if (unusable(conn)) return zk::none();
    }
    send_phase(s, self, conn, method, args, kwds);
    conn = zk::getattr(self, n._connection);
    Ref response;
    try {
        response = zk::call_method(conn, n.recv);
    } catch (zk::PyError& e) {
        if (!e.matches(st.recv_errors)) throw;
        // Whatever is left of the answer would be taken for the next one: start afresh.
        zk::Handling handling(e);
        discard(n, conn);
        zk::call_method(self, n.open_connection);
        failures.recv.emplace(e);
        return Ref();
    }
    try {
        return zk::call_method(self, n._parse, response);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        failures.parse.emplace(e);
        return Ref();
    }
}

}  // namespace

Ref remote_call(Scope s, Handle self, Handle method, Handle args, Handle kwds) {
    const State& st = s.state();
    const Names& n = st.names;
    Failures failures;
    Ref result = zk::with_lock(st.core, zk::getattr(self, n._lock),
                               [&] { return exchange(s, self, method, args, kwds, failures); });
    if (result) return result;
    if (failures.recv) return log_critical(n, self, failure_text("@RECV: {}, {}", *failures.recv));
    // Printed as if inside the except block that caught it, so the report shows where it was raised.
    zk::Handling handling(*failures.parse);
    Ref call_text = zk::call(s.global(n.iformat), method, args, kwds);
    Ref error = zk::call(PyExc_Exception, zk::text("Failure{} {}", call_text, failures.parse->value()));
    return zk::call_method(zk::getattr(self, n.log), n.error, error);
}

zk::Def call_def() {
    using zk::arg;
    return zk::declare<remote_call>("call", {arg("self"), arg("method", zk::Check::Str), zk::varargs("args"), zk::kwargs("kwds")})
        .doc("Calling remote method");
}

}  // namespace client
