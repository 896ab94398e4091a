// A stream: the items of a generator that a served method returned, sent in batches to a caller
// that takes them as they come, never more than its window (and byte budget) ahead of it.
#include "server/server.hpp"

#include <chrono>
#include <deque>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

using Clock = std::chrono::steady_clock;

// A batch goes out once it is this old, or once an item took this long to make, and an item that
// comes after the stream was quiet this long goes at once: a slow generator's items (and the first
// of any) go one by one, as they come, and a fast one's together.
constexpr auto batch_delay = std::chrono::milliseconds(1);

// A guess of the bytes an item takes in a message, before it is packed: exact for buffers (arrays
// among them) and texts, a little for anything else.
long long guessed_size(Handle item) {
    constexpr long long small = 16;
    PyObject* o = item.get();
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o) || o == Py_None || PyBool_Check(o)) return small;
    if (PyUnicode_Check(o)) return small + PyUnicode_GET_LENGTH(o);
    if (PyBytes_Check(o)) return small + PyBytes_GET_SIZE(o);
    if (PyList_Check(o) || PyTuple_Check(o) || PyDict_Check(o) || PyAnySet_Check(o)) return small * (1 + PyObject_Length(o));
    if (PyObject_CheckBuffer(o)) {
        Py_buffer view;
        if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) == 0) {
            long long length = view.len;
            PyBuffer_Release(&view);
            return small + length;
        }
        PyErr_Clear();
    }
    return small;
}

// The batches sent and not yet wholly taken: how many items had been sent at each one's end, and its bytes.
struct InFlight {
    std::deque<std::pair<long long, long long>> batches;
    long long bytes = 0;

    void sent(long long items_end, long long size) {
        batches.emplace_back(items_end, size);
        bytes += size;
    }
    void taken(long long items) {
        while (!batches.empty() && batches.front().first <= items) {
            bytes -= batches.front().second;
            batches.pop_front();
        }
    }
};

// Runs `body` with `call` the thread's current call: the generator's code may ask about it.
template <class Body>
auto as_current(const ring::CallsApi* calls, ring::CurrentCall& call, Body&& body) {
    calls->enter(&call);
    return zk::finally(body, [&] { calls->leave(&call); });
}

class Stream {
public:
    Stream(const State& st, ring::CurrentCall& call, Handle msgid, Handle generator, const StreamTerms& terms,
           double idle_seconds, const std::function<void(Handle)>& send,
           const std::function<Ref(const zk::PyError&)>& failure)
        : st_(st), calls_(st.calls), call_(call), msgid_(msgid), generator_(generator), terms_(terms),
          idle_seconds_(idle_seconds), send_(send), failure_(failure) {}

    void run() {
        Ref batch = zk::new_list();
        long long guess = 0;
        auto batch_began = Clock::now();
        last_sent_ = batch_began - batch_delay;
        for (;;) {
            in_flight_.taken(call_.taken);
            long long ahead = call_.sent + PyList_GET_SIZE(batch.get()) - call_.taken;
            bool full = ahead >= terms_.window ||
                        (in_flight_.bytes + guess >= terms_.budget && (in_flight_.bytes > 0 || guess > 0));
            if (full) {
                if (PyList_GET_SIZE(batch.get())) {
                    if (!send_batch(ring::items_kind, batch, guess)) return;
                    continue;
                }
                if (!wait_for_credits()) return;
                continue;
            }
            auto asked = Clock::now();
            Ref item = as_current(calls_, call_, [&] { return Ref::steal(PyIter_Next(generator_.get())); });
            if (!item) {
                if (PyErr_Occurred()) return fail(batch, guess, zk::PyError::fetch());
                send_batch(ring::end_kind, batch, guess);
                return;
            }
            auto now = Clock::now();
            if (PyList_GET_SIZE(batch.get()) == 0) batch_began = asked;
            zk::append(batch, item);
            guess += guessed_size(item);
            if (now - batch_began >= batch_delay || now - asked >= batch_delay || asked - last_sent_ >= batch_delay) {
                if (!send_batch(ring::items_kind, batch, guess)) return;
            }
        }
    }

