// RequestHandler: serves one client connection for the threading server: setup, the request loop,
// one request and its answer, and the books closed at the end.
//
// The loop is the hot path of every remote call: what a request needs from the handler, its
// connection and its server is looked up once per connection, and each request costs only the
// record's own objects and the call itself.
#include "server/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

// What serving one connection needs, looked up once.
struct Session {
    Ref handler, server, record, client, host, port;
    Ref caller;  // {"host": host, "port": port}: written into the server's client dict in one step
    Ref parse;   // the server's own _parse when it replaced ServerBase's; empty: resolved here
    NamePolicy policy;  // the names the server answers, as serve set them
    const ring::Link& link;       // the connection
    double idle_seconds = -1;     // the server's idle_timeout: how long a stream waits for its caller to take items
    std::optional<zk::Boxed<Metrics>> metrics;  // what the server counts, when it serves metrics
    // The last call name, its parts (and whether the policy hides it) and its record entry: a client
    // calling one method again and again sends the same name, which is then neither split, nor
    // checked, nor hashed again.
    mutable Ref last_name, last_entry;
    mutable CallName last_split;
    mutable MethodMetrics* last_counts = nullptr;

    Session(const State& st, Handle self, const ring::Link& link) : handler(Ref::borrow(self)), link(link) {
        const Names& n = st.names;
        server = zk::getattr(self, n.server);
        record = zk::getattr(self, n.record);
        client = zk::getattr(server, n.client);
        Ref address = zk::getattr(self, n.client_address);
        host = zk::getitem(address, zk::integer(0));
        port = zk::getitem(address, zk::integer(1));
        caller = zk::new_dict();
        zk::setitem(caller, n.host, host);
        zk::setitem(caller, n.port, port);
        if (!zk::is_native(st.core, server, n._parse, st.native_parse, st.is_native_parse)) parse = zk::getattr(server, n._parse);
        policy = name_policy(n, server);
        Ref idle = zk::getattr(server, n.idle_timeout);
        idle_seconds = idle.get() == Py_None ? -1 : PyFloat_AsDouble(idle.get());
        if (idle_seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
        metrics = metrics_of(n, server);
    }
};

// What a request was resolved to, as far as resolving got before a failure.
struct Call : ParsedRequest {
    Ref name;
    Ref entry;  // the record's {"count": n} of the name
    MethodMetrics* counts = nullptr;  // the server's metrics of the name, when it counts them
};

// When the first byte of the request just received was read: a call's duration counts from it, the
// time it waited behind others in the connection's input included.
std::chrono::steady_clock::time_point arrival(const State& st, const Session& session) {
    auto now = std::chrono::steady_clock::now();
    double since = st.calls->since_arrival(st.calls, session.link.connection());
    return since > 0 ? now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(since)) : now;
}

// Counts a call that ended (`failed` or not) in the server's metrics, when it keeps them.
void meter(const Session& session, Call& call, bool failed, std::chrono::steady_clock::time_point began) {
    if (!session.metrics || !call.name) return;
    if (!call.counts) call.counts = (*session.metrics)->method(call.name);
    call.counts->record(failed, std::chrono::steady_clock::now() - began);
}

// The items of a stream's batch ([3 or 4, id, items]) in the count of items sent.
void count_items(Metrics& metrics, Handle record) {
    if (!PyList_CheckExact(record.get()) || PyList_GET_SIZE(record.get()) != 3) return;
    Handle items = PyList_GET_ITEM(record.get(), 2);
    if (PyList_CheckExact(items.get())) metrics.stream_items.fetch_add(PyList_GET_SIZE(items.get()), std::memory_order_relaxed);
}

// The call name of a request record, or nothing for a record too short to have one.
Ref name_of(Handle request) {
    if (PyTuple_CheckExact(request.get()) && PyTuple_GET_SIZE(request.get()) > 2) return Ref::borrow(PyTuple_GET_ITEM(request.get(), 2));
    if (PyList_CheckExact(request.get()) && PyList_GET_SIZE(request.get()) > 2) return Ref::borrow(PyList_GET_ITEM(request.get(), 2));
    return Ref();
}

