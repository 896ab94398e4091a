// _codec_api: the capsule through which zelk.ring encodes and decodes messages natively.
#include "protocol/codec_api.hpp"

#include "protocol/protocol.hpp"

namespace protocol {

namespace {

const codec::Encoded& encoded(const void* message) { return *static_cast<const codec::Encoded*>(message); }

void* encode(const CodecApi* api, PyObject* value) noexcept {
    const State& st = *static_cast<const State*>(api->state);
    try {
        if (!zk::is_native(st.core, st.byte_packer, st.names.encode, st.native_encode, st.is_native_codec_encode)) return nullptr;
        return new codec::Encoded(codec::encode(value, st.codec));
    } catch (...) {
        zk::translate_exception();
        return nullptr;
    }
}

Py_ssize_t size(const void* message) noexcept { return encoded(message).size(); }

std::size_t piece_count(const void* message) noexcept { return encoded(message).piece_count(); }

EncodedPiece piece(const void* message, std::size_t i) noexcept {
    codec::Encoded::Piece p = encoded(message).piece(i);
    return {p.data, p.size};
}

void release(void* message) noexcept { delete static_cast<codec::Encoded*>(message); }

PyObject* decode(const CodecApi* api, PyObject* packet) noexcept {
    const State& st = *static_cast<const State*>(api->state);
    return zk::boundary([&] {
        if (!zk::is_native(st.core, st.byte_packer, st.names.decode, st.native_decode, st.is_native_codec_decode)) return zk::Ref();
        return unpack_natively(st, packet);
    });
}

PyObject* allowing(const CodecApi* api, PyObject* allowed, PyObject* function, PyObject* arg) noexcept {
    const State& st = *static_cast<const State*>(api->state);
    return zk::boundary([&] { return call_allowing(st, allowed, function, arg); });
}

void drop_api(PyObject* capsule) noexcept { delete static_cast<CodecApi*>(PyCapsule_GetPointer(capsule, codec_api_capsule)); }

}  // namespace

void define_codec_api(zk::Module& m, State& st) {
    auto* api = new CodecApi{encode, size, piece_count, piece, release, decode, allowing, begin_refusing, end_refusing, &st};
    PyObject* capsule = PyCapsule_New(api, codec_api_capsule, drop_api);
    if (!capsule) {
        delete api;
        zk::throw_error();
    }
    m.set("_codec_api", zk::Ref::steal(capsule));
}

}  // namespace protocol
