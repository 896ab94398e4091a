// The MessagePack encoder: msgpack.packb(value, default=BytePacker.encode, strict_types=True) in
// C++, with tuples, sets, arrays and serialized objects written as tagged maps straight into the output.
#include "protocol/codec.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace protocol::codec {

using zk::Ref;

// ---- Encoded ---------------------------------------------------------------------------------

Encoded::Encoded() noexcept : data_(inline_) {}

Encoded::Encoded(Encoded&& other) noexcept
    : data_(other.data_), used_(other.used_), capacity_(other.capacity_), referenced_(other.referenced_),
      references_(std::move(other.references_)) {
    if (other.data_ == other.inline_) {
        data_ = inline_;
        std::memcpy(inline_, other.inline_, static_cast<std::size_t>(used_));
    }
    other.data_ = other.inline_;
    other.used_ = other.referenced_ = 0;
    other.capacity_ = inline_capacity;
}

Encoded::~Encoded() {
    for (Reference& r : references_) PyBuffer_Release(&r.view);
    if (data_ != inline_) PyMem_Free(data_);
}

char* Encoded::reserve(Py_ssize_t n) {
    if (n <= capacity_ - used_) return data_ + used_;
    Py_ssize_t wanted = used_ + n;
    Py_ssize_t capacity = capacity_ > PY_SSIZE_T_MAX / 2 ? wanted : std::max(2 * capacity_, wanted);
    void* grown = data_ == inline_ ? PyMem_Malloc(static_cast<std::size_t>(capacity))
                                   : PyMem_Realloc(data_, static_cast<std::size_t>(capacity));
    if (!grown) throw std::bad_alloc();
    if (data_ == inline_) std::memcpy(grown, inline_, static_cast<std::size_t>(used_));
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return data_ + used_;
}

void Encoded::append(const void* bytes, Py_ssize_t n) {
    std::memcpy(reserve(n), bytes, static_cast<std::size_t>(n));
    used_ += n;
}

void Encoded::reference(Py_buffer& view) {
    references_.push_back({used_, view});
    referenced_ += view.len;
    view.obj = nullptr;  // released by this message now
}

Encoded::Piece Encoded::piece(std::size_t i) const noexcept {
    std::size_t k = i / 2;
    if (i % 2) return {static_cast<const char*>(references_[k].view.buf), references_[k].view.len};
    Py_ssize_t from = k ? references_[k - 1].at : 0;
    Py_ssize_t to = k < references_.size() ? references_[k].at : used_;
    return {data_ + from, to - from};
}

void Encoded::copy_to(char* out) const noexcept {
    for (std::size_t i = 0; i < piece_count(); i++) {
        Piece p = piece(i);
        if (p.size) std::memcpy(out, p.data, static_cast<std::size_t>(p.size));
        out += p.size;
    }
}

Ref Encoded::to_bytes() const {
    if (references_.empty()) return zk::check(PyBytes_FromStringAndSize(data_, used_));
    Ref bytes = zk::check(PyBytes_FromStringAndSize(nullptr, size()));
    copy_to(PyBytes_AS_STRING(bytes.get()));
    return bytes;
}

namespace {

// ---- the encoder -----------------------------------------------------------------------------

constexpr int nest_limit = 1024;                     // msgpack's default recursion limit
constexpr Py_ssize_t item_limit = 0xFFFFFFFF;        // the most a MessagePack length can say
constexpr Py_ssize_t reference_from = 16 * 1024;     // smaller buffers are copied, larger ones referenced

// Big-endian stores of a type byte followed by an unsigned value of 1, 2, 4 or 8 bytes.
inline void store(char* out, std::uint8_t v) { out[0] = static_cast<char>(v); }
inline void store(char* out, std::uint16_t v) {
    out[0] = static_cast<char>(v >> 8);
    out[1] = static_cast<char>(v);
}
inline void store(char* out, std::uint32_t v) {
    v = __builtin_bswap32(v);
    std::memcpy(out, &v, 4);
}
inline void store(char* out, std::uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(out, &v, 8);
}

enum class Native { done, overflow, other };

class Taken;

class Encoder {
public:
    Encoder(Encoded& out, const Hooks& hooks) noexcept : out_(&out), hooks_(hooks) {}