// The W3C traceparent a call record's options carry, or None: anything but a text is no parent.
Ref traceparent_of(const Names& n, Handle options) {
    Ref value = options && PyDict_CheckExact(options.get()) ? zk::dict_get(options, n.traceparent) : Ref();
    return value && PyUnicode_CheckExact(value.get()) ? std::move(value) : zk::none();
}

// What a call record adds to the request it holds: its options, as read once the call is known, and
// the call as this thread serves it, for time_left and cancelled to find.
struct Terms {
    Ref record, options;  // the call record and its options; empty for a 5-item request
    std::optional<CallOptions> asked;
    ring::CurrentCall current;
};

ParsedRequest resolve(Scope s, const Session& session, Handle request, Handle name) {
    if (!session.parse) {
        bool known = name.get() == session.last_name.get() && session.last_split.parts;
        return parse_request(s, session.server, request, known ? &session.last_split : nullptr);
    }
    Ref parsed = zk::check(PySequence_Tuple(zk::call(session.parse, request).get()));
    if (PyTuple_GET_SIZE(parsed.get()) != 4) zk::raise_unpack_count(4, PyTuple_GET_SIZE(parsed.get()));
    auto item = [&](Py_ssize_t i) { return Ref::borrow(PyTuple_GET_ITEM(parsed.get(), i)); };
    return {item(0), item(1), item(2), item(3)};
}

// function(*args, **kwds): the callee gets a tuple and a dict of its own.
Ref invoke(Handle function, Handle args, Handle kwds) {
    Ref positional = PyTuple_CheckExact(args.get()) ? Ref::borrow(args) : zk::check(PySequence_Tuple(args));
    if (PyDict_CheckExact(kwds.get())) {
        return zk::check(PyObject_Call(function, positional.get(), PyDict_GET_SIZE(kwds.get()) ? kwds.get() : nullptr));
    }
    Ref keywords = zk::new_dict();
    zk::check_status(PyDict_Merge(keywords.get(), kwds, 1));
    return zk::call_with(function, positional, keywords);
}

// The record's entry of `name`, made with a count of 0 when the name is new.
Ref entry_of(const Names& n, Handle record, Handle name) {
    if (Ref entry = zk::dict_get(record, name)) return entry;
    Ref entry = zk::new_dict();
    zk::setitem(entry, n.count, zk::integer(0));
    zk::setitem(record, name, entry);
    return entry;
}

// The entry's count, moved by `step`.
void count_call(const Names& n, Handle entry, long step) {
    Ref count = PyDict_CheckExact(entry.get()) ? zk::dict_get(entry, n.count) : zk::getitem(entry, n.count);
    if (!count) zk::raise(PyExc_KeyError, "count");
    zk::setitem(entry, n.count, zk::add(count, zk::integer(step)));
}

// The answer of a call that failed with `e`: what the server printer's error returns for the
// failure's text (with the served function's traceback, since `e` is being handled) or, when the
// caller asked for no traceback, for the plain text of `e`.
Ref failure_answer(Scope s, const Session& session, Handle request, const Call& call, const zk::PyError& e,
                   Handle traceback) {
    const State& st = s.state();
    const Names& n = st.names;
    zk::Handling handling(e);
    Ref type_name = zk::check(PyType_GetName(Py_TYPE(e.value())));
    Ref name = zk::getitem(request, zk::integer(2));  // IndexError for a record too short to have one
    if (!call.args) {
        zk::raise(PyExc_UnboundLocalError, "cannot access local variable 'args' where it is not associated with a value");
    }
    Ref rendered = zk::call(st.iformat, name, call.args, call.kwds);
    // The call's name and arguments are the peer's, and so may be the exception's text.
    Ref err = zk::call(PyExc_Exception, zk::escape_controls(zk::text("{}{} {}", type_name, rendered, e.value())));
    Ref log = zk::getattr(session.server, n.log);
    if (!zk::truthy(traceback)) return zk::call_method(log, n.error, zk::escape_controls(zk::to_str(e.value())));
    return zk::call_method(log, n.error, err);
}

