// JsonPacker: values to JSON text and back with the json module, arrays carried as Base64 bytes with
// their type string and shape, complex numbers and sets as their text form.
#include "protocol/protocol.hpp"

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

Ref type_name(Handle obj) { return zk::check(PyType_GetName(Py_TYPE(obj.get()))); }

Ref encode_array(Scope s, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref array = Ref::borrow(obj);
    if (!zk::truthy(zk::getitem(zk::getattr(obj, n.flags), n.c_contiguous))) array = zk::call(st.codec.ascontiguousarray, obj);
    Ref dtype = zk::getattr(array, n.dtype);
    // The bytes of object elements are addresses in this process: nothing a peer could read back,
    // and nothing to show it.
    if (zk::truthy(zk::getattr(dtype, n.hasobject))) {
        zk::raise(PyExc_TypeError, "Object of type ndarray with elements of type object is not JSON serializable");
    }
    Ref encoded = zk::call(zk::getattr(s.global(n.base64), n.b64encode), zk::getattr(array, n.data));
    Ref map = zk::new_dict();
    zk::setitem(map, n.ndarray, zk::call_method(encoded, n.decode, n.utf_8));
    zk::setitem(map, n.dtype, zk::getattr(dtype, n.type_string));
    zk::setitem(map, n.shape, zk::getattr(array, n.shape));
    return map;
}

// json's `default`: called only for what JSON cannot write itself.
Ref default_(Scope s, Handle, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    if (PyObject_TypeCheck(obj.get(), reinterpret_cast<PyTypeObject*>(st.codec.ndarray.get()))) return encode_array(s, obj);
    Ref name = type_name(obj);
    if (PyComplex_Check(obj.get()) || PySet_Check(obj.get())) {
        Ref map = zk::new_dict();
        zk::setitem(map, n.data, zk::to_str(obj));
        zk::setitem(map, n.dtype, name);
        return map;
    }
    // A builtin JSON cannot write (bytes, frozenset) goes back to json, which then refuses it.
    if (zk::check_status(PySet_Contains(st.codec.builtin_names.get(), name.get()))) return Ref::borrow(obj);
    return zk::to_str(obj);
}

// json's `object_hook`: every decoded object, innermost first.
Ref object_hook(Scope s, Handle, Handle obj) {
    const State& st = s.state();
    const Names& n = st.names;
    if (!PyDict_Check(obj.get())) return Ref::borrow(obj);
    Ref dtype = codec::member(obj, n.dtype);
    if (!dtype) return Ref::borrow(obj);
    if (Ref text = codec::member(obj, n.ndarray)) {
        Ref raw = zk::call(zk::getattr(s.global(n.base64), n.b64decode), zk::call_method(text, n.encode, n.utf_8));
        return zk::call_method(zk::call(st.codec.frombuffer, raw, dtype), n.reshape, zk::getitem(obj, n.shape));
    }
    if (zk::equal(dtype, n.complex)) return complex_from_text(zk::getitem(obj, n.data));
    if (zk::equal(dtype, n.set)) return set_from_text(zk::getitem(obj, n.data));
    return Ref::borrow(obj);
}

// Exactly an int, checked here rather than by the declaration: a bool or another subclass of int
// is refused with a note that says why, since that surprises.
void check_indent(const Names& n, Handle indent) {
    if (PyLong_CheckExact(indent.get())) return;
    Ref error = zk::wrong_type("indent", zk::Check::Int, indent);
    if (PyLong_Check(indent.get())) zk::call_method(error, n.add_note, zk::str("subclasses of int are refused here"));
    zk::raise(error);
}

Ref dumps(Scope s, Handle cls, Handle obj, Handle indent) {
    const Names& n = s.names();
    check_indent(n, indent);
    return zk::call_kw(zk::getattr(s.global(n.json), n.dumps), {obj},
                       {{n.default_, zk::getattr(cls, n._default)}, {n.indent, indent}});
}

Ref loads(Scope s, Handle cls, Handle text) {
    const Names& n = s.names();
    return zk::call_kw(zk::getattr(s.global(n.json), n.loads), {text}, {{n.object_hook, zk::getattr(cls, n._object_hook)}});
}

}  // namespace

void define_json_packer(zk::Module& m, State& st) {
    using zk::arg;
    Ref cls = m.add_class(
        "JsonPacker", {}, nullptr,
        {
            zk::classmethod(zk::declare<default_>("_default", {arg("cls"), arg("obj")})),
            zk::classmethod(zk::declare<object_hook>("_object_hook", {arg("cls"), arg("obj")})),
            zk::classmethod(zk::declare<dumps>("dumps", {arg("cls"), arg("obj").annotate("Any"), arg("indent").annotate("int") = 4})),
            zk::classmethod(zk::declare<loads>("loads", {arg("cls"), arg("s").annotate("str | bytes")})),
        });
    for (auto [alias, method] : {std::pair{"dumps", st.names.dumps.get()}, {"loads", st.names.loads.get()}}) {
        Ref bound = zk::getattr(cls, method);
        zk::defer_reference_count(bound);  // as much the module's as a function of its body
        m.set(alias, bound);
    }
}

}  // namespace protocol
