// Building plain Python classes from declared members.
#include "core/klass.hpp"

#include <cstdint>


namespace zk {

namespace {

// A function of the class body; `made` collects it so that it can learn its class once that exists.
Ref make_method(Handle module, Handle class_name, const Def& decl, std::vector<Ref>& made) {
    Ref qualname = str_format("%U.%s", class_name.get(), decl.name);
    Ref f = make_function(std::make_shared<const Prototype>(decl), module, qualname);
    defer_reference_count(f);
    made.push_back(f.copy());
    return f;
}

// The object a member puts in the class namespace.
Ref member_value(Handle module, Handle class_name, const Member& member, std::vector<Ref>& made) {
    switch (member.kind) {
        case Member::Kind::Method:
            return make_method(module, class_name, member.functions[0], made);
        case Member::Kind::ClassMethod:
            return check(PyClassMethod_New(make_method(module, class_name, member.functions[0], made).get()));
        case Member::Kind::StaticMethod:
            return check(PyStaticMethod_New(make_method(module, class_name, member.functions[0], made).get()));
        case Member::Kind::Property: {
            Ref getter = make_method(module, class_name, member.functions[0], made);
            Ref setter = member.functions.size() > 1 ? make_method(module, class_name, member.functions[1], made) : none();
            return call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter, setter);
        }
        case Member::Kind::Value:
            break;
    }
    return member.value.copy();
}

}  // namespace

Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, const char* doc,
               const std::vector<Member>& members) {
    const CoreNames& names = static_cast<ModuleState*>(PyModule_GetState(module))->core;
    Ref class_name = str(name);
    Ref ns = new_dict();
    setitem(ns, names.__module__, getattr(module, names.__name__));
    setitem(ns, names.__qualname__, class_name);
    if (doc) setitem(ns, names.__doc__, str(doc));
    std::vector<Ref> made;
    for (const Member& member : members) {
        setitem(ns, str(member.name), member_value(module, class_name, member, made));
    }
    Ref base_tuple = tuple_of(bases.size() ? bases : std::initializer_list<Handle>{reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, base_tuple, ns);
    for (const Ref& f : made) set_owner(f, cls);
    return cls;
}

namespace {

// What `type` defines as `name`, itself or by inheritance: the first class along its __mro__ that
// has the name in its __dict__ decides. Empty when none has it.
Ref defined(const CoreNames& names, PyObject* type, Handle name) {
    // The class itself first, where the methods this is asked about usually are.
    if (Ref found = dict_get(check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type))), name)) return found;
    for (Ref base : iterate(getattr(type, names.__mro__))) {
        if (base.get() == type || !PyType_Check(base.get())) continue;
        if (Ref found = dict_get(check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base.get()))), name)) return found;
    }
    return Ref();
}

bool is_dunder(Handle name) {
    return PyUnicode_GET_LENGTH(name.get()) > 2 && PyUnicode_READ_CHAR(name.get(), 0) == '_' &&
           PyUnicode_READ_CHAR(name.get(), 1) == '_';
}

// Whether the instance's own __dict__ holds `name`.
bool has_own(PyObject* obj, Handle name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) return false;
    Ref dict = check(PyObject_GenericGetDict(obj, nullptr));
    return check_status(PyDict_Contains(dict.get(), name)) != 0;
}

// Whether `type` (with its bases) defines `name` as `native`. The answer is remembered with the
// type's version tag, which CPython renews whenever the type or one of its bases changes; a tag
// that could not be had (they can run out) leaves the answer unremembered.
bool defines_native(const CoreNames& names, PyTypeObject* type, Handle name, Handle native, NativeCache& cache) {
    unsigned int tag = assigned_version_tag(type);
    if (tag) {
        std::uint64_t seen = cache.seen.load(std::memory_order_acquire);
        if (seen >> 1 == tag) return seen & 1;
    }
    bool answer = defined(names, reinterpret_cast<PyObject*>(type), name).get() == native.get();
    // Changed while it was looked at: the answer may belong to the type before or after.
    if (tag && version_tag(type) == tag) cache.seen.store(std::uint64_t{tag} << 1 | answer, std::memory_order_release);
    return answer;
}

}  // namespace

bool is_native(const CoreNames& names, Handle obj, Handle name, Handle native, NativeCache& cache) {
    PyTypeObject* type = Py_TYPE(obj.get());
    // A class whose metaclass is type: its own __mro__ decides, as long as type has no data
    // descriptor of that name, and all of type's have names in double underscores.
    if (type == &PyType_Type) {
        return !is_dunder(name) && defines_native(names, reinterpret_cast<PyTypeObject*>(obj.get()), name, native, cache);
    }
    // An instance that looks attributes up the usual way: its class's method, unless its __dict__
    // has one of that name (the method being no data descriptor).
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr)) return false;
    return defines_native(names, type, name, native, cache) && !has_own(obj, name);
}

}  // namespace zk
