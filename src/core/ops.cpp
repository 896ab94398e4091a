// Out-of-line parts of the object operations.
#include "core/ops.hpp"

#include <algorithm>
#include <cstdarg>
#include <span>
#include <vector>

namespace zk {

Ref str_format(const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyObject* result = PyUnicode_FromFormatV(format, vargs);
    va_end(vargs);
    return check(result);
}

Ref call_kw(Handle f, std::initializer_list<Handle> args, std::initializer_list<Kw> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + args.size() + keywords.size());
    argv.push_back(nullptr);
    for (Handle a : args) argv.push_back(a);
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Kw& k : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(k.name));
        argv.push_back(k.value);
    }
    return check(PyObject_Vectorcall(f, argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     keywords.size() ? names.get() : nullptr));
}

Ref tuple_of(std::initializer_list<Handle> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item.get()));
    return t;
}

Ref list_of(std::initializer_list<Handle> items) {
    Ref l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle item : items) PyList_SET_ITEM(l.get(), i++, Py_NewRef(item.get()));
    return l;
}

Ref concat(std::initializer_list<Handle> parts) { return concat_all(parts.begin(), parts.size()); }

Ref concat_all(const Handle* parts, std::size_t count) {
    // Sized once and copied once: this builds most of the texts the modules print and return.
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (Handle part : std::span(parts, count)) {
        if (!PyUnicode_Check(part.get())) {
            raise(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(part.get())->tp_name);
        }
        Py_ssize_t n = PyUnicode_GET_LENGTH(part.get());
        if (n > PY_SSIZE_T_MAX - length) raise(PyExc_OverflowError, "strings are too large to concat");
        length += n;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(part.get()));
    }
    Ref result = check(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (Handle part : std::span(parts, count)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(part.get());
        if (PyUnicode_CopyCharacters(result.get(), at, part, 0, n) < 0) throw_error();
        at += n;
    }
    return result;
}

namespace detail {

Ref text_of(const char* pattern, std::initializer_list<Handle> values) {
    std::vector<Ref> parts;
    parts.reserve(2 * values.size() + 1);
    const Handle* value = values.begin();
    const char* literal = pattern;
    for (const char* at = pattern; *at; at++) {
        if (at[0] != '{' || at[1] != '}') continue;
        if (value == values.end()) raise(PyExc_SystemError, "text(): more {} than values in \"%s\"", pattern);
        parts.push_back(str(std::string_view(literal, static_cast<std::size_t>(at - literal))));
        parts.push_back(format(*value++));
        literal = ++at + 1;
    }
    if (value != values.end()) raise(PyExc_SystemError, "text(): more values than {} in \"%s\"", pattern);
    parts.push_back(str(literal));
    std::vector<Handle> handles(parts.begin(), parts.end());
    return concat_all(handles.data(), handles.size());
}

}  // namespace detail

}  // namespace zk
