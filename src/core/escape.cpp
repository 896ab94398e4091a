// escape_controls: control characters of a peer's text written as escapes.
#include "core/escape.hpp"

#include <string>

namespace zk {

namespace {

bool is_control(Py_UCS4 c, bool keep_newlines) {
    if (c == '\n') return !keep_newlines;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

void append_escape(std::u32string& out, Py_UCS4 c) {
    static constexpr char digits[] = "0123456789abcdef";
    switch (c) {
        case '\n': out += U"\\n"; return;
        case '\r': out += U"\\r"; return;
        case '\t': out += U"\\t"; return;
        default: break;
    }
    int width = c < 0x100 ? 2 : 4;
    out += U'\\';
    out += width == 2 ? U'x' : U'u';
    for (int shift = 4 * (width - 1); shift >= 0; shift -= 4) out += static_cast<char32_t>(digits[(c >> shift) & 0xF]);
}

}  // namespace

Ref escape_controls(Handle text, bool keep_newlines) {
    if (!PyUnicode_Check(text.get())) raise(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(text.get())->tp_name);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    Py_ssize_t first = 0;
    while (first < length && !is_control(PyUnicode_READ(kind, data, first), keep_newlines)) first++;
    if (first == length) return Ref::borrow(text);
    // Lone surrogates, which a peer's JSON can carry, pass through unchanged: no UTF-8 on the way.
    std::u32string out;
    out.reserve(static_cast<std::size_t>(length) + 16);
    for (Py_ssize_t i = 0; i < length; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i >= first && is_control(c, keep_newlines)) {
            append_escape(out, c);
        } else {
            out += static_cast<char32_t>(c);
        }
    }
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace zk
