// The base of the arrays loadv makes: it holds the shared-memory block and an export of its
// buffer for as long as any array over it lives. numpy keeps only a reference to the mapping, not
// an export, so without it a block handle that is collected (or closed) unmaps memory the arrays
// still read; with it the handle lives on, and an explicit close() raises BufferError instead.
#include "protocol/protocol.hpp"

#include <cstddef>

namespace protocol {

namespace {

struct PinnedBlock {
    PyObject_HEAD
    PyObject* block;  // the SharedMemory handle, so that its finaliser cannot run under the arrays
    Py_buffer view;   // an export of block.buf, which keeps the mapping open
};

PinnedBlock* as_pinned(PyObject* self) { return reinterpret_cast<PinnedBlock*>(self); }

// Every buffer taken from it is the pinned one again, owned by this object.
int pinned_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    const Py_buffer& pinned = as_pinned(self)->view;
    return PyBuffer_FillInfo(view, self, pinned.buf, pinned.len, pinned.readonly, flags);
}

int pinned_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_pinned(self)->block);
    Py_VISIT(as_pinned(self)->view.obj);
    return 0;
}

// The export goes first: the handle's finaliser, if this held its last reference, then closes a
// mapping nothing exports any more.
void pinned_dealloc(PyObject* self) noexcept {
    PinnedBlock* p = as_pinned(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (p->view.obj) PyBuffer_Release(&p->view);
    Py_CLEAR(p->block);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef pinned_members[] = {
    {"block", Py_T_OBJECT_EX, offsetof(PinnedBlock, block), Py_READONLY, "The shared-memory block the arrays read."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot pinned_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pinned_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pinned_traverse)},
    {Py_tp_members, pinned_members},
    {Py_bf_getbuffer, reinterpret_cast<void*>(pinned_getbuffer)},
    {Py_tp_doc, const_cast<char*>("A shared-memory block kept mapped for the arrays made over it.")},
    {0, nullptr},
};

PyType_Spec pinned_spec = {
    "zelk.protocol.PinnedBlock",
    sizeof(PinnedBlock),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pinned_slots,
};

}  // namespace

void define_pinned_block(zk::Module& m, State& st) {
    st.pinned_block_type = zk::check(PyType_FromModuleAndSpec(m.object(), &pinned_spec, nullptr));
}

zk::Ref pin_block(const State& st, zk::Handle block) {
    zk::Ref buf = zk::getattr(block, st.names.buf);
    auto* type = reinterpret_cast<PyTypeObject*>(st.pinned_block_type.get());
    PinnedBlock* p = PyObject_GC_New(PinnedBlock, type);
    if (!p) zk::throw_error();
    p->block = nullptr;
    p->view.obj = nullptr;
    zk::Ref pinned = zk::Ref::steal(reinterpret_cast<PyObject*>(p));  // dealloc copes with either field unset
    zk::check_status(PyObject_GetBuffer(buf.get(), &p->view, PyBUF_SIMPLE));
    p->block = Py_NewRef(block.get());
    PyObject_GC_Track(p);
    return pinned;
}

}  // namespace protocol
