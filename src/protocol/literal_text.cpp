// The text forms that str() gives complex numbers and sets of plain scalars, read back into values.
// The text comes from peers, so it is parsed by this small grammar and never evaluated:
//
//     complex  := imaginary | "(" float ("+" | "-") unsigned "j" ")"       "(1+2j)", "-2j", "(nan+infj)"
//     set      := "set()" | "{" element (", " element)* "}"                 "{1, 2.5, 'a'}"
//     element  := int | float | imaginary | "(" ... ")" | string | bytes | True | False | None
//     float    := "-"? (digits ("." digits)? ("e" ("+" | "-") digits)? | "inf" | "nan")
#include "protocol/protocol.hpp"

#include <string>
#include <vector>

namespace protocol {

using zk::Handle;
using zk::Ref;

namespace {

class LiteralReader {
public:
    static constexpr Py_UCS4 end = 0xFFFFFFFF;

    LiteralReader(Handle text, const char* what) : text_(text), what_(what) {
        if (!PyUnicode_Check(text.get())) {
            zk::raise(PyExc_TypeError, "the text form of a %s must be a str, not %.200s", what, Py_TYPE(text.get())->tp_name);
        }
        kind_ = PyUnicode_KIND(text.get());
        data_ = PyUnicode_DATA(text.get());
        length_ = PyUnicode_GET_LENGTH(text.get());
    }

    Py_UCS4 peek(Py_ssize_t ahead = 0) const {
        return at_ + ahead < length_ ? PyUnicode_READ(kind_, data_, at_ + ahead) : end;
    }
    bool done() const { return at_ == length_; }
    bool eat(char c) {
        if (peek() != static_cast<Py_UCS4>(c)) return false;
        at_++;
        return true;
    }
    bool eat_word(const char* word) {
        Py_ssize_t n = 0;
        while (word[n]) {
            if (peek(n) != static_cast<Py_UCS4>(word[n])) return false;
            n++;
        }
        at_ += n;
        return true;
    }
    void expect(char c) {
        if (!eat(c)) fail();
    }

    [[noreturn]] void fail() const {
        Ref near = zk::slice(text_, at_, at_ + 20);
        zk::raise(PyExc_ValueError, "malformed %s text at offset %zd: %R", what_, at_, near.get());
    }

    // A float as repr() writes one; empty when none starts here.
    std::string float_token() {
        std::string token;
        Py_ssize_t start = at_;
        if (eat('-')) token += '-';
        if (eat_word("inf")) return token + "inf";
        if (eat_word("nan")) return token + "nan";
        if (!digits(token)) {
            at_ = start;
            return {};
        }
        if (eat('.')) {
            token += '.';
            if (!digits(token)) fail();
        }
        if (eat('e')) {
            token += 'e';
            if (eat('+')) {
                token += '+';
            } else if (eat('-')) {
                token += '-';
            } else {
                fail();
            }
            if (!digits(token)) fail();
        }
        return token;
    }

    static bool is_int(const std::string& token) {
        return token.find_first_not_of("-0123456789") == std::string::npos;
    }

    double to_double(const std::string& token) const {
        double value = PyOS_string_to_double(token.c_str(), nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) zk::throw_error();
        return value;
    }

    // "(real+imagj)" from the opening parenthesis on.
    Ref parenthesized_complex() {
        expect('(');
        std::string real = float_token();
        if (real.empty()) fail();
        bool negative = eat('-');
        if (!negative) expect('+');
        if (peek() == '-') fail();
        std::string imag = float_token();
        if (imag.empty()) fail();
        expect('j');
        expect(')');
        double value = to_double(imag);
        return zk::check(PyComplex_FromDoubles(to_double(real), negative ? -value : value));
    }

