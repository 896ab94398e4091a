// zelk.client: the caller's side of a remote call: the client that numbers, sends and checks
// calls and reconnects after failures, and the proxies through which programs call.
#include "client/lanes.hpp"
#include "ring/peers.hpp"

namespace {

void exec_client(zk::Module& m, client::State& st) {
    m.import("socket");
    zk::Ref ring = ring::take_protocol_and_ring(m, st);
    m.from_import(".scribe", {"BrillPrint", "iformat", "_OWN_PACKAGES"});
    st.answer_challenge = zk::getattr(ring, st.names.answer_challenge);
    st.refusal_reason = zk::getattr(ring, st.names._refusal_reason);
    st.send_errors = zk::tuple_of({PyExc_ConnectionAbortedError, PyExc_ConnectionResetError, PyExc_BrokenPipeError,
                                   PyExc_TimeoutError});
    client::define_errors(m, st);
    zk::Ref status = client::define_remote_status(m);
    client::define_remote_method(m, status);
    client::define_remote_class(m, status);
    zk::Ref base = client::define_client_base(m, st);
    client::define_client(m, st, base);
    client::define_stream(m, st);
    client::define_hosts(m, st);
    m.def(client::connect_def(m.get("MAX_MESSAGE_SIZE")));
    m.def(client::close_def());
    m.def(client::checked_result_def());
    m.def(client::report_closed_def());
    // Seconds a spare connection may stay unused before a client closes it (zelk.aio's too).
    m.set("_SPARE_IDLE", zk::floating(10.0));
    // A child process must not speak on the connections it inherited: its clients open their own.
    zk::call_kw(zk::getattr(zk::import("os"), st.names.register_at_fork), {}, {{st.names.after_in_child, m.def(client::after_fork_def())}});
}

}  // namespace

// It imports zelk.protocol, which needs numpy, and numpy refuses subinterpreters.
ZK_MODULE(client, client::State, exec_client,
          "The caller's side of a remote call: the client that numbers, sends and checks calls, and the proxies.",
          Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
