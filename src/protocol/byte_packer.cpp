// BytePacker: call records to MessagePack bytes and back, with the hooks that carry tuples, sets,
// arrays, complex numbers and objects of any class as tagged maps.
#include "protocol/protocol.hpp"

#include <cstring>

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

Ref type_name(Handle obj) { return zk::check(PyType_GetName(Py_TYPE(obj.get()))); }

// log.error(text) while `e` is the exception being handled, so the printer's report can see it.
Ref log_failure(const State& st, const zk::PyError& e, Handle text) {
    zk::Handling handling(e);
    return zk::call_method(st.log, st.names.error, text);
}

// Whether the raw bytes, type string and shape bring the array back equal. Object elements are
// addresses in this process, datetimes cannot export a buffer, field names and a subclass's own
// attributes (a masked array's mask) are not in the bytes: those travel through the serializer.
bool raw_form_fits(const State& st, Handle array) {
    const Names& n = st.names;
    Ref dtype = zk::getattr(array, n.dtype);
    if (zk::getattr(dtype, n.names).get() != Py_None) return false;
    Ref kind = zk::getattr(dtype, n.kind);
    if (PyUnicode_GET_LENGTH(kind.get()) != 1 || !std::strchr("biufcSUV", PyUnicode_READ_CHAR(kind.get(), 0))) {
        return false;
    }
    if (Py_IS_TYPE(array.get(), reinterpret_cast<PyTypeObject*>(st.ndarray.get()))) return true;
    Ref attributes = zk::getattr_optional(array, st.core.__dict__);
    return !attributes || !zk::truthy(attributes);
}

// The array map: the bytes of a C-contiguous array, its type string and its shape.
Ref encode_array(const State& st, Handle obj) {
    const Names& n = st.names;
    Ref array = Ref::borrow(obj);
    Ref data;
    if (Py_IS_TYPE(obj.get(), reinterpret_cast<PyTypeObject*>(st.ndarray.get()))) {
        // A plain array's `data` is a memoryview of it; its layout tells whether a copy is needed.
        data = zk::check(PyMemoryView_FromObject(obj));
        if (!PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(data.get()), 'C')) {
            array = zk::call(st.ascontiguousarray, obj);
            data = zk::check(PyMemoryView_FromObject(array.get()));
        }
    } else {
        // A subclass may define flags or data its own way.
        if (!zk::truthy(zk::getitem(zk::getattr(obj, n.flags), n.c_contiguous))) array = zk::call(st.ascontiguousarray, obj);
        data = zk::getattr(array, n.data);
    }
    Ref map = tagged(n, data, zk::getattr(zk::getattr(array, n.dtype), n.type_string));
    zk::setitem(map, n.shape, zk::getattr(array, n.shape));
    return map;
}

Ref encode(Scope s, Handle, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    // A plain tuple, the commonest value here, cannot be an array: tested first.
    if (PyTuple_CheckExact(obj.get())) return tagged(n, zk::check(PySequence_List(obj)), n.tuple);
    bool array = PyObject_TypeCheck(obj.get(), reinterpret_cast<PyTypeObject*>(st.ndarray.get()));
    if (array && raw_form_fits(st, obj)) return encode_array(st, obj);
    if (Py_IS_TYPE(obj.get(), &PySet_Type)) return tagged(n, zk::check(PySequence_List(obj)), n.set);
    // Subclasses of tuple and set (named tuples among them) travel through the serializer: a container
    // map could only bring them back as plain tuples or sets, since the receiver cannot know the class.
    bool container = PyTuple_Check(obj.get()) || PySet_Check(obj.get());
    Ref name = type_name(obj);
    if (array || container || PyComplex_Check(obj.get()) || !zk::check_status(PySet_Contains(st.builtin_names.get(), name.get()))) {
        try {
            return tagged(n, zk::call(st.udump, obj), name);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return log_failure(st, e, zk::text("@ENCODE: {} ---> {}", name, e.value()));
        }
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
            return zk::call_method(zk::call(st.frombuffer, data, dtype), n.reshape, shape);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return log_failure(st, e, zk::text("@DECODE: numpy ---> {}", e.value()));
        }
    }
    if (zk::equal(dtype, n.tuple)) return zk::check(PySequence_Tuple(data.get()));
    if (zk::equal(dtype, n.set)) return zk::check(PySet_New(data.get()));
    return zk::call(st.uload, data);
}

// The hook `name` of `cls`. For BytePacker itself, the method bound once at definition serves as
// long as the class still holds the descriptor it was bound from; others are looked up as usual.
Ref hook(const State& st, Handle cls, Handle name, Handle descriptor, Handle bound) {
    if (cls.get() == st.byte_packer.get()) {
        Ref dict = zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get())));
        if (zk::dict_get(dict, name).get() == descriptor.get()) return Ref::borrow(bound);
    }
    return zk::getattr(cls, name);
}

Ref pack(Scope s, Handle cls, Handle request) {
    const State& st = s.state();
    Ref encode_hook = hook(st, cls, st.names.encode, st.encode_descriptor, st.bound_encode);
    return zk::call_kwnames(st.packb, st.packb_keywords, request, encode_hook, Py_True);
}

Ref unpack(Scope s, Handle cls, Handle response) {
    const State& st = s.state();
    Ref decode_hook = hook(st, cls, st.names.decode, st.decode_descriptor, st.bound_decode);
    return zk::call_kwnames(st.unpackb, st.unpackb_keywords, response, decode_hook, Py_True, Py_False);
}

}  // namespace

void define_byte_packer(zk::Module& m, State& st) {
    using zk::arg;
    const Names& n = st.names;
    Ref np = m.get("np");
    Ref msgpack = m.get("msgpack");
    st.ndarray = zk::getattr(np, n.ndarray);
    st.ascontiguousarray = zk::getattr(np, n.ascontiguousarray);
    st.frombuffer = zk::getattr(np, n.frombuffer);
    st.builtin_names = zk::check(PyFrozenSet_New(zk::check(PyObject_Dir(m.get("builtins").get())).get()));
    st.udump = m.get("udump");
    st.uload = m.get("uload");
    st.log = m.get("log");
    st.packb = zk::getattr(msgpack, n.packb);
    st.unpackb = zk::getattr(msgpack, n.unpackb);
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
    st.bound_encode = zk::getattr(st.byte_packer, n.encode);
    st.bound_decode = zk::getattr(st.byte_packer, n.decode);
    m.set("dump", zk::getattr(st.byte_packer, n.pack));
    m.set("load", zk::getattr(st.byte_packer, n.unpack));
}

}  // namespace protocol