// Makes `current` the call the thread is about to serve: its connection and id, and its deadline,
// counted from when the request's first byte came (`arrived`, when the metrics asked it already). A
// request whose deadline has passed is not run.
void begin_call(const State& st, const Session& session, Handle msgid, const CallOptions* asked,
                std::chrono::steady_clock::time_point arrived, ring::CurrentCall& current) {
    current.connection = session.link.connection();
    if (PyLong_CheckExact(msgid.get())) {
        int overflow = 0;
        current.id = PyLong_AsLongLongAndOverflow(msgid, &overflow);
        current.id_known = !overflow && !(current.id == -1 && PyErr_Occurred());
        PyErr_Clear();
    }
    if (!asked || !asked->has_deadline) return;
    using Clock = std::chrono::steady_clock;
    auto span = [](double seconds) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)); };
    current.has_deadline = true;
    current.deadline = (arrived == Clock::time_point() ? arrival(st, session) : arrived) + span(asked->seconds);
    if (current.deadline <= Clock::now()) zk::raise(PyExc_TimeoutError, "the deadline passed before the call started");
}

// Runs `body` with `current` the thread's current call, for time_left and cancelled to find.
template <class Body>
Ref as_current(const State& st, ring::CurrentCall& current, Body&& body) {
    st.calls->enter(&current);
    return zk::finally(body, [&] { st.calls->leave(&current); });
}

// The next request. A message holding a class the allow-list refused, or an array the server could
// not rebuild, is read whole all the same: `refused` says why its call fails, unrun, rather than
// hand the method None or the printer's text in the value's place.
Ref next_request(const State& st, const Session& session, std::optional<zk::PyError>& refused) {
    Ref request;
    bool not_rebuilt = false;
    try {
        protocol::RefusingStandIns stand_ins(st.codec_api);
        request = session.link.recv();
        if (Handle text = stand_ins.not_rebuilt()) {
            not_rebuilt = true;
            zk::raise(zk::call(st.not_rebuilt, text));
        }
        return request;
    } catch (zk::PyError& e) {
        if (!not_rebuilt && !e.matches(st.class_not_allowed)) throw;
        refused.emplace(e);
        if (!not_rebuilt) request = zk::getattr(e.value(), st.names.value);  // the whole message, None for what was refused
        return request;
    }
}

// The metrics page, to a scraper that asked for it on the served port; the connection then ends,
// as an HTTP answer that says "Connection: close" does.
void answer_metrics(const State& st, const Session& session) {
    session.link.mark_closed();
    try {
        if (Ref sock = session.link.socket()) zk::call_method(sock, st.names.sendall, metrics_answer(**session.metrics));
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;  // the scraper has gone already
    }
}

// In WebSocket mode, what is no call record (the upgrade request, whose answer is the handshake, or
// a text without a call) is printed and sent back as it came.
void echo_to_browser(Scope s, const Session& session, Handle message) {
    const State& st = s.state();
    if (PyDict_Check(message.get())) {
        Ref address = zk::getattr(session.handler, st.names.client_address);
        if (!admit_upgrade(s, session.server, session.link, address, message)) return;
        if (session.metrics && asks_for_metrics(st.names, message)) return answer_metrics(st, session);
    } else {
        zk::print_out(st, s.global(st.names.print), zk::tuple_of({zk::escaped_text(message)}));
    }
    session.link.send(message);
}

// The call's name and its record entry: the session's last ones when the name is the same again.
void name_call(const Names& n, const Session& session, Handle request, Call& call) {
    call.name = name_of(request);
    if (!call.name) call.name = zk::getitem(request, zk::integer(2));  // raises as the record's own indexing does
    if (session.last_name && PyUnicode_CheckExact(call.name.get()) && PyUnicode_CheckExact(session.last_name.get()) &&
        PyUnicode_Compare(call.name.get(), session.last_name.get()) == 0) {
        call.name = session.last_name.copy();  // hashed already, and its parts known
        call.entry = session.last_entry.copy();
        call.counts = session.last_counts;
        return;
    }
    call.entry = entry_of(n, session.record, call.name);
    session.last_name = Ref(), session.last_split = {}, session.last_counts = nullptr;
    if (session.metrics) call.counts = (*session.metrics)->method(call.name);
    if (PyUnicode_CheckExact(call.name.get())) {
        session.last_split = split_call_name(n, call.name, session.policy);
        session.last_entry = call.entry.copy();
        session.last_counts = call.counts;
        session.last_name = call.name.copy();
    }
}

