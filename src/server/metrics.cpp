// A server's metrics: counted by its handler threads without a lock, written out as Prometheus'
// text format when a scraper asks for GET /metrics on the served port.
#include "server/metrics.hpp"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

constexpr std::string_view other_methods = "(other)";

void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) noexcept { counter.fetch_add(n, std::memory_order_relaxed); }
std::uint64_t read(const std::atomic<std::uint64_t>& counter) noexcept { return counter.load(std::memory_order_relaxed); }

// A label's value as the format quotes it: backslash, double quote and line feed escaped.
std::string quoted(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out + "\"";
}

std::string number(double value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("NaN");
}

// The UTF-8 text of a call name; a name that is no str is named by its text form.
std::string label_of(Handle name) {
    Ref text = PyUnicode_Check(name.get()) ? Ref::borrow(name) : zk::to_str(name);
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!data) {
        PyErr_Clear();  // lone surrogates: a peer's, and no label can hold them
        return std::string(other_methods);
    }
    return std::string(data, static_cast<std::size_t>(size));
}

struct Page {
    std::string text;

    void family(std::string_view name, std::string_view type, std::string_view help) {
        text.append("# HELP ").append(name).append(" ").append(help).append("\n");
        text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    void sample(std::string_view name, std::string_view labels, std::string_view value) {
        text.append(name);
        if (!labels.empty()) text.append("{").append(labels).append("}");
        text.append(" ").append(value).append("\n");
    }
    void sample(std::string_view name, std::string_view labels, std::uint64_t value) { sample(name, labels, std::to_string(value)); }
};

}  // namespace

void MethodMetrics::record(bool failure, std::chrono::steady_clock::duration took) noexcept {
    add(failure ? failed : ok, 1);
    double seconds = std::chrono::duration<double>(took).count();
    auto bucket = std::lower_bound(duration_bounds.begin(), duration_bounds.end(), seconds) - duration_bounds.begin();
    add(buckets[static_cast<std::size_t>(bucket)], 1);
    add(nanoseconds, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
}

MethodMetrics* Metrics::method(Handle name) {
    std::string label = label_of(name);
    zk::Holding holding(lock_);
    auto found = methods_.find(label);
    if (found != methods_.end()) return found->second.get();
    if (methods_.size() >= most_methods) label = other_methods;
    auto& slot = methods_[label];
    if (!slot) slot = std::make_unique<MethodMetrics>();
    return slot.get();
}

void Metrics::opened(int fd) {
    zk::Holding holding(lock_);
    open_count_++;
    if (fd >= 0) open_[fd]++;
}

// The last counts of a connection are read before its socket is closed, so its descriptor's number
// is not another connection's yet.
void Metrics::closed(int fd) {
    Bytes last = fd >= 0 ? bytes_of(fd) : Bytes{};
    zk::Holding holding(lock_);
    open_count_--;
    auto at = open_.find(fd);
    if (at == open_.end()) return;
    if (--at->second <= 0) open_.erase(at);
    closed_bytes_.received += last.received;
    closed_bytes_.sent += last.sent;
}

// The kernel's counts of a TCP connection's bytes: received, and sent and acknowledged. Nothing
// for a descriptor that is no TCP socket.
Metrics::Bytes Metrics::bytes_of(int fd) noexcept {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return {};
    if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return {};
    return {info.tcpi_bytes_received, info.tcpi_bytes_acked};
}

std::string Metrics::exposition() {
    Page page;
    zk::Holding holding(lock_);
    page.family("zelk_calls_total", "counter", "Calls served, by method and outcome.");
    for (const auto& [name, counts] : methods_) {
        std::string method = "method=" + quoted(name);
        page.sample("zelk_calls_total", method + ",outcome=\"ok\"", read(counts->ok));
        page.sample("zelk_calls_total", method + ",outcome=\"error\"", read(counts->failed));
    }
    page.family("zelk_call_duration_seconds", "histogram",
                "Seconds from a request's arrival to its answer's departure (a stream's end), by method.");
    for (const auto& [name, counts] : methods_) {
        std::string method = "method=" + quoted(name);
        std::uint64_t below = 0;
        for (std::size_t i = 0; i < counts->buckets.size(); i++) {
            below += read(counts->buckets[i]);
            std::string bound = i < duration_bounds.size() ? number(duration_bounds[i]) : "+Inf";
            page.sample("zelk_call_duration_seconds_bucket", method + ",le=" + quoted(bound), below);
        }
        page.sample("zelk_call_duration_seconds_sum", method, number(static_cast<double>(read(counts->nanoseconds)) / 1e9));
        page.sample("zelk_call_duration_seconds_count", method, below);
    }
    page.family("zelk_connections_open", "gauge", "Connections served now.");
    page.sample("zelk_connections_open", "", std::to_string(open_count_));
    page.family("zelk_connections_refused_total", "counter", "Connections turned away by a limit.");
    page.sample("zelk_connections_refused_total", "limit=\"max_connections\"", read(refused_all));
    page.sample("zelk_connections_refused_total", "limit=\"max_connections_per_host\"", read(refused_per_host));
    Bytes bytes = closed_bytes_;
    for (const auto& [fd, count] : open_) {
        Bytes now = bytes_of(fd);
        bytes.received += now.received, bytes.sent += now.sent;
    }
    page.family("zelk_received_bytes_total", "counter", "Bytes received on served connections.");
    page.sample("zelk_received_bytes_total", "", bytes.received);
    page.family("zelk_sent_bytes_total", "counter", "Bytes sent on served connections, as acknowledged by their peers.");
    page.sample("zelk_sent_bytes_total", "", bytes.sent);
    page.family("zelk_stream_items_sent_total", "counter", "Items sent by streams.");
    page.sample("zelk_stream_items_sent_total", "", read(stream_items));
    return std::move(page.text);
}

std::optional<zk::Boxed<Metrics>> metrics_of(const Names& n, Handle server) {
    Ref box = zk::getattr_optional(server, n._metrics);
    if (!box || box.get() == Py_None) return std::nullopt;
    return zk::unbox<Metrics>(std::move(box), metrics_name);
}

bool asks_for_metrics(const Names& n, Handle header) {
    Ref method = zk::dict_get(header, n.method), url = zk::dict_get(header, n.url);
    if (!method || !url || !PyUnicode_Check(method.get()) || !PyUnicode_Check(url.get())) return false;
    if (PyUnicode_CompareWithASCIIString(method.get(), "GET") != 0) return false;
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(url.get(), &size);
    if (!data) return PyErr_Clear(), false;
    std::string_view path(data, static_cast<std::size_t>(size));
    return path.substr(0, path.find('?')) == "/metrics";
}

Ref metrics_answer(Metrics& metrics) {
    return http_answer("200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics.exposition());
}

}  // namespace server
