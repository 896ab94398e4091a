// What a server counts when serve was asked for metrics, and the page a Prometheus scrapes from
// the served port (GET /metrics). Each server keeps its own, boxed in its `_metrics` attribute.
#pragma once

#include "server/server.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace server {

// The upper bounds of the call duration histogram's buckets, in seconds: 50 µs to 10 s.
inline constexpr std::array<double, 17> duration_bounds = {50e-6, 100e-6, 250e-6, 500e-6, 1e-3, 2.5e-3, 5e-3, 10e-3, 25e-3,
                                                           50e-3, 0.1,    0.25,   0.5,    1.0,  2.5,    5.0,  10.0};

// The counts of one method: calls by outcome and their durations. Written by every handler thread
// at once, read by a scrape: relaxed atomics, since no count orders anything else.
struct MethodMetrics {
    std::atomic<std::uint64_t> ok{0}, failed{0};
    std::array<std::atomic<std::uint64_t>, duration_bounds.size() + 1> buckets{};  // the last one: beyond 10 s
    std::atomic<std::uint64_t> nanoseconds{0};

    void record(bool failure, std::chrono::steady_clock::duration took) noexcept;
};

class Metrics {
public:
    // Methods beyond this many are counted under one label: a peer sending names without end
    // cannot grow the page, or the server's memory, without end.
    static constexpr std::size_t most_methods = 1000;

    // The counts of the method named `name` (a call name as the peer sent it); stays as long as this does.
    MethodMetrics* method(zk::Handle name);
    // A connection served from now on (`fd`: its socket's descriptor, -1 for none), and until now.
    void opened(int fd);
    void closed(int fd);

    std::atomic<std::uint64_t> refused_all{0}, refused_per_host{0};  // turned away by max_connections, max_connections_per_host
    std::atomic<std::uint64_t> stream_items{0};

    // The page in Prometheus' text format.
    std::string exposition();

private:
    struct Bytes {
        std::uint64_t received = 0, sent = 0;
    };
    static Bytes bytes_of(int fd) noexcept;

    PyMutex lock_{};  // over the maps below; never held while Python code runs
    std::map<std::string, std::unique_ptr<MethodMetrics>> methods_;
    std::unordered_map<int, long> open_;  // descriptors of connections served now
    long open_count_ = 0;
    Bytes closed_bytes_;  // of the connections that have ended
};

constexpr const char* metrics_name = "zelk.server.metrics";

// The server's metrics, or nothing when it serves none.
std::optional<zk::Boxed<Metrics>> metrics_of(const Names& n, zk::Handle server);

// Whether a browser-mode request (the header dict of an HTTP GET) asks for the metrics page.
bool asks_for_metrics(const Names& n, zk::Handle header);
// The whole HTTP answer that carries the page.
zk::Ref metrics_answer(Metrics& metrics);

}  // namespace server