// Resolves and runs the call, and counts it: its result. `traceback` is the caller's wish, taken
// from the keywords once they are known; the call runs as the thread's current call, under its terms.
Ref run_call(Scope s, const Session& session, Handle request, Call& call, const std::optional<zk::PyError>& refused,
             Ref& traceback, Terms& terms, std::chrono::steady_clock::time_point arrived) {
    const State& st = s.state();
    const Names& n = st.names;
    zk::check_status(PyDict_Update(session.client.get(), session.caller.get()));
    name_call(n, session, request, call);
    static_cast<ParsedRequest&>(call) = resolve(s, session, request, call.name);
    traceback = PyDict_CheckExact(call.kwds.get()) ? zk::dict_pop(call.kwds, n.traceback_, Py_True)
                                                   : zk::call_method(call.kwds, n.pop, n.traceback_, Py_True);
    if (refused) throw *refused;
    if (Py_IS_TYPE(call.function.get(), reinterpret_cast<PyTypeObject*>(st.unresolved_type.get()))) {
        zk::raise(zk::call(PyExc_AttributeError, zk::to_str(call.function)));
    }
    if (terms.options) terms.asked = read_options(n, terms.record, terms.options);
    begin_call(st, session, call.msgid, terms.asked ? &*terms.asked : nullptr, arrived, terms.current);
    Ref result = as_current(st, terms.current, [&] { return invoke(call.function, call.args, call.kwds); });
    count_call(n, call.entry, 1);
    return result;
}

// The answer to a failed call is a list, to a successful one a tuple: every client takes both, and a
// client that raises failures tells them by that. An answer that cannot be encoded is answered as a
// failed call, so the caller is not left waiting; a broken connection still ends the loop. A value
// the codec could not carry is answered with the text that used to travel in its place.
// Whether the answer was a failure's.
bool answer(Scope s, const Session& session, Handle request, const Call& call, Ref response, bool failed,
            Handle traceback) {
    const State& st = s.state();
    auto send = [&](bool failure) {
        session.link.send(failure ? zk::list_of({st.response_kind, call.msgid, response})
                                  : zk::tuple_of({st.response_kind, call.msgid, response}));
    };
    Ref not_encoded;  // the printer's text for a value of the answer the codec could not carry
    try {
        protocol::RefusingStandIns stand_ins(st.codec_api);
        try {
            send(failed);
        } catch (zk::PyError&) {
            not_encoded = Ref::borrow(stand_ins.not_encoded());
            throw;
        }
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception) || e.matches(PyExc_OSError)) throw;
        if (!failed) count_call(st.names, call.entry, -1);
        response = not_encoded ? std::move(not_encoded) : failure_answer(s, session, request, call, e, traceback);
        send(true);
        return true;
    }
    return failed;
}

// Serves the call `request` (the 5-item form of a call record, whose options `terms` holds) and
// answers it; whether it failed.
bool serve_call(Scope s, const Session& session, Handle request, const std::optional<zk::PyError>& refused, Terms& terms,
                std::chrono::steady_clock::time_point began) {
    const State& st = s.state();
    Call call;
    Ref traceback = Ref::borrow(Py_True);
    Ref response;
    bool failed = false;
    try {
        response = run_call(s, session, request, call, refused, traceback, terms, began);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        response = failure_answer(s, session, request, call, e, traceback);
        failed = true;
    }
    if (terms.asked && !failed && PyGen_Check(response.get())) {
        // Items are packed without stand-ins, as an answer is: one that cannot be encoded ends the stream.
        auto send = [&](Handle record) {
            protocol::RefusingStandIns stand_ins(st.codec_api);
            session.link.send(record);
            if (session.metrics) count_items(**session.metrics, record);
        };
        serve_stream(st, terms.current, call.msgid, response, terms.asked->terms, session.idle_seconds, send,
                     [&](const zk::PyError& e) {
                         failed = true;
                         return failure_answer(s, session, request, call, e, traceback);
                     });
    } else {
        failed = answer(s, session, request, call, std::move(response), failed, traceback);
    }
    meter(session, call, failed, began);
    return failed;
}

