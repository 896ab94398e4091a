// Declarative signatures: one description per function gives its argument parsing, type checks,
// error texts, __defaults__, __annotations__ and __signature__.
//
//     zk::fn<iprint>("iprint", {
//         zk::arg("obj").annotate("Exception | str"),
//         zk::arg("title", zk::Check::Str) = "",
//         zk::kwargs("kwds"),
//     }).returns("str").doc("...")
#pragma once

#include "core/ops.hpp"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace zk {

struct Function;
class Fn;

// What a parameter accepts: anything, exactly one built-in type, or a float (converted).
enum class Check : std::uint8_t { Any, Str, Int, Bytes, Bytearray, Dict, List, Tuple, Float };

enum class Kind : std::uint8_t { Positional, VarArgs, VarKeywords };

// One parameter as a module declares it; defaults are objects made when the declaration runs.
struct Param {
    const char* name;
    Kind kind = Kind::Positional;
    Check check = Check::Any;
    bool or_none = false;
    const char* annotation = nullptr;  // the annotation text; derived from `check` when not given
    Ref default_value;                 // empty: the parameter is required

    Param(const char* name, Kind kind, Check check) : name(name), kind(kind), check(check) {}
    Param(const Param& other)
        : name(other.name), kind(other.kind), check(other.check), or_none(other.or_none),
          annotation(other.annotation), default_value(other.default_value.copy()) {}
    Param(Param&&) = default;

    // `X | None`: None is admitted besides the checked type.
    Param& optional() & { or_none = true; return *this; }
    Param&& optional() && { or_none = true; return std::move(*this); }
    // An annotation stored as text and not checked (or a different text for a checked one).
    Param&& annotate(const char* text) && { annotation = text; return std::move(*this); }
    // The default value, made once, now.
    Param&& operator=(Ref value) && { default_value = std::move(value); return std::move(*this); }
    Param&& operator=(const char* text) && { return std::move(*this) = str(text); }
    Param&& operator=(int value) && { return std::move(*this) = integer(value); }
    Param&& operator=(bool value) && { return std::move(*this) = boolean(value); }
    Param&& operator=(double value) && { return std::move(*this) = floating(value); }
};

inline Param arg(const char* name, Check check = Check::Any) { return Param(name, Kind::Positional, check); }
inline Param varargs(const char* name) { return Param(name, Kind::VarArgs, Check::Any); }
inline Param kwargs(const char* name) { return Param(name, Kind::VarKeywords, Check::Any); }

// The entry of a native function: receives the bound argument slots, one per parameter.
using Trampoline = PyObject* (*)(Function* self, PyObject* const* slots) noexcept;

// A function as a module declares it.
struct Def {
    const char* name;
    std::vector<Param> params;
    Trampoline trampoline;
    std::size_t arity;
    const char* return_annotation = nullptr;
    const char* docstring = nullptr;
    std::vector<Def> nested_defs;
    Ref closure;  // tuple of captured objects, or empty

    Def(const char* name, std::vector<Param> params, Trampoline trampoline, std::size_t arity)
        : name(name), params(std::move(params)), trampoline(trampoline), arity(arity) {}
    Def(const Def& other)
        : name(other.name), params(other.params), trampoline(other.trampoline), arity(other.arity),
          return_annotation(other.return_annotation), docstring(other.docstring), nested_defs(other.nested_defs),
          closure(other.closure.copy()) {}
    Def(Def&&) = default;

    Def&& returns(const char* text) && { return_annotation = text; return std::move(*this); }
    Def&& doc(const char* text) && { docstring = text; return std::move(*this); }
    // A function defined inside this one, made at run time with Fn::nested.
    Def&& nested(Def inner) && { nested_defs.push_back(std::move(inner)); return std::move(*this); }
    // Objects the function keeps from its definition, read at call time with Fn::captured(i).
    Def&& capture(std::initializer_list<Handle> objects) && { closure = tuple_of(objects); return std::move(*this); }
};

namespace detail {

template <class... A>
constexpr std::size_t arity_of(Ref (*)(Fn, A...)) { return sizeof...(A); }

template <auto F, std::size_t... I>
PyObject* invoke(Function* self, PyObject* const* slots, std::index_sequence<I...>) noexcept;

}  // namespace detail

// Declares a function implemented by F, a `Ref F(zk::Fn, zk::Handle...)` with one Handle per parameter.
template <auto F>
Def fn(const char* name, std::vector<Param> params) {
    constexpr std::size_t n = detail::arity_of(F);
    return Def{name, std::move(params),
                [](Function* self, PyObject* const* slots) noexcept {
                    return detail::invoke<F>(self, slots, std::make_index_sequence<n>());
                },
                n};
}

// The compiled form of a Def, shared by every function object made from it.
struct Code {
    static constexpr std::size_t max_params = 16;

    Ref name;
    Ref doc;
    std::vector<Ref> names;  // interned, in declaration order
    std::vector<Check> checks;
    std::vector<std::uint8_t> or_none;
    std::vector<Kind> kinds;
    std::vector<Ref> annotations;  // empty Ref: none
    Ref return_annotation;
    Ref defaults;  // tuple of the trailing positional defaults, or empty
    Py_ssize_t positional = 0;  // positional-or-keyword parameters, which come first
    Py_ssize_t required = 0;    // those of them without a default
    Py_ssize_t varargs_slot = -1;
    Py_ssize_t varkw_slot = -1;
    bool converts = false;  // some parameter is converted (a float), so its slot must be owned
    bool checked = false;   // some parameter has a type check
    Trampoline trampoline = nullptr;
    std::vector<std::shared_ptr<const Code>> nested;

    static std::shared_ptr<const Code> compile(const Def& decl);
};

// The argument slots of one call: borrowed arguments plus what binding had to create.
struct Slots {
    PyObject* item[Code::max_params] = {};
    Ref owned[Code::max_params];
};

// Binds a vectorcall's arguments to the parameters of `self`'s code, with the interpreter's error
// texts and the exact-type checks. Throws PyError on a mismatch.
void bind(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots);

// Checks exactly-typed parameters of a call that needs no binding (no conversions, no *args/**kwds).
void verify_types(const Code& code, PyObject* const* args);

// The text of an annotation that a check implies, such as "str" or "float | None".
const char* check_annotation(Check check, bool or_none);

}  // namespace zk
