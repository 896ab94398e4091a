// The connections of one client. A call runs on a lane: the client's own connection (the one
// `_connection` names) when no other call is on it, else a spare connection of its own, so that
// threads sharing a client call in parallel. A single caller only ever uses the first lane, and sees
// one connection, its ids in order, exactly as a client without lanes; balanced round robin, its
// calls take a lane per address in turn.
#pragma once

#include "client/client.hpp"
#include "client/hosts.hpp"
#include "ring/ring_api.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace client {

using Clock = std::chrono::steady_clock;

// One call's place in a client. `connection`, `caller`, `taken`, `free_since` and `address` are read
// and written under the lanes' lock; the rest belong to the call on the lane, and only its thread
// touches them.
struct Lane {
    zk::Ref connection = zk::none();  // a Connection, or None before the first
    unsigned long caller = 0;         // the thread whose call is on this lane; 0 when none
    std::uint64_t taken = 0;          // when it was taken, in checkouts: a thread's innermost call took its latest
    Clock::time_point free_since = Clock::now();
    std::string address;              // where its connection goes (a Hosts key); empty before the first
    std::string target;               // round robin: where its call was sent to go, until a connection is opened for it
    zk::Ref sent_id;                  // the id of the request this lane's call sent last
    zk::Ref unreachable;              // why its call could not connect, as it was reported
    // The call's way to the lane's connection, and whether a request went out on that connection, whose
    // input may then be stale: one nothing was asked on yet holds none (a server with a key speaks first).
    ring::Link link;
    bool asked = false;
    // What the server on `asked_on`, the connection last asked, takes (see stream.cpp): 0 for the
    // 5-item request alone. A failure met while asking, or a refusal that came in the answer's
    // place, is the call's outcome: the call itself was not sent.
    zk::Ref asked_on;
    long calls_version = 0;
    std::optional<zk::PyError> asking_failed;
    zk::Ref refused;
    // The connection's own time-out, while a call's inherited deadline keeps it shorter.
    zk::Ref restore_timeout;
    // The W3C traceparent of the call's client span, while it is traced; sent to servers that take one.
    zk::Ref traceparent;
    bool takes_traceparent = false;

    // The link, to `connection`, the lane's connection now.
    ring::Link& link_to(const State& st, zk::Handle connection) {
        if (link.connection() != connection.get()) {
            link.open(st.ring_capsule, connection);
            asked = false;
        }
        return link;
    }
};

// The caller of a lane a stream holds: a lane of no thread, until the stream ends.
inline constexpr unsigned long stream_caller = ~0UL;

// Whether the server closed the connection, when recv gave None: a message of nil gives None too,
// and is an answer that fails the check, while a connection whose server is gone cannot be flushed.
bool ended(ring::Link& link);

class Lanes {
public:
    explicit Lanes(unsigned forks) : forks_seen_(forks) {}

    // The lane for a call of the current thread, to the address `want` when one is given (round
    // robin): a free lane connected there, else one not connected yet. Give it back with `checkin`.
    Lane& checkout(const std::string& want = {});
    // Gives a lane back; returns the connections of spares left unused for `spare_idle`, to be closed.
    std::vector<zk::Ref> checkin(Lane& lane, Clock::duration spare_idle);
    // Hands the current thread's lane to a stream, which gives it back with checkin once it ends.
    void hand_to_stream(Lane& lane);
    // Whether the client has spare lanes, as it had a moment ago: without any, a checkin closes none.
    bool has_spares() const noexcept { return has_spares_.load(std::memory_order_relaxed); }

    // The connection `_connection` names for the current thread: its innermost call's lane's, or the client's own.
    zk::Ref connection();
    void set_connection(zk::Handle connection);
    // Notes where the connection `_connection` names for the current thread goes.
    void set_address(const std::string& key);
    // Where the connection on `lane`, which the current thread's call holds, goes.
    std::string address_of(const Lane& lane);
    // The connection on `lane`, which the current thread's call holds.
    zk::Ref connection_of(const Lane& lane);
    // The lane of the current thread's innermost call, or null outside a call.
    Lane* current();
    // Every connection the client holds, the lanes emptied but the first (whose connection stays,
    // closed, as a client's connection does).
    std::vector<zk::Ref> all_connections();

    // After a fork, in the child: the lanes of the parent's calls and their connections are
    // forgotten (returned, for the child to let its copies of their descriptors go), so that the
    // child opens connections of its own. `forks` counts the forks of this process's line.
    bool forked(unsigned forks) const noexcept { return forks_seen_.load(std::memory_order_relaxed) != forks; }
    std::vector<zk::Ref> forget_parent(unsigned forks, unsigned long forking_thread);

    // A service found unreachable that has not answered since, whichever thread found it: an outage
    // begins once, and ends once, however many calls meet it.
    bool begin_outage() noexcept { return !unreachable_.exchange(true); }
    bool end_outage() noexcept { return unreachable_.load(std::memory_order_relaxed) && unreachable_.exchange(false); }

    // The id of the latest request; a request takes the next with take_id.
    std::atomic<long long> last_id{0};
    long long take_id() noexcept { return last_id.fetch_add(1) + 1; }

    Hosts hosts;  // the addresses the client's connections go to

private:
    Lane* current_locked(unsigned long thread) noexcept;
    Lane& take(Lane& lane, unsigned long thread, const std::string& want);

    PyMutex mutex_{};  // guards everything below, and the lanes' shared fields
    std::unique_ptr<Lane> first_ = std::make_unique<Lane>();
    std::vector<std::unique_ptr<Lane>> spares_;
    std::atomic<bool> has_spares_{false};  // !spares_.empty(), set whenever spares_ changes
    int spares_in_use_ = 0;
    std::uint64_t checkouts_ = 0;
    // A connection set as the client's own, from outside any call, while another thread's call held
    // the first lane: that call goes on with its own, and the first lane takes this one once it is free.
    zk::Ref next_first_;
    std::string next_first_address_;
    std::atomic<unsigned> forks_seen_;
    std::atomic<bool> unreachable_{false};
};

// How long a spare connection may stay unused: the module's _SPARE_IDLE seconds, as they are now.
Clock::duration spare_idle(Scope s);
// Gives the lane back, its connection's own time-out restored where a call's inherited deadline
// shortened it, and closes the connections of spares left unused for `idle`.
void give_lane_back(Scope s, Lanes& lanes, Lane& lane, Clock::duration idle);

// The lanes of a client, made by ClientBase.__init__.
using LanesRef = zk::Boxed<Lanes>;
// In a child process, the lanes have forgotten the parent's connections first.
LanesRef lanes_of(const State& st, zk::Handle client);
zk::Ref make_lanes(const State& st);

// The `_connection` and `_msgid` properties of ClientBase.
zk::Member connection_property();
zk::Member msgid_property();

// _after_fork_in_child(), which zelk.client registers with os.register_at_fork.
zk::Def after_fork_def();

}  // namespace client