// One request and its answer. A browser's call record arrives as a JSON list and is served like
// any other.
void serve_one(Scope s, const Session& session) {
    const State& st = s.state();
    std::optional<zk::PyError> refused;  // what the request held that cannot be served: the call fails with it, unrun
    Ref request = next_request(st, session, refused);
    bool record = PyTuple_Check(request.get()) || PyList_Check(request.get());
    if (!record && request.get() != Py_None && session.link.websocket_mode()) return echo_to_browser(s, session, request);
    if (!record) zk::raise(PyExc_TypeError, "Invalid protocol");
    if (is_control_record(request)) return;  // a credit or cancel of a call that has ended
    if (Ref answer = version_answer(st, request)) return session.link.send(answer);
    auto began = session.metrics ? arrival(st, session) : std::chrono::steady_clock::time_point();
    Terms terms;  // a call record's: the request is then read as the 5-item one it holds
    terms.record = std::exchange(request, as_request(st, request, terms.options));
    Ref telemetry = zk::telemetry(st.core);
    Ref name = name_of(request);
    if (!telemetry || !name) return (void)serve_call(s, session, request, refused, terms, began);
    // The server's span is current while the call runs, so that calls it makes on are its children.
    Ref span = zk::call_method(telemetry, st.names.server_span, name, traceparent_of(st.names, terms.options));
    bool failed = true;
    zk::finally([&] { failed = serve_call(s, session, request, refused, terms, began); },
                [&] { zk::call_method(telemetry, st.names.end_server_span, span, zk::boolean(failed)); });
}

// The descriptor of an accepted socket, for the kernel's counts of its bytes; -1 for none.
int descriptor_of(const Names& n, Handle sock) {
    try {
        long fd = PyLong_AsLong(zk::call_method(sock, n.fileno).get());
        if (fd == -1 && PyErr_Occurred()) zk::throw_error();
        return static_cast<int>(fd);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return -1;
    }
}

Ref setup(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref record = zk::new_dict();
    zk::setattr(self, n.record, record);
    Ref server = zk::getattr(self, n.server);
    Ref address = zk::getattr(self, n.client_address);
    report_connection_line(st, server, ConnectionLine::connected, n.info, zk::text("Client {} connected", address));
    zk::setitem(zk::getattr(server, n.statistics), address, record);
    Ref sock = zk::getattr(self, n.request);
    // With Nagle's algorithm an answer waits while an earlier one is unacknowledged, and a client
    // that pipelines its calls (or whose threads share a connection) acknowledges late, having
    // nothing to send: each answer after the first would wait some 40 ms. A message goes out in
    // one write, or in large pieces, so there is nothing for the algorithm to gather.
    try {
        zk::call_method(sock, n.setsockopt, st.ipproto_tcp, st.tcp_nodelay, zk::integer(1));
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;  // not TCP, or already reset: the loop sees the latter
    }
    zk::setattr(self, n._connection, connection_for(st, server, sock, first_message_due(n, server)));
    if (auto metrics = metrics_of(n, server)) {
        int fd = descriptor_of(n, sock);
        (*metrics)->opened(fd);
        zk::setattr(self, n._metered, zk::integer(fd));  // finish counts the same connection out
    }
    return zk::none();
}

bool begins_with_get(Handle first) {
    return PyBytes_Check(first.get()) && PyBytes_GET_SIZE(first.get()) >= 4 &&
           std::memcmp(PyBytes_AS_STRING(first.get()), "GET ", 4) == 0;
}

