// Building plain Python classes from declared members.
#include "core/klass.hpp"

#include "core/names.hpp"

namespace zk {

namespace {

Ref make_method(Handle module, Handle class_name, const Spec& spec) {
    Ref qualname = str_format("%U.%s", class_name.get(), spec.name);
    return make_function(Code::compile(spec), module, qualname, spec.closure.copy());
}

}  // namespace

Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, const char* doc,
               const std::vector<Member>& members) {
    Ref class_name = str(name);
    Ref ns = new_dict();
    setitem(ns, names::__module__, getattr(module, names::__name__));
    setitem(ns, names::__qualname__, class_name);
    if (doc) setitem(ns, names::__doc__, str(doc));
    for (const Member& member : members) {
        Ref value;
        switch (member.kind) {
            case Member::Kind::Method:
                value = make_method(module, class_name, member.functions[0]);
                break;
            case Member::Kind::ClassMethod:
                value = check(PyClassMethod_New(make_method(module, class_name, member.functions[0]).get()));
                break;
            case Member::Kind::StaticMethod:
                value = check(PyStaticMethod_New(make_method(module, class_name, member.functions[0]).get()));
                break;
            case Member::Kind::Property: {
                Ref getter = make_method(module, class_name, member.functions[0]);
                Ref setter = member.functions.size() > 1 ? make_method(module, class_name, member.functions[1]) : none();
                value = call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter, setter);
                break;
            }
            case Member::Kind::Value:
                value = member.value.copy();
                break;
        }
        setitem(ns, str(member.name), value);
    }
    Ref base_tuple = tuple_of(bases.size() ? bases : std::initializer_list<Handle>{reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    return call(reinterpret_cast<PyObject*>(&PyType_Type), class_name, base_tuple, ns);
}

}  // namespace zk
