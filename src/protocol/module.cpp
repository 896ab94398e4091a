// zelk.protocol: the wire vocabulary, the object serializer chosen at import, the packers, and the
// tools that travel with them (shared-memory values, run-length compression, WebSocket frames, profile).
#include "protocol/protocol.hpp"

namespace {

void exec_protocol(zk::Module& m, protocol::State& st) {
    m.import("base64");
    m.import("builtins");
    m.import("hashlib");
    m.import("json");
    m.import("pickle");
    m.import("struct");
    m.from_import("multiprocessing.shared_memory", {"SharedMemory"});
    m.from_import("typing", {"Any", "Callable"});
    protocol::select_serializer(m, st);
    m.import("msgpack");
    m.import("numpy", "np");
    m.from_import(".scribe", {"BrillPrint", "_OWN_PACKAGES"});
    m.set("log", zk::call_kw(m.get("BrillPrint"), {zk::str("ZELK.PROTO")},
                             {{st.names.exclude, zk::check(PySequence_List(m.get("_OWN_PACKAGES").get()))}}));
    protocol::define_profile(m, st);
    m.set("REQUEST", zk::integer(0));
    m.set("RESPONSE", zk::integer(1));
    m.set("SOCKET_RECV_SIZE", zk::integer(65536));
    protocol::define_byte_packer(m, st);
    protocol::define_codec_api(m, st);
    protocol::define_json_packer(m, st);
    protocol::define_run_length(m, st);
    protocol::define_shared_values(m, st);
    protocol::define_websocket(m, st);
    protocol::define_allowed_classes(m, st);
    protocol::define_stand_ins(m, st);
}

}  // namespace

// numpy refuses subinterpreters, so this module says so itself.
ZK_MODULE(protocol, protocol::State, exec_protocol,
          "The wire protocol: message constants, the object serializer chosen at import, and the packers.",
          Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
