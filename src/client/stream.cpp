// What a client speaks beside the 5-item request once the server said it takes more: the question
// (asked once per connection), call records with their options, and Stream, the iterator over the
// items of a stream that answers a call.
#include "client/lanes.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

constexpr const char* stream_state_name = "zelk.client.stream";
// Leaving a stream early waits this long, at most, for what was in flight to come and go.
constexpr double drain_seconds = 1.0;

// A PyError of a new exception of `type` with `text`, for keeping.
zk::PyError error_of(Handle type, const char* text) {
    try {
        zk::raise(zk::call(type, zk::str(text)));
    } catch (zk::PyError& e) {
        return e;
    }
}

// The seconds a time-out holds for, or a negative number for none (None).
double seconds_of(Handle timeout) {
    if (timeout.get() == Py_None) return -1;
    double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    return seconds;
}

// The kind of a record that is a list of three beginning with a small int; -1 for anything else.
long list_kind(Handle record) {
    if (!PyList_CheckExact(record.get()) || PyList_GET_SIZE(record.get()) != 3) return -1;
    PyObject* first = PyList_GET_ITEM(record.get(), 0);
    if (!PyLong_CheckExact(first)) return -1;
    long kind = PyLong_AsLong(first);
    if (kind == -1 && PyErr_Occurred()) PyErr_Clear();
    return kind;
}

}  // namespace

void ask_version(Scope s, Lane& lane, ring::Link& link) {
    const State& st = s.state();
    const Names& n = st.names;
    lane.asking_failed.reset();
    lane.refused = Ref();
    lane.calls_version = 0;
    lane.takes_traceparent = false;
    link.send(zk::tuple_of({s.global(n.REQUEST), zk::integer(0), n.version_question, zk::tuple_of({}), zk::new_dict()}));
    Ref answer;
    try {
        answer = link.recv();
        if (answer.get() == Py_None && ended(link)) {
            lane.asking_failed.emplace(error_of(PyExc_ConnectionError, "the server closed the connection before it answered"));
            return;
        }
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
        lane.asking_failed.emplace(e);
        return;
    }
    if (refusal_reason(s, answer)) {
        lane.refused = std::move(answer);
        return;
    }
    lane.asked_on = Ref::borrow(link.connection());
    // (1, 0, {"version": n}); an old server's failure, or anything else, leaves the 5-item request.
    if (!PyTuple_CheckExact(answer.get()) || PyTuple_GET_SIZE(answer.get()) != 3) return;
    Handle kinds = PyTuple_GET_ITEM(answer.get(), 2);
    if (!PyDict_CheckExact(kinds.get())) return;
    Ref version = zk::dict_get(kinds, n.version);
    if (version && PyLong_CheckExact(version.get())) {
        long v = PyLong_AsLong(version.get());
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
        lane.calls_version = v >= ring::calls_version ? ring::calls_version : 0;
    }
    Ref traceparent = zk::dict_get(kinds, n.traceparent);
    lane.takes_traceparent = lane.calls_version && traceparent.get() == Py_True;
}

Ref call_options(Scope s, Handle self, Lane& lane, Handle conn, Handle timeout) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref options = zk::new_dict();
    Ref own = zk::truthy(timeout) ? Ref::borrow(timeout) : zk::getattr(conn, n.timeout);
    double seconds = seconds_of(own);
    // A call made while this thread serves one waits no longer than that call's caller does.
    if (ring::CurrentCall* current = st.calls->current(); current && current->has_deadline) {
        double left = std::max(ring::seconds_left(*current), 1e-3);
        if (seconds < 0 || left < seconds) {
            if (!lane.restore_timeout) lane.restore_timeout = zk::getattr(conn, n.timeout);
            zk::call_method(conn, n.settimeout, zk::floating(left));
            seconds = left;
        }
    }
    if (seconds >= 0) zk::setitem(options, n.deadline, zk::floating(seconds));
    Ref window = zk::getattr(self, n._stream_window);
    if (zk::to_ssize(window) != ring::default_stream_window) zk::setitem(options, n.window, window);
    Ref most = zk::getattr(self, n._max_message_size);
    if (zk::to_ssize(most) < ring::default_stream_budget) zk::setitem(options, n.bytes_, most);
    if (lane.traceparent && lane.takes_traceparent) zk::setitem(options, n.traceparent, lane.traceparent);
    return options;
}

