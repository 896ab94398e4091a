// BytePacker: call records to MessagePack bytes and back, with the hooks that carry tuples, sets,
// arrays, complex numbers and objects of any class as tagged maps. While the class keeps its own
// hooks, pack and unpack do the hooks' work in the native codec; replaced hooks go through msgpack.
#include "protocol/protocol.hpp"

#include <memory>

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
        case codec::Carriage::serialized:
            try {
                return tagged(n, zk::call(st.codec.udump, obj), name);
            } catch (zk::PyError& e) {
                if (!e.matches(PyExc_Exception)) throw;
                return st.codec.report(e, zk::text("@ENCODE: {} ---> {}", name, e.value()).get());
            }
        case codec::Carriage::unchanged: break;
    }
    return Ref::borrow(obj);
}

// obj[key] if present, for dicts and their subclasses (whose own lookups are honoured).
Ref lookup(Handle obj, Handle key) {
    if (PyDict_CheckExact(obj.get())) return zk::dict_get(obj, key);
    if (!zk::contains(obj, key)) return Ref();
    return zk::getitem(obj, key);
}

Ref decode(Scope s, Handle, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    if (!PyDict_Check(obj.get())) return Ref::borrow(obj);
    if (PyDict_CheckExact(obj.get()) && PyDict_GET_SIZE(obj.get()) < 2) return Ref::borrow(obj);  // no room for both keys
    Ref data = lookup(obj, n.data);
    if (!data) return Ref::borrow(obj);
    Ref dtype = lookup(obj, n.dtype);
    if (!dtype) return Ref::borrow(obj);
    // An exact dict of two items holds only data and dtype.
    bool room = !PyDict_CheckExact(obj.get()) || PyDict_GET_SIZE(obj.get()) > 2;
    if (Ref shape = room ? lookup(obj, n.shape) : Ref()) {
        try {
            return zk::call_method(zk::call(st.codec.frombuffer, data, dtype), n.reshape, shape);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return st.codec.report(e, zk::text("@DECODE: numpy ---> {}", e.value()).get());
        }
    }
    if (zk::equal(dtype, n.tuple)) return zk::check(PySequence_Tuple(data.get()));
    if (zk::equal(dtype, n.set)) return zk::check(PySet_New(data.get()));
    return zk::call(st.codec.uload, data);
}

Ref pack(Scope s, Handle cls, Handle request) {
    const State& st = s.state();
    const Names& n = st.names;
    if (has_own_hook(st, cls, n.encode, st.encode_descriptor)) return pack_natively(st, request);
    return zk::call_kwnames(st.codec.packb, st.packb_keywords, request, zk::getattr(cls, n.encode), Py_True);
}

Ref unpack(Scope s, Handle cls, Handle response) {
    const State& st = s.state();
    const Names& n = st.names;
    if (has_own_hook(st, cls, n.decode, st.decode_descriptor)) return unpack_natively(st, response);
    return zk::call_kwnames(st.codec.unpackb, st.unpackb_keywords, response, zk::getattr(cls, n.decode), Py_True,
                            Py_False);
}

}  // namespace

bool has_own_hook(const State& st, Handle cls, Handle name, Handle descriptor) {
    if (!PyType_Check(cls.get())) return false;
    // The first class along the method resolution order that defines `name` decides.
    PyObject* mro = reinterpret_cast<PyTypeObject*>(cls.get())->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); i++) {
        Ref dict = zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (Ref found = zk::dict_get(dict, name)) return found.get() == descriptor.get();
        if (PyTuple_GET_ITEM(mro, i) == st.byte_packer.get()) break;
    }
    return false;
}

Ref pack_natively(const State& st, Handle value) { return codec::encode(value, st.codec).to_bytes(); }

// bytes are their own owner, so arrays are views of them; other buffers are taken as msgpack takes
// them, and their arrays copied.
Ref unpack_natively(const State& st, Handle data) {
    if (PyBytes_CheckExact(data.get())) {
        return codec::decode(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()), data, st.codec);
    }
    Py_buffer view;
    zk::check_status(PyObject_GetBuffer(data, &view, PyBUF_FULL_RO));
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
    if (view.itemsize != 1) zk::raise(PyExc_BufferError, "cannot unpack from multi-byte object");
    if (PyBuffer_IsContiguous(&view, 'A')) return codec::decode(static_cast<const char*>(view.buf), view.len, nullptr, st.codec);
    Ref copy = zk::check(PyBytes_FromStringAndSize(nullptr, view.len));
    zk::check_status(PyBuffer_ToContiguous(PyBytes_AS_STRING(copy.get()), &view, view.len, 'C'));
    return codec::decode(PyBytes_AS_STRING(copy.get()), view.len, nullptr, st.codec);
}

void define_byte_packer(zk::Module& m, State& st) {
    using zk::arg;
    const Names& n = st.names;
    st.codec.capture(m.get("np").get(), m.get("msgpack").get(), m.get("builtins").get(), m.get("udump").get(),
                     m.get("uload").get(), m.get("log").get());
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
    st.encode_descriptor = zk::getitem(dict, n.encode);
    st.decode_descriptor = zk::getitem(dict, n.decode);
    m.set("dump", zk::getattr(st.byte_packer, n.pack));
    m.set("load", zk::getattr(st.byte_packer, n.unpack));
}

}  // namespace protocol
