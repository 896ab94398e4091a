// Lanes: which connection a call of a client runs on, and the `_connection` each thread sees.
#include "client/lanes.hpp"

#include <algorithm>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

constexpr const char* lanes_name = "zelk.client.lanes";

unsigned long this_thread() noexcept { return PyThread_get_thread_ident(); }

}  // namespace

Lane* Lanes::current_locked(unsigned long thread) noexcept {
    // A call made inside another on the same thread (a signal handler's, a subclass's hook) holds a
    // lane of its own, taken after the outer call's: the innermost is the one taken last.
    Lane* innermost = first_->caller == thread ? first_.get() : nullptr;
    if (spares_in_use_) {
        for (auto& spare : spares_) {
            if (spare->caller == thread && (!innermost || spare->taken > innermost->taken)) innermost = spare.get();
        }
    }
    return innermost;
}

Lane& Lanes::take(Lane& lane, unsigned long thread, const std::string& want) {
    lane.caller = thread;
    lane.taken = ++checkouts_;
    lane.target = want;
    if (&lane != first_.get()) spares_in_use_++;
    return lane;
}

Lane& Lanes::checkout(const std::string& want) {
    unsigned long thread = this_thread();
    zk::Holding holding(mutex_);
    // Round robin: a lane whose connection goes to another address is not this call's.
    auto fits = [&](const Lane& lane) { return want.empty() || lane.address == want || lane.connection.get() == Py_None; };
    // A call made from inside a call of the same thread (a subclass calling back) gets a lane of its own.
    if (!first_->caller && fits(*first_)) return take(*first_, thread, want);
    Lane* unconnected = nullptr;
    for (auto& spare : spares_) {
        if (spare->caller || !fits(*spare)) continue;
        if (want.empty() || spare->address == want) return take(*spare, thread, want);
        if (!unconnected) unconnected = spare.get();
    }
    if (unconnected) return take(*unconnected, thread, want);
    spares_.push_back(std::make_unique<Lane>());
    has_spares_.store(true, std::memory_order_relaxed);
    return take(*spares_.back(), thread, want);
}