namespace {

// Gives the lane's connection its own time-out back, when a call's inherited deadline shortened it.
void restore_own_timeout(Scope s, Lanes& lanes, Lane& lane) {
    if (!lane.restore_timeout) return;
    Ref own = std::move(lane.restore_timeout);
    Ref conn = lanes.connection_of(lane);
    if (conn.get() == Py_None || zk::truthy(zk::getattr(conn, s.names().closed))) return;
    try {
        zk::call_method(conn, s.names().settimeout, own);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_OSError)) throw;  // closed meanwhile: the next call renews it
    }
}

}  // namespace

void give_lane_back(Scope s, Lanes& lanes, Lane& lane, Clock::duration idle) {
    std::vector<Ref> unused;
    zk::finally([&] { restore_own_timeout(s, lanes, lane); }, [&] { unused = lanes.checkin(lane, idle); });
    for (Ref& connection : unused) close_quietly(s.names(), connection);
}

Ref log_at(const Names& n, Handle client, Handle level, Handle message) {
    return zk::call_method(zk::getattr(client, n.log), level, message);
}

bool starts_stream(Handle response, Handle expected) {
    long kind = list_kind(response);
    if (kind != ring::items_kind && kind != ring::end_kind) return false;
    return PyList_CheckExact(PyList_GET_ITEM(response.get(), 2)) && zk::equal(PyList_GET_ITEM(response.get(), 1), expected);
}

bool stream_goes_on(Handle record) { return list_kind(record) == ring::items_kind; }

namespace {

// A stream's native side: the lane it holds until it ends, and the items it has not handed out.
struct StreamState {
    std::optional<LanesRef> lanes;
    Lane* lane = nullptr;  // given back (and null) once the stream has ended
    Ref client, method, args, kwds, msgid;
    bool raising = false;
    long long window = ring::default_stream_window;
    Ref batch;  // the items last read, handed out from `at` on
    Py_ssize_t at = 0;
    long long received = 0, taken = 0, credited = 0;
    bool ended = false;                 // nothing more comes: the end, a failure, or the connection lost
    std::optional<zk::PyError> raised;  // raised once the items before it are taken (errors="raise")
    std::atomic<bool> busy{false};      // a thread is reading it

