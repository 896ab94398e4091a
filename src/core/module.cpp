// Module set-up helpers.
#include "core/module.hpp"

namespace zk {

namespace {

const CoreNames& core_names(PyObject* module) { return module_state<ModuleState>(module).core; }

}  // namespace

void init_module_state(PyObject* module, ModuleState& state, PyType_Spec* function_spec) {
    state.core.intern();
    state.builtins = Ref::borrow(PyEval_GetBuiltins());
    state.function_type = check(PyType_FromModuleAndSpec(module, function_spec, nullptr));
}

Ref Module::get(const char* name) const { return getitem(PyModule_GetDict(module_), str(name)); }

void Module::set(const char* name, Handle value) { check_status(PyModule_AddObjectRef(module_, name, value)); }

Ref Module::import(const char* name, const char* alias) {
    Ref module = zk::import(name);
    set(alias ? alias : name, module);
    return module;
}

Ref Module::from_import(const char* module, std::initializer_list<const char*> names) {
    int level = 0;
    while (module[level] == '.') level++;
    Ref fromlist = new_list();
    for (const char* n : names) append(fromlist, str(n));
    Ref source = check(PyImport_ImportModuleLevel(module + level, PyModule_GetDict(module_), nullptr, fromlist.get(), level));
    for (const char* n : names) {
        Ref value = getattr_optional(source, str(n));
        if (!value) {
            raise(PyExc_ImportError, "cannot import name '%s' from '%U'", n,
                  getattr(source, core_names(module_).__name__).get());
        }
        set(n, value);
    }
    return source;
}

Ref Module::def(const Def& decl) {
    Ref f = make_function(std::make_shared<const Prototype>(decl), module_, intern(decl.name));
    defer_reference_count(f);
    set(decl.name, f);
    return f;
}

Ref Module::add_class(const char* name, std::initializer_list<Handle> bases, const char* doc,
                      const std::vector<Member>& members) {
    Ref cls = make_class(module_, name, bases, doc, members);
    set(name, cls);
    return cls;
}

}  // namespace zk
