// Stand-ins for numpy's pickle helpers, which every allow-list answers with in their place.
//
// numpy's own believe what a pickle says of a layout: a dtype's state may put a field or a subarray
// past the end of its item (reads beyond the buffer), and an object array's state with fewer
// elements than its shape leaves the rest as stray pointers (a crash at their first use, or when the
// array is freed). Here a dtype is made from its type text and taken only when the state is the one
// numpy writes for that text, an array from its elements or bytes once their count matches its
// shape, and a scalar only over such a dtype and bytes of its size.
//
// numpy's pickles make a dtype or an array first and give it its state after (pickle's BUILD calls
// its __setstate__): the stand-ins hand out a _NumpyPart, which takes the state and makes numpy's
// value, and what held the part gets the value instead: the scalar made over a dtype, the array
// whose state named it, an object array's elements, the load's own result. A part still held by
// anything once the load is over sits where it could not be turned (an array inside an object of
// another class), and the load is refused rather than hand on a part in the value's place.
#include "protocol/protocol.hpp"

#include <string_view>
#include <vector>

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

constexpr Py_ssize_t most_dimensions = 64;  // numpy's own limit

const char* const part_doc = "Stands for a numpy dtype or array of a peer's pickle until its state has been checked.";

[[noreturn]] void refuse_numpy(const State& st, const char* what, Handle detail) {
    refuse(st, zk::text("numpy.{} from a peer's pickle: {}", zk::str(what), detail));
}

Ref new_part(const State& st, Handle made, const char* kind) {
    Ref part = zk::call(st.numpy_part);
    zk::setattr(part, st.names.kind, zk::str(kind));
    zk::append(made, part);
    return part;
}

bool is_part(const State& st, Handle obj) { return Py_IS_TYPE(obj.get(), reinterpret_cast<PyTypeObject*>(st.numpy_part.get())); }

bool part_is(const State& st, Handle part, std::string_view kind) {
    Ref text = zk::getattr(part, st.names.kind);
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) zk::throw_error();
    return std::string_view(utf8, static_cast<std::size_t>(size)) == kind;
}

// The value a part was turned into, or a refusal when it has none yet.
Ref value_of(const State& st, Handle part) {
    if (Ref value = zk::getattr_optional(part, st.names.value)) return value;
    refuse(st, zk::text("numpy.{} from a peer's pickle: used before its state was given", zk::getattr(part, st.names.kind)));
}

// Whether `o` is exactly the int `value`.
bool is_int(Handle o, long value) {
    int overflow = 0;
    return PyLong_CheckExact(o.get()) && PyLong_AsLongAndOverflow(o, &overflow) == value && !overflow;
}

// A dtype as an array's or a scalar's state names it: a part's, or numpy's own when a list named numpy.dtype itself.
Ref dtype_of(const State& st, Handle dtype) {
    if (is_part(st, dtype)) return value_of(st, dtype);
    if (zk::isinstance(dtype, st.np_dtype)) return Ref::borrow(dtype);
    refuse_numpy(st, "dtype", zk::text("{} is not a dtype", zk::check(PyType_GetName(Py_TYPE(dtype.get())))));
}

bool plain_layout(const Names& n, Handle dtype) {
    return zk::getattr(dtype, n.fields).get() == Py_None && zk::getattr(dtype, n.subdtype).get() == Py_None;
}

// A tuple's item, or a refusal.
Ref item(const State& st, Handle tuple, Py_ssize_t i, const char* what) {
    if (!PyTuple_CheckExact(tuple.get()) || PyTuple_GET_SIZE(tuple.get()) <= i) {
        refuse_numpy(st, what, zk::str("its state is not the tuple numpy writes"));
    }
    return Ref::borrow(PyTuple_GET_ITEM(tuple.get(), i));
}

