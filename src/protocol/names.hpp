// Names and fixed texts of zelk.protocol, interned once at import.
#pragma once

#include "core/names.hpp"

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
    S(arrow, " ---> ")                              \
    S(c_contiguous, "C_CONTIGUOUS")                 \
    S(decode_failed, "@DECODE: numpy ---> ")        \
    S(default_, "default")                          \
    S(dill, "dill")                                 \
    S(encode_failed, "@ENCODE: ")                   \
    S(serializer, "SERIALIZER")                     \
    S(type_string, "str")

ZK_NAMES(protocol::names, PROTOCOL_NAMES)
