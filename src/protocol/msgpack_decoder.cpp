// The MessagePack decoder: msgpack.unpackb(data, object_hook=BytePacker.decode, use_list=True,
// strict_map_key=False) in C++, tagged maps recognised as they are read and restored without a dict.
#include "protocol/codec.hpp"

#include "core/memory.hpp"

#include <cstdint>
#include <cstring>

namespace protocol::codec {

using zk::Ref;

namespace {

constexpr int stack_limit = 1024;  // msgpack's unpacking stack: containers open at once

[[noreturn]] void incomplete() { zk::raise(PyExc_ValueError, "Unpack failed: incomplete input"); }

inline std::uint16_t load16(const char* p) {
    auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(u[0] << 8 | u[1]);
}
inline std::uint32_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

bool is_ascii(const char* s, Py_ssize_t n) {
    std::uint64_t high = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s + i, 8);
        high |= word;
    }
    for (; i < n; i++) high |= static_cast<unsigned char>(s[i]);
    return !(high & 0x8080808080808080ULL);
}

// A tagged map's "data" as read, left unmade until the map shows what it is for: the items of an
// array are gathered in a tuple, since the commonest tag turns them into one; bin stays in the input.
struct Data {
    enum Kind { object, items, bin } kind = object;
    Ref value;  // object, or the items' tuple
    const char* bytes = nullptr;
    Py_ssize_t size = 0;
};

// A tagged map's "dtype": the two container tags are recognised without making a str.
struct Dtype {
    enum Kind { tuple, set, other } kind = other;
    Ref value;  // other
};

class Decoder {
public:
    Decoder(const char* data, Py_ssize_t size, PyObject* owner, const Hooks& hooks) noexcept
        : p_(data), end_(data + size), begin_(data), size_(size), owner_(owner), hooks_(hooks) {}

    Ref value();
    Py_ssize_t left() const noexcept { return end_ - p_; }
    const char* position() const noexcept { return p_; }

private:
    // One more open container, as msgpack's stack and its length limits count them.
    class Nest {
    public:
        Nest(Decoder& d, std::uint32_t n, bool map);
        ~Nest() { --d_.depth_; }
        Nest(const Nest&) = delete;
        Nest& operator=(const Nest&) = delete;

    private:
        Decoder& d_;
    };

    const char* take(Py_ssize_t n) {
        if (n > end_ - p_) incomplete();
        const char* at = p_;
        p_ += n;
        return at;
    }
    Ref str(Py_ssize_t n);
    Ref bin(Py_ssize_t n);
    Ref ext(const char* start, Py_ssize_t length);
    template <bool Tuple>
    Ref items(std::uint32_t n);
    Ref map(std::uint32_t n);
    bool next_str(const char* text, Py_ssize_t n);
    Data data_value();
    Dtype dtype_value();
    Ref tagged(std::uint32_t n);
    Ref untagged(std::uint32_t n, std::uint32_t read, Data& data, Dtype* dtype);
    void fill(PyObject* dict, std::uint32_t n);
    Ref restore_pair(Data& data, Dtype& dtype);
    Ref as_value(Data& data);
    Ref as_buffer(Data& data);
    Ref dtype_object(Dtype& dtype);

    const char* p_;
    const char* const end_;
    const char* const begin_;
    const Py_ssize_t size_;
    PyObject* const owner_;
    Ref owner_view_;  // memoryview of the owner, made for the first array
    const Hooks& hooks_;
    int depth_ = 0;
};

Decoder::Nest::Nest(Decoder& d, std::uint32_t n, bool map) : d_(d) {
    if (d.depth_ >= stack_limit) zk::raise(d.hooks_.stack_error);
    Py_ssize_t most = map ? d.size_ / 2 : d.size_;
    if (static_cast<Py_ssize_t>(n) > most) {
        zk::raise(PyExc_ValueError, map ? "%u exceeds max_map_len(%zd)" : "%u exceeds max_array_len(%zd)",
                  static_cast<unsigned>(n), most);
    }
    ++d.depth_;
}

