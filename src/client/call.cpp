// Client.call: one remote call, on a lane of its own (see lanes.hpp), so that threads sharing a
// client each get their own answer without waiting for one another; the messages of a failed call
// are printed once the lane is given back. With errors="raise" a failure raises what its text says.
#include "client/lanes.hpp"

#include <optional>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

// How a call ended, to be reported once its lane is given back.
struct Outcome {
    enum class Kind { answered, unreachable, receive_failed, invalid_answer, stream } kind = Kind::answered;
    Ref value;                       // the result, or the text of a failed connect
    bool remote_failure = false;     // the server answered with the report of a failed call
    std::optional<zk::PyError> error;  // why the receive failed, or why the answer was refused
    Ref reason;                      // why it could not connect, as it was reported
};

// Sends the request on the lane's connection: through Client's own _request, done here, or a
// subclass's. The id it went out with is the lane's, which the check of its answer compares against.
void request(Scope s, Handle self, Lanes& lanes, Lane& lane, Handle method, Handle args, Handle kwds) {
    const State& st = s.state();
    const Names& n = st.names;
    lane.sent_id = Ref();
    if (zk::is_native(st.core, self, n._request, st.client_request, st.is_native_request)) {
        return send_call(s, self, lanes, lane, lanes.connection_of(lane), method, args, kwds);
    }
    zk::call_method(self, n._request, method, args, kwds);
    if (!lane.sent_id) lane.sent_id = zk::getattr(self, n._msgid);  // a _request of a subclass's own
}

// Sends the request, and after a broken connection reconnects (to the next address, when there are
// several) and sends it once more, as a new request with the next id. A second failure is only
// reported: the receive comes next either way. Stale input is dropped first, from a connection
// something was asked on before.
void send_phase(Scope s, Handle self, Lanes& lanes, Lane& lane, Handle method, Handle args, Handle kwds) {
    const State& st = s.state();
    const Names& n = st.names;
    try {
        ring::Link& link = lane.link_to(st, lanes.connection_of(lane));
        if (lane.asked) link.flush();
        lane.asked = true;
        request(s, self, lanes, lane, method, args, kwds);
    } catch (zk::PyError& e) {
        if (!e.matches(st.send_errors)) throw;
        zk::Handling handling(e);
        log_at(n, self, n.critical, failure_text(zk::str("@SEND"), e.value()));
        lanes.hosts.failed(lanes.address_of(lane));  // nothing was taken: the request goes to the next address
        zk::call_method(self, n.open_connection);
        try {
            request(s, self, lanes, lane, method, args, kwds);
        } catch (zk::PyError& again) {
            if (!again.matches(st.send_errors)) throw;
            zk::Handling handling_again(again);
            log_at(n, self, n.critical, failure_text(zk::str("@RESEND"), again.value()));
        }
    }
}

// Drops a connection whose exchange failed, and opens the next one: whatever is left of an answer
// would be taken for the next call's. A connection that was lost (not one that was slow, or answered
// amiss) has its address skipped for a while, so the next one goes elsewhere. A reset connection cannot be read or shut down and says so;
// close still lets its descriptor go, and the failure that matters is the exchange's.
void renew(const Names& n, Handle self, Lanes& lanes, const Lane& lane, Handle conn, bool lost) {
    zk::suppress(PyExc_OSError, [&] { zk::call_method(conn, n.clear); });
    close_quietly(n, conn);
    if (lost) lanes.hosts.failed(lanes.address_of(lane));
    zk::call_method(self, n.open_connection);
}

// Whether the answer that an allow-list refused (its `value`, the record with None for what it
// refused) began a stream that goes on: kind 3 for `expected`.
bool more_of_stream(const Names& n, const zk::PyError& refused, Handle expected) {
    Ref record = zk::getattr_optional(refused.value(), n.value);
    return record && starts_stream(record, expected) && stream_goes_on(record);
}

