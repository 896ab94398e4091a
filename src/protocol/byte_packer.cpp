// BytePacker: call records to MessagePack bytes and back, with the hooks that carry tuples, sets,
// arrays, complex numbers and objects of any class as tagged maps.
#include "protocol/names.hpp"
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
Ref tagged(Handle data, Handle dtype) {
    Ref map = zk::new_dict();
    zk::setitem(map, names::data, data);
    zk::setitem(map, names::dtype, dtype);
    return map;
}

Ref type_name(Handle obj) { return zk::check(PyType_GetName(Py_TYPE(obj.get()))); }

// log.error(text) while `e` is the exception being handled, so the printer's report can see it.
Ref log_failure(Handle log, const zk::PyError& e, Handle text) {
    zk::Handling handling(e);
    return zk::call_method(log, names::error, text);
}

// The array map: the bytes of a C-contiguous array, its type string and its shape.
Ref encode_array(Handle obj, Handle ndarray, Handle ascontiguousarray) {
    Ref array = Ref::borrow(obj);
    Ref data;
    if (Py_IS_TYPE(obj.get(), reinterpret_cast<PyTypeObject*>(ndarray.get()))) {
        // A plain array's `data` is a memoryview of it; its layout tells whether a copy is needed.
        data = zk::check(PyMemoryView_FromObject(obj));
        if (!PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(data.get()), 'C')) {
            array = zk::call(ascontiguousarray, obj);
            data = zk::check(PyMemoryView_FromObject(array.get()));
        }
    } else {
        // A subclass may define flags or data its own way.
        if (!zk::truthy(zk::getitem(zk::getattr(obj, names::flags), names::c_contiguous))) {
            array = zk::call(ascontiguousarray, obj);
        }
        data = zk::getattr(array, names::data);
    }
    Ref map = tagged(data, zk::getattr(zk::getattr(array, names::dtype), names::type_string));
    zk::setitem(map, names::shape, zk::getattr(array, names::shape));
    return map;
}

// Whether the raw bytes, type string and shape bring the array back equal. Object elements are
// addresses in this process, datetimes cannot export a buffer, field names and a subclass's own
// attributes (a masked array's mask) are not in the bytes: those travel through the serializer.
bool raw_form_fits(Handle array, Handle ndarray) {
    Ref dtype = zk::getattr(array, names::dtype);
    if (zk::getattr(dtype, names::names).get() != Py_None) return false;
    Ref kind = zk::getattr(dtype, names::kind);
    if (PyUnicode_GET_LENGTH(kind.get()) != 1 || !std::strchr("biufcSUV", PyUnicode_READ_CHAR(kind.get(), 0))) {
        return false;
    }
    if (Py_IS_TYPE(array.get(), reinterpret_cast<PyTypeObject*>(ndarray.get()))) return true;
    Ref attributes = zk::getattr_optional(array, zk::names::__dict__);
    return !attributes || !zk::truthy(attributes);
}

// Captured: np.ndarray, np.ascontiguousarray, the names dir(builtins) lists, udump, log.
Ref encode(zk::Fn fn, Handle, Handle obj) {
    // A plain tuple, the commonest value here, cannot be an array: tested first.
    if (PyTuple_CheckExact(obj.get())) return tagged(zk::check(PySequence_List(obj)), names::tuple);
    PyObject* ndarray = fn.captured(0);
    bool array = PyObject_TypeCheck(obj.get(), reinterpret_cast<PyTypeObject*>(ndarray));
    if (array && raw_form_fits(obj, ndarray)) return encode_array(obj, ndarray, fn.captured(1));
    if (Py_IS_TYPE(obj.get(), &PySet_Type)) return tagged(zk::check(PySequence_List(obj)), names::set);
    // Subclasses of tuple and set (named tuples among them) travel through the serializer: a container
    // map could only bring them back as plain tuples or sets, since the receiver cannot know the class.
    bool container = PyTuple_Check(obj.get()) || PySet_Check(obj.get());
    Ref name = type_name(obj);
    if (array || container || PyComplex_Check(obj.get()) ||
        !zk::check_status(PySet_Contains(fn.captured(2), name.get()))) {
        try {
            return tagged(zk::call(fn.captured(3), obj), name);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return log_failure(fn.captured(4), e, zk::concat({names::encode_failed, name, names::arrow, zk::format(e.value())}));
        }
    }
    return Ref::borrow(obj);
}

// obj[key] if present, for dicts and their subclasses (whose own lookups are honoured).
Ref lookup(Handle obj, PyObject* key) {
    if (PyDict_CheckExact(obj.get())) return zk::dict_get(obj, key);
    if (!zk::contains(obj, key)) return Ref();
    return zk::getitem(obj, key);
}

