// The native function type, one per module: vectorcall entry, bound like a Python function, with
// the attributes that functools.wraps and inspect expect; and how module code declares a function:
//
//     Ref get_port(Scope s, Handle name) { ... }
//     zk::declare<get_port>("get_port", {zk::arg("name", zk::Check::Str)})
//
// An implementation takes its Scope (module state, globals, captured values) and one Handle per parameter.
#pragma once

#include "core/signature.hpp"

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace zk {

struct NativeFunction;

// The entry of an implementation: the function being called and its bound argument slots.
using Trampoline = PyObject* (*)(NativeFunction* self, PyObject* const* slots) noexcept;

// A function as a module declares it.
struct Def {
    const char* name;
    std::vector<Param> params;
    Trampoline trampoline;
    const char* return_annotation = nullptr;
    const char* docstring = nullptr;
    std::vector<Def> nested_defs;

    Def(const char* name, std::vector<Param> params, Trampoline trampoline)
        : name(name), params(std::move(params)), trampoline(trampoline) {}

    Def&& returns(const char* text) && { return_annotation = text; return std::move(*this); }
    Def&& doc(const char* text) && { docstring = text; return std::move(*this); }
    // A function defined inside this one, made at run time with Scope::nested.
    Def&& nested(Def inner) && { nested_defs.push_back(std::move(inner)); return std::move(*this); }
};

// What every function object made from one Def shares: its compiled signature and entry.
struct Prototype {
    Ref name;
    Ref doc;
    Signature signature;
    Trampoline trampoline;
    std::vector<std::pair<const char*, std::shared_ptr<const Prototype>>> nested;

    explicit Prototype(const Def& def);
};

// Values a function made at run time keeps from its maker, by name: a struct of Refs with each().
class Captures {
public:
    virtual ~Captures() = default;
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

// For a nested function that keeps nothing.
struct NoValues {
    template <class F>
    void each(F&&) {}
};

template <class Values>
class CapturesOf final : public Captures {
public:
    explicit CapturesOf(Values v) : values(std::move(v)) {}
    int traverse(visitproc visit, void* arg) override { return visit_refs(values, visit, arg); }
    void clear() override { clear_refs(values); }
    Values values;
};

// Attributes that callers may change (functools.wraps writes them); guarded by the object's
// critical section in the free-threaded build.
struct FunctionAttributes {
    Ref name;
    Ref qualname;
    Ref module_name;  // __module__
    Ref doc;
    Ref annotations;  // dict, made when the function is
    Ref annotate;     // __annotate__ once set (None included); unset, the declaration's

    template <class F>
    void each(F&& f) {
        f(name);
        f(qualname);
        f(module_name);
        f(doc);
        f(annotations);
        f(annotate);
    }
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // Fixed at creation, read without locks.
    std::shared_ptr<const Prototype> prototype;
    ModuleState* state;   // the defining module's state; the module outlives the function
    Ref module;           // the defining module, whose dict holds the function's globals
    Captures* captures;   // owned; null for functions declared at module level
    Ref owner;            // the class whose body defined the function (Python's __class__ cell), or empty
    FunctionAttributes attrs;
};

static_assert(std::is_standard_layout_v<NativeFunction>, "NativeFunction must stay standard-layout for offsetof");

// The PyType_Spec of a module's function type, named `qualified_name` ("zelk.ring.native_function").
PyType_Spec function_spec(const char* qualified_name);

// A new function of `module`'s function type.
Ref make_function(std::shared_ptr<const Prototype> prototype, Handle module, Handle qualname,
                  std::unique_ptr<Captures> captures = nullptr);

// Lets a free-threaded interpreter leave the reference count of `function` alone when Python code
// loads and calls it, as it does for the functions of module and class bodies: threads calling one
// function then write nothing they share. The garbage collector alone frees such a function, so it
// is for functions (and bound methods) that live as long as their module, not for ones made at
// each call.
void defer_reference_count(Handle function) noexcept;

// Records `cls` as the class whose body defined `function`, for Scope::super. Called once, while the
// class is being made and before anyone else can see the function.
void set_owner(Handle function, Handle cls);

// What an implementation sees of the function being called.
class ScopeBase {
public:
    explicit ScopeBase(NativeFunction* f) noexcept : f_(f) {}

    // A module global, or a builtin when the module has none of that name (NameError otherwise).
    Ref global(Handle name) const;
    // The defining module.
    PyObject* module() const noexcept { return f_->module.get(); }
    // The function object itself.
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(f_); }
    // super(<defining class>, obj), as a method body's zero-argument super() gives.
    Ref super(Handle obj) const;
    // The values this function was made with by Scope::nested.
    template <class Values>
    Values& captured() const noexcept {
        return static_cast<CapturesOf<Values>*>(f_->captures)->values;
    }
    // A new function from the nested declaration `name`, keeping `values`; its qualified name is
    // this function's followed by ".<locals>." and its own name.
    template <class Values = NoValues>
    Ref nested(const char* name, Values values = {}) const {
        return make_nested(name, std::make_unique<CapturesOf<Values>>(std::move(values)));
    }

protected:
    Ref make_nested(const char* name, std::unique_ptr<Captures> captures) const;
    NativeFunction* f_;
};

// The scope of a function of the module whose state is `State`.
template <class State>
class Scope : public ScopeBase {
public:
    using ScopeBase::ScopeBase;
    State& state() const noexcept { return static_cast<State&>(*f_->state); }
    const auto& names() const noexcept { return state().names; }
};

namespace detail {

template <class S, class... A>
constexpr std::size_t arity_of(Ref (*)(S, A...)) {
    return sizeof...(A);
}
template <class S, class... A>
S scope_of(Ref (*)(S, A...));

template <auto F, std::size_t... I>
PyObject* invoke(NativeFunction* self, PyObject* const* slots, std::index_sequence<I...>) noexcept {
    using S = decltype(scope_of(F));
    (void)slots;  // unused by functions without parameters
    return boundary([&] { return F(S(self), Handle(slots[I])...); });
}

}  // namespace detail

// Declares a function implemented by F, a `Ref F(Scope, Handle...)` with one Handle per parameter.
template <auto F>
Def declare(const char* name, std::vector<Param> params) {
    constexpr std::size_t n = detail::arity_of(F);
    if (params.size() != n) {
        raise(PyExc_SystemError, "%s(): declared %zu parameters for an implementation of %zu", name, params.size(), n);
    }
    return Def(name, std::move(params), [](NativeFunction* self, PyObject* const* slots) noexcept {
        return detail::invoke<F>(self, slots, std::make_index_sequence<n>());
    });
}

}  // namespace zk
