// The native codec as the other zelk modules reach it: a capsule on zelk.protocol, so that a
// connection can write a message's pieces, large arrays in place, without joining them first, and
// decode what it read without a call through BytePacker.
#pragma once

#include "core/boxed.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"

#include <cstddef>

namespace protocol {

struct EncodedPiece {
    const char* data;
    Py_ssize_t size;
};

// A span of packing and unpacking on one thread in which the codec puts none of its stand-ins (the
// printer's text of an "@ENCODE: " or "@DECODE: " failure) in a value's place: a value that cannot be
// encoded raises TypeError with that text, and an array that cannot be rebuilt is noted (the stand-in
// still fills its place, so that the whole message is read), for its reader to refuse the message.
struct StandIns {
    zk::Ref not_encoded;  // the text of the value refused with TypeError, once one was
    zk::Ref not_rebuilt;  // the first array's text that stands in its place, once one was made
    StandIns* outer = nullptr;
};

struct CodecApi {
    // BytePacker.pack(value) in pieces, or nullptr: with an error set when encoding failed, without
    // one when BytePacker's hooks were replaced (the caller then asks BytePacker.pack itself).
    void* (*encode)(const CodecApi* api, PyObject* value) noexcept;
    Py_ssize_t (*size)(const void* message) noexcept;
    std::size_t (*piece_count)(const void* message) noexcept;
    EncodedPiece (*piece)(const void* message, std::size_t i) noexcept;
    void (*release)(void* message) noexcept;
    // BytePacker.unpack(packet) of a bytes packet, whose arrays become views of it; nullptr with an
    // error when decoding failed, without one when BytePacker's hooks were replaced.
    PyObject* (*decode)(const CodecApi* api, PyObject* packet) noexcept;
    // function(arg) with `allowed`, an AllowedClasses, in force for every pickle it reads: what the
    // list refuses fails it with ClassNotAllowed once it is done. nullptr with an error.
    PyObject* (*call_allowing)(const CodecApi* api, PyObject* allowed, PyObject* function, PyObject* arg) noexcept;
    // Begin and end a span of StandIns on this thread; spans nest, and end in the reverse order.
    void (*refuse_stand_ins)(StandIns* span) noexcept;
    void (*allow_stand_ins)(StandIns* span) noexcept;
    void* state;  // the protocol module's, alive as long as the capsule
};

inline constexpr const char* codec_api_capsule = "zelk.protocol._codec_api";

// The calls in zelk.protocol's `_codec_api` capsule.
inline const CodecApi* codec_api_in(zk::Handle capsule) {
    return zk::published_api<CodecApi>(capsule, codec_api_capsule);
}

// A span of StandIns for the life of this object, on the thread that made it.
class RefusingStandIns {
public:
    explicit RefusingStandIns(const CodecApi* api) noexcept : api_(api) { api_->refuse_stand_ins(&span_); }
    ~RefusingStandIns() { api_->allow_stand_ins(&span_); }
    RefusingStandIns(const RefusingStandIns&) = delete;
    RefusingStandIns& operator=(const RefusingStandIns&) = delete;

    // The text of the value a TypeError refused, or of the first array that was not rebuilt; empty when none.
    zk::Handle not_encoded() const noexcept { return span_.not_encoded; }
    zk::Handle not_rebuilt() const noexcept { return span_.not_rebuilt; }

private:
    const CodecApi* api_;
    StandIns span_;
};

}  // namespace protocol
