// The lines every connection may print (connected, disconnected, idle, reset), at most one of each
// kind a second per server: thousands of peers coming and going at once would otherwise write a
// line each, and bury everything else. Those held back are counted, and the count is printed with
// the next line of their kind, as the accept loop reports the connections it refuses.
#include "server/server.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <optional>

namespace server {

using zk::Handle;
using zk::Ref;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* line_rates_name = "zelk.server.line_rates";

constexpr const char* kind_words[] = {"connected", "disconnected", "idle", "reset"};

// When each kind of line was last printed, and how many were held back since: the handlers' threads
// share it, under its lock, which is never held while a line is printed.
class LineRates {
public:
    struct Admitted {
        long held_back;
        double seconds;  // since the last line of its kind was printed
    };

    // Whether a line of `kind` is printed now, with what was held back before it.
    std::optional<Admitted> admit(ConnectionLine kind) {
        zk::Holding holding(lock_);
        Rate& rate = rates_[static_cast<std::size_t>(kind)];
        auto now = Clock::now();
        if (rate.printed && now - rate.last < std::chrono::seconds(1)) {
            rate.held_back++;
            return std::nullopt;
        }
        Admitted admitted{rate.held_back, std::chrono::duration<double>(now - rate.last).count()};
        rate = {now, 0, true};
        return admitted;
    }

private:
    struct Rate {
        Clock::time_point last{};
        long held_back = 0;
        bool printed = false;
    };
    PyMutex lock_{};
    std::array<Rate, std::size(kind_words)> rates_{};
};

}  // namespace

Ref make_line_rates() { return zk::box(std::make_unique<LineRates>(), line_rates_name); }

void report_connection_line(const State& st, Handle server, ConnectionLine kind, Handle level, Handle text) {
    const Names& n = st.names;
    Ref log = zk::getattr(server, n.log);
    Ref rates = zk::getattr_optional(server, n._line_rates);
    if (!rates) return (void)zk::call_method(log, level, text);  // a server made without Server.__init__
    std::optional<LineRates::Admitted> admitted = zk::unbox<LineRates>(std::move(rates), line_rates_name)->admit(kind);
    if (!admitted) return;
    if (admitted->held_back) {
        Ref rounded = zk::floating(std::round(admitted->seconds * 10) / 10);
        zk::call_method(log, level, zk::text("Held back {} more \"{}\" line(s) in the last {} s", zk::integer(admitted->held_back),
                                             zk::str(kind_words[static_cast<std::size_t>(kind)]), rounded));
    }
    zk::call_method(log, level, text);
}

}  // namespace server