    // An int, a float or an imaginary number such as "2j".
    Ref number() {
        std::string token = float_token();
        if (token.empty()) fail();
        if (eat('j')) return zk::check(PyComplex_FromDoubles(0.0, to_double(token)));
        if (is_int(token)) return zk::check(PyLong_FromString(token.c_str(), nullptr, 10));
        return zk::check(PyFloat_FromDouble(to_double(token)));
    }

    // A str or bytes literal as repr() writes it, with the escapes repr() uses.
    Ref quoted(bool bytes) {
        Py_UCS4 quote = peek();
        if (quote != '\'' && quote != '"') fail();
        at_++;
        std::vector<Py_UCS4> chars;
        for (;;) {
            Py_UCS4 c = peek();
            if (c == end) fail();
            at_++;
            if (c == quote) break;
            if (c == '\\') {
                c = escape(bytes);
            } else if (bytes && c > 0x7F) {
                at_--;
                fail();  // bytes literals spell out everything beyond ASCII
            }
            chars.push_back(c);
        }
        if (bytes) {
            std::string raw(chars.begin(), chars.end());
            return zk::check(PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size())));
        }
        return zk::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), static_cast<Py_ssize_t>(chars.size())));
    }

    Ref element() {
        Py_UCS4 c = peek();
        if (c == '\'' || c == '"') return quoted(false);
        if (c == 'b' && (peek(1) == '\'' || peek(1) == '"')) {
            at_++;
            return quoted(true);
        }
        if (eat_word("True")) return Ref::borrow(Py_True);
        if (eat_word("False")) return Ref::borrow(Py_False);
        if (eat_word("None")) return zk::none();
        if (c == '(') return parenthesized_complex();
        return number();
    }

private:
    bool digits(std::string& token) {
        Py_ssize_t start = at_;
        while (peek() >= '0' && peek() <= '9') {
            token += static_cast<char>(peek());
            at_++;
        }
        return at_ > start;
    }

    Py_UCS4 hex(int count) {
        Py_UCS4 value = 0;
        for (int i = 0; i < count; i++) {
            Py_UCS4 c = peek();
            int digit = c >= '0' && c <= '9' ? int(c - '0') : c >= 'a' && c <= 'f' ? int(c - 'a' + 10) : -1;
            if (digit < 0) fail();
            value = value * 16 + static_cast<Py_UCS4>(digit);
            at_++;
        }
        return value;
    }

    Py_UCS4 escape(bool bytes) {
        Py_UCS4 c = peek();
        at_++;
        switch (c) {
            case '\\': case '\'': case '"': return c;
            case 'n': return '\n';
            case 'r': return '\r';
            case 't': return '\t';
            case 'x': return hex(2);
            case 'u': if (!bytes) return hex(4); break;
            case 'U':
                if (!bytes) {
                    Py_UCS4 value = hex(8);
                    if (value > 0x10FFFF) fail();
                    return value;
                }
                break;
            default: break;
        }
        at_--;
        fail();
    }

    Handle text_;
    const char* what_;
    int kind_;
    const void* data_;
    Py_ssize_t length_;
    Py_ssize_t at_ = 0;
};

}  // namespace

Ref complex_from_text(Handle text) {
    LiteralReader reader(text, "complex");
    Ref value = reader.peek() == '(' ? reader.parenthesized_complex() : Ref();
    if (!value) {
        std::string token = reader.float_token();
        if (token.empty()) reader.fail();
        reader.expect('j');
        value = zk::check(PyComplex_FromDoubles(0.0, reader.to_double(token)));
    }
    if (!reader.done()) reader.fail();
    return value;
}

Ref set_from_text(Handle text) {
    LiteralReader reader(text, "set");
    Ref result = zk::check(PySet_New(nullptr));
    if (reader.eat_word("set()")) {
        if (!reader.done()) reader.fail();
        return result;
    }
    reader.expect('{');
    do {
        zk::check_status(PySet_Add(result.get(), reader.element().get()));
    } while (reader.eat_word(", "));
    reader.expect('}');
    if (!reader.done()) reader.fail();
    return result;
}

}  // namespace protocol
