// The parts of zelk.protocol, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec.hpp"

namespace protocol {

struct State : zk::ModuleState {
    Names names;
    codec::Hooks codec;                        // what the value rules use, captured as the module made it
    mutable zk::NativeCache is_native_encode, is_native_decode, is_native_codec_encode, is_native_codec_decode;  // is_native's answers
    zk::Ref packb_keywords, unpackb_keywords;  // msgpack's keyword names, for hooks that were replaced
    // BytePacker and its hooks as its body made them: while BytePacker.encode and .decode find
    // these, the native codec does their work.
    zk::Ref byte_packer, native_encode, native_decode;
    // numpy's functions that compress and decompress call.
    zk::Ref np_diff, np_flatnonzero, np_r, np_repeat, np_empty, np_intp, np_dtype;
    zk::Ref pinned_block_type;  // the base of loadv's arrays, which keeps their block mapped

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(codec);
        f(packb_keywords), f(unpackb_keywords), f(byte_packer), f(native_encode), f(native_decode);
        f(np_diff), f(np_flatnonzero), f(np_r), f(np_repeat), f(np_empty), f(np_intp), f(np_dtype);
        f(pinned_block_type);
    }
};

using Scope = zk::Scope<State>;

// udump and uload: dill's when SERIALIZER asks for it and dill imports, else pickle's.
void select_serializer(zk::Module& m, State& st);

// class BytePacker, then dump and load.
void define_byte_packer(zk::Module& m, State& st);

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
