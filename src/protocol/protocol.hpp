// The parts of zelk.protocol, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

namespace protocol {

#define PROTOCOL_NAMES(X, S)                        \
    X(ascontiguousarray)                            \
    X(data)                                         \
    X(decode)                                       \
    X(dtype)                                        \
    X(dumps)                                        \
    X(encode)                                       \
    X(environ)                                      \
    X(error)                                        \
    X(exclude)                                      \
    X(flags)                                        \
    X(frombuffer)                                   \
    X(get)                                          \
    X(kind)                                         \
    X(loads)                                        \
    X(names)                                        \
    X(ndarray)                                      \
    X(object_hook)                                  \
    X(pack)                                         \
    X(packb)                                        \
    X(reshape)                                      \
    X(set)                                          \
    X(shape)                                        \
    X(strict_map_key)                               \
    X(strict_types)                                 \
    X(tuple)                                        \
    X(unpack)                                       \
    X(unpackb)                                      \
    X(use_list)                                     \
    S(c_contiguous, "C_CONTIGUOUS")                 \
    S(default_, "default")                          \
    S(dill, "dill")                                 \
    S(serializer, "SERIALIZER")                     \
    S(type_string, "str")

ZK_NAMES(Names, PROTOCOL_NAMES)

struct State : zk::ModuleState {
    Names names;
    // What the packer's hooks use, captured as the module body imported or made them.
    zk::Ref ndarray, ascontiguousarray, frombuffer;  // numpy's
    zk::Ref builtin_names;                           // frozenset(dir(builtins))
    zk::Ref udump, uload;                            // the object serializer
    zk::Ref log;                                     // the module printer
    zk::Ref packb, unpackb;                          // msgpack's
    zk::Ref packb_keywords, unpackb_keywords;        // the keyword names of the two calls, made once
    // BytePacker and its hooks, bound once: used while the class still holds the hooks it was made with.
    zk::Ref byte_packer, encode_descriptor, decode_descriptor, bound_encode, bound_decode;

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(ndarray), f(ascontiguousarray), f(frombuffer), f(builtin_names), f(udump), f(uload), f(log);
        f(packb), f(unpackb), f(packb_keywords), f(unpackb_keywords);
        f(byte_packer), f(encode_descriptor), f(decode_descriptor), f(bound_encode), f(bound_decode);
    }
};

using Scope = zk::Scope<State>;

// udump and uload: dill's when SERIALIZER asks for it and dill imports, else pickle's.
void select_serializer(zk::Module& m, State& st);

// class BytePacker, then dump and load.
void define_byte_packer(zk::Module& m, State& st);

}  // namespace protocol
