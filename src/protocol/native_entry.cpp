// _native_pack and _native_unpack: the native MessagePack engine reachable from Python, so that it
// can be compared with msgpack and its Python-level hooks.
#include "protocol/codec.hpp"
#include "protocol/protocol.hpp"

#include <memory>

namespace protocol {

namespace {

const char* const hooks_capsule = "zelk.protocol.codec.Hooks";

const codec::Hooks& hooks_of(zk::Fn fn) {
    return *static_cast<const codec::Hooks*>(PyCapsule_GetPointer(fn.captured(0), hooks_capsule));
}

void drop_hooks(PyObject* capsule) noexcept {
    delete static_cast<codec::Hooks*>(PyCapsule_GetPointer(capsule, hooks_capsule));
}

zk::Ref native_pack(zk::Fn fn, zk::Handle value) { return codec::encode(value, hooks_of(fn)).to_bytes(); }

// bytes are their own owner; other buffers are taken as msgpack takes them, and their arrays copied.
zk::Ref native_unpack(zk::Fn fn, zk::Handle data) {
    const codec::Hooks& hooks = hooks_of(fn);
    if (PyBytes_CheckExact(data.get())) {
        return codec::decode(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()), data, hooks);
    }
    Py_buffer view;
    zk::check_status(PyObject_GetBuffer(data, &view, PyBUF_FULL_RO));
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
    if (view.itemsize != 1) zk::raise(PyExc_BufferError, "cannot unpack from multi-byte object");
    if (PyBuffer_IsContiguous(&view, 'A')) return codec::decode(static_cast<const char*>(view.buf), view.len, nullptr, hooks);
    zk::Ref copy = zk::check(PyBytes_FromStringAndSize(nullptr, view.len));
    zk::check_status(PyBuffer_ToContiguous(PyBytes_AS_STRING(copy.get()), &view, view.len, 'C'));
    return codec::decode(PyBytes_AS_STRING(copy.get()), view.len, nullptr, hooks);
}

}  // namespace

void define_native_codec(zk::Module& m) {
    auto hooks = std::make_unique<codec::Hooks>(m.get("np").get(), m.get("msgpack").get(), m.get("builtins").get(),
                                                m.get("udump").get(), m.get("uload").get(), m.get("log").get());
    zk::Ref capsule = zk::check(PyCapsule_New(hooks.get(), hooks_capsule, drop_hooks));
    (void)hooks.release();
    m.def(zk::fn<native_pack>("_native_pack", {zk::arg("value")}).capture({capsule}));
    m.def(zk::fn<native_unpack>("_native_unpack", {zk::arg("data")}).capture({capsule}));
}

}  // namespace protocol
