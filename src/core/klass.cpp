// Building plain Python classes from declared members.
#include "core/klass.hpp"


namespace zk {

namespace {

// A function of the class body; `made` collects it so that it can learn its class once that exists.
Ref make_method(Handle module, Handle class_name, const Def& decl, std::vector<Ref>& made) {
    Ref qualname = str_format("%U.%s", class_name.get(), decl.name);
    Ref f = make_function(std::make_shared<const Prototype>(decl), module, qualname);
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


}  // namespace zk