    // Closes the generator (its finally runs, with the call current and called off), whatever ended the stream.
    void close_generator() {
        if (closed_) return;
        closed_ = true;
        as_current(calls_, call_, [&] { zk::call_method(generator_, st_.names.close); });
    }

private:
    // Sends `batch` as the next record of the stream and starts a new one; false once the stream
    // has ended, called off (its end record sent) or its caller gone.
    bool send_batch(ring::Kind kind, Ref& batch, long long& guess) {
        long long count = PyList_GET_SIZE(batch.get());
        try {
            send_(zk::list_of({zk::integer(kind), msgid_, batch}));
        } catch (zk::PyError& e) {
            // An item that cannot be encoded ends the stream as a failure of its generator would: the
            // batch was not sent, nor anything of it. A broken connection ends the loop as ever.
            if (!e.matches(PyExc_Exception) || e.matches(PyExc_OSError)) throw;
            Ref text = failure_(e);
            if (kind != ring::end_kind) close_generator();
            send_(zk::list_of({st_.response_kind, msgid_, text}));
            return false;
        }
        call_.sent += count;
        in_flight_.sent(call_.sent, guess);
        batch = zk::new_list();
        guess = 0;
        last_sent_ = Clock::now();
        if (kind == ring::end_kind) return false;
        if (terms_.span >= 0) call_.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                                   std::chrono::duration<double>(terms_.span));
        if (calls_->look(calls_, &call_, 0) < 0) zk::throw_error();
        return !called_off();
    }

    // With the window or the budget full: waits for the caller to take items. False once called off.
    bool wait_for_credits() {
        long long before = call_.taken;
        double wait = idle_seconds_ < 0 ? 3e9 : idle_seconds_;
        if (calls_->look(calls_, &call_, wait) < 0) zk::throw_error();
        if (called_off()) return false;
        if (call_.taken == before) {
            close_generator();
            zk::raise(PyExc_TimeoutError, "timed out");  // the caller took nothing for the whole idle time
        }
        return true;
    }

    // A stream called off ends with the generator closed and an end record, unless its caller is gone.
    bool called_off() {
        if (!call_.cancelled) return false;
        try {
            close_generator();
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (!call_.peer_gone) send_(zk::list_of({st_.response_kind, msgid_, failure_(e)}));
            return true;
        }
        if (!call_.peer_gone) send_(zk::list_of({zk::integer(ring::end_kind), msgid_, zk::new_list()}));
        return true;
    }

    // The generator raised: the items before the failure go first, then the failure, as a failed call's answer.
    void fail(Ref& batch, long long& guess, zk::PyError e) {
        closed_ = true;  // a generator that raised is finished
        if (!e.matches(PyExc_Exception)) throw e;
        Ref text = failure_(e);
        // A stream called off meanwhile, or whose items could not be sent, has had its last record.
        if (PyList_GET_SIZE(batch.get()) && !send_batch(ring::items_kind, batch, guess)) return;
        if (!call_.peer_gone) send_(zk::list_of({st_.response_kind, msgid_, text}));
    }

    const State& st_;
    const ring::CallsApi* calls_;
    ring::CurrentCall& call_;
    Handle msgid_, generator_;
    const StreamTerms& terms_;
    double idle_seconds_;
    const std::function<void(Handle)>& send_;
    const std::function<Ref(const zk::PyError&)>& failure_;
    InFlight in_flight_;
    Clock::time_point last_sent_;
    bool closed_ = false;
};

}  // namespace

void serve_stream(const State& st, ring::CurrentCall& call, Handle msgid, Handle generator, const StreamTerms& terms,
                  double idle_seconds, const std::function<void(Handle)>& send,
                  const std::function<Ref(const zk::PyError&)>& failure) {
    Stream stream(st, call, msgid, generator, terms, idle_seconds, send, failure);
    try {
        stream.run();
    } catch (zk::PyError& e) {
        // A broken connection, or a failure of our own: the generator's finally still runs.
        zk::Handling handling(e);
        stream.close_generator();
        throw;
    }
}

}  // namespace server