Ref Decoder::value() {
    auto b = static_cast<unsigned char>(*take(1));
    if (b <= 0x7f) return zk::check(PyLong_FromLong(b));
    if (b >= 0xe0) return zk::check(PyLong_FromLong(static_cast<signed char>(b)));
    if ((b & 0xe0) == 0xa0) return str(b & 0x1f);
    if ((b & 0xf0) == 0x90) return items<false>(b & 0x0f);
    if ((b & 0xf0) == 0x80) return map(b & 0x0f);
    const char* start = p_ - 1;
    switch (b) {
    case 0xc0: return Ref::borrow(Py_None);
    case 0xc2: return Ref::borrow(Py_False);
    case 0xc3: return Ref::borrow(Py_True);
    case 0xc4: return bin(static_cast<unsigned char>(*take(1)));
    case 0xc5: return bin(load16(take(2)));
    case 0xc6: return bin(load32(take(4)));
    case 0xc7: return ext(start, 3 + static_cast<unsigned char>(*take(1)));
    case 0xc8: return ext(start, 4 + Py_ssize_t{load16(take(2))});
    case 0xc9: {
        std::uint32_t n = load32(take(4));
        // msgpack counts the type byte into a 32-bit length: this one wraps to 0 and is refused.
        if (n == UINT32_MAX) zk::raise(PyExc_ValueError, "0 exceeds max_ext_len(%zd)", size_);
        return ext(start, 6 + Py_ssize_t{n});
    }
    case 0xca: {
        std::uint32_t bits = load32(take(4));
        float f;
        std::memcpy(&f, &bits, 4);
        return zk::check(PyFloat_FromDouble(f));
    }
    case 0xcb: {
        std::uint64_t bits = load64(take(8));
        double d;
        std::memcpy(&d, &bits, 8);
        return zk::check(PyFloat_FromDouble(d));
    }
    case 0xcc: return zk::check(PyLong_FromLong(static_cast<unsigned char>(*take(1))));
    case 0xcd: return zk::check(PyLong_FromLong(load16(take(2))));
    case 0xce: return zk::check(PyLong_FromUnsignedLong(load32(take(4))));
    case 0xcf: return zk::check(PyLong_FromUnsignedLongLong(load64(take(8))));
    case 0xd0: return zk::check(PyLong_FromLong(static_cast<signed char>(*take(1))));
    case 0xd1: return zk::check(PyLong_FromLong(static_cast<std::int16_t>(load16(take(2)))));
    case 0xd2: return zk::check(PyLong_FromLong(static_cast<std::int32_t>(load32(take(4)))));
    case 0xd3: return zk::check(PyLong_FromLongLong(static_cast<std::int64_t>(load64(take(8)))));
    case 0xd4: return ext(start, 3);
    case 0xd5: return ext(start, 4);
    case 0xd6: return ext(start, 6);
    case 0xd7: return ext(start, 10);
    case 0xd8: return ext(start, 18);
    case 0xd9: return str(static_cast<unsigned char>(*take(1)));
    case 0xda: return str(load16(take(2)));
    case 0xdb: return str(load32(take(4)));
    case 0xdc: return items<false>(load16(take(2)));
    case 0xdd: return items<false>(load32(take(4)));
    case 0xde: return map(load16(take(2)));
    case 0xdf: return map(load32(take(4)));
    default: zk::raise(hooks_.format_error);  // 0xc1, never used
    }
}

// ASCII, the usual case, is copied into a str made to size; the rest goes through the codec,
// which raises msgpack's UnicodeDecodeError for bad UTF-8. The bytes are copied before they are
// looked at, and only the copy is: the input may be a bytearray that another thread writes to, and
// a str must hold exactly what was checked.
Ref Decoder::str(Py_ssize_t n) {
    const char* s = take(n);
    Ref text = zk::check(PyUnicode_New(n, 127));
    auto* copy = static_cast<char*>(PyUnicode_DATA(text.get()));
    std::memcpy(copy, s, static_cast<std::size_t>(n));
    if (is_ascii(copy, n)) return text;
    return zk::check(PyUnicode_DecodeUTF8(copy, n, nullptr));
}

Ref Decoder::bin(Py_ssize_t n) {
    const char* s = take(n);
    return zk::bytes_copy(s, n);
}

// Extension types (ExtType, Timestamp) are msgpack's own business: it decodes their slice.
Ref Decoder::ext(const char* start, Py_ssize_t length) {
    take(length - (p_ - start));
    Ref slice = zk::check(PyBytes_FromStringAndSize(start, length));
    return zk::call(hooks_.unpackb, slice);
}

template <bool Tuple>
Ref Decoder::items(std::uint32_t n) {
    Nest nest(*this, n, false);
    Ref sequence = zk::check(Tuple ? PyTuple_New(n) : PyList_New(n));
    for (std::uint32_t i = 0; i < n; i++) {
        PyObject* item = value().release();
        if constexpr (Tuple) {
            PyTuple_SET_ITEM(sequence.get(), i, item);
        } else {
            PyList_SET_ITEM(sequence.get(), i, item);
        }
    }
    return sequence;
}

// ---- maps ------------------------------------------------------------------------------------

Ref Decoder::map(std::uint32_t n) {
    Nest nest(*this, n, true);
    if ((n == 2 || n == 3) && next_str("data", 4)) return tagged(n);
    Ref dict = zk::new_dict();
    fill(dict.get(), n);
    return restored(dict, hooks_);
}

// Whether the next value is the str `text`, in any of the str formats; consumed if it is.
bool Decoder::next_str(const char* text, Py_ssize_t n) {
    Py_ssize_t have = left(), head, size;
    if (!have) return false;
    auto b = static_cast<unsigned char>(*p_);
    if ((b & 0xe0) == 0xa0) {
        head = 1, size = b & 0x1f;
    } else if (b == 0xd9 && have >= 2) {
        head = 2, size = static_cast<unsigned char>(p_[1]);
    } else if (b == 0xda && have >= 3) {
        head = 3, size = load16(p_ + 1);
    } else if (b == 0xdb && have >= 5) {
        head = 5, size = load32(p_ + 1);
    } else {
        return false;
    }
    if (size != n || have - head < n || std::memcmp(p_ + head, text, static_cast<std::size_t>(n))) return false;
    p_ += head + n;
    return true;
}

