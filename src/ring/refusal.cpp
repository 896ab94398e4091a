// A server's refusal of a connection it cannot serve (it has as many open as it may): the record it
// sends before it closes, an answer to no request, [RESPONSE, None, reason]. No client sends a
// request whose id is None, so no answer to a call can be taken for one; clients report the reason
// as the reason the service could not be reached.
#include "ring/ring.hpp"

namespace ring {

using zk::Handle;
using zk::Ref;

Ref refusal_reason(const State& st, Handle value) {
    if (!PyList_CheckExact(value.get()) || PyList_GET_SIZE(value.get()) != 3) return Ref();
    Ref kind = Ref::borrow(PyList_GET_ITEM(value.get(), 0)), id = Ref::borrow(PyList_GET_ITEM(value.get(), 1));
    Ref reason = Ref::borrow(PyList_GET_ITEM(value.get(), 2));
    if (id.get() != Py_None || !PyUnicode_Check(reason.get()) || !PyLong_CheckExact(kind.get())) return Ref();
    return zk::equal(kind, st.response_kind) ? std::move(reason) : Ref();
}

namespace {

// The whole message, its length field in front, for one write.
Ref refusal(Scope s, Handle reason) {
    const State& st = s.state();
    return framed(zk::call(st.packer_pack, zk::list_of({st.response_kind, Py_None, reason})));
}

Ref reason_of(Scope s, Handle answer) {
    Ref reason = refusal_reason(s.state(), answer);
    return reason ? std::move(reason) : zk::none();
}

}  // namespace

void define_refusal(zk::Module& m, State& st) {
    using zk::arg;
    st.response_kind = zk::getattr(st.protocol_module, st.names.RESPONSE);
    m.def(zk::declare<refusal>("_refusal", {arg("reason", zk::Check::Str)})
              .returns("bytes")
              .doc("The message a server sends to a connection it refuses, before it closes it."));
    m.def(zk::declare<reason_of>("_refusal_reason", {arg("answer").annotate("Any")})
              .returns("str | None")
              .doc("The reason a server gave for refusing the connection, when `answer` is its refusal; else None."));
}

}  // namespace ring
