// Module set-up: multi-phase init without the GIL, a typed state per module, and an exec step
// that reads like the module body it implements.
//
//     void exec(zk::Module& m, State& st) { m.import("os"); m.from_import(".scribe", {"BrillPrint"}); ... }
//     ZK_MODULE(protocol, State, exec, "The wire protocol ...", Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
//
// `interpreters` says where the module may be loaded: modules whose state is all their own and
// whose imports allow it declare Py_MOD_PER_INTERPRETER_GIL_SUPPORTED; those that need numpy,
// which refuses subinterpreters, say so up front.
#pragma once

#include "core/klass.hpp"

#include <cstddef>
#include <initializer_list>
#include <new>
#include <vector>

namespace zk {

class Module {
public:
    explicit Module(PyObject* module) noexcept : module_(module) {}

    PyObject* object() const noexcept { return module_; }
    // A name bound in the module (KeyError when missing).
    Ref get(const char* name) const;
    void set(const char* name, Handle value);
    // import name [as alias]
    Ref import(const char* name, const char* alias = nullptr);
    // from module import names; leading dots make the import relative to this package. Returns the
    // module imported from, for what is needed of it without being bound here.
    Ref from_import(const char* module, std::initializer_list<const char*> names);
    // def decl.name(...): a module-level function.
    Ref def(const Def& decl);
    // class name(*bases): ...
    Ref add_class(const char* name, std::initializer_list<Handle> bases, const char* doc,
                  const std::vector<Member>& members);

private:
    PyObject* module_;
};

// Prepares the runtime layer's part of a module's state: its function type and builtins.
void init_module_state(PyObject* module, ModuleState& state, PyType_Spec* function_spec);

template <class State>
State& module_state(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

// The exec step: constructs the state (its memory comes zeroed from the interpreter), then runs the body.
template <class State>
int run_exec(PyObject* module, PyType_Spec* function_spec, void (*body)(Module&, State&)) noexcept {
    return boundary_status([&] {
        State* state = new (PyModule_GetState(module)) State();
        init_module_state(module, *state, function_spec);
        state->names.intern();
        Module m(module);
        body(m, *state);
    });
}

template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) noexcept {
    return visit_refs(module_state<State>(module), visit, arg);
}

// A state holds nothing but references, so clearing them is all its destruction needs.
template <class State>
void clear_state(PyObject* module) noexcept {
    clear_refs(module_state<State>(module));
}

}  // namespace zk

#define ZK_MODULE(name, State, body, doc, interpreters)                                                       \
    static_assert(std::is_base_of_v<::zk::ModuleState, State>, "a module's State derives from zk::ModuleState"); \
    static PyType_Spec zk_function_spec_##name = ::zk::function_spec("zelk." #name ".native_function");        \
    static int zk_exec_##name(PyObject* module) noexcept {                                                     \
        return ::zk::run_exec<State>(module, &zk_function_spec_##name, body);                                  \
    }                                                                                                          \
    static int zk_traverse_##name(PyObject* module, visitproc visit, void* arg) noexcept {                     \
        return ::zk::traverse_state<State>(module, visit, arg);                                                \
    }                                                                                                          \
    static int zk_clear_##name(PyObject* module) noexcept {                                                    \
        ::zk::clear_state<State>(module);                                                                      \
        return 0;                                                                                              \
    }                                                                                                          \
    static void zk_free_##name(void* module) noexcept { ::zk::clear_state<State>(static_cast<PyObject*>(module)); } \
    static PyModuleDef_Slot zk_slots_##name[] = {                                                              \
        {Py_mod_exec, reinterpret_cast<void*>(zk_exec_##name)},                                                \
        {Py_mod_multiple_interpreters, interpreters},                                                          \
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},                                                                     \
        {0, nullptr},                                                                                          \
    };                                                                                                         \
    static PyModuleDef zk_def_##name = {                                                                       \
        PyModuleDef_HEAD_INIT, "zelk." #name,      doc,             sizeof(State),  nullptr,                   \
        zk_slots_##name,       zk_traverse_##name, zk_clear_##name, zk_free_##name,                            \
    };                                                                                                         \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&zk_def_##name); }
