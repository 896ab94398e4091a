// The value rules of BytePacker.encode and BytePacker.decode, shared by the hooks themselves and by
// the native MessagePack engine: how a value travels, and how a tagged map comes back. Also what
// the rules borrow from Python (numpy, msgpack's own types and exceptions, the serializer, the printer).
#include "protocol/codec.hpp"

#include <cstring>

namespace protocol::codec {

using zk::Handle;
using zk::Ref;

namespace {

// Whether the raw bytes, type string and shape bring the array back equal. Object elements are
// addresses in this process, datetimes cannot export a buffer, field names and a subclass's own
// attributes (a masked array's mask) are not in the bytes: those travel through the serializer.
bool raw_form_fits(PyObject* array, const Hooks& hooks) {
    const Names& n = *hooks.names;
    Ref dtype = zk::getattr(array, n.dtype);
    if (zk::getattr(dtype, n.names).get() != Py_None) return false;
    Ref kind = zk::getattr(dtype, n.kind);
    if (!PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1) return false;
    Py_UCS4 letter = PyUnicode_READ_CHAR(kind.get(), 0);
    if (letter >= 0x80 || !letter || !std::strchr("biufcSUV", static_cast<int>(letter))) return false;
    if (Py_IS_TYPE(array, reinterpret_cast<PyTypeObject*>(hooks.ndarray.get()))) return true;
    Ref attributes = zk::getattr_optional(array, n.dict);
    return !attributes || !zk::truthy(attributes);
}

}  // namespace

void Hooks::capture(const Names& module_names, Handle numpy, Handle msgpack, Handle builtins, Handle udump_,
                    Handle uload_, Handle log_) {
    names = &module_names;
    const Names& n = module_names;
    ndarray = zk::getattr(numpy, n.ndarray);
    ascontiguousarray = zk::getattr(numpy, n.ascontiguousarray);
    frombuffer = zk::getattr(numpy, n.frombuffer);
    builtin_names = zk::check(PyFrozenSet_New(zk::check(PyObject_Dir(builtins)).get()));
    udump = Ref::borrow(udump_);
    uload = Ref::borrow(uload_);
    log = Ref::borrow(log_);
    packb = zk::getattr(msgpack, n.packb);
    unpackb = zk::getattr(msgpack, n.unpackb);
    ext_type = zk::getattr(msgpack, n.ExtType);
    timestamp = zk::getattr(msgpack, n.Timestamp);
    extra_data = zk::getattr(msgpack, n.ExtraData);
    format_error = zk::getattr(msgpack, n.FormatError);
    stack_error = zk::getattr(msgpack, n.StackError);
}

Ref Hooks::report(const zk::PyError& error, Handle text) const {
    zk::Handling handling(error);
    return zk::call_method(log, names->error, text);
}

// ---- encoding --------------------------------------------------------------------------------

Carriage carriage_of(PyObject* obj, const Hooks& hooks, Ref& name) {
    // A plain tuple, the commonest value here, cannot be an array: tested first.
    if (PyTuple_CheckExact(obj)) return Carriage::tuple_map;
    bool array = PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(hooks.ndarray.get()));
    if (array && raw_form_fits(obj, hooks)) return Carriage::array_map;
    if (Py_IS_TYPE(obj, &PySet_Type)) return Carriage::set_map;
    // Subclasses of tuple and set (named tuples among them) travel through the serializer: a container
    // map could only bring them back as plain tuples or sets, since the receiver cannot know the class.
    bool container = PyTuple_Check(obj) || PySet_Check(obj);
    name = zk::check(PyType_GetName(Py_TYPE(obj)));
    if (array || container || PyComplex_Check(obj) || !zk::check_status(PySet_Contains(hooks.builtin_names.get(), name.get()))) {
        return Carriage::serialized;
    }
    return Carriage::unchanged;
}

Ref serialized(Handle obj, Handle name, const Hooks& hooks, bool& failed) {
    failed = false;
    try {
        return zk::call(hooks.udump, obj);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        failed = true;
        Ref text = hooks.report(e, zk::text("@ENCODE: {} ---> {}", name, e.value()));
        if (StandIns* span = stand_ins_refused()) {
            span->not_encoded = text.copy();
            Ref error = zk::call(PyExc_TypeError, text);
            PyException_SetCause(error.get(), Py_NewRef(e.value()));
            zk::raise(error);
        }
        return text;
    }
}

// ---- decoding --------------------------------------------------------------------------------

Ref member(Handle map, Handle key) {
    if (PyDict_CheckExact(map.get())) return zk::dict_get(map, key);
    if (!zk::contains(map, key)) return Ref();
    return zk::getitem(map, key);
}

Ref restored(Handle obj, const Hooks& hooks) {
    const Names& n = *hooks.names;
    if (!PyDict_Check(obj.get())) return Ref::borrow(obj);
    bool exact = PyDict_CheckExact(obj.get());
    if (exact && PyDict_GET_SIZE(obj.get()) < 2) return Ref::borrow(obj);  // no room for both keys
    Ref data = member(obj, n.data);
    if (!data) return Ref::borrow(obj);
    Ref dtype = member(obj, n.dtype);
    if (!dtype) return Ref::borrow(obj);
    // An exact dict of two items holds only data and dtype.
    Ref shape = !exact || PyDict_GET_SIZE(obj.get()) > 2 ? member(obj, n.shape) : Ref();
    return restored(data, dtype, shape, hooks);
}

Ref restored(Handle data, Handle dtype, Handle shape, const Hooks& hooks) {
    const Names& n = *hooks.names;
    if (shape) return rebuilt_array(data, dtype, shape, hooks);
    if (zk::equal(dtype, n.tuple)) return zk::check(PySequence_Tuple(data));
    if (zk::equal(dtype, n.set)) return zk::check(PySet_New(data));
    return load_serialized(data, hooks);
}

Ref rebuilt_array(Handle data, Handle dtype, Handle shape, const Hooks& hooks) {
    try {
        return zk::call_method(zk::call(hooks.frombuffer, data, dtype), hooks.names->reshape, shape);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        Ref text = hooks.report(e, zk::text("@DECODE: numpy ---> {}", e.value()));
        if (StandIns* span = stand_ins_refused(); span && !span->not_rebuilt) span->not_rebuilt = text.copy();
        return text;
    }
}

}  // namespace protocol::codec
