// The native function type: vectorcall entry, bound like a Python function, with the attributes
// that functools.wraps and inspect expect (__name__, __qualname__, __doc__, __dict__, ...).
#pragma once

#include "core/signature.hpp"

#include <initializer_list>
#include <type_traits>

namespace zk {

// Attributes that callers may change (functools.wraps writes them); guarded by the object's
// critical section in the free-threaded build.
struct FunctionAttributes {
    Ref name;
    Ref qualname;
    Ref module_name;  // __module__
    Ref doc;
    Ref annotations;  // dict, made when the function is
    Ref annotate;     // __annotate__, None until set
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // Fixed at creation, read without locks.
    std::shared_ptr<const Code> code;
    Ref module;   // the defining module, whose dict holds the function's globals
    Ref closure;  // tuple of captured objects, or empty
    Ref owner;    // the class whose body defined the function (Python's __class__ cell), or empty
    bool fast;    // calls with exactly the positional arguments need no binding
    FunctionAttributes attrs;
};

static_assert(std::is_standard_layout_v<Function>, "Function must stay standard-layout for offsetof");

// Creates the function type of this extension; called by every module's exec step.
void init_function_type();

// A new function object from compiled code.
Ref make_function(std::shared_ptr<const Code> code, Handle module, Handle qualname, Ref closure);

// Records `cls` as the class whose body defined `function`, for Fn::super. Called once, while the
// class is being made and before anyone else can see the function.
void set_owner(Handle function, Handle cls);

// __qualname__ as it is now.
Ref function_qualname(Function* f);

bool is_function(PyObject* o);

// What a native implementation sees of the function being called: its globals and captured state.
class Fn {
public:
    explicit Fn(Function* f) noexcept : f_(f) {}

    // A module global, or a builtin when the module has none of that name (NameError otherwise).
    Ref global(PyObject* name) const;
    // The defining module.
    PyObject* module() const noexcept { return f_->module.get(); }
    // The module's state struct.
    template <class State>
    State& state() const noexcept {
        return *static_cast<State*>(PyModule_GetState(module()));
    }
    // The i-th captured object (borrowed; the function keeps it alive).
    PyObject* captured(Py_ssize_t i) const noexcept { return PyTuple_GET_ITEM(f_->closure.get(), i); }
    // A new function from the i-th nested declaration, capturing `objects`; its qualified name is
    // this function's followed by ".<locals>." and its own name.
    Ref nested(std::size_t i, std::initializer_list<Handle> objects) const;
    // super(<defining class>, obj), as a method body's zero-argument super() gives.
    Ref super(Handle obj) const;
    // The function object itself.
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(f_); }

private:
    Function* f_;
};

namespace detail {

template <auto F, std::size_t... I>
PyObject* invoke(Function* self, PyObject* const* slots, std::index_sequence<I...>) noexcept {
    (void)slots;  // unused by functions without parameters
    return boundary([&] { return F(Fn(self), Handle(slots[I])...); });
}

}  // namespace detail

}  // namespace zk