// np.dtype of a type text, in the byte order and (for datetimes) the unit that `state` gives.
Ref dtype_for(const State& st, Handle spec, Handle align, Handle state) {
    const Names& n = st.names;
    Ref dtype = zk::call(st.np_dtype, spec, align);
    Ref order = item(st, state, 1, "dtype");
    bool swapped = zk::equal(order, zk::str("<")) || zk::equal(order, zk::str(">"));
    Ref kind = zk::getattr(dtype, n.kind);
    if (zk::equal(kind, zk::str("M")) || zk::equal(kind, zk::str("m"))) {
        Ref unit = item(st, item(st, state, 8, "dtype"), 1, "dtype");  // (b"ms", 10, 1, 1): ten milliseconds
        Ref name = zk::call_method(item(st, unit, 0, "dtype"), n.decode, zk::str("ascii"));
        Ref count = item(st, unit, 1, "dtype");
        if (!PyLong_CheckExact(count.get())) refuse_numpy(st, "dtype", zk::str("a datetime unit that is not numpy's"));
        Ref prefix = swapped ? order.copy() : zk::str("");
        return zk::call(st.np_dtype, zk::text("{}{}[{}{}]", prefix, spec, count, name));
    }
    if (swapped) dtype = zk::call_method(dtype, n.newbyteorder, order);
    return dtype;
}

// A dtype's state: taken when it is what numpy writes for the dtype its type text makes, which a
// structured dtype's fields or a subarray never are.
void settle_dtype(const State& st, Handle part, Handle state) {
    const Names& n = st.names;
    Ref spec = zk::getattr(part, n.spec);
    Ref dtype;
    bool same;
    try {
        dtype = dtype_for(st, spec, zk::getattr(part, n.align), state);
        same = plain_layout(n, dtype) && zk::equal(zk::getitem(zk::call_method(dtype, n.__reduce__), zk::integer(2)), state);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception) || e.matches(st.class_not_allowed)) throw;
        refuse_numpy(st, "dtype", zk::text("{}: {}", zk::repr(spec), e.value()));
    }
    if (!same) refuse_numpy(st, "dtype", zk::text("{} with fields or a layout of its own", zk::repr(spec)));
    zk::setattr(part, n.value, dtype);
}

// shape's element count, each dimension an int of at least 0, their product in range.
Py_ssize_t element_count(const State& st, Handle shape) {
    if (!PyTuple_CheckExact(shape.get()) || PyTuple_GET_SIZE(shape.get()) > most_dimensions) {
        refuse_numpy(st, "ndarray", zk::str("a shape that is not a tuple of at most 64 sizes"));
    }
    Py_ssize_t count = 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.get()); i++) {
        PyObject* size = PyTuple_GET_ITEM(shape.get(), i);
        Py_ssize_t n = PyLong_CheckExact(size) ? PyLong_AsSsize_t(size) : -1;
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        if (n < 0 || __builtin_mul_overflow(count, n, &count)) refuse_numpy(st, "ndarray", zk::text("a shape of {}", shape));
    }
    return count;
}

// The elements of an object array: parts among them become their values.
Ref elements_of(const State& st, Handle raw, Py_ssize_t count) {
    if (!PyList_CheckExact(raw.get())) refuse_numpy(st, "ndarray", zk::str("elements that are not a list"));
    if (PyList_GET_SIZE(raw.get()) != count) {
        refuse_numpy(st, "ndarray", zk::text("{} elements for {}", zk::integer(PyList_GET_SIZE(raw.get())), zk::integer(count)));
    }
    Ref items = zk::new_list(count);
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref element = Ref::borrow(PyList_GET_ITEM(raw.get(), i));
        if (is_part(st, element)) element = value_of(st, element);
        PyList_SET_ITEM(items.get(), i, element.release());
    }
    return items;
}

