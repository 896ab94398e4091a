// zelk.client: the caller's side of a remote call: the client that numbers, sends and checks
// calls and reconnects after failures, and the proxies through which programs call.
#include "client/lanes.hpp"

namespace {

void exec_client(zk::Module& m, client::State& st) {
    m.import("socket");
    zk::Ref protocol = m.from_import(".protocol", {"REQUEST", "RESPONSE"});
    st.allowed_classes = zk::getattr(protocol, st.names.AllowedClasses);
    st.class_not_allowed = zk::getattr(protocol, st.names.ClassNotAllowed);
    st.not_rebuilt = zk::getattr(protocol, st.names.NotRebuilt);
    st.codec_capsule = zk::getattr(protocol, st.names._codec_api);
    st.codec_api = protocol::codec_api_in(st.codec_capsule);
    zk::Ref ring = m.from_import(".ring", {"Connection", "MAX_MESSAGE_SIZE", "get_port"});
    m.from_import(".scribe", {"BrillPrint", "iformat", "_OWN_PACKAGES"});
    st.answer_challenge = zk::getattr(ring, st.names.answer_challenge);
    st.refusal_reason = zk::getattr(ring, st.names._refusal_reason);
    st.ring_module = ring.copy();
    st.ring_capsule = zk::getattr(ring, st.names._api);
    ring::ring_api_in(st.ring_capsule);  // a capsule of another kind fails the import, not a call
    st.calls_capsule = zk::getattr(ring, st.names._calls);
    st.calls = ring::calls_api_in(st.calls_capsule);
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