    // msgpack's _pack: the nesting check, then the value natively or through the hook.
    void pack(PyObject* obj, int limit);

private:
    Native pack_native(PyObject* obj, int limit);
    // What the hook returned, packed with no second hook call ("default" is used once).
    void pack_replacement(PyObject* obj, int limit);
    // The value natively, else through the hook when `through_hook`, else refused.
    void pack_once(PyObject* obj, int limit, bool through_hook);
    // BytePacker.encode, rule for rule, its maps written in place.
    void pack_through_hook(PyObject* obj, int limit);

    template <class T>
    void put(std::uint8_t type, T value) {
        char* w = out_->reserve(1 + sizeof(T));
        w[0] = static_cast<char>(type);
        store(w + 1, value);
        out_->commit(1 + sizeof(T));
    }
    void put_byte(std::uint8_t b) { put_raw(&b, 1); }
    void put_raw(const void* bytes, Py_ssize_t n) { out_->append(bytes, n); }
    void put_int(long long v);
    void put_unsigned(unsigned long long v);
    bool put_long(PyObject* obj);
    void put_float(double v);
    void put_str(PyObject* obj);
    void put_bin_header(Py_ssize_t n);
    void put_count(Py_ssize_t n, std::uint8_t fix, std::uint8_t wide16, std::uint8_t wide32);
    void put_array_header(Py_ssize_t n, const char* what);
    void put_map_header(Py_ssize_t n);
    void put_buffer(Py_buffer& view, bool may_reference);
    void put_bytes(PyObject* obj);
    void put_bytearray(PyObject* obj);
    void put_memoryview(PyObject* obj);
    // A scalar that pack_native writes without running code or taking a lock; false for any other.
    bool put_scalar(PyObject* obj);
    void take(Taken& taken, PyObject* item);
    void put_taken(Taken& taken, int limit, PyObject* checked_dict);
    void put_list(PyObject* list, int limit);
    void put_dict(PyObject* dict, int limit);
    template <class PackItems>
    void put_container_map(Py_ssize_t n, PackItems pack_items, std::string_view tag, int limit);
    void put_tuple_map(PyObject* tuple, int limit);
    void put_set_map(PyObject* set, int limit);
    void put_array_map(PyObject* array, int limit);
    void put_subclass_array_map(PyObject* array, int limit);
    void put_serialized(PyObject* obj, PyObject* name, int limit);
    void put_by_msgpack(PyObject* obj);

    Encoded* out_;  // the message, or scratch_ while a container's items are taken
    const Hooks& hooks_;
    // The scalars of containers being taken, after an item that must wait: each container's follow
    // those of the container it is in, and are dropped once it is written.
    Encoded scratch_;
    friend class Taken;
};

[[noreturn]] void nested_too_deep() { zk::raise(PyExc_ValueError, "recursion limit exceeded."); }

inline void check_nesting(int limit) {
    if (limit < 0) nested_too_deep();
}

void Encoder::pack(PyObject* obj, int limit) {
    check_nesting(limit);
    pack_once(obj, limit - 1, true);
}

void Encoder::pack_replacement(PyObject* obj, int limit) { pack_once(obj, limit, false); }

void Encoder::pack_once(PyObject* obj, int limit, bool through_hook) {
    switch (pack_native(obj, limit)) {
    case Native::done:
        return;
    case Native::overflow:
        // The hook gives an int back unchanged, and it overflows again.
        zk::raise(PyExc_OverflowError, "Integer value out of range");
    case Native::other:
        if (!through_hook) zk::raise(PyExc_TypeError, "can not serialize '%.200s' object", Py_TYPE(obj)->tp_name);
        pack_through_hook(obj, limit);
    }
}

// Only the exact native types; subclasses and everything else are the hook's (strict_types).
Native Encoder::pack_native(PyObject* obj, int limit) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        put_str(obj);
    } else if (type == &PyLong_Type) {
        if (!put_long(obj)) return Native::overflow;
    } else if (type == &PyList_Type) {
        put_list(obj, limit);
    } else if (type == &PyDict_Type) {
        put_dict(obj, limit);
    } else if (type == &PyFloat_Type) {
        put_float(PyFloat_AS_DOUBLE(obj));
    } else if (obj == Py_None) {
        put_byte(0xc0);
    } else if (obj == Py_True || obj == Py_False) {
        put_byte(obj == Py_True ? 0xc3 : 0xc2);
    } else if (type == &PyBytes_Type) {
        put_bytes(obj);
    } else if (type == &PyByteArray_Type) {
        put_bytearray(obj);
    } else if (type == &PyMemoryView_Type) {
        put_memoryview(obj);
    } else if (type == reinterpret_cast<PyTypeObject*>(hooks_.ext_type.get()) ||
               type == reinterpret_cast<PyTypeObject*>(hooks_.timestamp.get())) {
        put_by_msgpack(obj);
    } else {
        return Native::other;
    }
    return Native::done;
}

