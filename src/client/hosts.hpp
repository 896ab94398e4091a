// The addresses a client's hosts resolve to, which of them failed lately, and where its next
// connection goes (and, balanced round robin, its next call). The blocking client keeps one in its
// lanes; zelk.aio keeps one as a _Hosts.
#pragma once

#include "client/client.hpp"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace client {

enum class Balance { first, round_robin };

// balance="first" or "round_robin"; ValueError for anything else.
Balance balance_of(const Names& n, zk::Handle balance);

// The names a `host` argument gives, as a tuple of str: a name or address, or a list of them (an
// IPv6 address may be written in brackets). TypeError or ValueError for anything else.
zk::Ref host_names(zk::Handle host);

// One address a name resolved to.
struct Address {
    std::string key;   // "127.0.0.1:5555", "[::1]:5555": what tells it apart, and how it is shown
    zk::Ref family;    // as getaddrinfo gave it
    zk::Ref sockaddr;  // what socket.connect takes
    zk::Ref name;      // the name it came from: what TLS checks the server's certificate against

    Address copy() const { return {key, family.copy(), sockaddr.copy(), name.copy()}; }
};

// The results of getaddrinfo for each name (a list, or the OSError it raised), as addresses in the
// order given, each once. `unresolved` is left with why there are none, when there are none.
std::vector<Address> addresses_from(const std::vector<zk::Ref>& names, const std::vector<zk::Ref>& results,
                                    zk::Ref& unresolved);

class Hosts {
public:
    using Clock = std::chrono::steady_clock;

    void set_balance(Balance balance) noexcept { round_robin_.store(balance == Balance::round_robin, std::memory_order_relaxed); }
    bool round_robin() const noexcept { return round_robin_.load(std::memory_order_relaxed); }

    // Whether `names` at `port` must be resolved before a connection is opened: never resolved
    // (or for other names), every address failed since it last answered, or resolved 30 s ago,
    // which the thread that is told so resolves for all (others go on with what is known).
    bool stale(zk::Handle names, zk::Handle port);
    // Whether a round-robin client's addresses are due to be resolved again, the same way; false
    // when it has none yet, which its next connection resolves.
    bool due();
    // The addresses `names` at `port` resolved to now; an address known before keeps what it was
    // known for. With none (the names resolve no more), the known ones stay.
    void resolved(zk::Handle names, zk::Handle port, std::vector<Address> found);

    // The addresses to try for a new connection, in turn: from `start` when it is known, else from
    // the current one (first) or the next in turn (round robin); those that failed lately only
    // when every address has.
    std::vector<Address> plan(const std::string& start = {});
    // The address a round-robin call goes to: the next in turn that has not failed lately; empty
    // with balance "first", or while none is known.
    std::string next();
    // How many addresses are known, and how many have not failed lately.
    std::size_t count();
    std::size_t available();

    // A connection could not be opened at `key`, or one open there was lost: it is skipped for a
    // while, longer each time, and balance "first" moves on to the next. Or one was opened there:
    // it is usable again at once.
    void failed(const std::string& key);
    void answered(const std::string& key);

private:
    struct Entry {
        Address address;
        int failures = 0;      // since it last answered
        Clock::time_point retry_at{};
    };

    bool ready(const Entry& entry, Clock::time_point now) const noexcept { return entry.retry_at <= now; }
    std::ptrdiff_t find(const std::string& key) const noexcept;

    std::atomic<bool> round_robin_{false};
    PyMutex mutex_{};  // guards everything below; held over no Python code
    zk::Ref names_, port_;
    std::vector<Entry> entries_;
    std::optional<Clock::time_point> resolved_at_;
    std::size_t current_ = 0;  // balance "first": where new connections go
    std::size_t turn_ = 0;     // round robin: the next in turn
};

// Resolves `names` at `port` (socket.getaddrinfo, all families) into `hosts`; why no address is
// known, when none is.
zk::Ref resolve(Scope s, Hosts& hosts, zk::Handle names, zk::Handle port);

// class _Hosts: a Hosts for zelk.aio, which resolves names on its event loop.
void define_hosts(zk::Module& m, State& st);

}  // namespace client