Ref build_array(const State& st, Handle shape, Handle dtype, bool fortran, Handle raw, Py_ssize_t count) {
    const Names& n = st.names;
    if (zk::truthy(zk::getattr(dtype, n.hasobject))) {
        if (!zk::equal(zk::getattr(dtype, n.kind), zk::str("O")) || !plain_layout(n, dtype)) {
            refuse_numpy(st, "ndarray", zk::text("objects inside a dtype of {}", dtype));
        }
        // numpy lists the elements in index order, whatever the memory order.
        Ref array = zk::call_kw(st.np_fromiter, {elements_of(st, raw, count), dtype}, {{n.count, zk::integer(count)}});
        array = zk::call_method(array, n.reshape, shape);
        if (fortran) return zk::call_method(array, n.copy, zk::str("F"));
        return array;
    }
    Py_ssize_t itemsize = zk::to_ssize(zk::getattr(dtype, n.itemsize)), bytes;
    if (!PyBytes_CheckExact(raw.get()) || __builtin_mul_overflow(count, itemsize, &bytes) || PyBytes_GET_SIZE(raw.get()) != bytes) {
        refuse_numpy(st, "ndarray", zk::text("data that does not fill a shape of {} in {}", shape, dtype));
    }
    // The bytes are in memory order, Fortran's when the array was; the copy is the array's own, writable.
    Ref flat = zk::call(st.codec.frombuffer, raw, dtype);
    Ref array = zk::call_kw(zk::getattr(flat, n.reshape), {shape}, {{n.order, zk::str(fortran ? "F" : "C")}});
    return zk::call_method(array, n.copy, zk::str("K"));
}

// An array's state, (1, shape, dtype, is_fortran, elements or bytes), as numpy writes it.
void settle_array(const State& st, Handle part, Handle state) {
    if (!PyTuple_CheckExact(state.get()) || PyTuple_GET_SIZE(state.get()) != 5) {
        refuse_numpy(st, "ndarray", zk::str("its state is not the tuple numpy writes"));
    }
    Handle version = PyTuple_GET_ITEM(state.get(), 0), shape = PyTuple_GET_ITEM(state.get(), 1);
    Handle fortran = PyTuple_GET_ITEM(state.get(), 3), raw = PyTuple_GET_ITEM(state.get(), 4);
    if (!is_int(version, 1) || !PyBool_Check(fortran.get())) {
        refuse_numpy(st, "ndarray", zk::str("its state is not the tuple numpy writes"));
    }
    Py_ssize_t count = element_count(st, shape);
    Ref dtype = dtype_of(st, PyTuple_GET_ITEM(state.get(), 2));
    Ref array;
    try {
        array = build_array(st, shape, dtype, fortran.get() == Py_True, raw, count);
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception) || e.matches(st.class_not_allowed)) throw;
        refuse_numpy(st, "ndarray", e.value());
    }
    zk::setattr(part, st.names.value, array);
}

Ref part_setstate(Scope s, Handle self, Handle state) {
    const State& st = s.state();
    if (zk::getattr_optional(self, st.names.value)) refuse_numpy(st, "ndarray", zk::str("a state given twice"));
    if (part_is(st, self, "dtype")) {
        settle_dtype(st, self, state);
    } else if (part_is(st, self, "ndarray")) {
        settle_array(st, self, state);
    } else {
        refuse_numpy(st, "ndarray", zk::str("the class given a state"));
    }
    return zk::none();
}

Ref part_call(Scope s, Handle self, Handle, Handle) {
    refuse_numpy(s.state(), "ndarray", zk::text("{} called", zk::repr(self)));
}

Ref part_repr(Scope s, Handle self) { return zk::text("<stand-in for a numpy {}>", zk::getattr(self, s.names().kind)); }

// numpy.dtype(spec, align, copy): a part, which its state turns into the dtype.
Ref dtype_stand_in(Scope s, Handle made, Handle spec, Handle align, Handle) {
    const State& st = s.state();
    if (!PyUnicode_CheckExact(spec.get()) || !PyBool_Check(align.get())) {
        refuse_numpy(st, "dtype", zk::str("arguments that numpy does not write"));
    }
    Ref part = new_part(st, made, "dtype");
    zk::setattr(part, st.names.spec, spec);
    zk::setattr(part, st.names.align, align);
    return part;
}