// ---- scalars ---------------------------------------------------------------------------------

void Encoder::put_unsigned(unsigned long long v) {
    if (v < 0x80) {
        put_byte(static_cast<std::uint8_t>(v));
    } else if (v <= 0xFF) {
        put(0xcc, static_cast<std::uint8_t>(v));
    } else if (v <= 0xFFFF) {
        put(0xcd, static_cast<std::uint16_t>(v));
    } else if (v <= 0xFFFFFFFF) {
        put(0xce, static_cast<std::uint32_t>(v));
    } else {
        put(0xcf, static_cast<std::uint64_t>(v));
    }
}

// The smallest form, as msgpack picks it: unsigned types for positive values.
void Encoder::put_int(long long v) {
    if (v >= 0) return put_unsigned(static_cast<unsigned long long>(v));
    if (v >= -32) {
        put_byte(static_cast<std::uint8_t>(v));
    } else if (v >= -0x80) {
        put(0xd0, static_cast<std::uint8_t>(v));
    } else if (v >= -0x8000) {
        put(0xd1, static_cast<std::uint16_t>(v));
    } else if (v >= -0x80000000LL) {
        put(0xd2, static_cast<std::uint32_t>(v));
    } else {
        put(0xd3, static_cast<std::uint64_t>(v));
    }
}

// False when the int needs more than 64 bits.
bool Encoder::put_long(PyObject* obj) {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {
        put_int(static_cast<long long>(PyUnstable_Long_CompactValue(number)));
        return true;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
        put_int(v);
        return true;
    }
    if (overflow < 0) return false;
    unsigned long long u = PyLong_AsUnsignedLongLong(obj);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    put_unsigned(u);
    return true;
}

void Encoder::put_float(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put(0xcb, bits);
}

void Encoder::put_str(PyObject* obj) {
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);  // lone surrogates raise here, as in msgpack
    if (!utf8) zk::throw_error();
    if (n > item_limit) zk::raise(PyExc_ValueError, "unicode string is too large");
    char* w = out_->reserve(5 + n);
    Py_ssize_t head;
    if (n <= 31) {
        w[0] = static_cast<char>(0xa0 | n);
        head = 1;
    } else if (n <= 0xFF) {
        w[0] = static_cast<char>(0xd9);
        store(w + 1, static_cast<std::uint8_t>(n));
        head = 2;
    } else if (n <= 0xFFFF) {
        w[0] = static_cast<char>(0xda);
        store(w + 1, static_cast<std::uint16_t>(n));
        head = 3;
    } else {
        w[0] = static_cast<char>(0xdb);
        store(w + 1, static_cast<std::uint32_t>(n));
        head = 5;
    }
    std::memcpy(w + head, utf8, static_cast<std::size_t>(n));
    out_->commit(head + n);
}

// ---- binary ----------------------------------------------------------------------------------

void Encoder::put_bin_header(Py_ssize_t n) {
    if (n <= 0xFF) {
        put(0xc4, static_cast<std::uint8_t>(n));
    } else if (n <= 0xFFFF) {
        put(0xc5, static_cast<std::uint16_t>(n));
    } else {
        put(0xc6, static_cast<std::uint32_t>(n));
    }
}

// The bytes of `view` after a bin header; a large one stays where it is, exported, until the
// message is dropped. Mutable resizable objects are always copied, so they are not locked meanwhile.
void Encoder::put_buffer(Py_buffer& view, bool may_reference) {
    put_bin_header(view.len);
    if (may_reference && view.len >= reference_from) {
        out_->reference(view);
    } else {
        put_raw(view.buf, view.len);
    }
}

void Encoder::put_bytes(PyObject* obj) {
    Py_ssize_t n = PyBytes_GET_SIZE(obj);
    if (n > item_limit) zk::raise(PyExc_ValueError, "%.200s object is too large", Py_TYPE(obj)->tp_name);
    if (n >= reference_from) {
        zk::BufferView e(obj);
        put_buffer(e.view(), true);
        return;
    }
    put_bin_header(n);
    put_raw(PyBytes_AS_STRING(obj), n);
}

