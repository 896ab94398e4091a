// The names zelk.protocol looks up and the fixed texts it compares against, in one list for the
// whole module: the packers, the native codec and the tools beside them.
#pragma once

#include "core/names.hpp"

namespace protocol {

#define PROTOCOL_NAMES(X, S)                      \
    X(add_function)                           \
    X(add_note)                               \
    X(ascontiguousarray)                      \
    X(b64decode)                              \
    X(b64encode)                              \
    X(base64)                                 \
    X(buf)                                    \
    X(buffer)                                 \
    X(complex)                                \
    X(create)                                 \
    X(data)                                   \
    X(decode)                                 \
    X(_default)                               \
    X(diff)                                   \
    X(digest)                                 \
    X(dtype)                                  \
    X(dumps)                                  \
    X(empty)                                  \
    X(encode)                                 \
    X(encrypt)                                \
    X(environ)                                \
    X(error)                                  \
    X(exclude)                                \
    X(ExtraData)                              \
    X(ExtType)                                \
    X(flags)                                  \
    X(flatnonzero)                            \
    X(FormatError)                            \
    X(frombuffer)                             \
    X(func)                                   \
    X(get)                                    \
    X(hashlib)                                \
    X(hasobject)                              \
    X(header)                                 \
    X(indent)                                 \
    X(intp)                                   \
    X(json)                                   \
    X(kind)                                   \
    X(LineProfiler)                           \
    X(loads)                                  \
    X(MAGIC)                                  \
    X(MARK)                                   \
    X(method)                                 \
    X(name)                                   \
    X(names)                                  \
    X(nbytes)                                 \
    X(ndarray)                                \
    X(ndim)                                   \
    X(_object_hook)                           \
    X(object_hook)                            \
    X(pack)                                   \
    X(packb)                                  \
    X(payload)                                \
    X(print)                                  \
    X(print_stats)                            \
    X(protocol)                               \
    X(r_)                                     \
    X(repeat)                                 \
    X(reshape)                                \
    X(RESPONSE)                               \
    X(set)                                    \
    X(sha1)                                   \
    X(shape)                                  \
    X(SharedMemory)                           \
    X(size)                                   \
    X(StackError)                             \
    X(strict_map_key)                         \
    X(strict_types)                           \
    X(strip)                                  \
    X(Timestamp)                              \
    X(track)                                  \
    X(tuple)                                  \
    X(unpack)                                 \
    X(unpackb)                                \
    X(url)                                    \
    X(use_list)                               \
    X(wraps)                                  \
    X(_frombuffer)                            \
    X(_numpy)                                 \
    X(_reconstruct)                           \
    X(_unpickler)                             \
    X(__reduce__)                             \
    X(align)                                  \
    X(asfortranarray)                         \
    X(byteorder)                              \
    X(BytesIO)                                \
    X(bytearray)                              \
    X(copy)                                   \
    X(count)                                  \
    X(fields)                                 \
    X(find_class)                             \
    X(fromiter)                               \
    X(frozenset)                              \
    X(itemsize)                               \
    X(load)                                   \
    X(newbyteorder)                           \
    X(numpy)                                  \
    X(order)                                  \
    X(scalar)                                 \
    X(spec)                                   \
    X(split)                                  \
    X(subdtype)                               \
    X(transpose)                              \
    X(Unpickler)                              \
    X(value)                                  \
    S(c_contiguous, "C_CONTIGUOUS")           \
    S(default_, "default")                    \
    S(dict, "__dict__")                       \
    S(dill, "dill")                           \
    S(serializer, "SERIALIZER")               \
    S(type_string, "str")                     \
    S(ampersand, "&")                         \
    S(blank_line, "\r\n\r\n")                 \
    S(colon, ":")                             \
    S(crlf, "\r\n")                           \
    S(host, "Host")                           \
    S(sec_websocket_key, "Sec-WebSocket-Key") \
    S(space, " ")                             \
    S(utf_8, "utf-8")                         \
    S(builtins_, "builtins")                  \
    S(numpy_core, "numpy._core.multiarray")   \
    S(numpy_core_before_2, "numpy.core.multiarray") \
    S(numpy_numeric, "numpy._core.numeric")   \
    S(numpy_numeric_before_2, "numpy.core.numeric")

ZK_NAMES(Names, PROTOCOL_NAMES)

}  // namespace protocol