// numpy's _reconstruct(numpy.ndarray, (0,), b"b"), which every array's pickle begins with: a part.
Ref reconstruct_stand_in(Scope s, Handle made, Handle subtype, Handle shape, Handle dtype) {
    const State& st = s.state();
    bool own_class = subtype.get() == st.codec.ndarray.get() || (is_part(st, subtype) && part_is(st, subtype, "ndarray class"));
    if (!own_class) refuse_numpy(st, "ndarray", zk::text("a subclass, {}", zk::repr(subtype)));
    bool as_numpy_writes = PyTuple_CheckExact(shape.get()) && PyTuple_GET_SIZE(shape.get()) == 1 &&
                           is_int(PyTuple_GET_ITEM(shape.get(), 0), 0) && PyBytes_CheckExact(dtype.get()) &&
                           PyBytes_GET_SIZE(dtype.get()) == 1 && PyBytes_AS_STRING(dtype.get())[0] == 'b';
    if (!as_numpy_writes) refuse_numpy(st, "ndarray", zk::str("_reconstruct with arguments that numpy does not write"));
    return new_part(st, made, "ndarray");
}

// numpy's _frombuffer(buffer, dtype, shape, order[, axis_order]), which arrays' pickles of protocol 5
// name: over a checked dtype without objects, from bytes or a bytearray that fill the shape exactly,
// in C or Fortran order or (order "K") in the axis order given.
Ref frombuffer_stand_in(Scope s, Handle, Handle buffer, Handle dtype, Handle shape, Handle order, Handle axis_order) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref real = dtype_of(st, dtype);
    Py_ssize_t count = element_count(st, shape), bytes;
    bool plain_data = !zk::truthy(zk::getattr(real, n.hasobject)) && plain_layout(n, real) &&
                      (PyBytes_CheckExact(buffer.get()) || PyByteArray_CheckExact(buffer.get()));
    if (!plain_data || __builtin_mul_overflow(count, zk::to_ssize(zk::getattr(real, n.itemsize)), &bytes) ||
        zk::length(buffer) != bytes) {
        refuse_numpy(st, "ndarray", zk::text("data that does not fill a shape of {} in {}", shape, real));
    }
    bool known_order = PyUnicode_CheckExact(order.get()) &&
                       (zk::equal(order, zk::str("C")) || zk::equal(order, zk::str("F")) || zk::equal(order, zk::str("K")));
    bool by_axes = known_order && zk::equal(order, zk::str("K")) && axis_order.get() != Py_None;
    if (by_axes) {
        // A permutation of the axes, each once.
        Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
        std::vector<bool> seen(static_cast<std::size_t>(ndim), false);
        known_order = PyTuple_CheckExact(axis_order.get()) && PyTuple_GET_SIZE(axis_order.get()) == ndim;
        for (Py_ssize_t i = 0; known_order && i < ndim; i++) {
            PyObject* axis = PyTuple_GET_ITEM(axis_order.get(), i);
            Py_ssize_t at = -1;
            for (Py_ssize_t a = 0; a < ndim; a++) {
                if (is_int(axis, static_cast<long>(a))) at = a;
            }
            known_order = at >= 0 && !seen[static_cast<std::size_t>(at)];
            if (known_order) seen[static_cast<std::size_t>(at)] = true;
        }
    }
    if (!known_order) refuse_numpy(st, "ndarray", zk::text("an order of {}", zk::repr(order)));
    try {
        Ref flat = zk::call(st.codec.frombuffer, buffer, real);
        if (by_axes) return zk::call_method(zk::call_kw(zk::getattr(flat, n.reshape), {shape}, {{n.order, zk::str("C")}}), n.transpose, axis_order);
        return zk::call_kw(zk::getattr(flat, n.reshape), {shape}, {{n.order, order}});
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        refuse_numpy(st, "ndarray", e.value());
    }
}

// numpy's scalar(dtype, data): over a checked dtype without objects or fields, from bytes of its size.
Ref scalar_stand_in(Scope s, Handle, Handle dtype, Handle data) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref real = dtype_of(st, dtype);
    if (zk::truthy(zk::getattr(real, n.hasobject)) || !plain_layout(n, real) || !PyBytes_CheckExact(data.get()) ||
        PyBytes_GET_SIZE(data.get()) != zk::to_ssize(zk::getattr(real, n.itemsize))) {
        refuse_numpy(st, "generic", zk::text("a scalar of {} that numpy does not write", real));
    }
    return zk::call(st.np_scalar, real, data);
}

// bytearray(data), which pickles before protocol 5 name for a bytearray: from bytes only, so that a
// small int cannot make one of any size.
Ref bytearray_stand_in(Scope, Handle data) { return zk::check(PyByteArray_FromObject(data)); }

