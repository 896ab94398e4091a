// The object serializer behind the packers, chosen once at import from the SERIALIZER variable.
#include "protocol/protocol.hpp"

namespace protocol {

void select_serializer(zk::Module& m, State& st) {
    const Names& n = st.names;
    try {
        zk::Ref os = m.import("os");
        zk::Ref choice = zk::call_method(zk::getattr(os, n.environ), n.get, n.serializer, n.default_);
        if (zk::equal(choice, n.dill)) {
            zk::Ref dill = m.import("dill");
            m.set("udump", zk::getattr(dill, n.dumps));
            m.set("uload", zk::getattr(dill, n.loads));
            return;
        }
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    // Anything but exactly "dill", or dill not installed: pickle.
    zk::Ref pickle = m.get("pickle");
    m.set("udump", zk::getattr(pickle, n.dumps));
    m.set("uload", zk::getattr(pickle, n.loads));
}

}  // namespace protocol
