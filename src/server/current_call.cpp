// time_left() and cancelled(): what a served method may ask about the call it serves, from the
// handler thread that runs it. Elsewhere (a thread of the method's own, code outside any call) there
// is no call to ask about.
#include "server/server.hpp"

namespace server {

using zk::Ref;

namespace {

Ref time_left(Scope s) {
    ring::CurrentCall* call = s.state().calls->current();
    double left = call ? ring::seconds_left(*call) : -1;
    return left < 0 ? zk::none() : zk::floating(left);
}

// Past the deadline counts as called off: the caller has stopped waiting. Otherwise the connection
// is looked at, without waiting, for a cancel record of this call or the caller's going.
Ref cancelled(Scope s) {
    const ring::CallsApi* calls = s.state().calls;
    ring::CurrentCall* call = calls->current();
    if (!call) return zk::boolean(false);
    if (!call->cancelled && call->has_deadline && ring::seconds_left(*call) <= 0) call->cancelled = true;
    if (!call->cancelled && calls->look(calls, call, 0) < 0) zk::throw_error();
    return zk::boolean(call->cancelled);
}

}  // namespace

zk::Def time_left_def() {
    return zk::declare<time_left>("time_left", {})
        .returns("float | None")
        .doc("Seconds left before the deadline of the call being served (0.0 once it has passed).\n"
             "\n"
             "    None when its caller set no time-out, or outside a served call (another thread included).\n"
             "    ");
}

zk::Def cancelled_def() {
    return zk::declare<cancelled>("cancelled", {})
        .returns("bool")
        .doc("Whether the caller of the call being served has given up on it.\n"
             "\n"
             "    True once its deadline has passed, it called the call off, or it closed or lost its\n"
             "    connection; it stays so. Looks without waiting. False outside a served call.\n"
             "    ");
}

}  // namespace server
