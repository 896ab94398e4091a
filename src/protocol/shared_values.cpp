// dumpv and loadv: an array handed to another process of this machine through a named shared-memory
// block, so that only its descriptor (shape, type string) and the block's name travel in a message.
//
// The block belongs to whoever created it. Every other handle attaches untracked: the interpreter's
// resource tracker would otherwise unlink the block when a reading process exits, under its writer.
#include "protocol/protocol.hpp"

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

// Elements that are object references would be addresses in some other process: refused both ways.
void refuse_objects(const Names& n, Handle dtype) {
    if (zk::truthy(zk::getattr(dtype, n.hasobject))) {
        zk::raise(zk::call(PyExc_TypeError, zk::text("arrays of element type {} cannot be shared between processes", dtype)));
    }
}

Ref dumpv(Scope s, Handle value, Handle name, Handle shm) {
    const State& st = s.state();
    const Names& n = st.names;
    Ref dtype = zk::getattr(value, n.dtype);
    refuse_objects(n, dtype);
    Ref block_name = zk::concat({n.ampersand, zk::format(name)});
    Ref shared_memory = s.global(n.SharedMemory);
    Ref block;
    try {
        block = zk::truthy(shm) ? Ref::borrow(shm)
                                : zk::call_kw(shared_memory, {},
                                              {{n.name, block_name}, {n.create, Py_True}, {n.size, zk::getattr(value, n.nbytes)}});
    } catch (zk::PyError& e) {
        if (!e.matches(PyExc_FileExistsError)) throw;
        zk::print_out(s.state(), s.global(n.print), zk::tuple_of({e.value()}));
        block = zk::call_kw(shared_memory, {}, {{n.name, block_name}, {n.track, Py_False}});
    }
    Ref view = zk::call_kw(st.codec.ndarray, {zk::getattr(value, n.shape)}, {{n.dtype, dtype}, {n.buffer, zk::getattr(block, n.buf)}});
    // `...` rather than `:`, so that a zero-dimensional array is copied too.
    zk::setitem(view, Py_Ellipsis, value);
    Ref descriptor = zk::tuple_of({zk::getattr(view, n.shape), zk::getattr(zk::getattr(view, n.dtype), n.type_string)});
    return zk::tuple_of({descriptor, zk::getattr(block, n.name), block});
}

Ref loadv(Scope s, Handle value, Handle name, Handle shm) {
    const State& st = s.state();
    const Names& n = st.names;
    if (PyUnicode_Tailmatch(name, n.ampersand.get(), 0, 1, -1) != 1) {
        return zk::tuple_of({zk::str(""), value});
    }
    Py_ssize_t members = PyTuple_GET_SIZE(value.get());
    if (members != 2) zk::raise_unpack_count(2, members);
    Ref shape = Ref::borrow(PyTuple_GET_ITEM(value.get(), 0));
    Ref dtype = zk::call(st.np_dtype, PyTuple_GET_ITEM(value.get(), 1));
    refuse_objects(n, dtype);
    Ref block = zk::truthy(shm) ? Ref::borrow(shm) : zk::call_kw(s.global(n.SharedMemory), {}, {{n.name, name}, {n.track, Py_False}});
    // Over the pinned block, not block.buf: the array then keeps the mapping alive by itself.
    Ref array = zk::call_kw(st.codec.ndarray, {}, {{n.shape, shape}, {n.dtype, dtype}, {n.buffer, pin_block(st, block)}});
    return zk::tuple_of({block, array});
}

}  // namespace

void define_shared_values(zk::Module& m, State& st) {
    using zk::arg;
    st.np_dtype = zk::getattr(m.get("np"), st.names.dtype);
    define_pinned_block(m, st);
    m.def(zk::declare<dumpv>("dumpv", {arg("value").annotate("np.ndarray"), arg("name", zk::Check::Str).optional() = zk::none(),
                                       arg("shm").annotate("SharedMemory | None") = zk::none()}));
    m.def(zk::declare<loadv>("loadv", {arg("value", zk::Check::Tuple), arg("name", zk::Check::Str),
                                       arg("shm").annotate("SharedMemory | None") = zk::none()}));
}

}  // namespace protocol
