// The native codec as the other zelk modules reach it: a capsule on zelk.protocol, so that a
// connection can write a message's pieces, large arrays in place, without joining them first, and
// decode what it read without a call through BytePacker.
#pragma once

#include "core/python.hpp"

#include <cstddef>

namespace protocol {

struct EncodedPiece {
    const char* data;
    Py_ssize_t size;
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
    void* state;  // the protocol module's, alive as long as the capsule
};

inline constexpr const char* codec_api_capsule = "zelk.protocol._codec_api";

}  // namespace protocol