    template <class F>
    void each(F&& f) {
        f(client), f(method), f(args), f(kwds), f(msgid), f(batch);
    }
};

using StreamRef = zk::Boxed<StreamState>;

StreamRef state_of(Scope s, Handle self) {
    return zk::unbox<StreamState>(zk::getattr(self, s.names()._stream), stream_state_name);
}

// One thread at a time reads a stream, as one runs a generator.
class Reading {
public:
    explicit Reading(StreamState& st) : st_(st) {
        if (st_.busy.exchange(true)) zk::raise(PyExc_RuntimeError, "the stream is being read by another thread");
    }
    ~Reading() { st_.busy.store(false); }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

private:
    StreamState& st_;
};

// Gives the lane back, its connection's own time-out restored; the spares left idle go.
void give_back(Scope s, StreamState& st) {
    if (!st.lane) return;
    Lane* lane = std::exchange(st.lane, nullptr);
    give_lane_back(s, **st.lanes, *lane, spare_idle(s));
}

// Closes the lane's connection, whose stream is out of step or lost: the lane's next call opens another.
void drop_connection(Scope s, StreamState& st) {
    if (!st.lane) return;
    Ref conn = (*st.lanes)->connection_of(*st.lane);
    if (conn.get() == Py_None) return;
    zk::suppress(PyExc_OSError, [&] { zk::call_method(conn, s.names().clear); });
    close_quietly(s.names(), conn);
}

ring::Link& link_of(Scope s, StreamState& st) {
    return st.lane->link_to(s.state(), (*st.lanes)->connection_of(*st.lane));
}

// The failure that ends the stream: under errors="raise", `error` (type(text), its cause `cause`)
// is raised after the items before it; else its text is the last item.
void end_with(StreamState& st, Handle text, Handle type, const zk::PyError* cause, Handle remote_type = nullptr) {
    st.ended = true;
    st.at = 0;
    if (!st.raising) {
        st.batch = zk::list_of({text});
        return;
    }
    st.batch = zk::new_list();
    Ref error = remote_type.get() ? zk::call(type, text, remote_type) : zk::call(type, text);
    if (cause) PyException_SetCause(error.get(), Py_NewRef(cause->value()));
    try {
        zk::raise(error);
    } catch (zk::PyError& e) {
        st.raised.emplace(e);
    }
}

// A read that failed: reported as a call's receive failure is, and the connection renewed.
void lost(Scope s, StreamState& st, const zk::PyError& e) {
    const State& state = s.state();
    const Names& n = state.names;
    zk::Handling handling(e);
    drop_connection(s, st);
    Ref text = log_at(n, st.client, n.critical, failure_text(zk::str("@RECV"), e.value()));
    Handle type = e.matches(PyExc_TimeoutError) ? state.call_timeout.get()
                  : e.matches(PyExc_OSError)    ? state.connection_lost.get()
                                                : state.invalid_answer.get();
    end_with(st, text, type, &e);
}

// A record that is not the stream's next: reported as an answer that fails the check is. `why`
// names `record` and then `detail`, the call's id unless given.
void refused(Scope s, StreamState& st, Handle record, const char* why, Handle detail = nullptr) {
    Ref reason = zk::call(PyExc_Exception, zk::text(why, record, detail.get() ? detail : st.msgid));
    Ref text = report_failure(s, st.client, st.method, st.args, st.kwds, reason);
    drop_connection(s, st);
    end_with(st, text, s.state().invalid_answer, nullptr);
}

// Takes one record of the stream in: its items, its end, or the failure that ends it.
void take(Scope s, StreamState& st, Handle record) {
    long kind = list_kind(record);
    if ((kind == ring::items_kind || kind == ring::end_kind) && PyList_CheckExact(PyList_GET_ITEM(record.get(), 2)) &&
        zk::equal(PyList_GET_ITEM(record.get(), 1), st.msgid)) {
        // A server that runs past the window breaks the terms a client's memory is kept to.
        st.received += PyList_GET_SIZE(PyList_GET_ITEM(record.get(), 2));
        if (st.received - st.credited > st.window) {
            return refused(s, st, zk::integer(st.received - st.credited), "Stream: {} items sent beyond a window of {}",
                           zk::integer(st.window));
        }
        st.batch = Ref::borrow(PyList_GET_ITEM(record.get(), 2));
        st.at = 0;
        st.ended = kind == ring::end_kind;
        return;
    }
    // A failure of the generator: [1, id, text], as a failed call is answered.
    if (kind == 1 && zk::equal(PyList_GET_ITEM(record.get(), 1), st.msgid) && PyUnicode_Check(PyList_GET_ITEM(record.get(), 2))) {
        Handle text = PyList_GET_ITEM(record.get(), 2);
        return end_with(st, text, s.state().remote_error, nullptr, remote_type_of(text));
    }
    refused(s, st, record, "Stream[{}]: Invalid Record<Request[0, {}]>");
}

// The caller took `taken` items: the server may run that far ahead again.
void credit(Scope s, StreamState& st) {
    link_of(s, st).send(zk::list_of({zk::integer(ring::credit_kind), st.msgid, zk::integer(st.taken)}));
    st.credited = st.taken;
}

// The next record, having reported what was taken first when the server may be waiting for it. A
// raising stream reads without stand-ins, as its call did: an array that cannot be rebuilt fails it.
void read_more(Scope s, StreamState& st) {
    const State& state = s.state();
    try {
        if (st.taken > st.credited) credit(s, st);
        ring::Link& link = link_of(s, st);
        Ref record;
        {
            std::optional<protocol::RefusingStandIns> stand_ins;
            if (st.raising) stand_ins.emplace(state.codec_api);
            record = link.recv();
            if (stand_ins && stand_ins->not_rebuilt()) zk::raise(zk::call(state.not_rebuilt, stand_ins->not_rebuilt()));
        }
        if (record.get() == Py_None && ended(link)) {
            zk::raise(zk::call(PyExc_ConnectionError, zk::str("the server closed the connection before the stream ended")));
        }
        take(s, st, record);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception) && !e.matches(PyExc_KeyboardInterrupt)) throw;
        // Read whole, and refused: the stream ends there, and its connection, whose next records
        // would come to the next call, goes.
        if (e.matches(state.class_not_allowed) || e.matches(state.not_rebuilt)) {
            Ref text = report_failure(s, st.client, st.method, st.args, st.kwds, e.value());
            drop_connection(s, st);
            return end_with(st, text, state.invalid_answer, &e);
        }
        lost(s, st, e);
    }
}