// The exchange itself, on the calling thread's lane, whose connection is the one `_connection`
// names for this thread meanwhile. A raising client packs and reads without stand-ins: an argument
// that cannot be encoded raises TypeError before anything is sent, and an answer holding an array
// that cannot be rebuilt fails the call.
void exchange(Scope s, Handle self, Lanes& lanes, Lane& lane, Handle method, Handle args, Handle kwds, bool raising,
              Outcome& out) {
    const State& st = s.state();
    const Names& n = st.names;
    std::optional<protocol::RefusingStandIns> stand_ins;
    if (raising) stand_ins.emplace(st.codec_api);
    Ref conn;
    auto usable = [&] {
        conn = lanes.connection_of(lane);
        return conn.get() != Py_None && !lane.link_to(st, conn).closed();
    };
    if (!usable()) {
        Ref before = std::move(conn);
        out.value = zk::call_method(self, n.open_connection);
        // Connecting failed and said so when no new connection came; the one left in place is the
        // closed one, if any. A new one that another thread's close reached first is a lost
        // connection, which the send phase meets and renews.
        if (!usable() && (conn.get() == Py_None || conn.get() == before.get())) {
            out.kind = Outcome::Kind::unreachable;
            return;
        }
    }
    lane.target.clear();  // from here on, a new connection goes where the client's go
    Hosts& hosts = lanes.hosts;
    for (std::size_t refusals = 0;; refusals++) {
        send_phase(s, self, lanes, lane, method, args, kwds);
        conn = lanes.connection_of(lane);
        Ref response = std::exchange(lane.refused, Ref());  // a refusal that came in place of the version
        try {
            if (lane.asking_failed) {  // met while asking what the server takes: the call was not sent
                zk::PyError failed = *lane.asking_failed;
                lane.asking_failed.reset();
                throw failed;
            }
            ring::Link& link = lane.link_to(st, conn);
            if (!response) response = link.recv();
            if (response.get() == Py_None && ended(link)) {
                zk::raise(zk::call(PyExc_ConnectionError, zk::str("the server closed the connection before it answered")));
            }
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
            out.error.emplace(e);
            // Read whole, and refused unrun: the connection goes on, unless it was the first of a
            // stream's records, whose others would come to the next call.
            if (e.matches(st.class_not_allowed)) {
                out.kind = Outcome::Kind::invalid_answer;
                if (!lane.calls_version || !more_of_stream(n, e, lane.sent_id)) return;
                zk::Handling handling(e);
                renew(n, self, lanes, lane, conn, false);
                return;
            }
            zk::Handling handling(e);
            renew(n, self, lanes, lane, conn, e.matches(PyExc_OSError) && !e.matches(PyExc_TimeoutError));
            out.kind = Outcome::Kind::receive_failed;
            return;
        }
        // A server that could serve no more connections said why before it closed this one; the next
        // call connects again. It served nothing: while another address has not failed lately, the
        // request goes there.
        if (Ref reason = refusal_reason(s, response)) {
            close_quietly(n, conn);
            std::size_t count = hosts.count();
            if (count > 1) hosts.failed(lanes.address_of(lane));
            if (count > 1 && refusals + 1 < count && hosts.available() > 0) {
                Ref before = std::move(conn);
                out.value = zk::call_method(self, n.open_connection);
                if (usable() || (conn.get() != Py_None && conn.get() != before.get())) continue;
                out.kind = Outcome::Kind::unreachable;  // and reported by open_connection
                return;
            }
            out.kind = Outcome::Kind::unreachable;
            out.value = report_unreachable(s, self, reason);
            return;
        }
        if (lanes.end_outage()) report_reachable(s, self);
        bool streams = lane.calls_version && lane.sent_id && starts_stream(response, lane.sent_id);
        if (stand_ins && stand_ins->not_rebuilt()) {  // read whole: the connection goes on
            try {
                zk::raise(zk::call(st.not_rebuilt, stand_ins->not_rebuilt()));
            } catch (zk::PyError& e) {
                out.error.emplace(e);
            }
            out.kind = Outcome::Kind::invalid_answer;
            // unless a stream began, whose other records would come to the next call
            if (streams && stream_goes_on(response)) renew(n, self, lanes, lane, conn, false);
            return;
        }
        if (streams) {
            out.kind = Outcome::Kind::stream;
            out.value = std::move(response);
            return;
        }
        try {
            out.value = zk::is_native(st.core, self, n._parse, st.client_parse, st.is_native_parse)
                            ? checked_result(s, response, lane.sent_id)
                            : zk::call_method(self, n._parse, response);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            // An answer to another call (a late one) must not wait there for the next call.
            zk::Handling handling(e);
            renew(n, self, lanes, lane, conn, false);
            out.kind = Outcome::Kind::invalid_answer;
            out.error.emplace(e);
            return;
        }
        out.remote_failure = reports_failure(response, out.value);
        return;
    }
}

[[noreturn]] void raise_with(Handle type, Handle text, const zk::PyError* cause) {
    Ref error = zk::call(type, text);
    if (cause) PyException_SetCause(error.get(), Py_NewRef(cause->value()));
    zk::raise(error);
}

