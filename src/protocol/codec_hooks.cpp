// What the native MessagePack engine borrows from Python (numpy, msgpack's own types and
// exceptions, the serializer and the printer), and the choice of how a value travels.
#include "protocol/codec.hpp"

#include <cstring>

namespace protocol::codec {

namespace {

zk::Ref attribute(PyObject* o, const zk::Ref& name) { return zk::check(PyObject_GetAttr(o, name.get())); }

// Whether the raw bytes, type string and shape bring the array back equal. Object elements are
// addresses in this process, datetimes cannot export a buffer, field names and a subclass's own
// attributes (a masked array's mask) are not in the bytes: those travel through the serializer.
bool raw_form_fits(PyObject* array, const Hooks& hooks) {
    const Names& n = hooks.names;
    zk::Ref dtype = attribute(array, n.dtype);
    if (attribute(dtype.get(), n.names).get() != Py_None) return false;
    zk::Ref kind = attribute(dtype.get(), n.kind);
    if (!PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1) return false;
    Py_UCS4 letter = PyUnicode_READ_CHAR(kind.get(), 0);
    if (letter >= 0x80 || !letter || !std::strchr("biufcSUV", static_cast<int>(letter))) return false;
    if (Py_IS_TYPE(array, reinterpret_cast<PyTypeObject*>(hooks.ndarray.get()))) return true;
    PyObject* attributes = nullptr;
    zk::check_status(PyObject_GetOptionalAttr(array, n.dict.get(), &attributes));
    zk::Ref held = zk::Ref::steal(attributes);
    return !attributes || !zk::check_status(PyObject_IsTrue(attributes));
}

}  // namespace

void Hooks::capture(PyObject* numpy, PyObject* msgpack, PyObject* builtins, PyObject* udump_, PyObject* uload_,
                    PyObject* log_) {
    names.intern();
    ndarray = attribute(numpy, names.ndarray);
    ascontiguousarray = attribute(numpy, names.ascontiguousarray);
    frombuffer = attribute(numpy, names.frombuffer);
    builtin_names = zk::check(PyFrozenSet_New(zk::check(PyObject_Dir(builtins)).get()));
    udump = zk::Ref::borrow(udump_);
    uload = zk::Ref::borrow(uload_);
    log = zk::Ref::borrow(log_);
    packb = attribute(msgpack, names.packb);
    unpackb = attribute(msgpack, names.unpackb);
    ext_type = attribute(msgpack, names.ExtType);
    timestamp = attribute(msgpack, names.Timestamp);
    extra_data = attribute(msgpack, names.ExtraData);
    format_error = attribute(msgpack, names.FormatError);
    stack_error = attribute(msgpack, names.StackError);
}

zk::Ref Hooks::report(const zk::PyError& error, PyObject* text) const {
    zk::Handling handling(error);
    PyObject* args[] = {log.get(), text};
    return zk::check(PyObject_VectorcallMethod(names.error.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Carriage carriage_of(PyObject* obj, const Hooks& hooks, zk::Ref& name) {
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

}  // namespace protocol::codec
