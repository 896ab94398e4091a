// The native function type.
#include "core/function.hpp"

#include "core/names.hpp"

#include <cstddef>
#include <new>

namespace zk {

namespace {

PyTypeObject* function_type = nullptr;
PyObject* builtins_dict = nullptr;  // kept for the life of the process

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// ---- calls -------------------------------------------------------------------------------------

// Binds a call of a function without *args, **kwds or conversions straight into `filled`:
// arguments by position or name, then defaults. False when the call does not fit, so that
// the full binder can report it with the interpreter's texts.
bool bind_simple(const Code& code, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filled) {
    if (nargs > code.positional) return false;
    for (Py_ssize_t i = 0; i < nargs; i++) filled[i] = args[i];
    for (Py_ssize_t i = nargs; i < code.positional; i++) filled[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = nargs;
        while (i < code.positional && code.names[i].get() != name) i++;
        if (i == code.positional || filled[i]) return false;  // not interned, unknown or given twice
        filled[i] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < code.positional; i++) {
        if (filled[i]) continue;
        if (i < code.required) return false;
        filled[i] = PyTuple_GET_ITEM(code.defaults.get(), i - code.required);
    }
    return true;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function* f = as_function(callable);
    const Code& code = *f->code;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    // Exactly the positional parameters: the arguments are the slots, as they come.
    bool exact = !kwnames && nargs == code.positional;
    PyObject* filled[Code::max_params];
    if (f->fast && (exact || bind_simple(code, args, nargs, kwnames, filled))) {
        PyObject* const* slots = exact ? args : filled;
        try {
            verify_types(code, slots);
        } catch (...) {
            translate_exception();
            return nullptr;
        }
        return code.trampoline(f, slots);
    }
    Slots slots;
    try {
        bind(f, args, nargs, kwnames, slots);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    return code.trampoline(f, slots.item);
}

// Stored on a class, the function binds to instances like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return boundary([&] { return str_format("<function %U at %p>", function_qualname(as_function(self)).get(), self); });
}

// ---- lifetime ----------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module.get());
    Py_VISIT(f->closure.get());
    Py_VISIT(f->owner.get());
    Py_VISIT(f->attrs.name.get());
    Py_VISIT(f->attrs.qualname.get());
    Py_VISIT(f->attrs.module_name.get());
    Py_VISIT(f->attrs.doc.get());
    Py_VISIT(f->attrs.annotations.get());
    Py_VISIT(f->attrs.annotate.get());
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    f->module = Ref();
    f->closure = Ref();
    f->owner = Ref();
    f->attrs = FunctionAttributes();
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    Function* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    function_clear(self);
    f->attrs.~FunctionAttributes();
    f->owner.~Ref();
    f->closure.~Ref();
    f->module.~Ref();
    f->code.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- attributes --------------------------------------------------------------------------------

// Reads one of the changeable attributes under the object's lock.
PyObject* read_attr(PyObject* self, Ref FunctionAttributes::*field) {
    CriticalSection lock(self);
    PyObject* value = (as_function(self)->attrs.*field).get();
    return Py_NewRef(value ? value : Py_None);
}

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
PyObject* get_module(PyObject* self, void*) noexcept { return read_attr(self, &FunctionAttributes::module_name); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    return write_attr(self, &FunctionAttributes::module_name, value ? value : Py_None);
}
PyObject* get_doc(PyObject* self, void*) noexcept { return read_attr(self, &FunctionAttributes::doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    return write_attr(self, &FunctionAttributes::doc, value ? value : Py_None);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    return boundary([&] {
        Function* f = as_function(self);
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

PyObject* get_annotate(PyObject* self, void*) noexcept { return read_attr(self, &FunctionAttributes::annotate); }
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    write_attr(self, &FunctionAttributes::annotate, value);
    if (value != Py_None) write_attr(self, &FunctionAttributes::annotations, nullptr);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* defaults = as_function(self)->code->defaults.get();
    return Py_NewRef(defaults ? defaults : Py_None);
}
PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(PyModule_GetDict(as_function(self)->module.get()));
}
PyObject* get_closure(PyObject* self, void*) noexcept {
    PyObject* closure = as_function(self)->closure.get();
    return Py_NewRef(closure ? closure : Py_None);
}

// inspect.Signature built from the declaration. A function that wraps another (it has
// __wrapped__) has none of its own, so inspect follows the chain as it does for Python functions.
Ref make_signature(const Code& code) {
    Ref inspect = import("inspect");
    Ref parameter = getattr(inspect, names::Parameter);
    Ref empty = getattr(parameter, names::empty);
    Ref params = new_list();
    Py_ssize_t ndefaults = code.defaults ? PyTuple_GET_SIZE(code.defaults.get()) : 0;
    for (std::size_t i = 0; i < code.names.size(); i++) {
        PyObject* kind_name = code.kinds[i] == Kind::Positional ? names::POSITIONAL_OR_KEYWORD
                              : code.kinds[i] == Kind::VarArgs  ? names::VAR_POSITIONAL
                                                                : names::VAR_KEYWORD;
        Py_ssize_t d = static_cast<Py_ssize_t>(i) - (code.positional - ndefaults);
        PyObject* default_value = code.kinds[i] == Kind::Positional && d >= 0
                                      ? PyTuple_GET_ITEM(code.defaults.get(), d)
                                      : empty.get();
        PyObject* annotation = code.annotations[i] ? code.annotations[i].get() : empty.get();
        append(params, call_kw(parameter, {code.names[i], getattr(parameter, kind_name)},
                               {{names::default_, default_value}, {names::annotation, annotation}}));
    }
    PyObject* returns = code.return_annotation ? code.return_annotation.get() : empty.get();
    return call_kw(getattr(inspect, names::Signature), {params}, {{names::return_annotation, returns}});
}

PyObject* get_signature(PyObject* self, void*) noexcept {
    return boundary([&] {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        if (Ref explicit_signature = dict_get(dict, names::__signature__)) return explicit_signature;
        if (dict_get(dict, names::__wrapped__)) {
            raise(PyExc_AttributeError, "'%s' object has no attribute '__signature__'", Py_TYPE(self)->tp_name);
        }
        return make_signature(*as_function(self)->code);
    });
}
int set_signature(PyObject* self, PyObject* value, void*) noexcept {
    return boundary_status([&] {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        if (value) {
            setitem(dict, names::__signature__, value);
        } else {
            check_status(PyDict_DelItem(dict.get(), names::__signature__));
        }
    });
}

// Pickled by reference, as module-level Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return get_qualname(self, nullptr); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
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
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "zelk.native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF,
    function_slots,
};

}  // namespace

void init_function_type() {
    if (function_type) return;
    names::intern();
    builtins_dict = PyModule_GetDict(import("builtins").release());
    function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
}

bool is_function(PyObject* o) { return Py_TYPE(o) == function_type; }

Ref make_function(std::shared_ptr<const Code> code, Handle module, Handle qualname, Ref closure) {
    Ref module_name = getattr(module, names::__name__);
    Ref annotations = new_dict();
    for (std::size_t i = 0; i < code->names.size(); i++) {
        if (code->annotations[i]) setitem(annotations, code->names[i], code->annotations[i]);
    }
    if (code->return_annotation) setitem(annotations, str("return"), code->return_annotation);

    Function* f = PyObject_GC_New(Function, function_type);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    bool fast = code->varargs_slot < 0 && code->varkw_slot < 0 && !code->converts;
    new (&f->code) std::shared_ptr<const Code>(std::move(code));
    new (&f->module) Ref(Ref::borrow(module));
    new (&f->closure) Ref(std::move(closure));
    new (&f->owner) Ref();
    f->fast = fast;
    new (&f->attrs) FunctionAttributes{Ref::borrow(f->code->name.get()), Ref::borrow(qualname), std::move(module_name),
                                       f->code->doc.copy(), std::move(annotations), none()};
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void set_owner(Handle function, Handle cls) {
    if (is_function(function)) as_function(function)->owner = Ref::borrow(cls);
}

Ref function_qualname(Function* f) { return Ref::steal(get_qualname(reinterpret_cast<PyObject*>(f), nullptr)); }

Ref Fn::global(PyObject* name) const {
    if (Ref value = dict_get(PyModule_GetDict(module()), name)) return value;
    if (Ref value = dict_get(builtins_dict, name)) return value;
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

Ref Fn::super(Handle obj) const {
    if (!f_->owner) raise(PyExc_RuntimeError, "super(): %U is not defined in a class body", function_qualname(f_).get());
    return call(reinterpret_cast<PyObject*>(&PySuper_Type), f_->owner, obj);
}

Ref Fn::nested(std::size_t i, std::initializer_list<Handle> objects) const {
    const std::shared_ptr<const Code>& inner = f_->code->nested.at(i);
    Ref qualname = str_format("%U.<locals>.%U", function_qualname(f_).get(), inner->name.get());
    return make_function(inner, module(), qualname, tuple_of(objects));
}

}  // namespace zk