Ref next_item(Scope s, Handle self) {
    StreamRef ref = state_of(s, self);
    StreamState& st = *ref;
    Reading reading(st);
    for (;;) {
        if (st.batch && st.at < PyList_GET_SIZE(st.batch.get())) {
            Ref item = Ref::borrow(PyList_GET_ITEM(st.batch.get(), st.at++));
            st.taken++;
            if (!st.ended && st.taken - st.credited >= std::max(1LL, st.window / 2)) {
                try {
                    credit(s, st);
                } catch (zk::PyError& e) {
                    if (!e.matches(PyExc_OSError)) throw;
                    // Lost while reporting: the next read says so, after this item.
                }
            }
            return item;
        }
        if (st.ended || !st.lane) {
            give_back(s, st);
            if (st.raised) {
                zk::PyError error = *st.raised;
                st.raised.reset();
                throw error;
            }
            zk::raise(PyExc_StopIteration, "");
        }
        read_more(s, st);
    }
}

Ref iter(Scope, Handle self) { return Ref::borrow(self); }

// Leaving early: the server is told, and what it sent meanwhile is read and dropped up to the
// stream's end, for at most drain_seconds; a server that does not end it by then loses the connection.
void leave_early(Scope s, StreamState& st) {
    const Names& n = s.names();
    Ref conn = (*st.lanes)->connection_of(*st.lane);
    bool drained = false;
    try {
        Ref own = zk::getattr(conn, n.timeout);
        double seconds = seconds_of(own);
        ring::Link& link = st.lane->link_to(s.state(), conn);
        link.send(zk::list_of({zk::integer(ring::cancel_kind), st.msgid}));
        if (seconds < 0 || seconds > drain_seconds) zk::call_method(conn, n.settimeout, zk::floating(drain_seconds));
        zk::finally(
            [&] {
                while (!drained) {
                    Ref record = link.recv();
                    long kind = list_kind(record);
                    if (kind < 0 || !zk::equal(PyList_GET_ITEM(record.get(), 1), st.msgid)) break;  // out of step
                    drained = kind == ring::end_kind || kind == 1;
                    if (kind != ring::items_kind && !drained) break;
                }
            },
            [&] {
                if (seconds < 0 || seconds > drain_seconds) zk::call_method(conn, n.settimeout, own);
            });
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    st.ended = true;
    if (!drained) drop_connection(s, st);
}

void close_stream(Scope s, StreamState& st) {
    st.batch = zk::new_list();
    st.raised.reset();
    if (!st.lane) return;
    if (!st.ended) leave_early(s, st);
    give_back(s, st);
}

Ref close(Scope s, Handle self) {
    StreamRef ref = state_of(s, self);
    Reading reading(*ref);
    close_stream(s, *ref);
    return zk::none();
}

Ref enter(Scope, Handle self) { return Ref::borrow(self); }

Ref exit(Scope s, Handle self, Handle) { return close(s, self); }

// A stream dropped before its end is left early, as close() does; what fails here is only lost.
Ref del(Scope s, Handle self) {
    try {
        Ref capsule = zk::getattr_optional(self, s.names()._stream);
        if (!capsule) return zk::none();
        StreamRef ref = zk::unbox<StreamState>(std::move(capsule), stream_state_name);
        if (ref->busy.exchange(true)) return zk::none();
        zk::finally([&] { close_stream(s, *ref); }, [&] { ref->busy.store(false); });
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return zk::none();
}

Ref repr(Scope s, Handle self) {
    StreamRef ref = state_of(s, self);
    return zk::text("<zelk.client.Stream of {} {}>", ref->method, zk::str(ref->lane ? "open" : "ended"));
}

const char* const stream_doc =
    "The items of a served generator, as they come: an iterator, and a context manager.\n"
    "\n"
    "    A remote method that returns a generator answers with a stream. It holds a connection of its\n"
    "    client's until it ends; close() (or the end of a with block, or dropping it) tells the server,\n"
    "    whose generator is then closed. A failure of the generator comes after the items before it:\n"
    "    raised as RemoteError with errors=\"raise\", else its text is the last item.\n"
    "    ";

}  // namespace

Ref start_stream(Scope s, Handle self, LanesRef lanes, Lane& lane, Handle record, Handle method, Handle args, Handle kwds) {
    const State& state = s.state();
    const Names& n = state.names;
    auto st = std::make_unique<StreamState>();
    st->lane = &lane;
    st->lanes.emplace(std::move(lanes));
    st->client = Ref::borrow(self);
    st->method = Ref::borrow(method);
    st->args = Ref::borrow(args);
    st->kwds = Ref::borrow(kwds);
    st->msgid = Ref::borrow(PyList_GET_ITEM(record.get(), 1));
    StreamState& ref = *st;
    Ref capsule = zk::box(std::move(st), stream_state_name);  // owns it from here on
    try {
        ref.raising = raises(n, zk::getattr(self, n._errors));
        ref.window = zk::to_ssize(zk::getattr(self, n._stream_window));
        take(s, ref, record);
        (*ref.lanes)->hand_to_stream(lane);
        Ref stream = zk::call(state.stream_class);
        zk::setattr(stream, n._stream, capsule);
        return stream;
    } catch (zk::PyError&) {
        give_back(s, ref);
        throw;
    }
}

void define_stream(zk::Module& m, State& st) {
    using zk::arg;
    st.stream_class = m.add_class("Stream", {}, stream_doc,
                                  {
                                      zk::method(zk::declare<iter>("__iter__", {arg("self")})),
                                      zk::method(zk::declare<next_item>("__next__", {arg("self")})),
                                      zk::method(zk::declare<close>("close", {arg("self")}).doc(
                                          "Leave the stream: the server's generator is closed. Closing twice does nothing.")),
                                      zk::method(zk::declare<enter>("__enter__", {arg("self")})),
                                      zk::method(zk::declare<exit>("__exit__", {arg("self"), zk::varargs("exc_info")})),
                                      zk::method(zk::declare<del>("__del__", {arg("self")})),
                                      zk::method(zk::declare<repr>("__repr__", {arg("self")}).returns("str")),
                                  });
}

}  // namespace client
