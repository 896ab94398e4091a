// The object serializer behind the packers, chosen once at import from the SERIALIZER variable.
#include "protocol/names.hpp"
#include "protocol/protocol.hpp"

namespace protocol {

void select_serializer(zk::Module& m) {
    try {
        zk::Ref os = m.import("os");
        zk::Ref choice = zk::call_method(zk::getattr(os, names::environ), names::get, names::serializer, names::default_);
        if (zk::check_status(PyObject_RichCompareBool(choice.get(), names::dill, Py_EQ))) {
            zk::Ref dill = m.import("dill");
            m.set("udump", zk::getattr(dill, names::dumps));
            m.set("uload", zk::getattr(dill, names::loads));
            return;
        }
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    // Anything but exactly "dill", or dill not installed: pickle.
    zk::Ref pickle = m.get("pickle");
    m.set("udump", zk::getattr(pickle, names::dumps));
    m.set("uload", zk::getattr(pickle, names::loads));
}

}  // namespace protocol
