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

namespace {

// The pieces a text is written from: strs, and for text() also the plain-ASCII literals of its
// pattern, which go straight into the result without a str of their own.
struct Piece {
    std::string_view ascii;
    Ref text;  // set for a value, or for a literal beyond ASCII, decoded
};

Py_ssize_t length_of(Handle part) {
    if (!PyUnicode_Check(part.get())) {
        raise(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(part.get())->tp_name);
    }
    return PyUnicode_GET_LENGTH(part.get());
}
Py_UCS4 widest_of(Handle part) { return PyUnicode_MAX_CHAR_VALUE(part.get()); }
void write_at(PyObject* result, Py_ssize_t at, Handle part) {
    if (PyUnicode_CopyCharacters(result, at, part, 0, PyUnicode_GET_LENGTH(part.get())) < 0) throw_error();
}

Py_ssize_t length_of(const Piece& piece) {
    return piece.text ? PyUnicode_GET_LENGTH(piece.text.get()) : static_cast<Py_ssize_t>(piece.ascii.size());
}
Py_UCS4 widest_of(const Piece& piece) { return piece.text ? PyUnicode_MAX_CHAR_VALUE(piece.text.get()) : 0x7f; }
void write_at(PyObject* result, Py_ssize_t at, const Piece& piece) {
    if (piece.text) return write_at(result, at, piece.text);
    const int kind = PyUnicode_KIND(result);
    void* data = PyUnicode_DATA(result);
    if (kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(static_cast<char*>(data) + at, piece.ascii.data(), piece.ascii.size());
        return;
    }
    for (char c : piece.ascii) PyUnicode_WRITE(kind, data, at++, static_cast<unsigned char>(c));
}

// Sized once and written once: this builds most of the texts the modules print, return and raise.
template <class Part>
Ref written(std::span<const Part> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (const Part& part : parts) {
        Py_ssize_t n = length_of(part);
        if (n > PY_SSIZE_T_MAX - length) raise(PyExc_OverflowError, "strings are too large to concat");
        length += n;
        widest = std::max(widest, widest_of(part));
    }
    Ref result = check(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (const Part& part : parts) {
        write_at(result.get(), at, part);
        at += length_of(part);
    }
    return result;
}

bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

Ref concat(std::initializer_list<Handle> parts) { return concat_all(parts.begin(), parts.size()); }

Ref concat_all(const Handle* parts, std::size_t count) { return written(std::span(parts, count)); }

namespace detail {

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
    return written(std::span<const Piece>(pieces));
}

}  // namespace detail

}  // namespace zk