// One port serves zelk clients and browsers: a browser's first bytes are "GET ", which cannot
// begin a zelk message of sane length (its 8-byte length field would announce over 500 MB). The
// connection looks at them without taking them from its next recv, within its first message's
// deadline; a browser's connection then reads WebSocket frames. False: a plain server's peer began a
// TLS handshake, and goes; or the client closed without sending anything, and there is nothing left to serve.
bool tell_browsers_apart(const State& st, Handle self, Handle connection) {
    const Names& n = st.names;
    Ref first = zk::call_method(connection, n.peek, zk::integer(6));
    if (begins_with_get(first)) {
        zk::call_method(connection, n.upgrade);
    } else if (!serves_tls(n, zk::getattr(self, n.server)) && starts_tls_handshake(first)) {
        turn_away_tls(st, self);
        return false;
    }
    return !PyBytes_Check(first.get()) || PyBytes_GET_SIZE(first.get()) > 0;
}

// With a key, a new connection must pass the key handshake before anything it sends is decoded;
// one that fails is reported and closed. Browsers cannot take part, so they fail it too.
bool passes_key_handshake(const State& st, Handle self, Handle connection, const FirstMessage& first) {
    const Names& n = st.names;
    Ref server = zk::getattr(self, n.server);
    Ref key = zk::getattr_optional(server, n._authkey);
    if (!key || key.get() == Py_None) return true;
    try {
        zk::call_kw(st.deliver_challenge, {connection, key}, {{n.timeout, zk::floating(first.left(ring::handshake_seconds))}});
        return true;
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref text = zk::text("Client {} failed the key handshake: {}", zk::getattr(self, n.client_address), e.value());
        warn(n, server, text);
        return false;
    }
}

// Why a connection's loop ended, when that is worth a line: a reset, abort or broken pipe at
// critical level; a message over the limit, and a connection that sent no whole message in time, as
// such (`first`: the first message, due by first_message_timeout when that came before the idle
// time-out). Anything else (the client closing among them) ends it quietly.
void report_end(const State& st, Handle self, const zk::PyError& e, bool first) {
    const Names& n = st.names;
    Ref server = zk::getattr(self, n.server);
    Ref address = zk::getattr(self, n.client_address);
    if (e.matches(st.connection_errors)) {
        Ref type_name = zk::check(PyType_GetName(Py_TYPE(e.value())));
        report_connection_line(st, server, ConnectionLine::reset, n.critical, zk::text("{} {}", type_name, e.value()));
        return;
    }
    Ref log = zk::getattr(server, n.log);
    if (e.matches(st.message_too_large)) {
        zk::call_method(log, n.warning, zk::text("Client {} sent {}: connection closed", address, e.value()));
    } else if (e.matches(PyExc_TimeoutError) || e.matches(PyExc_BlockingIOError)) {
        Ref idle = zk::getattr(server, n.idle_timeout);
        Ref due = first ? zk::getattr(server, n.first_message_timeout) : zk::none();
        Ref text = due.get() != Py_None && (idle.get() == Py_None || zk::compare(due, idle, Py_LE))
                       ? zk::text("Client {} sent no whole first message in first_message_timeout ({} s): connection closed",
                                  address, due)
                       : zk::text("Client {} sent no whole message in idle_timeout ({} s): connection closed", address, idle);
        report_connection_line(st, server, ConnectionLine::idle, n.info, text);
    }
}

// Requests until the connection breaks, goes idle or the client goes away. The first message, with
// the handshakes before it, is due within first_message_timeout (or idle_timeout, if sooner).
Ref handle(Scope s, Handle self) {
    const State& st = s.state();
    const Names& n = st.names;
    FirstMessage first(first_message_due(n, zk::getattr(self, n.server)));
    if (!passes_tls_handshake(st, self, first)) return zk::none();  // with TLS, a connection over it from here on
    Ref connection = zk::getattr(self, n._connection);
    if (!passes_key_handshake(st, self, connection, first)) return zk::none();  // inside TLS, when there is TLS
    try {
        if (!tell_browsers_apart(st, self, connection)) return zk::none();
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;
        // Silent until its deadline: closed now. Any other break the loop below sees.
        if (e.matches(PyExc_BlockingIOError) || e.matches(PyExc_TimeoutError)) return report_end(st, self, e, true), zk::none();
    }
    bool native = zk::is_native(st.core, self, n.process, st.native_process, st.is_native_process);
    ring::Link link(st.ring_capsule, connection);
    std::optional<Session> session;
    if (native) session.emplace(st, self, link);
    bool awaiting_first = true;
    while (!link.closed()) {
        try {
            if (native) {
                serve_one(s, *session);
            } else {
                zk::call_method(self, n.process);
            }
            awaiting_first = false;
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            report_end(st, self, e, awaiting_first);
            break;
        }
    }
    return zk::none();
}

