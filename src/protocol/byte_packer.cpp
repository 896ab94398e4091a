// BytePacker: call records to MessagePack bytes and back, with the hooks that carry tuples, sets,
// arrays, complex numbers and objects of any class as tagged maps. While the class keeps its own
// hooks, pack and unpack do the hooks' work in the native codec; replaced hooks go through msgpack.
#include "protocol/protocol.hpp"

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

const char* const encode_doc =
    "Encode obj\n"
    "\n"
    "        d = np.array([(1, 2), (3, 4, 5)], dtype=object)\n"
    "        np.frombuffer(d.data, d.dtype)\n"
    "        ValueError: cannot create an OBJECT array from memory buffer\n"
    "        ";

// {"data": data, "dtype": dtype}, the keys in that order.
Ref tagged(const Names& n, Handle data, Handle dtype) {
    Ref map = zk::new_dict();
    zk::setitem(map, n.data, data);
    zk::setitem(map, n.dtype, dtype);
    return map;
}

// The array map: the bytes of a C-contiguous array, its type string and its shape.
Ref encode_array(const State& st, Handle obj) {
    const Names& n = st.names;
    Ref array = Ref::borrow(obj);
    Ref data;
    if (Py_IS_TYPE(obj.get(), reinterpret_cast<PyTypeObject*>(st.codec.ndarray.get()))) {
        // A plain array's `data` is a memoryview of it; its layout tells whether a copy is needed.
        data = zk::check(PyMemoryView_FromObject(obj));
        if (!PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(data.get()), 'C')) {
            array = zk::call(st.codec.ascontiguousarray, obj);
            data = zk::check(PyMemoryView_FromObject(array.get()));
        }
    } else {
        // A subclass may define flags or data its own way.
        if (!zk::truthy(zk::getitem(zk::getattr(obj, n.flags), n.c_contiguous))) {
            array = zk::call(st.codec.ascontiguousarray, obj);
        }
        data = zk::getattr(array, n.data);
    }
    Ref map = tagged(n, data, zk::getattr(zk::getattr(array, n.dtype), n.type_string));
    zk::setitem(map, n.shape, zk::getattr(array, n.shape));
    return map;
}

Ref encode(Scope s, Handle, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref name;
    switch (codec::carriage_of(obj, st.codec, name)) {
        case codec::Carriage::tuple_map: return tagged(n, zk::check(PySequence_List(obj)), n.tuple);
        case codec::Carriage::set_map: return tagged(n, zk::check(PySequence_List(obj)), n.set);
        case codec::Carriage::array_map: return encode_array(st, obj);
        case codec::Carriage::serialized: {
            bool failed;
            Ref data = codec::serialized(obj, name, st.codec, failed);
            return failed ? std::move(data) : tagged(n, data, name);
        }
        case codec::Carriage::unchanged: break;
    }
    return Ref::borrow(obj);
}

Ref decode(Scope s, Handle, Handle obj) { return codec::restored(obj, s.state().codec); }

Ref pack(Scope s, Handle cls, Handle request) {
    const State& st = s.state();
    const Names& n = st.names;
    if (zk::is_native(st.core, cls, n.encode, st.native_encode, st.is_native_encode)) return pack_natively(st, request);
    return zk::call_kwnames(st.codec.packb, st.packb_keywords, request, zk::getattr(cls, n.encode), Py_True);
}

Ref unpack(Scope s, Handle cls, Handle response) {
    const State& st = s.state();
    const Names& n = st.names;
    if (zk::is_native(st.core, cls, n.decode, st.native_decode, st.is_native_decode)) return unpack_natively(st, response);
    return zk::call_kwnames(st.codec.unpackb, st.unpackb_keywords, response, zk::getattr(cls, n.decode), Py_True,
                            Py_False);
}

}  // namespace

Ref pack_natively(const State& st, Handle value) { return codec::encode(value, st.codec).to_bytes(); }

// bytes are their own owner, so arrays are views of them; other buffers are taken as msgpack takes
// them, and their arrays copied.
Ref unpack_natively(const State& st, Handle data) {
    if (PyBytes_CheckExact(data.get())) {
        return codec::decode(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()), data, st.codec);
    }
    zk::BufferView held(data, PyBUF_FULL_RO);
    const Py_buffer& view = held.view();
    if (view.itemsize != 1) zk::raise(PyExc_BufferError, "cannot unpack from multi-byte object");
    if (PyBuffer_IsContiguous(&view, 'A')) return codec::decode(static_cast<const char*>(view.buf), view.len, nullptr, st.codec);
    Ref copy = zk::check(PyBytes_FromStringAndSize(nullptr, view.len));
    zk::check_status(PyBuffer_ToContiguous(PyBytes_AS_STRING(copy.get()), &view, view.len, 'C'));
    return codec::decode(PyBytes_AS_STRING(copy.get()), view.len, nullptr, st.codec);
}

void define_byte_packer(zk::Module& m, State& st) {
    using zk::arg;
    const Names& n = st.names;
    st.codec.capture(n, m.get("np"), m.get("msgpack"), m.get("builtins"), m.get("udump"), m.get("uload"), m.get("log"));
    st.packb_keywords = zk::tuple_of({n.default_, n.strict_types});
    st.unpackb_keywords = zk::tuple_of({n.object_hook, n.use_list, n.strict_map_key});

    st.byte_packer = m.add_class(
        "BytePacker", {}, nullptr,
        {
            zk::classmethod(zk::declare<pack>("pack", {arg("cls"), arg("request").annotate("Any")})),
            zk::classmethod(zk::declare<unpack>("unpack", {arg("cls"), arg("response").annotate("bytearray | bytes")})),
            zk::classmethod(zk::declare<encode>("encode", {arg("cls"), arg("obj")}).doc(encode_doc)),
            zk::classmethod(zk::declare<decode>("decode", {arg("cls"), arg("obj")})),
        });
    Ref dict = zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(st.byte_packer.get())));
    st.native_encode = zk::getitem(dict, n.encode);
    st.native_decode = zk::getitem(dict, n.decode);
    for (auto [alias, method] : {std::pair{"dump", n.pack.get()}, {"load", n.unpack.get()}}) {
        Ref bound = zk::getattr(st.byte_packer, method);
        zk::defer_reference_count(bound);  // as much the module's as a function of its body
        m.set(alias, bound);
    }
}

}  // namespace protocol