Ref function_of(zk::Module& m, const zk::Def& def) {
    return zk::make_function(std::make_shared<const zk::Prototype>(def), m.object(), zk::str(def.name));
}

}  // namespace

Ref numpy_global(const State& st, Handle unpickler, Handle stand_in) {
    Ref made = zk::getattr_optional(unpickler, st.names._numpy);
    if (!made) {
        made = zk::new_list();
        zk::setattr(unpickler, st.names._numpy, made);
    }
    // numpy.ndarray itself is only ever _reconstruct's first argument: a part stands for it too.
    if (stand_in.get() == Py_None) return new_part(st, made, "ndarray class");
    return zk::check(PyMethod_New(stand_in, made.get()));
}

Ref settled_numpy(const State& st, Handle made, Ref value) {
    if (is_part(st, value)) value = value_of(st, value);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(made.get()); i++) {
        PyObject* part = PyList_GET_ITEM(made.get(), i);
        // The list holds each part once; anything else that does is part of the value.
        if (Py_REFCNT(part) > 1) {
            refuse(st, zk::text("numpy.{} inside an object of another class: numpy values are rebuilt from a peer only "
                                "as values of their own or elements of object arrays",
                                zk::getattr(part, st.names.kind)));
        }
    }
    return value;
}

void define_numpy_stand_ins(zk::Module& m, State& st) {
    using zk::arg;
    const Names& n = st.names;
    Ref numpy = m.get("np");
    // numpy's scalar is whatever its scalars' pickles name, wherever this numpy keeps it.
    st.np_scalar = zk::getitem(zk::call_method(zk::call(zk::getattr(numpy, zk::str("float64"))), n.__reduce__), zk::integer(0));
    st.np_fromiter = zk::getattr(numpy, n.fromiter);
    st.numpy_part = zk::make_class(m.object(), "_NumpyPart", {}, part_doc,
                                   {
                                       zk::method(zk::declare<part_setstate>("__setstate__", {arg("self"), arg("state")})),
                                       zk::method(zk::declare<part_call>("__call__", {arg("self"), zk::varargs("args"), zk::kwargs("kwds")})),
                                       zk::method(zk::declare<part_repr>("__repr__", {arg("self")})),
                                   });
    Ref dtype = function_of(m, zk::declare<dtype_stand_in>("dtype", {arg("made"), arg("spec"), arg("align") = false, arg("copy") = true}));
    Ref reconstruct = function_of(m, zk::declare<reconstruct_stand_in>("_reconstruct", {arg("made"), arg("subtype"), arg("shape"), arg("dtype")}));
    Ref scalar = function_of(m, zk::declare<scalar_stand_in>("scalar", {arg("made"), arg("dtype"), arg("data")}));
    Ref frombuffer = function_of(m, zk::declare<frombuffer_stand_in>("_frombuffer", {arg("made"), arg("buffer"), arg("dtype"), arg("shape"),
                                                                                   arg("order"), arg("axis_order") = zk::none()}));
    st.numpy_globals = zk::new_dict();
    zk::setitem(st.numpy_globals, zk::tuple_of({n.numpy, n.dtype}), dtype);
    zk::setitem(st.numpy_globals, zk::tuple_of({n.numpy, n.ndarray}), Py_None);
    for (Handle module : {n.numpy_core.get(), n.numpy_core_before_2.get()}) {  // numpy 2's and numpy 1's pickles
        zk::setitem(st.numpy_globals, zk::tuple_of({module, n._reconstruct}), reconstruct);
        zk::setitem(st.numpy_globals, zk::tuple_of({module, n.scalar}), scalar);
    }
    for (Handle module : {n.numpy_numeric.get(), n.numpy_numeric_before_2.get()}) {
        zk::setitem(st.numpy_globals, zk::tuple_of({module, n._frombuffer}), frombuffer);
    }
    zk::setitem(st.plain_globals, zk::tuple_of({n.builtins_, n.bytearray}),
                function_of(m, zk::declare<bytearray_stand_in>("bytearray", {arg("source", zk::Check::Bytes)})));
}

}  // namespace protocol
