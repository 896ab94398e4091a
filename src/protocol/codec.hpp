// The native MessagePack engine behind BytePacker: values to bytes and back with the tagged maps of
// BytePacker.encode/decode applied on the way, byte for byte what msgpack with those hooks gives.
#pragma once

#include "core/ops.hpp"
#include "protocol/codec_api.hpp"
#include "protocol/names.hpp"

#include <cstddef>
#include <vector>

namespace protocol::codec {

// The objects the value rules call, captured when the module is executed and never changed after,
// so any number of threads share them without locks. Part of the module's state.
struct Hooks {
    const Names* names = nullptr;  // the module's, which its state holds beside these
    zk::Ref ndarray, ascontiguousarray, frombuffer;
    zk::Ref builtin_names;  // frozenset(dir(builtins)): classes named like these are left to MessagePack
    zk::Ref udump, uload, log;
    zk::Ref packb, unpackb, ext_type, timestamp;  // msgpack's own, for the extension types
    zk::Ref extra_data, format_error, stack_error;

    // Captures them from `numpy`, `msgpack`, `builtins`, the object serializer and the module printer.
    void capture(const Names& module_names, zk::Handle numpy, zk::Handle msgpack, zk::Handle builtins, zk::Handle udump,
                 zk::Handle uload, zk::Handle log);
    // log.error(text) while `error` is the exception being handled; its result takes the value's place.
    zk::Ref report(const zk::PyError& error, zk::Handle text) const;

    template <class F>
    void each(F&& f) {
        f(ndarray), f(ascontiguousarray), f(frombuffer), f(builtin_names), f(udump), f(uload), f(log);
        f(packb), f(unpackb), f(ext_type), f(timestamp), f(extra_data), f(format_error), f(stack_error);
    }
};

// How a value that MessagePack cannot carry natively travels: as a container map of a tuple or a
// set, as an array map of its raw bytes, as the serializer's bytes, or left unchanged for
// MessagePack to refuse (a class named like a builtin). `name` is set for the serializer's form.
enum class Carriage { tuple_map, set_map, array_map, serialized, unchanged };
Carriage carriage_of(PyObject* obj, const Hooks& hooks, zk::Ref& name);

// udump(obj), the `data` of the serializer's map for a value of the class named `name`. A failure
// is reported with an "@ENCODE: " line; `failed` then says that the printer's result came back,
// to travel in the value's place. In a span without stand-ins it raises TypeError with that text.
zk::Ref serialized(zk::Handle obj, zk::Handle name, const Hooks& hooks, bool& failed);

// How a map comes back, the twin of carriage_of: a dict (or a subclass) holding "data" and "dtype"
// is a tagged map and becomes the value it stands for; anything else is returned as it is.
zk::Ref restored(zk::Handle obj, const Hooks& hooks);
// The same from a tagged map's members, `shape` null when it has none: an array, a tuple or a set
// of `data`, or the serializer's object.
zk::Ref restored(zk::Handle data, zk::Handle dtype, zk::Handle shape, const Hooks& hooks);
// uload(data): the serializer's object. While this thread decodes a peer's message under an allow-list
// (AllowedClasses), that list's own load instead; a class it refuses leaves None in the value's place,
// and the decoding fails with ClassNotAllowed once it is done.
zk::Ref load_serialized(zk::Handle data, const Hooks& hooks);
// np.frombuffer(data, dtype).reshape(shape); a failure is reported with a "@DECODE: " line and the
// printer's result takes the array's place (and is noted, in a span without stand-ins).
zk::Ref rebuilt_array(zk::Handle data, zk::Handle dtype, zk::Handle shape, const Hooks& hooks);

// The span without stand-ins this thread packs or unpacks under, if any (see StandIns).
StandIns* stand_ins_refused() noexcept;

// map[key] if present, for dicts and their subclasses (whose own lookups are honoured); empty when missing.
zk::Ref member(zk::Handle map, zk::Handle key);

// One encoded message as pieces: the bytes the encoder wrote, with large buffers (array data, big
// bytes) referenced in place between them and kept exported until the message is dropped.
class Encoded {
public:
    struct Piece {
        const char* data;
        Py_ssize_t size;
    };

    Encoded() noexcept;
    Encoded(Encoded&& other) noexcept;
    Encoded(const Encoded&) = delete;
    Encoded& operator=(const Encoded&) = delete;
    Encoded& operator=(Encoded&&) = delete;
    ~Encoded();

    // Length of the whole message.
    Py_ssize_t size() const noexcept { return used_ + referenced_; }
    // The message as one bytes object; every byte is copied once.
    zk::Ref to_bytes() const;
    // Writes the message to out[0:size()].
    void copy_to(char* out) const noexcept;
    // The pieces in order, for a gathering write (sendmsg/writev); some may be empty.
    std::size_t piece_count() const noexcept { return 2 * references_.size() + 1; }
    Piece piece(std::size_t i) const noexcept;

    // For the encoder: room for `n` more bytes at the end; commit() what was written there.
    char* reserve(Py_ssize_t n);
    void commit(Py_ssize_t n) noexcept { used_ += n; }
    void append(const void* bytes, Py_ssize_t n);
    // The bytes written so far (none referenced), and dropping those from `size` on.
    const char* written() const noexcept { return data_; }
    Py_ssize_t written_size() const noexcept { return used_; }
    void truncate(Py_ssize_t size) noexcept { used_ = size; }
    // Takes over an exported buffer whose bytes follow what was written so far.
    void reference(Py_buffer& view);

private:
    static constexpr Py_ssize_t inline_capacity = 512;
    struct Reference {
        Py_ssize_t at;  // where in the written bytes it goes
        Py_buffer view;
    };

    char* data_;
    Py_ssize_t used_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
    Py_ssize_t referenced_ = 0;
    std::vector<Reference> references_;
    char inline_[inline_capacity];
};

// msgpack.packb(value, default=BytePacker.encode, strict_types=True), errors included.
Encoded encode(PyObject* value, const Hooks& hooks);

// msgpack.unpackb(data, object_hook=BytePacker.decode, use_list=True, strict_map_key=False).
// `owner` is an immutable object (bytes) holding data[0:size], of which arrays become read-only views;
// without one (a bytearray the caller may change later) every array gets bytes of its own.
zk::Ref decode(const char* data, Py_ssize_t size, PyObject* owner, const Hooks& hooks);

}  // namespace protocol::codec
