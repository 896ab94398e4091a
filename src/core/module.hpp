// Module set-up: multi-phase init without the GIL, and an exec step that reads like a module body.
//
//     static void exec(zk::Module& m) { m.import("os"); m.from_import(".scribe", {"BrillPrint"}); ... }
//     ZK_MODULE(protocol, exec)
#pragma once

#include "core/klass.hpp"

#include <initializer_list>
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
    // from module import names; leading dots make the import relative to this package.
    void from_import(const char* module, std::initializer_list<const char*> names);
    // def decl.name(...): a module-level function.
    Ref def(const Def& decl);
    // class name(*bases): ...
    Ref add_class(const char* name, std::initializer_list<Handle> bases, const char* doc,
                  const std::vector<Member>& members);

private:
    PyObject* module_;
};

// Runs a module's exec step, turning a thrown exception into a failed import.
int run_exec(PyObject* module, void (*body)(Module&)) noexcept;

}  // namespace zk

#define ZK_MODULE(name, body)                                                                      \
    static int zk_exec_##name(PyObject* module) noexcept { return ::zk::run_exec(module, body); } \
    static PyModuleDef_Slot zk_slots_##name[] = {                                                  \
        {Py_mod_exec, reinterpret_cast<void*>(zk_exec_##name)},                                    \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                \
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},                                                         \
        {0, nullptr},                                                                              \
    };                                                                                             \
    static PyModuleDef zk_def_##name = {                                                           \
        PyModuleDef_HEAD_INIT, "zelk." #name, nullptr, 0, nullptr, zk_slots_##name,                \
        nullptr,               nullptr,       nullptr,                                             \
    };                                                                                             \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&zk_def_##name); }
