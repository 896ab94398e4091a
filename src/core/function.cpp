// The native function type.
#include "core/function.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace zk {

Prototype::Prototype(const Def& def)
    : name(intern(def.name)),
      doc(def.docstring ? str(def.docstring) : none()),
      signature(def.name, def.params, def.return_annotation),
      trampoline(def.trampoline) {
    for (const Def& inner : def.nested_defs) nested.emplace_back(inner.name, std::make_shared<const Prototype>(inner));
}

namespace {

NativeFunction* as_function(PyObject* o) { return reinterpret_cast<NativeFunction*>(o); }

// ---- calls -------------------------------------------------------------------------------------
//
// A function's vectorcall entry is chosen when it is made, by the shape of its signature, so that a
// call goes straight to the binding it needs.

// Any signature: bound with the interpreter's rules and texts.
PyObject* call_binding(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(callable);
    const Prototype& proto = *f->prototype;
    Signature::Slots slots;
    try {
        proto.signature.bind(callable, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    return proto.trampoline(f, slots.item);
}

// Positional parameters only, none converted: the arguments are the slots, as they come, when they
// are exactly the positional ones; keywords and defaults fill a small array first.
PyObject* call_in_place(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(callable);
    const Prototype& proto = *f->prototype;
    const Signature& sig = proto.signature;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    bool exact = !kwnames && nargs == sig.positional();
    PyObject* filled[Signature::max_params];
    if (!exact && !sig.bind_simple(args, nargs, kwnames, filled)) return call_binding(callable, args, nargsf, kwnames);
    PyObject* const* slots = exact ? args : filled;
    try {
        sig.verify_types(slots);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    return proto.trampoline(f, slots);
}

// Positional parameters without defaults, then *args and **kwds: the leading arguments are slots as
// they come, the rest go into a tuple and a dict of their own.
PyObject* call_collecting(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    NativeFunction* f = as_function(callable);
    const Prototype& proto = *f->prototype;
    const Signature& sig = proto.signature;
    PyObject* filled[Signature::max_params];
    Ref rest, named;
    try {
        if (!sig.bind_collecting(args, PyVectorcall_NARGS(nargsf), kwnames, filled, rest, named)) {
            return call_binding(callable, args, nargsf, kwnames);
        }
        sig.verify_types(filled);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    return proto.trampoline(f, filled);
}

vectorcallfunc entry_for(const Signature& sig) noexcept {
    if (sig.binds_in_place()) return call_in_place;
    if (sig.collects()) return call_collecting;
    return call_binding;
}

// Stored on a class, the function binds to instances like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// ---- attributes --------------------------------------------------------------------------------

// Reads one of the changeable attributes under the object's lock.
PyObject* read_attr(PyObject* self, Ref FunctionAttributes::*field) {
    CriticalSection lock(self);
    PyObject* value = (as_function(self)->attrs.*field).get();
    return Py_NewRef(value ? value : Py_None);
}

Ref qualname_now(PyObject* self) { return Ref::steal(read_attr(self, &FunctionAttributes::qualname)); }

int write_attr(PyObject* self, Ref FunctionAttributes::*field, PyObject* value) {
    Ref old;
    {
        CriticalSection lock(self);
        old = std::move(as_function(self)->attrs.*field);
        as_function(self)->attrs.*field = Ref::borrow(value);
    }
    return 0;  // `old` is released outside the lock, since its destructor may run Python code
}

int write_str_attr(PyObject* self, Ref FunctionAttributes::*field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    return write_attr(self, field, value);
}

PyObject* get_name(PyObject* self, void*) noexcept { return read_attr(self, &FunctionAttributes::name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return write_str_attr(self, &FunctionAttributes::name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return read_attr(self, &FunctionAttributes::qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return write_str_attr(self, &FunctionAttributes::qualname, value, "__qualname__");
}
// __module__ of a function is its own attribute, while the type's __module__ names the module
// of the type; the type dict can hold only the latter, so the function's is served from here.
bool is_module_name(PyObject* self, PyObject* name) {
    PyObject* interned = as_function(self)->state->core.__module__.get();
    return name == interned ||
           (PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 && PyUnicode_Compare(name, interned) == 0);
}

PyObject* function_getattro(PyObject* self, PyObject* name) noexcept {
    if (is_module_name(self, name)) return read_attr(self, &FunctionAttributes::module_name);
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (is_module_name(self, name)) return write_attr(self, &FunctionAttributes::module_name, value ? value : Py_None);
    return PyObject_GenericSetAttr(self, name, value);
}
PyObject* get_doc(PyObject* self, void*) noexcept { return read_attr(self, &FunctionAttributes::doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    return write_attr(self, &FunctionAttributes::doc, value ? value : Py_None);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    return boundary([&] {
        NativeFunction* f = as_function(self);
        {
            CriticalSection lock(self);
            if (f->attrs.annotations) return f->attrs.annotations.copy();
        }
        // Deleted, or replaced through __annotate__: rebuild the way Python functions do.
        Ref annotate = Ref::steal(read_attr(self, &FunctionAttributes::annotate));
        Ref fresh = annotate.get() != Py_None ? call(annotate, integer(1)) : new_dict();
        if (!PyDict_Check(fresh.get())) {
            raise(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(fresh.get())->tp_name);
        }
        CriticalSection lock(self);
        if (!f->attrs.annotations) f->attrs.annotations = std::move(fresh);
        return f->attrs.annotations.copy();
    });
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    return write_attr(self, &FunctionAttributes::annotations, value);
}

// The declaration's __annotate__, as the compiler makes one for a Python function: what
// functools.wraps copies on 3.14, so that a wrapper has the annotations of the function it wraps.
// It gives the function's annotations as they are now (texts, unless replaced), in every format.
PyObject* annotate_declared(PyObject* self, PyObject* format) noexcept {
    return boundary([&] {
        int overflow = 0;
        long kind = PyLong_Check(format) ? PyLong_AsLongAndOverflow(format, &overflow) : 0;
        if (kind < 1 || kind > 4) raise(PyExc_NotImplementedError);
        Ref annotations = check(get_annotations(self, nullptr));
        constexpr long string_format = 4;
        if (kind != string_format) return annotations;
        Py_ssize_t at = 0;
        PyObject *key, *value;
        while (PyDict_Next(annotations.get(), &at, &key, &value)) {  // a copy of our own: nobody else changes it
            if (!PyUnicode_Check(value)) {
                Ref annotationlib = import("annotationlib");
                return call(check(PyObject_GetAttrString(annotationlib.get(), "annotations_to_string")), annotations);
            }
        }
        return annotations;
    });
}

PyMethodDef annotate_def = {"__annotate__", annotate_declared, METH_O, nullptr};

PyObject* get_annotate(PyObject* self, void*) noexcept {
    {
        CriticalSection lock(self);
        if (const Ref& annotate = as_function(self)->attrs.annotate) return Py_NewRef(annotate.get());
    }
    return PyCFunction_New(&annotate_def, self);
}
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    // Both change under one lock, so no reader sees the new __annotate__ beside the old annotations.
    Ref old_annotate, old_annotations;
    {
        CriticalSection lock(self);
        FunctionAttributes& attrs = as_function(self)->attrs;
        old_annotate = std::exchange(attrs.annotate, Ref::borrow(value));
        if (value != Py_None) old_annotations = std::move(attrs.annotations);
    }
    return 0;  // the old values are released outside the lock, since their destructors may run Python code
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    const Ref& defaults = as_function(self)->prototype->signature.defaults();
    return Py_NewRef(defaults ? defaults.get() : Py_None);
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return boundary([&] { return as_function(self)->prototype->signature.keyword_defaults(); });
}
PyObject* get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(PyModule_GetDict(as_function(self)->module.get()));
}
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// inspect.Signature built from the declaration, unless one was set. A function that wraps another
// (it has __wrapped__) has none of its own, so inspect follows the chain as for Python functions.
PyObject* get_signature(PyObject* self, void*) noexcept {
    return boundary([&] {
        NativeFunction* f = as_function(self);
        const CoreNames& names = f->state->core;
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        if (Ref explicit_signature = dict_get(dict, names.__signature__)) return explicit_signature;
        if (dict_get(dict, names.__wrapped__)) {
            raise(PyExc_AttributeError, "'%s' object has no attribute '__signature__'", Py_TYPE(self)->tp_name);
        }
        return f->prototype->signature.to_inspect(names);
    });
}
int set_signature(PyObject* self, PyObject* value, void*) noexcept {
    return boundary_status([&] {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        const Ref& key = as_function(self)->state->core.__signature__;
        if (value) {
            setitem(dict, key, value);
        } else if (!dict_pop(dict, key, nullptr)) {
            raise(PyExc_AttributeError, "'%s' object has no attribute '__signature__'", Py_TYPE(self)->tp_name);
        }
    });
}

PyObject* function_repr(PyObject* self) noexcept {
    return boundary([&] { return str_format("<function %U at %p>", qualname_now(self).get(), self); });
}

// Pickled by reference, as module-level Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return get_qualname(self, nullptr); }

// ---- lifetime ----------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module.get());
    Py_VISIT(f->owner.get());
    if (f->captures) {
        if (int result = f->captures->traverse(visit, arg)) return result;
    }
    if (int result = visit_refs(f->attrs, visit, arg)) return result;
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) noexcept {
    NativeFunction* f = as_function(self);
    f->owner = Ref();
    if (f->captures) f->captures->clear();
    clear_refs(f->attrs);
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    NativeFunction* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->captures;
    f->attrs.~FunctionAttributes();
    f->owner.~Ref();
    f->module.~Ref();
    f->prototype.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

}  // namespace

PyType_Spec function_spec(const char* qualified_name) {
    return {
        qualified_name,
        sizeof(NativeFunction),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_DICT |
            Py_TPFLAGS_MANAGED_WEAKREF,
        function_slots,
    };
}

Ref make_function(std::shared_ptr<const Prototype> prototype, Handle module, Handle qualname,
                  std::unique_ptr<Captures> captures) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!state) throw_error();
    Ref module_name = getattr(module, state->core.__name__);
    Ref annotations = prototype->signature.annotations(state->core);

    auto* type = reinterpret_cast<PyTypeObject*>(state->function_type.get());
    NativeFunction* f = PyObject_GC_New(NativeFunction, type);
    if (!f) throw_error();
    f->vectorcall = entry_for(prototype->signature);
    new (&f->prototype) std::shared_ptr<const Prototype>(std::move(prototype));
    f->state = state;
    new (&f->module) Ref(Ref::borrow(module));
    f->captures = captures.release();
    new (&f->owner) Ref();
    new (&f->attrs) FunctionAttributes{f->prototype->name.copy(), Ref::borrow(qualname), std::move(module_name),
                                       f->prototype->doc.copy(), std::move(annotations), Ref()};
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void defer_reference_count([[maybe_unused]] Handle function) noexcept {
#ifdef Py_GIL_DISABLED
    PyUnstable_Object_EnableDeferredRefcount(function.get());  // 3.14 and later, as every free-threaded build here
#endif
}

void set_owner(Handle function, Handle cls) {
    if (PyType_GetSlot(Py_TYPE(function.get()), Py_tp_dealloc) == reinterpret_cast<void*>(function_dealloc)) {
        as_function(function)->owner = Ref::borrow(cls);
    }
}

Ref ScopeBase::global(Handle name) const {
    if (Ref value = dict_get(PyModule_GetDict(module()), name)) return value;
    if (Ref value = dict_get(f_->state->builtins, name)) return value;
    raise(PyExc_NameError, "name '%U' is not defined", name.get());
}

Ref ScopeBase::super(Handle obj) const {
    if (!f_->owner) {
        raise(PyExc_RuntimeError, "super(): %U is not defined in a class body", qualname_now(object()).get());
    }
    return call(reinterpret_cast<PyObject*>(&PySuper_Type), f_->owner, obj);
}

Ref ScopeBase::make_nested(const char* name, std::unique_ptr<Captures> captures) const {
    for (const auto& [inner_name, inner] : f_->prototype->nested) {
        if (std::strcmp(inner_name, name) != 0) continue;
        Ref qualname = text("{}.<locals>.{}", qualname_now(object()), inner->name);
        return make_function(inner, module(), qualname, std::move(captures));
    }
    raise(PyExc_SystemError, "%U has no nested function %s", qualname_now(object()).get(), name);
}

}  // namespace zk