bool equals(Handle a, PyObject* b) { return zk::check_status(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// Captured: np.frombuffer, uload, log.
Ref decode(zk::Fn fn, Handle, Handle obj) {
    if (!PyDict_Check(obj.get())) return Ref::borrow(obj);
    if (PyDict_CheckExact(obj.get()) && PyDict_GET_SIZE(obj.get()) < 2) return Ref::borrow(obj);  // no room for both keys
    Ref data = lookup(obj, names::data);
    if (!data) return Ref::borrow(obj);
    Ref dtype = lookup(obj, names::dtype);
    if (!dtype) return Ref::borrow(obj);
    // An exact dict of two items holds only data and dtype.
    bool room = !PyDict_CheckExact(obj.get()) || PyDict_GET_SIZE(obj.get()) > 2;
    if (Ref shape = room ? lookup(obj, names::shape) : Ref()) {
        try {
            return zk::call_method(zk::call(fn.captured(0), data, dtype), names::reshape, shape);
        } catch (zk::PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            return log_failure(fn.captured(2), e, zk::concat({names::decode_failed, zk::format(e.value())}));
        }
    }
    if (equals(dtype, names::tuple)) return zk::check(PySequence_Tuple(data.get()));
    if (equals(dtype, names::set)) return zk::check(PySet_New(data.get()));
    return zk::call(fn.captured(1), data);
}

// The hook `name` of `cls`. For BytePacker itself, the method bound once at definition serves as
// long as the class still holds the descriptor it was bound from; others are looked up as usual.
Ref hook(Handle cls, PyObject* name, Handle packer, Handle descriptor, Handle bound) {
    if (cls.get() == packer.get()) {
        Ref dict = zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get())));
        if (zk::dict_get(dict, name).get() == descriptor.get()) return Ref::borrow(bound);
    }
    return zk::getattr(cls, name);
}

// Captured: msgpack.packb, the keyword names, BytePacker, its encode descriptor and bound encode.
Ref pack(zk::Fn fn, Handle cls, Handle request) {
    Ref encode_hook = hook(cls, names::encode, fn.captured(2), fn.captured(3), fn.captured(4));
    return zk::call_kwnames(fn.captured(0), fn.captured(1), request, encode_hook, Py_True);
}

// Captured: msgpack.unpackb, the keyword names, BytePacker, its decode descriptor and bound decode.
Ref unpack(zk::Fn fn, Handle cls, Handle response) {
    Ref decode_hook = hook(cls, names::decode, fn.captured(2), fn.captured(3), fn.captured(4));
    return zk::call_kwnames(fn.captured(0), fn.captured(1), response, decode_hook, Py_True, Py_False);
}

}  // namespace

void define_byte_packer(zk::Module& m) {
    using zk::arg;
    Ref np = m.get("np");
    Ref msgpack = m.get("msgpack");
    Ref log = m.get("log");
    Ref builtin_names = zk::check(PyFrozenSet_New(zk::check(PyObject_Dir(m.get("builtins").get())).get()));

    // pack and unpack keep their places in the class body; they are made once the class exists,
    // so that they can hold its hooks already bound.
    Ref cls = m.add_class(
        "BytePacker", {}, nullptr,
        {
            zk::attribute("pack", zk::none()),
            zk::attribute("unpack", zk::none()),
            zk::classmethod(zk::fn<encode>("encode", {arg("cls"), arg("obj")})
                                .doc(encode_doc)
                                .capture({zk::getattr(np, names::ndarray), zk::getattr(np, names::ascontiguousarray),
                                          builtin_names, m.get("udump"), log})),
            zk::classmethod(zk::fn<decode>("decode", {arg("cls"), arg("obj")})
                                .capture({zk::getattr(np, names::frombuffer), m.get("uload"), log})),
        });
    Ref dict = zk::check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.get())));
    zk::set_member(m.object(), cls,
                   zk::classmethod(zk::fn<pack>("pack", {arg("cls"), arg("request").annotate("Any")})
                                       .capture({zk::getattr(msgpack, names::packb),
                                                 zk::tuple_of({names::default_, names::strict_types}), cls,
                                                 zk::getitem(dict, names::encode), zk::getattr(cls, names::encode)})));
    zk::set_member(m.object(), cls,
                   zk::classmethod(zk::fn<unpack>("unpack", {arg("cls"), arg("response").annotate("bytearray | bytes")})
                                       .capture({zk::getattr(msgpack, names::unpackb),
                                                 zk::tuple_of({names::object_hook, names::use_list, names::strict_map_key}),
                                                 cls, zk::getitem(dict, names::decode), zk::getattr(cls, names::decode)})));
    m.set("dump", zk::getattr(cls, names::pack));
    m.set("load", zk::getattr(cls, names::unpack));
}

}  // namespace protocol