Ref process(Scope s, Handle self) {
    const State& st = s.state();
    ring::Link link(st.ring_capsule, zk::getattr(self, st.names._connection));
    serve_one(s, Session(st, self, link));
    return zk::none();
}

Ref finish(Scope s, Handle self) {
    const Names& n = s.names();
    Ref server = zk::getattr(self, n.server);
    if (Ref fd = zk::getattr_optional(self, n._metered)) {  // before any close, so the descriptor is still this connection's
        if (auto metrics = metrics_of(n, server)) (*metrics)->closed(static_cast<int>(zk::to_ssize(fd)));
    }
    Ref address = zk::getattr(self, n.client_address);
    report_connection_line(s.state(), server, ConnectionLine::disconnected, n.critical,
                           zk::text("Client{} disconnected!", address));
    zk::call_method(zk::getattr(server, n.statistics), n.pop, address, zk::str(""));
    ring::Link(s.state().ring_capsule, zk::getattr(self, n._connection)).mark_closed();
    // socketserver closes the socket it accepted, which TLS took over: the TLS one is closed here.
    if (serves_tls(n, server)) {
        try {
            zk::call_method(zk::getattr(self, n.request), n.close);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
    return zk::none();
}

}  // namespace

FirstMessage::FirstMessage(Handle seconds) {
    if (seconds.get() == Py_None) return;
    double limit = PyFloat_AsDouble(seconds);
    if (limit == -1.0 && PyErr_Occurred()) zk::throw_error();
    when_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                    std::chrono::duration<double>(std::min(limit, 3e9)));
}

double FirstMessage::left(double most) const {
    constexpr double least = 1e-3;
    if (!when_) return most;
    double left = std::chrono::duration<double>(*when_ - std::chrono::steady_clock::now()).count();
    return std::max(least, std::min(most, left));
}

Ref FirstMessage::left_or_none() const { return when_ ? zk::floating(left(HUGE_VAL)) : zk::none(); }

Ref first_message_due(const Names& n, Handle server) {
    Ref first = zk::getattr(server, n.first_message_timeout), idle = zk::getattr(server, n.idle_timeout);
    if (first.get() == Py_None) return idle;
    return idle.get() != Py_None && zk::compare(idle, first, Py_LT) ? std::move(idle) : std::move(first);
}

Ref connection_for(const State& st, Handle server, Handle sock, Handle first_message_timeout) {
    const Names& n = st.names;
    Ref allowed = zk::getattr_optional(server, n._allowed_classes);
    return zk::call_kw(st.connection_class, {sock},
                       {{n.max_message_size, zk::getattr(server, n.max_message_size)},
                        {n.idle_timeout, zk::getattr(server, n.idle_timeout)},
                        {n.first_message_timeout, first_message_timeout},
                        {n.allowed_classes, allowed ? allowed.get() : Py_None}});
}

void define_request_handler(zk::Module& m, State& st) {
    using zk::arg;
    Ref base = zk::getattr(m.get("socketserver"), st.names.BaseRequestHandler);
    Ref cls = m.add_class("RequestHandler", {base}, nullptr,
                          {
                              zk::method(zk::declare<setup>("setup", {arg("self")})),
                              zk::method(zk::declare<handle>("handle", {arg("self")})),
                              zk::method(zk::declare<process>("process", {arg("self")})),
                              zk::method(zk::declare<finish>("finish", {arg("self")})),
                          });
    st.native_process = zk::getattr(cls, st.names.process);
}

}  // namespace server