// A spare connection left unused this long is closed: threads that called in parallel once do not
// keep connections (and the server's threads) for ever.
Clock::duration spare_idle(Scope s) {
    double seconds = PyFloat_AsDouble(s.global(s.names()._SPARE_IDLE).get());
    if (seconds == -1.0 && PyErr_Occurred()) zk::throw_error();
    seconds = seconds > 0 ? std::min(seconds, 1e9) : 0.0;  // NaN too: what a duration can hold
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::vector<Ref> Lanes::checkin(Lane& lane, Clock::duration spare_idle) {
    std::vector<Ref> unused;
    Ref replaced;  // dropped once the lock is let go, as set_connection's is: not closed
    zk::Holding holding(mutex_);
    auto now = Clock::now();
    lane.caller = 0;
    lane.sent_id = Ref();
    lane.target.clear();
    lane.free_since = now;
    if (&lane != first_.get()) {
        spares_in_use_--;
    } else if (next_first_) {
        replaced = std::exchange(lane.connection, std::move(next_first_));
        lane.address = std::exchange(next_first_address_, {});
    }
    auto stale = [&](const std::unique_ptr<Lane>& spare) { return !spare->caller && now - spare->free_since > spare_idle; };
    for (auto& spare : spares_) {
        if (stale(spare)) unused.push_back(std::move(spare->connection));
    }
    spares_.erase(std::remove_if(spares_.begin(), spares_.end(), stale), spares_.end());
    has_spares_.store(!spares_.empty(), std::memory_order_relaxed);
    return unused;  // closed by the caller, outside the lock
}

void Lanes::hand_to_stream(Lane& lane) {
    zk::Holding holding(mutex_);
    lane.caller = stream_caller;
}

Ref Lanes::connection() {
    zk::Holding holding(mutex_);
    if (Lane* lane = current_locked(this_thread())) return lane->connection.copy();
    return (first_->caller && next_first_ ? next_first_ : first_->connection).copy();
}

Ref Lanes::connection_of(const Lane& lane) {
    zk::Holding holding(mutex_);
    return lane.connection.copy();
}

// A thread sets the connection of its innermost call's lane; outside a call, the client's own. A
// lane another thread's call holds is never written: that call keeps the connection it is using.
void Lanes::set_connection(Handle connection) {
    Ref old;
    {
        zk::Holding holding(mutex_);
        Lane* lane = current_locked(this_thread());
        Ref& target = lane ? lane->connection : first_->caller ? next_first_ : first_->connection;
        old = std::exchange(target, Ref::borrow(connection));
    }
    // `old` goes outside the lock: dropping the last reference to a connection may run Python code.
}

void Lanes::set_address(const std::string& key) {
    zk::Holding holding(mutex_);
    Lane* lane = current_locked(this_thread());
    (lane ? lane->address : first_->caller ? next_first_address_ : first_->address) = key;
}

std::string Lanes::address_of(const Lane& lane) {
    zk::Holding holding(mutex_);
    return lane.address;
}

Lane* Lanes::current() {
    zk::Holding holding(mutex_);
    return current_locked(this_thread());
}

std::vector<Ref> Lanes::all_connections() {
    std::vector<Ref> all;
    zk::Holding holding(mutex_);
    all.push_back(first_->connection.copy());
    for (auto& spare : spares_) {
        all.push_back(spare->caller ? spare->connection.copy() : std::move(spare->connection));
    }
    if (next_first_) all.push_back(next_first_.copy());
    spares_.erase(std::remove_if(spares_.begin(), spares_.end(), [](const auto& spare) { return !spare->caller; }),
                  spares_.end());
    has_spares_.store(!spares_.empty(), std::memory_order_relaxed);
    return all;
}

std::vector<Ref> Lanes::forget_parent(unsigned forks, unsigned long forking_thread) {
    std::vector<Ref> parents;
    std::vector<std::unique_ptr<Lane>> gone;  // freed once the lock is let go
    zk::Holding holding(mutex_);
    if (!forked(forks)) return parents;
    // A call of the thread that forked goes on in the child, on its lane: that lane stays.
    if (first_->caller != forking_thread) {
        parents.push_back(std::move(first_->connection));
        gone.push_back(std::exchange(first_, std::make_unique<Lane>()));
    }
    if (next_first_) parents.push_back(std::move(next_first_));
    next_first_address_.clear();
    std::vector<std::unique_ptr<Lane>> kept;
    for (auto& spare : spares_) {
        if (spare->caller == forking_thread) {
            kept.push_back(std::move(spare));
            continue;
        }
        parents.push_back(std::move(spare->connection));
        gone.push_back(std::move(spare));
    }
    spares_ = std::move(kept);
    has_spares_.store(!spares_.empty(), std::memory_order_relaxed);
    spares_in_use_ = static_cast<int>(spares_.size());
    forks_seen_.store(forks, std::memory_order_relaxed);
    return parents;
}

namespace {

// The child's copies of the parent's descriptors are closed, never shut down: the parent's
// connections stay open, since a connection ends only with the last copy of its descriptor.
void let_go_of_parents(const State& st, std::vector<Ref>& connections) {
    const Names& n = st.names;
    for (Ref& connection : connections) {
        if (!connection || connection.get() == Py_None) continue;
        if (Ref sock = ring::Link(st.ring_capsule, connection).socket()) {
            zk::suppress(PyExc_OSError, [&] { zk::call_method(sock, n.close); });
        }
    }
}

}  // namespace

LanesRef lanes_of(const State& st, Handle client) {
    LanesRef lanes = zk::unbox<Lanes>(zk::getattr(client, st.names._lanes), lanes_name);
    unsigned forks = st.forks.load(std::memory_order_relaxed);
    if (lanes->forked(forks)) {
        std::vector<Ref> parents = lanes->forget_parent(forks, st.forked_by.load(std::memory_order_relaxed));
        let_go_of_parents(st, parents);
    }
    return lanes;
}

Ref make_lanes(const State& st) {
    return zk::box(std::make_unique<Lanes>(st.forks.load(std::memory_order_relaxed)), lanes_name);
}

namespace {

Ref get_connection(Scope s, Handle self) { return lanes_of(s.state(), self)->connection(); }

Ref set_connection(Scope s, Handle self, Handle value) {
    lanes_of(s.state(), self)->set_connection(value);
    return zk::none();
}

Ref get_msgid(Scope s, Handle self) { return zk::integer(lanes_of(s.state(), self)->last_id.load()); }

Ref set_msgid(Scope s, Handle self, Handle value) {
    long long id = PyLong_AsLongLong(value);
    if (id == -1 && PyErr_Occurred()) zk::throw_error();
    lanes_of(s.state(), self)->last_id.store(id);
    return zk::none();
}

// Runs in a child process right after a fork: its clients' connections are the parent's.
Ref after_fork_in_child(Scope s) {
    s.state().forked_by.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    s.state().forks.fetch_add(1, std::memory_order_relaxed);
    return zk::none();
}

}  // namespace

zk::Member connection_property() {
    using zk::arg;
    return zk::property(zk::declare<get_connection>("_connection", {arg("self")}),
                        zk::declare<set_connection>("_connection", {arg("self"), arg("value")}));
}

// The id is kept natively, so that taking one holds no lock and runs no Python code: a signal
// handler, or a subclass's hook, may call the client again meanwhile.
zk::Member msgid_property() {
    using zk::arg;
    return zk::property(zk::declare<get_msgid>("_msgid", {arg("self")}).doc("The id of the latest request; 0 before the first."),
                        zk::declare<set_msgid>("_msgid", {arg("self"), arg("value", zk::Check::Int)}));
}

zk::Def after_fork_def() {
    return zk::declare<after_fork_in_child>("_after_fork_in_child", {})
        .doc("Called in a child process after a fork: its clients open connections of their own.");
}

}  // namespace client