// Exported while copied, so another thread cannot resize it under us.
void Encoder::put_bytearray(PyObject* obj) {
    zk::BufferView e(obj);
    if (e.size() > item_limit) zk::raise(PyExc_ValueError, "%.200s object is too large", Py_TYPE(obj)->tp_name);
    put_buffer(e.view(), false);
}

void Encoder::put_memoryview(PyObject* obj) {
    zk::BufferView e(obj);  // a non-contiguous view refuses this, with msgpack's BufferError
    if (e.size() > item_limit) zk::raise(PyExc_ValueError, "memoryview is too large");
    put_buffer(e.view(), true);
}

// ---- containers ------------------------------------------------------------------------------

// A container's count in its smallest form: in the low four bits of `fix`, or after `wide16` or `wide32`.
inline void Encoder::put_count(Py_ssize_t n, std::uint8_t fix, std::uint8_t wide16, std::uint8_t wide32) {
    if (n <= 0x0F) {
        put_byte(static_cast<std::uint8_t>(fix | n));
    } else if (n <= 0xFFFF) {
        put(wide16, static_cast<std::uint16_t>(n));
    } else {
        put(wide32, static_cast<std::uint32_t>(n));
    }
}

void Encoder::put_array_header(Py_ssize_t n, const char* what) {
    if (n > item_limit) zk::raise(PyExc_ValueError, "%s is too large", what);
    put_count(n, 0x90, 0xdc, 0xdd);
}

void Encoder::put_map_header(Py_ssize_t n) {
    if (n > item_limit) zk::raise(PyExc_ValueError, "dict is too large");
    put_count(n, 0x80, 0xde, 0xdf);
}

[[noreturn]] void list_changed() { zk::raise(PyExc_RuntimeError, "list changed size during iteration"); }
[[noreturn]] void dict_changed() { zk::raise(PyExc_RuntimeError, "dictionary changed size during iteration"); }

bool Encoder::put_scalar(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        if (!PyUnicode_IS_ASCII(obj)) return false;  // its UTF-8 form may be made under a lock of its own
        put_str(obj);
    } else if (type == &PyLong_Type) {
        auto* number = reinterpret_cast<PyLongObject*>(obj);
        if (!PyUnstable_Long_IsCompact(number)) return false;
        put_int(static_cast<long long>(PyUnstable_Long_CompactValue(number)));
    } else if (type == &PyFloat_Type) {
        put_float(PyFloat_AS_DOUBLE(obj));
    } else if (obj == Py_None) {
        put_byte(0xc0);
    } else if (obj == Py_True || obj == Py_False) {
        put_byte(obj == Py_True ? 0xc3 : 0xc2);
    } else if (type == &PyBytes_Type && PyBytes_GET_SIZE(obj) < reference_from) {
        put_bin_header(PyBytes_GET_SIZE(obj));
        put_raw(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    } else {
        return false;
    }
    return true;
}

// The items of a list or a dict, taken in one step under its lock, so that its header and the items
// that follow are one state of it whatever other threads do meanwhile. Scalars are written there and
// then, from the container's own references: threads packing the same values write nothing that
// those values share, their reference counts included. Any other item (a container, a value for the
// hook, a text that is not ASCII) is held with a reference of its own and packed after the lock,
// since packing it may take other locks and run Python code; the scalars after the first such item
// wait in the encoder's scratch meanwhile.
class Taken {
public:
    // `limit` is the nesting the items are packed at: beyond msgpack's, every one is held, for pack to refuse.
    Taken(Encoder& encoder, int limit) noexcept
        : encoder_(encoder), message_(encoder.out_), scratch_from_(encoder.scratch_.written_size()), scalars_(limit >= 0) {}
    ~Taken() {
        stop_taking();
        encoder_.scratch_.truncate(scratch_from_);
        for (Held& held : held_) Ref::steal(held.item);  // given back as each goes
    }
    Taken(const Taken&) = delete;
    Taken& operator=(const Taken&) = delete;

    // Under the container's lock, for each item in order; `index` is its place among them.
    void add(PyObject* item, Py_ssize_t index) {
        if (scalars_ && encoder_.put_scalar(item)) return;
        encoder_.out_ = &encoder_.scratch_;
        held_.push_back({Py_NewRef(item), index, encoder_.scratch_.written_size()});
    }
    void stop_taking() noexcept { encoder_.out_ = message_; }