// What a call whose exchange ended in `out` returns, or with errors="raise" raises.
Ref report(Scope s, Handle self, Handle method, Handle args, Handle kwds, bool raising, Outcome& out) {
    const State& st = s.state();
    const Names& n = st.names;
    switch (out.kind) {
        case Outcome::Kind::answered:
            if (raising && out.remote_failure) zk::raise(remote_error(st, out.value));
            return std::move(out.value);
        case Outcome::Kind::unreachable:
            if (!raising) return zk::none();
            if (out.value.get() == Py_None) out.value = zk::text("{} has no host to connect to", zk::getattr(self, n.alias));
            zk::raise(zk::call(st.unreachable, out.value, out.reason ? out.reason.get() : Py_None));
        case Outcome::Kind::receive_failed: {
            Ref text = log_at(n, self, n.critical, failure_text(zk::str("@RECV"), out.error->value()));
            if (!raising) return text;
            if (out.error->matches(PyExc_KeyboardInterrupt)) throw *out.error;
            // A stream cut inside a length field (BufferError) ended while the call waited, as a reset one did.
            Handle type = out.error->matches(PyExc_TimeoutError)                                           ? st.call_timeout.get()
                          : out.error->matches(PyExc_OSError) || out.error->matches(PyExc_BufferError) ? st.connection_lost.get()
                                                                                                      : st.invalid_answer.get();
            raise_with(type, text, &*out.error);
        }
        case Outcome::Kind::invalid_answer:
        case Outcome::Kind::stream:
            break;
    }
    Ref text = report_failure(s, self, method, args, kwds, out.error->value());
    if (!raising) return text;
    raise_with(st.invalid_answer, text, &*out.error);
}

// The call on a lane of its own; `traceparent`, when not empty, names the caller's span to a server
// that takes it. `failed` tells whether the call failed, whatever it returns.
Ref call_on_lane(Scope s, Handle self, Handle method, Handle args, Handle kwds, Handle traceparent, bool& failed) {
    const Names& n = s.names();
    bool raising = raises(n, zk::getattr(self, n._errors));
    LanesRef lanes = lanes_of(s.state(), self);
    Hosts& hosts = lanes->hosts;
    if (hosts.round_robin() && hosts.due()) {  // new replicas behind a name join in
        Ref host = zk::getattr(self, n._host);
        if (zk::truthy(host)) resolve(s, hosts, host_names(host), zk::getattr(self, n._port));
    }
    // Read only when there are spares to close: a single caller's calls never have any.
    Clock::duration idle = lanes->has_spares() ? spare_idle(s) : Clock::duration::max();
    Lane& lane = lanes->checkout(hosts.next());
    Outcome out;
    if (traceparent) lane.traceparent = Ref::borrow(traceparent);
    // A call answered by a stream hands its lane to the stream, which gives it back at its end.
    zk::finally([&] { exchange(s, self, *lanes, lane, method, args, kwds, raising, out); },
                [&] {
                    lane.traceparent = Ref();
                    out.reason = std::move(lane.unreachable);
                    if (out.kind == Outcome::Kind::stream) return;
                    give_lane_back(s, *lanes, lane, idle);
                });
    if (out.kind == Outcome::Kind::stream) return start_stream(s, self, std::move(lanes), lane, out.value, method, args, kwds);
    failed = out.kind != Outcome::Kind::answered || out.remote_failure;
    return report(s, self, method, args, kwds, raising, out);
}

}  // namespace

Ref remote_call(Scope s, Handle self, Handle method, Handle args, Handle kwds) {
    const Names& n = s.names();
    bool failed = true;
    Ref telemetry = zk::telemetry(s.state().core);
    if (!telemetry) return call_on_lane(s, self, method, args, kwds, nullptr, failed);
    Ref begun = zk::call_method(telemetry, n.client_span, method);  // (the span, its traceparent)
    Ref span = zk::getitem(begun, zk::integer(0)), traceparent = zk::getitem(begun, zk::integer(1));
    return zk::finally([&] { return call_on_lane(s, self, method, args, kwds, traceparent.get() == Py_None ? nullptr : traceparent.get(), failed); },
                       [&] { zk::call_method(telemetry, n.end_client_span, span, zk::boolean(failed)); });
}

bool ended(ring::Link& link) {
    try {
        link.flush();
        return false;
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return true;
    }
}

zk::Def call_def() {
    using zk::arg;
    return zk::declare<remote_call>("call", {arg("self"), arg("method", zk::Check::Str), zk::varargs("args"), zk::kwargs("kwds")})
        .doc("Calling remote method");
}

}  // namespace client
