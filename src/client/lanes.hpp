// The connections of one client. A call runs on a lane: the client's own connection (the one
// `_connection` names) when no other call is on it, else a spare connection of its own, so that
// threads sharing a client call in parallel. A single caller only ever uses the first lane, and sees
// one connection, its ids in order, exactly as a client without lanes.
#pragma once

#include "client/client.hpp"
#include "client/hosts.hpp"
#include "ring/ring_api.hpp"

#include <chrono>
#include <memory>
#include <vector>

namespace client {

using Clock = std::chrono::steady_clock;

struct Lane {
    zk::Ref connection = zk::none();  // a Connection, or None before the first
    zk::Ref sent_id;                  // the id of the request this lane's call sent last
    zk::Ref sent_on;                  // the connection this lane last sent a request on
    unsigned long caller = 0;         // the thread whose call is on this lane; 0 when none
    Clock::time_point free_since = Clock::now();
    std::string address;  // where its connection goes (a Hosts key); empty before the first
    std::string target;   // round robin: where its call was sent to go, until a connection is opened for it
    // The connection as ring's native calls reach it (see Wire), and the connection it was opened for.
    ring::NativeConnection native;
    zk::Ref native_for;
};

// The lane's connection, spoken to through ring's native calls while it is a plain Connection in
// binary mode whose methods are its class's own, and through its methods otherwise.
class Wire {
public:
    Wire(const State& st, Lane& lane, zk::Handle connection);
    bool closed();
    void flush();
    void send(zk::Handle record);
    zk::Ref recv();
    zk::Handle connection() const noexcept { return connection_; }

private:
    const State& st_;
    Lane& lane_;
    zk::Handle connection_;
    bool native_ = false;  // ring's calls stand for the connection's methods
};

class Lanes {
public:
    // The lane for a call of the current thread, to the address `want` when one is given (round
    // robin): a free lane connected there, else one not connected yet. Give it back with `checkin`.
    Lane& checkout(const std::string& want = {});
    // Gives a lane back; returns the connections of spares left unused for long, to be closed.
    std::vector<zk::Ref> checkin(Lane& lane);

    // The connection `_connection` names for the current thread: its call's lane's, or the first lane's.
    zk::Ref connection();
    void set_connection(zk::Handle connection);
    // Notes where the connection `_connection` names for the current thread goes.
    void set_address(const std::string& key);
    // The lane of the current thread's call, or null outside a call.
    Lane* current();
    // Every connection the client holds, the lanes emptied but the first (whose connection stays,
    // closed, as a client's connection does).
    std::vector<zk::Ref> all_connections();

    PyMutex ids{};  // held around the read, add and write of _msgid
    Hosts hosts;    // the addresses the client's connections go to

private:
    Lane* current_locked(unsigned long thread) noexcept;

    PyMutex mutex_{};  // guards everything below
    Lane first_;
    std::vector<std::unique_ptr<Lane>> spares_;
    int spares_in_use_ = 0;
};

// The lanes of a client, made by ClientBase.__init__.
using LanesRef = zk::Boxed<Lanes>;
LanesRef lanes_of(const State& st, zk::Handle client);
zk::Ref make_lanes();

// The `_connection` property of ClientBase.
zk::Member connection_property();

}  // namespace client