Data Decoder::data_value() {
    Data data;
    if (!left()) incomplete();
    auto b = static_cast<unsigned char>(*p_);
    if ((b & 0xf0) == 0x90 || b == 0xdc || b == 0xdd) {
        ++p_;
        std::uint32_t n = b == 0xdc ? load16(take(2)) : b == 0xdd ? load32(take(4)) : b & 0x0f;
        data.kind = Data::items;
        data.value = items<true>(n);
    } else if (b >= 0xc4 && b <= 0xc6) {
        ++p_;
        Py_ssize_t n = b == 0xc4 ? static_cast<unsigned char>(*take(1)) : b == 0xc5 ? load16(take(2)) : load32(take(4));
        data.kind = Data::bin;
        data.bytes = take(n);
        data.size = n;
    } else {
        data.value = value();
    }
    return data;
}

Dtype Decoder::dtype_value() {
    Dtype dtype;
    if (next_str("tuple", 5)) {
        dtype.kind = Dtype::tuple;
    } else if (next_str("set", 3)) {
        dtype.kind = Dtype::set;
    } else {
        dtype.value = value();
    }
    return dtype;
}

// A map of two or three items whose first key is "data": restored straight from its values when
// the keys are exactly data, dtype[, shape]; otherwise it becomes the dict msgpack would make.
Ref Decoder::tagged(std::uint32_t n) {
    Data data = data_value();
    if (!next_str("dtype", 5)) return untagged(n, 1, data, nullptr);
    Dtype dtype = dtype_value();
    if (n == 2) return restore_pair(data, dtype);
    if (!next_str("shape", 5)) return untagged(n, 2, data, &dtype);
    Ref shape = value();
    Ref type = dtype_object(dtype);
    return rebuilt_array(as_buffer(data), type, shape, hooks_);
}

Ref Decoder::untagged(std::uint32_t n, std::uint32_t read, Data& data, Dtype* dtype) {
    Ref dict = zk::new_dict();
    zk::setitem(dict, hooks_.names->data, as_value(data));
    if (dtype) zk::setitem(dict, hooks_.names->dtype, dtype_object(*dtype));
    fill(dict.get(), n - read);
    return restored(dict, hooks_);
}

// Each item is stored as soon as it is read, as msgpack does. Keys are interned as msgpack interns
// them, except on free-threaded builds: there an interned str is immortal, and every distinct key a
// peer ever sent would stay until the process ends.
void Decoder::fill(PyObject* dict, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; i++) {
        Ref key = value();
#ifndef Py_GIL_DISABLED
        if (PyUnicode_CheckExact(key.get())) {
            PyObject* k = key.release();
            PyUnicode_InternInPlace(&k);
            key = Ref::steal(k);
        }
#endif
        Ref item = value();
        zk::setitem(dict, key, item);
    }
}

// {"data", "dtype"} without a shape: the container tags read from the input make their container
// straight from the items read; everything else is BytePacker.decode's rule.
Ref Decoder::restore_pair(Data& data, Dtype& dtype) {
    if (data.kind == Data::items && dtype.kind == Dtype::tuple) return std::move(data.value);
    if (data.kind == Data::items && dtype.kind == Dtype::set) return zk::check(PySet_New(data.value.get()));
    return restored(as_value(data), dtype_object(dtype), nullptr, hooks_);
}

// The value msgpack would have put in the dict.
Ref Decoder::as_value(Data& data) {
    switch (data.kind) {
    case Data::items: return zk::check(PySequence_List(data.value.get()));
    case Data::bin: return zk::bytes_copy(data.bytes, data.size);
    case Data::object: break;
    }
    return data.value.copy();
}

// Array bytes: a read-only view of the owner's memory, or bytes of their own without an owner.
Ref Decoder::as_buffer(Data& data) {
    if (data.kind != Data::bin || !owner_) return as_value(data);
    if (!owner_view_) owner_view_ = zk::check(PyMemoryView_FromObject(owner_));
    Py_ssize_t at = data.bytes - begin_;
    return zk::check(PySequence_GetSlice(owner_view_.get(), at, at + data.size));
}

Ref Decoder::dtype_object(Dtype& dtype) {
    switch (dtype.kind) {
    case Dtype::tuple: return hooks_.names->tuple.copy();
    case Dtype::set: return hooks_.names->set.copy();
    case Dtype::other: break;
    }
    return dtype.value.copy();
}

}  // namespace

Ref decode(const char* data, Py_ssize_t size, PyObject* owner, const Hooks& hooks) {
    Decoder decoder(data, size, owner, hooks);
    Ref result = decoder.value();
    if (decoder.left()) {
        Ref extra = zk::check(PyBytes_FromStringAndSize(decoder.position(), decoder.left()));
        zk::raise(zk::call(hooks.extra_data, result, extra));
    }
    return result;
}

}  // namespace protocol::codec
