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
    X(ndarray)                                      \
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

// Names of the parts beyond the MessagePack packer, in a list of their own.
#define PROTOCOL_EXTRA_NAMES(X, S)                  \
    X(_default)                                     \
    X(_object_hook)                                 \
    X(add_function)                                 \
    X(add_note)                                     \
    X(b64decode)                                    \
    X(b64encode)                                    \
    X(base64)                                       \
    X(buf)                                          \
    X(buffer)                                       \
    X(complex)                                      \
    X(create)                                       \
    X(diff)                                         \
    X(digest)                                       \
    X(empty)                                        \
    X(encrypt)                                      \
    X(flatnonzero)                                  \
    X(func)                                         \
    X(functools)                                    \
    X(hasobject)                                    \
    X(hashlib)                                      \
    X(header)                                       \
    X(indent)                                       \
    X(intp)                                         \
    X(json)                                         \
    X(line_profiler)                                \
    X(LineProfiler)                                 \
    X(MAGIC)                                        \
    X(MARK)                                         \
    X(method)                                       \
    X(name)                                         \
    X(nbytes)                                       \
    X(ndim)                                         \
    X(payload)                                      \
    X(print)                                        \
    X(print_stats)                                  \
    X(protocol)                                     \
    X(r_)                                           \
    X(repeat)                                       \
    X(RESPONSE)                                     \
    X(SharedMemory)                                 \
    X(sha1)                                         \
    X(size)                                         \
    X(strip)                                        \
    X(track)                                        \
    X(url)                                          \
    X(wraps)                                        \
    S(ampersand, "&")                               \
    S(blank_line, "\r\n\r\n")                       \
    S(colon, ":")                                   \
    S(crlf, "\r\n")                                 \
    S(host, "Host")                                 \
    S(sec_websocket_key, "Sec-WebSocket-Key")       \
    S(space, " ")                                   \
    S(utf_8, "utf-8")

ZK_NAMES(ExtraNames, PROTOCOL_EXTRA_NAMES)

struct State : zk::ModuleState {
    Names names;
    codec::Hooks codec;                        // what the value rules use, captured as the module made it
    zk::Ref packb_keywords, unpackb_keywords;  // msgpack's keyword names, for hooks that were replaced
    // BytePacker and its hooks: while it holds the hooks it was made with, the native codec serves.
    zk::Ref byte_packer, encode_descriptor, decode_descriptor;
    // The parts after BytePacker: their names, interned first thing at exec, and numpy's functions
    // that compress and decompress call.
    ExtraNames extra;
    zk::Ref np_diff, np_flatnonzero, np_r, np_repeat, np_empty, np_intp, np_dtype;
    zk::Ref pinned_block_type;  // the base of loadv's arrays, which keeps their block mapped

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(codec);
        f(packb_keywords), f(unpackb_keywords), f(byte_packer), f(encode_descriptor), f(decode_descriptor);
        f(extra), f(np_diff), f(np_flatnonzero), f(np_r), f(np_repeat), f(np_empty), f(np_intp), f(np_dtype);
        f(pinned_block_type);
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

// profile, the line-profiling decorator factory.
void define_profile(zk::Module& m, State& st);

// class JsonPacker, then dumps and loads.
void define_json_packer(zk::Module& m, State& st);

// The values that JsonPacker._object_hook reads back from the text form of a complex number or a
// set, parsed as literals and never evaluated.
zk::Ref complex_from_text(zk::Handle text);
zk::Ref set_from_text(zk::Handle text);

// compress and decompress, the run-length form of one-dimensional arrays.
void define_run_length(zk::Module& m, State& st);

// dumpv and loadv, arrays handed over in named shared-memory blocks.
void define_shared_values(zk::Module& m, State& st);

// The type whose objects keep a shared-memory block mapped while arrays over it live, and one of
// them for `block`: what loadv's arrays take as their buffer.
void define_pinned_block(zk::Module& m, State& st);
zk::Ref pin_block(const State& st, zk::Handle block);

// class WebSocket, then websocket.
void define_websocket(zk::Module& m, State& st);

}  // namespace protocol
