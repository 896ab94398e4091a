// Compiling declared signatures, and binding call arguments to them.
#include "core/signature.hpp"

#include <string>

namespace zk {

namespace {

// What each Check accepts: exactly this type (none for Any), named so in annotations and errors.
struct CheckInfo {
    const char* type_name;
    PyTypeObject* type;
};

const CheckInfo& info(Check check) {
    static const CheckInfo table[] = {
        {"object", nullptr},           {"str", &PyUnicode_Type},   {"int", &PyLong_Type},
        {"bytes", &PyBytes_Type},      {"bytearray", &PyByteArray_Type}, {"dict", &PyDict_Type},
        {"list", &PyList_Type},        {"tuple", &PyTuple_Type},   {"float", &PyFloat_Type},
    };
    return table[static_cast<int>(check)];
}

bool accepts(const Signature::Parameter& p, PyObject* value) {
    PyTypeObject* type = info(p.check).type;
    return !type || Py_IS_TYPE(value, type) || (value == Py_None && p.or_none);
}

// The annotation text a declaration gives, or the one its check implies ("str", "float | None").
Ref annotation_of(const Param& p) {
    if (p.annotation) return str(p.annotation);
    if (p.check == Check::Any) return Ref();
    std::string text = info(p.check).type_name;
    if (p.or_none) text += " | None";
    return str(text);
}

Ref qualname_of(Handle function) { return getattr(function, str("__qualname__")); }

// ---- the interpreter's own texts for calls that do not fit ---------------------------------

[[noreturn]] void raise_missing(Handle function, const Signature& sig, const std::vector<Py_ssize_t>& missing,
                               const char* kind) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    Ref names = new_list();
    for (Py_ssize_t i : missing) append(names, repr(sig[i].name));
    Py_ssize_t n = static_cast<Py_ssize_t>(missing.size());
    Ref listed;
    if (n == 1) {
        listed = getitem(names, integer(0));
    } else if (n == 2) {
        listed = text("{} and {}", getitem(names, integer(0)), getitem(names, integer(1)));
    } else {
        listed = text("{}, {}, and {}", join(str(", "), slice(names, 0, n - 2)), getitem(names, integer(n - 2)),
                      getitem(names, integer(n - 1)));
    }
    raise(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", qualname_of(function).get(), n, kind,
          n == 1 ? "" : "s", listed.get());
}

[[noreturn]] void raise_too_many(Handle function, const Signature& sig, Py_ssize_t given) {
    Py_ssize_t with_defaults = sig.defaults() ? PyTuple_GET_SIZE(sig.defaults().get()) : 0;
    Ref counts = with_defaults ? str_format("from %zd to %zd", sig.positional() - with_defaults, sig.positional())
                               : str_format("%zd", sig.positional());
    bool plural = with_defaults || sig.positional() != 1;
    raise(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", qualname_of(function).get(),
          counts.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

[[noreturn]] void raise_wrong_type(const Signature::Parameter& p, PyObject* value) {
    raise(wrong_type(PyUnicode_AsUTF8(p.name.get()), p.check, value));
}

}  // namespace

Ref wrong_type(const char* name, Check expected, Handle value) {
    Ref text = str_format("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                          info(expected).type_name, Py_TYPE(value.get())->tp_name);
    return call(PyExc_TypeError, text);
}

void raise_unpack_count(Py_ssize_t expected, Py_ssize_t got) {
    raise(PyExc_ValueError, "%s values to unpack (expected %zd, got %zd)", got > expected ? "too many" : "not enough", expected, got);
}

Signature::Signature(const char* function_name, const std::vector<Param>& params, const char* return_annotation) {
    if (params.size() > max_params) {
        raise(PyExc_SystemError, "%s(): %zu parameters, at most %zu are supported", function_name, params.size(),
              max_params);
    }
    std::vector<PyObject*> defaults;
    for (const Param& p : params) {
        Py_ssize_t slot = static_cast<Py_ssize_t>(params_.size());
        params_.push_back({intern(p.name), p.kind, p.check, p.or_none, annotation_of(p),
                           p.kind == Kind::KeywordOnly ? p.default_value.copy() : Ref()});
        converts_ |= p.check == Check::Float && !p.or_none;
        checked_ |= p.check != Check::Any;
        switch (p.kind) {
            case Kind::Positional:
                if (slot != positional_) {
                    raise(PyExc_SystemError, "%s(): parameter '%s' follows *args, keyword-only parameters or **kwargs",
                          function_name, p.name);
                }
                positional_++;
                if (p.default_value) {
                    defaults.push_back(p.default_value.get());
                } else if (!defaults.empty()) {
                    raise(PyExc_SystemError, "%s(): parameter '%s' without a default follows one with a default",
                          function_name, p.name);
                }
                break;
            case Kind::VarArgs:
                if (varargs_slot_ >= 0 || varkw_slot_ >= 0 || slot > positional_) {
                    raise(PyExc_SystemError, "%s(): *%s follows *args, keyword-only parameters or **kwargs",
                          function_name, p.name);
                }
                varargs_slot_ = slot;
                break;
            case Kind::KeywordOnly:
                if (varkw_slot_ >= 0) raise(PyExc_SystemError, "%s(): parameter '%s' follows **kwargs", function_name, p.name);
                break;
            case Kind::VarKeywords:
                if (varkw_slot_ >= 0) raise(PyExc_SystemError, "%s(): a second **%s", function_name, p.name);
                varkw_slot_ = slot;
                break;
        }
    }
    if (!defaults.empty()) {
        defaults_ = check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (std::size_t i = 0; i < defaults.size(); i++) PyTuple_SET_ITEM(defaults_.get(), i, Py_NewRef(defaults[i]));
    }
    required_ = positional_ - static_cast<Py_ssize_t>(defaults.size());
    if (return_annotation) return_annotation_ = str(return_annotation);
}

bool Signature::bind_simple(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filled) const noexcept {
    if (nargs > positional_) return false;
    for (Py_ssize_t i = 0; i < nargs; i++) filled[i] = args[i];
    for (Py_ssize_t i = nargs; i < positional_; i++) filled[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = nargs;
        while (i < positional_ && params_[i].name.get() != name) i++;
        if (i == positional_ || filled[i]) return false;  // not interned, unknown or given twice
        filled[i] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < positional_; i++) {
        if (filled[i]) continue;
        if (i < required_) return false;
        filled[i] = PyTuple_GET_ITEM(defaults_.get(), i - required_);
    }
    return true;
}

bool Signature::bind_collecting(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filled, Ref& rest,
                                Ref& named) const {
    if (nargs < positional_) return false;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        for (Py_ssize_t i = 0; i < positional_; i++) {
            if (name == params_[i].name.get() || PyUnicode_Compare(name, params_[i].name.get()) == 0) return false;
        }
    }
    for (Py_ssize_t i = 0; i < positional_; i++) filled[i] = args[i];
    rest = check(PyTuple_New(nargs - positional_));
    for (Py_ssize_t i = positional_; i < nargs; i++) PyTuple_SET_ITEM(rest.get(), i - positional_, Py_NewRef(args[i]));
    named = new_dict();
    for (Py_ssize_t k = 0; k < nkw; k++) check_status(PyDict_SetItem(named.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
    filled[varargs_slot_] = rest.get();
    filled[varkw_slot_] = named.get();
    return true;
}

void Signature::verify_types(PyObject* const* args) const {
    if (!checked_) return;
    for (Py_ssize_t i = 0; i < positional_; i++) {
        if (!accepts(params_[i], args[i])) raise_wrong_type(params_[i], args[i]);
    }
}

// Applies the declared checks in parameter order; a plain float is converted rather than refused,
// while `float | None` admits exactly a float or None, like the other unions with None.
void Signature::check_types(Slots& slots) const {
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(params_.size()); i++) {
        if (i >= positional_ && params_[i].kind != Kind::KeywordOnly) continue;
        PyObject* value = slots.item[i];
        if (accepts(params_[i], value)) continue;
        if (params_[i].check != Check::Float || params_[i].or_none) raise_wrong_type(params_[i], value);
        double converted = PyFloat_AsDouble(value);
        if (converted == -1.0 && PyErr_Occurred()) throw_error();
        slots.owned[i] = floating(converted);
        slots.item[i] = slots.owned[i].get();
    }
}

void Signature::bind(Handle function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots) const {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // Positional arguments fill the positional parameters; the rest go to *args.
    Py_ssize_t taken = nargs < positional_ ? nargs : positional_;
    for (Py_ssize_t i = 0; i < taken; i++) slots.item[i] = args[i];
    if (varargs_slot_ >= 0) {
        Ref rest = check(PyTuple_New(nargs - taken));
        for (Py_ssize_t i = taken; i < nargs; i++) PyTuple_SET_ITEM(rest.get(), i - taken, Py_NewRef(args[i]));
        slots.item[varargs_slot_] = rest.get();
        slots.owned[varargs_slot_] = std::move(rest);
    }
    if (varkw_slot_ >= 0) {
        slots.owned[varkw_slot_] = new_dict();
        slots.item[varkw_slot_] = slots.owned[varkw_slot_].get();
    }

    // Keyword arguments, in the order given: an interned name matches by identity, others by value;
    // positional-or-keyword and keyword-only parameters take them, nothing else does.
    Py_ssize_t named = static_cast<Py_ssize_t>(params_.size());
    auto takes_keyword = [&](Py_ssize_t i) { return i < positional_ || params_[i].kind == Kind::KeywordOnly; };
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < named && !(takes_keyword(i) && params_[i].name.get() == name)) i++;
        if (i == named) {
            for (i = 0; i < named && !(takes_keyword(i) && PyUnicode_Compare(params_[i].name.get(), name) == 0); i++) {
            }
        }
        if (i == named) {
            if (varkw_slot_ < 0) {
                raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname_of(function).get(), name);
            }
            check_status(PyDict_SetItem(slots.item[varkw_slot_], name, args[nargs + k]));
        } else if (slots.item[i]) {
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname_of(function).get(), name);
        } else {
            slots.item[i] = args[nargs + k];
        }
    }

    if (nargs > positional_ && varargs_slot_ < 0) raise_too_many(function, *this, nargs);

    // Defaults for what is still empty; whatever has none is missing.
    std::vector<Py_ssize_t> missing;
    for (Py_ssize_t i = taken; i < positional_; i++) {
        if (slots.item[i]) continue;
        if (i >= required_) {
            slots.item[i] = PyTuple_GET_ITEM(defaults_.get(), i - required_);
        } else {
            missing.push_back(i);
        }
    }
    if (!missing.empty()) raise_missing(function, *this, missing, "positional");
    for (Py_ssize_t i = positional_; i < named; i++) {
        if (params_[i].kind != Kind::KeywordOnly || slots.item[i]) continue;
        if (params_[i].default_value) {
            slots.item[i] = params_[i].default_value.get();
        } else {
            missing.push_back(i);
        }
    }
    if (!missing.empty()) raise_missing(function, *this, missing, "keyword-only");

    check_types(slots);
}

