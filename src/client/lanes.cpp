// Lanes: which connection a call of a client runs on, and the `_connection` each thread sees.
#include "client/lanes.hpp"

#include <algorithm>

namespace client {

using zk::Handle;
using zk::Ref;

namespace {

constexpr const char* lanes_name = "zelk.client.lanes";
// A spare connection left unused this long is closed: threads that called in parallel once do not
// keep connections (and the server's threads) for ever.
constexpr auto spare_idle = std::chrono::seconds(10);

unsigned long this_thread() noexcept { return PyThread_get_thread_ident(); }

}  // namespace

Lane* Lanes::current_locked(unsigned long thread) noexcept {
    if (spares_in_use_) {
        for (auto& spare : spares_) {
            if (spare->caller == thread) return spare.get();
        }
    }
    return first_.caller == thread ? &first_ : nullptr;
}

Lane& Lanes::checkout(const std::string& want) {
    unsigned long thread = this_thread();
    zk::Holding holding(mutex_);
    // Round robin: a lane whose connection goes to another address is not this call's.
    auto fits = [&](const Lane& lane) { return want.empty() || lane.address == want || lane.connection.get() == Py_None; };
    auto take = [&](Lane& lane) -> Lane& {
        lane.caller = thread;
        lane.target = want;
        if (&lane != &first_) spares_in_use_++;
        return lane;
    };
    // A call made from inside a call of the same thread (a subclass calling back) gets a lane of its own.
    if (!first_.caller && fits(first_)) return take(first_);
    Lane* unconnected = nullptr;
    for (auto& spare : spares_) {
        if (spare->caller || !fits(*spare)) continue;
        if (want.empty() || spare->address == want) return take(*spare);
        if (!unconnected) unconnected = spare.get();
    }
    if (unconnected) return take(*unconnected);
    spares_.push_back(std::make_unique<Lane>());
    return take(*spares_.back());
}

std::vector<Ref> Lanes::checkin(Lane& lane) {
    std::vector<Ref> unused;
    zk::Holding holding(mutex_);
    auto now = Clock::now();
    lane.caller = 0;
    lane.sent_id = Ref();
    lane.target.clear();
    lane.free_since = now;
    if (&lane != &first_) spares_in_use_--;
    auto stale = [&](const std::unique_ptr<Lane>& spare) { return !spare->caller && now - spare->free_since > spare_idle; };
    for (auto& spare : spares_) {
        if (stale(spare)) unused.push_back(std::move(spare->connection));
    }
    spares_.erase(std::remove_if(spares_.begin(), spares_.end(), stale), spares_.end());
    return unused;  // closed by the caller, outside the lock
}

Ref Lanes::connection() {
    zk::Holding holding(mutex_);
    Lane* lane = spares_in_use_ ? current_locked(this_thread()) : nullptr;
    return (lane ? lane : &first_)->connection.copy();
}

void Lanes::set_connection(Handle connection) {
    Ref old;
    {
        zk::Holding holding(mutex_);
        Lane* lane = spares_in_use_ ? current_locked(this_thread()) : nullptr;
        Lane& target = lane ? *lane : first_;
        old = std::move(target.connection);
        target.connection = Ref::borrow(connection);
    }
    // `old` goes outside the lock: dropping the last reference to a connection may run Python code.
}

void Lanes::set_address(const std::string& key) {
    zk::Holding holding(mutex_);
    Lane* lane = spares_in_use_ ? current_locked(this_thread()) : nullptr;
    (lane ? *lane : first_).address = key;
}

Lane* Lanes::current() {
    zk::Holding holding(mutex_);
    return current_locked(this_thread());
}

std::vector<Ref> Lanes::all_connections() {
    std::vector<Ref> all;
    zk::Holding holding(mutex_);
    all.push_back(first_.connection.copy());
    for (auto& spare : spares_) {
        all.push_back(spare->caller ? spare->connection.copy() : std::move(spare->connection));
    }
    spares_.erase(std::remove_if(spares_.begin(), spares_.end(), [](const auto& spare) { return !spare->caller; }),
                  spares_.end());
    return all;
}

Wire::Wire(const State& st, Lane& lane, Handle connection) : st_(st), lane_(lane), connection_(connection) {
    if (lane.native_for.get() != connection.get()) {
        lane.native_for = Ref::borrow(connection);
        lane.native.open(st.ring_capsule, connection);
    }
    native_ = lane.native.usable();
}

bool Wire::closed() { return native_ ? lane_.native.closed() : zk::truthy(zk::getattr(connection_, st_.names.closed)); }

void Wire::flush() {
    if (!native_) return (void)zk::call_method(connection_, st_.names.flush);
    lane_.native.flush();
}

void Wire::send(Handle record) {
    if (!native_) return (void)zk::call_method(connection_, st_.names.send, record);
    lane_.native.send(record);
}

Ref Wire::recv() { return native_ ? lane_.native.recv() : zk::call_method(connection_, st_.names.recv); }

LanesRef lanes_of(const State& st, Handle client) { return zk::unbox<Lanes>(zk::getattr(client, st.names._lanes), lanes_name); }

Ref make_lanes() { return zk::box(std::make_unique<Lanes>(), lanes_name); }

namespace {

Ref get_connection(Scope s, Handle self) { return lanes_of(s.state(), self)->connection(); }

Ref set_connection(Scope s, Handle self, Handle value) {
    lanes_of(s.state(), self)->set_connection(value);
    return zk::none();
}

}  // namespace

zk::Member connection_property() {
    using zk::arg;
    return zk::property(zk::declare<get_connection>("_connection", {arg("self")}),
                        zk::declare<set_connection>("_connection", {arg("self"), arg("value")}));
}

}  // namespace client
