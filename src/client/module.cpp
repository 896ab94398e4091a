// zelk.client: the caller's side of a remote call: the client that numbers, sends and checks
// calls and reconnects after failures, and the proxies through which programs call.
#include "client/client.hpp"

namespace {

void exec_client(zk::Module& m, client::State& st) {
    m.import("socket");
    m.from_import(".protocol", {"REQUEST", "RESPONSE"});
    zk::Ref ring = m.from_import(".ring", {"Connection", "get_port"});
    m.from_import(".scribe", {"BrillPrint", "iformat"});
    st.answer_challenge = zk::getattr(ring, st.names.answer_challenge);
    st.rlock_class = zk::getattr(zk::import("threading"), st.names.RLock);
    st.send_errors = zk::tuple_of({PyExc_ConnectionAbortedError, PyExc_ConnectionResetError, PyExc_BrokenPipeError,
                                   PyExc_TimeoutError});
    st.recv_errors = zk::tuple_of({PyExc_ConnectionAbortedError, PyExc_ConnectionResetError, PyExc_BrokenPipeError,
                                   PyExc_TimeoutError, PyExc_MemoryError, PyExc_BufferError, PyExc_KeyboardInterrupt});
    zk::Ref status = client::define_remote_status(m);
    client::define_remote_method(m, status);
    client::define_remote_class(m, status);
    zk::Ref base = client::define_client_base(m);
    client::define_client(m, st, base);
    m.def(client::connect_def());
}

}  // namespace

// It imports zelk.protocol, which needs numpy, and numpy refuses subinterpreters.
ZK_MODULE(client, client::State, exec_client,
          "The caller's side of a remote call: the client that numbers, sends and checks calls, and the proxies.",
          Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
