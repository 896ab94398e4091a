// Compiling declared signatures, and binding call arguments to them.
#include "core/signature.hpp"

#include "core/function.hpp"
#include "core/names.hpp"

#include <string>

namespace zk {

const char* check_annotation(Check check, bool or_none) {
    switch (check) {
        case Check::Any: return nullptr;
        case Check::Str: return or_none ? "str | None" : "str";
        case Check::Int: return or_none ? "int | None" : "int";
        case Check::Bytes: return or_none ? "bytes | None" : "bytes";
        case Check::Bytearray: return or_none ? "bytearray | None" : "bytearray";
        case Check::Dict: return or_none ? "dict | None" : "dict";
        case Check::List: return or_none ? "list | None" : "list";
        case Check::Tuple: return or_none ? "tuple | None" : "tuple";
        case Check::Float: return or_none ? "float | None" : "float";
    }
    return nullptr;
}

std::shared_ptr<const Code> Code::compile(const Def& decl) {
    auto code = std::make_shared<Code>();
    if (decl.params.size() > max_params || decl.params.size() != decl.arity) {
        raise(PyExc_SystemError, "%s(): declared %zu parameters for an implementation of %zu",
              decl.name, decl.params.size(), decl.arity);
    }
    code->name = Ref::borrow(intern(decl.name));
    code->doc = decl.docstring ? str(decl.docstring) : none();
    code->trampoline = decl.trampoline;
    std::vector<PyObject*> defaults;
    for (const Param& p : decl.params) {
        Py_ssize_t slot = static_cast<Py_ssize_t>(code->names.size());
        code->names.push_back(Ref::borrow(intern(p.name)));
        code->checks.push_back(p.check);
        code->or_none.push_back(p.or_none);
        if (p.check == Check::Float) code->converts = true;
        if (p.check != Check::Any) code->checked = true;
        code->kinds.push_back(p.kind);
        const char* text = p.annotation ? p.annotation : check_annotation(p.check, p.or_none);
        code->annotations.push_back(text ? str(text) : Ref());
        switch (p.kind) {
            case Kind::Positional:
                if (code->varargs_slot >= 0 || code->varkw_slot >= 0) {
                    raise(PyExc_SystemError, "%s(): parameter '%s' follows *args or **kwargs", decl.name, p.name);
                }
                code->positional++;
                if (p.default_value) {
                    defaults.push_back(p.default_value.get());
                } else if (!defaults.empty()) {
                    raise(PyExc_SystemError, "%s(): parameter '%s' without a default follows one with a default",
                          decl.name, p.name);
                }
                break;
            case Kind::VarArgs: code->varargs_slot = slot; break;
            case Kind::VarKeywords: code->varkw_slot = slot; break;
        }
    }
    if (!defaults.empty()) {
        code->defaults = check(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (std::size_t i = 0; i < defaults.size(); i++) {
            PyTuple_SET_ITEM(code->defaults.get(), i, Py_NewRef(defaults[i]));
        }
    }
    code->required = code->positional - static_cast<Py_ssize_t>(defaults.size());
    if (decl.return_annotation) code->return_annotation = str(decl.return_annotation);
    for (const Def& inner : decl.nested_defs) code->nested.push_back(compile(inner));
    return code;
}

namespace {

// ---- the interpreter's own texts for calls that do not fit ---------------------------------

[[noreturn]] void raise_missing(Function* self, const Code& code, const std::vector<Py_ssize_t>& missing) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    Ref names = new_list();
    for (Py_ssize_t i : missing) append(names, repr(code.names[i]));
    Py_ssize_t n = static_cast<Py_ssize_t>(missing.size());
    Ref text;
    if (n == 1) {
        text = getitem(names, integer(0));
    } else if (n == 2) {
        text = str_format("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1));
    } else {
        Ref tail = str_format(", %U, and %U", PyList_GET_ITEM(names.get(), n - 2), PyList_GET_ITEM(names.get(), n - 1));
        Ref head = check(PyList_GetSlice(names.get(), 0, n - 2));
        text = concat({join(str(", "), head), tail});
    }
    raise(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", function_qualname(self).get(), n,
          n == 1 ? "" : "s", text.get());
}

[[noreturn]] void raise_too_many(Function* self, const Code& code, Py_ssize_t given) {
    Py_ssize_t with_defaults = code.defaults ? PyTuple_GET_SIZE(code.defaults.get()) : 0;
    Ref counts = with_defaults
                     ? str_format("from %zd to %zd", code.positional - with_defaults, code.positional)
                     : str_format("%zd", code.positional);
    bool plural = with_defaults || code.positional != 1;
    raise(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", function_qualname(self).get(),
          counts.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

[[noreturn]] void raise_wrong_type(const Code& code, Py_ssize_t i, PyObject* value) {
    static const char* const expected[] = {"object", "str", "int", "bytes", "bytearray", "dict", "list", "tuple", "float"};
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          PyUnicode_AsUTF8(code.names[i].get()), expected[static_cast<int>(code.checks[i])], Py_TYPE(value)->tp_name);
}

// The slot of a positional-or-keyword parameter named `name`, or -1.
Py_ssize_t find_parameter(const Code& code, PyObject* name) {
    for (Py_ssize_t i = 0; i < code.positional; i++) {
        if (code.names[i].get() == name) return i;
    }
    for (Py_ssize_t i = 0; i < code.positional; i++) {
        if (PyUnicode_Compare(code.names[i].get(), name) == 0) return i;
    }
    return -1;
}

bool is_exactly(Check check, PyObject* value) {
    switch (check) {
        case Check::Any: return true;
        case Check::Str: return PyUnicode_CheckExact(value);
        case Check::Int: return PyLong_CheckExact(value);
        case Check::Bytes: return PyBytes_CheckExact(value);
        case Check::Bytearray: return PyByteArray_CheckExact(value);
        case Check::Dict: return PyDict_CheckExact(value);
        case Check::List: return PyList_CheckExact(value);
        case Check::Tuple: return PyTuple_CheckExact(value);
        case Check::Float: return PyFloat_CheckExact(value);
    }
    return false;
}

// Applies the declared checks in parameter order; floats are converted rather than refused.
void check_types(const Code& code, Slots& slots) {
    for (Py_ssize_t i = 0; i < code.positional; i++) {
        PyObject* value = slots.item[i];
        Check check_kind = code.checks[i];
        if (is_exactly(check_kind, value) || (value == Py_None && code.or_none[i])) continue;
        if (check_kind != Check::Float) raise_wrong_type(code, i, value);
        double converted = PyFloat_AsDouble(value);
        if (converted == -1.0 && PyErr_Occurred()) throw_error();
        slots.owned[i] = floating(converted);
        slots.item[i] = slots.owned[i].get();
    }
}

}  // namespace

void verify_types(const Code& code, PyObject* const* args) {
    if (!code.checked) return;
    for (Py_ssize_t i = 0; i < code.positional; i++) {
        PyObject* value = args[i];
        if (!is_exactly(code.checks[i], value) && !(value == Py_None && code.or_none[i])) raise_wrong_type(code, i, value);
    }
}

void bind(Function* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots) {
    const Code& code = *self->code;
    Py_ssize_t npos = code.positional;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // Positional arguments fill the positional parameters; the rest go to *args.
    Py_ssize_t taken = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < taken; i++) slots.item[i] = args[i];
    if (code.varargs_slot >= 0) {
        Ref rest = check(PyTuple_New(nargs - taken));
        for (Py_ssize_t i = taken; i < nargs; i++) PyTuple_SET_ITEM(rest.get(), i - taken, Py_NewRef(args[i]));
        slots.item[code.varargs_slot] = rest.get();
        slots.owned[code.varargs_slot] = std::move(rest);
    }
    if (code.varkw_slot >= 0) {
        slots.owned[code.varkw_slot] = new_dict();
        slots.item[code.varkw_slot] = slots.owned[code.varkw_slot].get();
    }

    // Keyword arguments, in the order given.
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t i = find_parameter(code, name);
        if (i < 0) {
            if (code.varkw_slot < 0) {
                raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", function_qualname(self).get(), name);
            }
            check_status(PyDict_SetItem(slots.item[code.varkw_slot], name, value));
        } else if (slots.item[i]) {
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", function_qualname(self).get(), name);
        } else {
            slots.item[i] = value;
        }
    }

    if (nargs > npos && code.varargs_slot < 0) raise_too_many(self, code, nargs);

    // Defaults for what is still empty; whatever has none is missing.
    Py_ssize_t ndefaults = code.defaults ? PyTuple_GET_SIZE(code.defaults.get()) : 0;
    Py_ssize_t first_default = npos - ndefaults;
    std::vector<Py_ssize_t> missing;
    for (Py_ssize_t i = taken; i < npos; i++) {
        if (slots.item[i]) continue;
        if (i >= first_default) {
            slots.item[i] = PyTuple_GET_ITEM(code.defaults.get(), i - first_default);
        } else {
            missing.push_back(i);
        }
    }
    if (!missing.empty()) raise_missing(self, code, missing);

    check_types(code, slots);
}

}  // namespace zk
