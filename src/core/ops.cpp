// Out-of-line parts of the object operations.
#include "core/ops.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstring>
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

namespace {

bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A piece of a text: a plain-ASCII literal of the pattern, written straight into the result, or a
// str (a value, or a literal beyond ASCII, decoded).
struct Piece {
    std::string_view ascii;
    Ref text;
    Py_ssize_t length() const { return text ? PyUnicode_GET_LENGTH(text.get()) : static_cast<Py_ssize_t>(ascii.size()); }
};

}  // namespace

// Every error and report text goes through here, so the result is sized once and written once,
// without a str made for each literal between the values.
Ref text_of(const char* pattern, std::initializer_list<Handle> values) {
    std::vector<Piece> pieces;
    pieces.reserve(2 * values.size() + 1);
    auto literal = [&](std::string_view s) {
        if (is_ascii(s)) {
            pieces.push_back({s, Ref()});
        } else {
            pieces.push_back({{}, str(s)});
        }
    };
    const Handle* value = values.begin();
    const char* from = pattern;
    for (const char* at = pattern; *at; at++) {
        if (at[0] != '{' || at[1] != '}') continue;
        if (value == values.end()) raise(PyExc_SystemError, "text(): more {} than values in \"%s\"", pattern);
        literal(std::string_view(from, static_cast<std::size_t>(at - from)));
        pieces.push_back({{}, format(*value++)});
        from = ++at + 1;
    }
    if (value != values.end()) raise(PyExc_SystemError, "text(): more values than {} in \"%s\"", pattern);
    literal(from);

    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7f;
    for (const Piece& piece : pieces) {
        Py_ssize_t n = piece.length();
        if (n > PY_SSIZE_T_MAX - length) raise(PyExc_OverflowError, "strings are too large to concat");
        length += n;
        if (piece.text) widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(piece.text.get()));
    }
    Ref result = check(PyUnicode_New(length, widest));
    const int kind = PyUnicode_KIND(result.get());
    void* data = PyUnicode_DATA(result.get());
    Py_ssize_t at = 0;
    for (const Piece& piece : pieces) {
        if (piece.text) {
            if (PyUnicode_CopyCharacters(result.get(), at, piece.text.get(), 0, piece.length()) < 0) throw_error();
            at += piece.length();
        } else if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data) + at, piece.ascii.data(), piece.ascii.size());
            at += piece.length();
        } else {
            for (char c : piece.ascii) PyUnicode_WRITE(kind, data, at++, static_cast<unsigned char>(c));
        }
    }
    return result;
}

}  // namespace detail

}  // namespace zk