Ref Signature::keyword_defaults() const {
    Ref result;
    for (const Parameter& p : params_) {
        if (!p.default_value) continue;
        if (!result) result = new_dict();
        setitem(result, p.name, p.default_value);
    }
    return result ? std::move(result) : none();
}

Ref Signature::annotations(const CoreNames& names) const {
    Ref result = new_dict();
    for (const Parameter& p : params_) {
        if (p.annotation) setitem(result, p.name, p.annotation);
    }
    if (return_annotation_) setitem(result, names.return_, return_annotation_);
    return result;
}

Ref Signature::to_inspect(const CoreNames& names) const {
    Ref inspect = check(PyImport_Import(names.inspect.get()));
    Ref parameter = getattr(inspect, names.Parameter);
    Ref empty = getattr(parameter, names.empty);
    Ref params = new_list();
    for (std::size_t i = 0; i < params_.size(); i++) {
        const Parameter& p = params_[i];
        const Ref& kind_name = p.kind == Kind::Positional    ? names.POSITIONAL_OR_KEYWORD
                               : p.kind == Kind::VarArgs     ? names.VAR_POSITIONAL
                               : p.kind == Kind::KeywordOnly ? names.KEYWORD_ONLY
                                                             : names.VAR_KEYWORD;
        Py_ssize_t d = static_cast<Py_ssize_t>(i) - required_;
        Handle default_value = p.kind == Kind::Positional && d >= 0 ? Handle(PyTuple_GET_ITEM(defaults_.get(), d))
                               : p.default_value                    ? Handle(p.default_value)
                                                                    : Handle(empty);
        Handle annotation = p.annotation ? Handle(p.annotation) : Handle(empty);
        append(params, call_kw(parameter, {p.name, getattr(parameter, kind_name)},
                               {{names.default_, default_value}, {names.annotation, annotation}}));
    }
    Handle returns = return_annotation_ ? Handle(return_annotation_) : Handle(empty);
    return call_kw(getattr(inspect, names.Signature), {params}, {{names.return_annotation, returns}});
}

}  // namespace zk
