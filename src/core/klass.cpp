// Building plain Python classes from declared members.
#include "core/klass.hpp"

#include "core/names.hpp"

namespace zk {

namespace {

Ref make_method(Handle module, Handle class_name, const Def& decl) {
    Ref qualname = str_format("%U.%s", class_name.get(), decl.name);
    return make_function(Code::compile(decl), module, qualname, decl.closure.copy());
}

// The object a member puts in the class namespace.
Ref member_value(Handle module, Handle class_name, const Member& member) {
    switch (member.kind) {
        case Member::Kind::Method:
            return make_method(module, class_name, member.functions[0]);
        case Member::Kind::ClassMethod:
            return check(PyClassMethod_New(make_method(module, class_name, member.functions[0]).get()));
        case Member::Kind::StaticMethod:
            return check(PyStaticMethod_New(make_method(module, class_name, member.functions[0]).get()));
        case Member::Kind::Property: {
            Ref getter = make_method(module, class_name, member.functions[0]);
            Ref setter = member.functions.size() > 1 ? make_method(module, class_name, member.functions[1]) : none();
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
    Ref class_name = str(name);
    Ref ns = new_dict();
    setitem(ns, names::__module__, getattr(module, names::__name__));
    setitem(ns, names::__qualname__, class_name);
    if (doc) setitem(ns, names::__doc__, str(doc));
    for (const Member& member : members) setitem(ns, str(member.name), member_value(module, class_name, member));
    Ref base_tuple = tuple_of(bases.size() ? bases : std::initializer_list<Handle>{reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    return call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, base_tuple, ns);
}

void set_member(Handle module, Handle cls, const Member& member) {
    setattr(cls, str(member.name), member_value(module, getattr(cls, names::__qualname__), member));
}

}  // namespace zk
