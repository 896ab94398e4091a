// What the native MessagePack engine borrows from Python: numpy, msgpack's own types and
// exceptions, the serializer and the printer, looked up once.
#include "protocol/codec.hpp"

namespace protocol::codec {

namespace {

zk::Ref intern(const char* text) { return zk::check(PyUnicode_InternFromString(text)); }

zk::Ref attribute(PyObject* o, const char* name) { return zk::check(PyObject_GetAttrString(o, name)); }

zk::Ref builtin_names_of(PyObject* builtins) {
    zk::Ref names = zk::check(PyObject_Dir(builtins));
    return zk::check(PyFrozenSet_New(names.get()));
}

}  // namespace

Names::Names()
    : data(intern("data")), dtype(intern("dtype")), shape(intern("shape")), tuple(intern("tuple")), set(intern("set")),
      str(intern("str")), names(intern("names")), kind(intern("kind")), flags(intern("flags")),
      c_contiguous(intern("C_CONTIGUOUS")), reshape(intern("reshape")), error(intern("error")),
      dict(intern("__dict__")) {}

Hooks::Hooks(PyObject* numpy, PyObject* msgpack, PyObject* builtins, PyObject* udump, PyObject* uload, PyObject* log)
    : ndarray(attribute(numpy, "ndarray")), ascontiguousarray(attribute(numpy, "ascontiguousarray")),
      frombuffer(attribute(numpy, "frombuffer")), builtin_names(builtin_names_of(builtins)),
      udump(zk::Ref::borrow(udump)), uload(zk::Ref::borrow(uload)), log(zk::Ref::borrow(log)),
      packb(attribute(msgpack, "packb")), unpackb(attribute(msgpack, "unpackb")), ext_type(attribute(msgpack, "ExtType")),
      timestamp(attribute(msgpack, "Timestamp")), extra_data(attribute(msgpack, "ExtraData")),
      format_error(attribute(msgpack, "FormatError")), stack_error(attribute(msgpack, "StackError")) {}

zk::Ref Hooks::report(const zk::PyError& error, PyObject* text) const {
    zk::Handling handling(error);
    PyObject* args[] = {log.get(), text};
    return zk::check(PyObject_VectorcallMethod(names.error.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace protocol::codec
