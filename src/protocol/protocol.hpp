// The parts of zelk.protocol, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"
#include "protocol/codec.hpp"
#include "protocol/codec_api.hpp"

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
    // What the allow-lists of peers' pickles use (allowed_classes.cpp, numpy_pickles.cpp).
    zk::Ref unpickler, bytes_io, byte_packer_unpack;  // pickle.Unpickler, io.BytesIO, BytePacker.unpack
    zk::Ref unpickling_error;                         // pickle.UnpicklingError
    zk::Ref class_not_allowed, allowed_classes;       // ClassNotAllowed, AllowedClasses
    zk::Ref plain_globals;  // {(module, name): object}: what pickle names for plain values, allowed with every list
    zk::Ref numpy_globals;  // {(module, name): stand-in}: numpy's pickle helpers, done by zelk's checked ones
    zk::Ref numpy_part;     // the class of what those stand in with until numpy's value is made
    zk::Ref np_scalar, np_fromiter;
    zk::Ref not_rebuilt;  // NotRebuilt

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(codec);
        f(packb_keywords), f(unpackb_keywords), f(byte_packer), f(native_encode), f(native_decode);
        f(np_diff), f(np_flatnonzero), f(np_r), f(np_repeat), f(np_empty), f(np_intp), f(np_dtype);
        f(pinned_block_type);
        f(unpickler), f(bytes_io), f(byte_packer_unpack), f(unpickling_error), f(class_not_allowed), f(allowed_classes);
        f(plain_globals), f(numpy_globals), f(numpy_part), f(np_scalar), f(np_fromiter);
        f(not_rebuilt);
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

// class ClassNotAllowed and class AllowedClasses: what a peer's pickles may rebuild.
void define_allowed_classes(zk::Module& m, State& st);

// The stand-ins for numpy's pickle helpers that every allow-list takes (numpy_pickles.cpp): numpy's
// own trust what a pickle says of an array's layout, and a hostile one reads out of bounds or
// leaves element pointers unset. `settled_numpy` turns what they made for a load into numpy's
// values, and refuses the load when one sits where it cannot be turned.
void define_numpy_stand_ins(zk::Module& m, State& st);
zk::Ref numpy_global(const State& st, zk::Handle unpickler, zk::Handle stand_in);
zk::Ref settled_numpy(const State& st, zk::Handle made, zk::Ref value);

// pickle.UnpicklingError, unless the pickle `data` asks only for memory in proportion to its size, and
// ClassNotAllowed for a global it names through copyreg's extension codes (pickle_bounds.cpp).
void screen_pickle(const State& st, const char* data, Py_ssize_t size);

// ClassNotAllowed(text), raised.
[[noreturn]] void refuse(const State& st, zk::Handle text);

// function(arg) with `allowed` (an AllowedClasses) in force for every pickle this thread reads
// meanwhile: what it refuses becomes None, and once the call is done ClassNotAllowed is raised with
// the call's result as its `value`.
zk::Ref call_allowing(const State& st, zk::Handle allowed, zk::Handle function, zk::Handle arg);

// Begin and end a span without stand-ins on this thread (stand_ins.cpp).
void begin_refusing(StandIns* span) noexcept;
void end_refusing(StandIns* span) noexcept;
// class NotRebuilt and refusing_stand_ins(function, arg), a span of them for Python code.
void define_stand_ins(zk::Module& m, State& st);

// class WebSocket, then websocket.
void define_websocket(zk::Module& m, State& st);

}  // namespace protocol