    // Writes the held items in their places between the waiting scalars; `check(index)` after each.
    template <class Check>
    void put(int limit, Check check) {
        Encoded& scratch = encoder_.scratch_;
        Py_ssize_t from = scratch_from_;
        for (Held& held : held_) {
            encoder_.put_raw(scratch.written() + from, held.scratch_at - from);
            from = held.scratch_at;
            Ref item = Ref::steal(std::exchange(held.item, nullptr));
            encoder_.pack(item.get(), limit);
            check(held.index);
        }
        encoder_.put_raw(scratch.written() + from, scratch.written_size() - from);
    }

private:
    struct Held {
        PyObject* item;        // a reference of its own until it is packed
        Py_ssize_t index;
        Py_ssize_t scratch_at;  // the scalars before it end here in the scratch
    };
    Encoder& encoder_;
    Encoded* message_;
    Py_ssize_t scratch_from_;
    bool scalars_;
    std::vector<Held> held_;
};

// A list that a hook resizes while its held items are packed is refused, rather than sent with a
// count that no longer holds.
void Encoder::put_list(PyObject* list, int limit) {
    // An empty one needs no lock: a size of 0, read at one moment, is one state of it.
    if (PyList_GET_SIZE(list) == 0) return put_array_header(0, "list");
    Taken taken(*this, limit);
    Py_ssize_t n;
    {
        zk::CriticalSection lock(list);
        n = PyList_GET_SIZE(list);
        put_array_header(n, "list");
        for (Py_ssize_t i = 0; i < n; i++) taken.add(PyList_GET_ITEM(list, i), i);
        taken.stop_taking();
    }
    taken.put(limit, [&](Py_ssize_t) {
        if (PyList_GET_SIZE(list) != n) list_changed();
    });
}

// A dict that a hook resizes while an item before its last is packed is refused, as a dict
// iterator would refuse it, though the items packed are those taken.
void Encoder::put_dict(PyObject* dict, int limit) {
    if (PyDict_GET_SIZE(dict) == 0) return put_map_header(0);
    Taken taken(*this, limit);
    Py_ssize_t n;
    {
        zk::CriticalSection lock(dict);
        n = PyDict_GET_SIZE(dict);
        put_map_header(n);
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        for (; i < n && PyDict_Next(dict, &pos, &key, &value); i++) {
            taken.add(key, 2 * i);
            taken.add(value, 2 * i + 1);
        }
        taken.stop_taking();
    }
    taken.put(limit, [&](Py_ssize_t index) {
        if (index / 2 < n - 1 && PyDict_GET_SIZE(dict) != n) dict_changed();
    });
}

// ---- the hook's maps -------------------------------------------------------------------------

// Keys and tags of the tagged maps, as msgpack writes those str.
constexpr char key_data[] = "\xa4" "data";
constexpr char key_dtype[] = "\xa5" "dtype";
constexpr char key_shape[] = "\xa5" "shape";
constexpr std::string_view tag_tuple = "\xa5" "tuple";
constexpr std::string_view tag_set = "\xa3" "set";

// {"data": [the n members], "dtype": tag}: `pack_items` writes the members, one level deeper.
template <class PackItems>
void Encoder::put_container_map(Py_ssize_t n, PackItems pack_items, std::string_view tag, int limit) {
    check_nesting(limit);
    put_byte(0x82);
    put_raw(key_data, 5);
    put_array_header(n, "list");
    pack_items(limit - 1);
    put_raw(key_dtype, 6);
    put_raw(tag.data(), static_cast<Py_ssize_t>(tag.size()));
}

// {"data": list(tuple), "dtype": "tuple"}; the list is never made, its items are written.
void Encoder::put_tuple_map(PyObject* tuple, int limit) {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    put_container_map(n, [&](int inner) {
        for (Py_ssize_t i = 0; i < n; i++) pack(PyTuple_GET_ITEM(tuple, i), inner);
    }, tag_tuple, limit);
}

// {"data": list(set), "dtype": "set"}, from the set's own iterator, which refuses a set that
// changes size under it.
void Encoder::put_set_map(PyObject* set, int limit) {
    Py_ssize_t n = PySet_GET_SIZE(set);
    put_container_map(n, [&](int inner) {
        Ref iterator = zk::check(PyObject_GetIter(set));
        Py_ssize_t count = 0;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (++count > n) break;
            pack(item.get(), inner);
        }
        if (PyErr_Occurred()) zk::throw_error();
        if (count != n) zk::raise(PyExc_RuntimeError, "Set changed size during iteration");
    }, tag_set, limit);
}

