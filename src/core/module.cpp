// Module set-up helpers.
#include "core/module.hpp"

#include "core/names.hpp"

#include <cstring>

namespace zk {

Ref Module::get(const char* name) const { return getitem(PyModule_GetDict(module_), str(name)); }

void Module::set(const char* name, Handle value) { check_status(PyModule_AddObjectRef(module_, name, value)); }

Ref Module::import(const char* name, const char* alias) {
    Ref module = zk::import(name);
    set(alias ? alias : name, module);
    return module;
}

void Module::from_import(const char* module, std::initializer_list<const char*> names) {
    int level = 0;
    while (module[level] == '.') level++;
    Ref fromlist = new_list();
    for (const char* n : names) append(fromlist, str(n));
    Ref source = check(PyImport_ImportModuleLevel(module + level, PyModule_GetDict(module_), nullptr, fromlist.get(), level));
    for (const char* n : names) {
        Ref value = getattr_optional(source, str(n));
        if (!value) {
            raise(PyExc_ImportError, "cannot import name '%s' from '%U'", n, getattr(source, names::__name__).get());
        }
        set(n, value);
    }
}

Ref Module::def(const Def& decl) {
    Ref f = make_function(Code::compile(decl), module_, str(decl.name), decl.closure.copy());
    set(decl.name, f);
    return f;
}

Ref Module::add_class(const char* name, std::initializer_list<Handle> bases, const char* doc,
                      const std::vector<Member>& members) {
    Ref cls = make_class(module_, name, bases, doc, members);
    set(name, cls);
    return cls;
}

int run_exec(PyObject* module, void (*body)(Module&)) noexcept {
    return boundary_status([&] {
        init_function_type();
        Module m(module);
        body(m);
    });
}

}  // namespace zk
