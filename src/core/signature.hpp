// Declarative signatures: one parameter list per function gives its argument binding, the
// exact-type checks, the interpreter's error texts, __defaults__, __annotations__ and __signature__.
//
//     {zk::arg("obj").annotate("Exception | str"), zk::arg("title", zk::Check::Str) = "", zk::kwargs("kwds")}
#pragma once

#include "core/ops.hpp"
#include "core/state.hpp"

#include <cstdint>
#include <vector>

namespace zk {

// What a parameter accepts: anything, exactly one built-in type, or a float (converted, unless `| None`).
enum class Check : std::uint8_t { Any, Str, Int, Bytes, Bytearray, Dict, List, Tuple, Float };

enum class Kind : std::uint8_t { Positional, VarArgs, KeywordOnly, VarKeywords };

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
inline Param kwonly(const char* name, Check check = Check::Any) { return Param(name, Kind::KeywordOnly, check); }
inline Param kwargs(const char* name) { return Param(name, Kind::VarKeywords, Check::Any); }

// The TypeError for an argument `name` that is not exactly the type `expected` asks for, as a call
// that binds it raises: "Argument 'indent' has incorrect type (expected int, got bool)".
Ref wrong_type(const char* name, Check expected, Handle value);

// The ValueError of unpacking `got` values into `expected` names: "not enough values to unpack
// (expected 5, got 3)", "too many values to unpack (expected 2, got 3)".
[[noreturn]] void raise_unpack_count(Py_ssize_t expected, Py_ssize_t got);

// The compiled parameter list of one declaration.
class Signature {
public:
    static constexpr std::size_t max_params = 24;

    struct Parameter {
        Ref name;  // interned
        Kind kind;
        Check check;
        bool or_none;
        Ref annotation;  // empty: none
        Ref default_value;  // of a keyword-only parameter; empty: required
    };

    // The argument slots of one call: borrowed arguments plus what binding had to create.
    struct Slots {
        PyObject* item[max_params] = {};
        Ref owned[max_params];
    };

    // Compiles a declaration; a declaration that cannot be a Python signature raises SystemError.
    Signature(const char* function_name, const std::vector<Param>& params, const char* return_annotation);

    std::size_t size() const noexcept { return params_.size(); }
    const Parameter& operator[](std::size_t i) const noexcept { return params_[i]; }
    // The tuple of trailing positional defaults, or an empty Ref.
    const Ref& defaults() const noexcept { return defaults_; }
    const Ref& return_annotation() const noexcept { return return_annotation_; }
    // Calls with exactly the positional arguments need no binding: no *args, **kwds, keyword-only
    // parameters or conversions.
    bool binds_in_place() const noexcept {
        return varargs_slot_ < 0 && varkw_slot_ < 0 && !converts_ && positional_ == static_cast<Py_ssize_t>(params_.size());
    }
    Py_ssize_t positional() const noexcept { return positional_; }
    // Positional parameters without defaults, then *args and **kwds, and nothing converted.
    bool collects() const noexcept {
        return varargs_slot_ == positional_ && varkw_slot_ == positional_ + 1 &&
               static_cast<Py_ssize_t>(params_.size()) == positional_ + 2 && required_ == positional_ && !converts_;
    }

    // Binds a call of `function` without *args, **kwds or conversions straight into `filled`, by
    // position, name and default. False when the call does not fit: bind() then says why.
    bool bind_simple(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filled) const noexcept;
    // Binds a call of a signature that collects(): the leading arguments into `filled` as they are,
    // the others into a new tuple (`rest`) and the keywords into a new dict (`named`), which own
    // them. False when the call does not fit (too few arguments, a keyword naming a positional
    // parameter): bind() then binds it, or says why.
    bool bind_collecting(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filled, Ref& rest,
                         Ref& named) const;
    // Binds any call with the interpreter's error texts and the exact-type checks; throws on a mismatch.
    void bind(Handle function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots) const;
    // The exact-type checks of a call bound in place.
    void verify_types(PyObject* const* args) const;

    // __kwdefaults__: the defaults of the keyword-only parameters, or None.
    Ref keyword_defaults() const;
    // __annotations__ as a new dict, and inspect.Signature for __signature__.
    Ref annotations(const CoreNames& names) const;
    Ref to_inspect(const CoreNames& names) const;

private:
    void check_types(Slots& slots) const;

    std::vector<Parameter> params_;  // in declaration order: positional ones first
    Ref defaults_;
    Ref return_annotation_;
    Py_ssize_t positional_ = 0;  // positional-or-keyword parameters
    Py_ssize_t required_ = 0;    // those of them without a default
    Py_ssize_t varargs_slot_ = -1;
    Py_ssize_t varkw_slot_ = -1;
    bool converts_ = false;  // some parameter is converted (a float), so its slot must be owned
    bool checked_ = false;   // some parameter has a type check
};

}  // namespace zk