// {"data": the C-contiguous bytes, "dtype": dtype.str, "shape": shape}; the bytes are referenced
// in place, and a non-contiguous array is copied into C order once.
void Encoder::put_array_map(PyObject* array, int limit) {
    if (!Py_IS_TYPE(array, reinterpret_cast<PyTypeObject*>(hooks_.ndarray.get()))) {
        return put_subclass_array_map(array, limit);
    }
    const Names& names = *hooks_.names;
    Ref contiguous = Ref::borrow(array);
    std::optional<zk::BufferView> data(std::in_place, array, PyBUF_FULL_RO);
    if (!PyBuffer_IsContiguous(&data->view(), 'C')) {
        data.reset();
        contiguous = zk::call(hooks_.ascontiguousarray, array);
        data.emplace(contiguous, PyBUF_FULL_RO);
    }
    Ref type_string = zk::getattr(zk::getattr(contiguous, names.dtype), names.type_string);
    Ref shape = zk::getattr(contiguous, names.shape);
    check_nesting(limit);
    if (data->size() > item_limit) zk::raise(PyExc_ValueError, "memoryview is too large");
    put_byte(0x83);
    put_raw(key_data, 5);
    put_buffer(data->view(), true);
    put_raw(key_dtype, 6);
    pack(type_string.get(), limit);
    put_raw(key_shape, 6);
    pack(shape.get(), limit);
}

// A subclass may define flags, data, dtype and shape its own way: asked for each, as the hook does.
void Encoder::put_subclass_array_map(PyObject* array, int limit) {
    const Names& names = *hooks_.names;
    Ref contiguous = Ref::borrow(array);
    if (!zk::truthy(zk::getitem(zk::getattr(array, names.flags), names.c_contiguous))) {
        contiguous = zk::call(hooks_.ascontiguousarray, array);
    }
    Ref data = zk::getattr(contiguous, names.data);
    Ref type_string = zk::getattr(zk::getattr(contiguous, names.dtype), names.type_string);
    Ref shape = zk::getattr(contiguous, names.shape);
    check_nesting(limit);
    put_byte(0x83);
    put_raw(key_data, 5);
    pack(data.get(), limit);
    put_raw(key_dtype, 6);
    pack(type_string.get(), limit);
    put_raw(key_shape, 6);
    pack(shape.get(), limit);
}

// {"data": udump(obj), "dtype": class name}; a failed udump is reported, and the printer's
// result travels instead.
void Encoder::put_serialized(PyObject* obj, PyObject* name, int limit) {
    bool failed;
    Ref data = serialized(obj, name, hooks_, failed);
    if (failed) return pack_replacement(data.get(), limit);
    check_nesting(limit);
    put_byte(0x82);
    put_raw(key_data, 5);
    pack(data.get(), limit);
    put_raw(key_dtype, 6);
    pack(name, limit);
}

void Encoder::pack_through_hook(PyObject* obj, int limit) {
    Ref name;
    switch (carriage_of(obj, hooks_, name)) {
        case Carriage::tuple_map: return put_tuple_map(obj, limit);
        case Carriage::set_map: return put_set_map(obj, limit);
        case Carriage::array_map: return put_array_map(obj, limit);
        case Carriage::serialized: return put_serialized(obj, name.get(), limit);
        case Carriage::unchanged: break;
    }
    pack_replacement(obj, limit);  // named like a builtin: left to MessagePack, which refuses it
}

// ExtType and Timestamp as msgpack itself writes them; its output for one value does not depend
// on what surrounds it.
void Encoder::put_by_msgpack(PyObject* obj) {
    Ref packed = zk::call(hooks_.packb, obj);
    if (!PyBytes_Check(packed.get())) zk::raise(PyExc_TypeError, "msgpack.packb returned no bytes");
    put_raw(PyBytes_AS_STRING(packed.get()), PyBytes_GET_SIZE(packed.get()));
}

}  // namespace

Encoded encode(PyObject* value, const Hooks& hooks) {
    Encoded out;
    Encoder(out, hooks).pack(value, nest_limit);
    return out;
}

}  // namespace protocol::codec
