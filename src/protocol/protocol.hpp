// The parts of zelk.protocol, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec.hpp"

namespace protocol {

#define PROTOCOL_NAMES(X, S)                        \
    X(data)                                         \
    X(decode)                                       \
    X(dtype)                                        \
    X(dumps)                                        \
    X(encode)                                       \
    X(environ)                                      \
    X(exclude)                                      \
    X(flags)                                        \
    X(get)                                          \
    X(loads)                                        \
    X(object_hook)                                  \
    X(pack)                                         \
    X(reshape)                                      \
    X(set)                                          \
    X(shape)                                        \
    X(strict_map_key)                               \
    X(strict_types)                                 \
    X(tuple)                                        \
    X(unpack)                                       \
    X(use_list)                                     \
    S(c_contiguous, "C_CONTIGUOUS")                 \
    S(default_, "default")                          \
    S(dill, "dill")                                 \
    S(serializer, "SERIALIZER")                     \
    S(type_string, "str")

ZK_NAMES(Names, PROTOCOL_NAMES)

struct State : zk::ModuleState {
    Names names;
    codec::Hooks codec;                        // what the value rules use, captured as the module made it
    zk::Ref packb_keywords, unpackb_keywords;  // msgpack's keyword names, for hooks that were replaced
    // BytePacker and its hooks: while it holds the hooks it was made with, the native codec serves.
    zk::Ref byte_packer, encode_descriptor, decode_descriptor;

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(codec);
        f(packb_keywords), f(unpackb_keywords), f(byte_packer), f(encode_descriptor), f(decode_descriptor);
    }
};

using Scope = zk::Scope<State>;

// udump and uload: dill's when SERIALIZER asks for it and dill imports, else pickle's.
void select_serializer(zk::Module& m, State& st);

// class BytePacker, then dump and load.
void define_byte_packer(zk::Module& m, State& st);

// Whether `cls` (BytePacker or a subclass) still has BytePacker's own hook `name`: the native codec
// then does that hook's work itself.
bool has_own_hook(const State& st, zk::Handle cls, zk::Handle name, zk::Handle descriptor);

// _codec_api, the capsule through which zelk.ring encodes natively.
void define_codec_api(zk::Module& m, State& st);

// BytePacker.pack and BytePacker.unpack of the class itself, natively; `owner` as for codec::decode.
zk::Ref pack_natively(const State& st, zk::Handle value);
zk::Ref unpack_natively(const State& st, zk::Handle data);

}  // namespace protocol
