// Names and fixed texts of zelk.ring, interned once at import.
#pragma once

#include "core/names.hpp"

#define RING_NAMES(X, S)                 \
    X(__init__)                          \
    X(_closed)                           \
    X(_onwebs)                           \
    X(_socket)                           \
    X(_surplus)                          \
    X(BytePacker)                        \
    X(close)                             \
    X(digest)                            \
    X(getpeername)                       \
    X(getsockname)                       \
    X(hashlib)                           \
    X(hexdigest)                         \
    X(md5)                               \
    X(pack)                              \
    X(print)                             \
    X(recv)                              \
    X(recv_into)                         \
    X(release)                           \
    X(select)                            \
    X(SOCKET_RECV_SIZE)                  \
    X(sendall)                           \
    X(setblocking)                       \
    X(shutdown)                          \
    X(timeout)                           \
    S(struct_, "struct")                 \
    X(error)                             \
    X(unpack)                            \
    X(update)                            \
    S(bracket_open, "[")                 \
    S(bracket_close, "]")                \
    S(close_paren, ")")                  \
    S(from_word, " from ")               \
    S(open_paren, "(")                   \
    S(runtime_error, "Runtime Error")    \
    S(seconds_comma, "s, ")              \
    S(send_timeout, "Send Timeout(")     \
    S(struct_format, "Q")                \
    S(with_length, " with length ")

ZK_NAMES(ring::names, RING_NAMES)
