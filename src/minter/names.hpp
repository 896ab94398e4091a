// Names and fixed texts of zelk.minter, interned once at import.
#pragma once

#include "core/names.hpp"

#define MINTER_NAMES(X, S)                  \
    X(acquire)                              \
    X(datetime)                             \
    X(EPOCH)                                \
    X(fromtimestamp)                        \
    X(getid)                                \
    X(IDPS)                                 \
    X(Lock)                                 \
    X(now)                                  \
    X(randint)                              \
    X(release)                              \
    X(SFID)                                 \
    X(strftime)                             \
    X(threading)                            \
    X(time)                                 \
    X(timestamp)                            \
    X(TSID)                                 \
    X(_SFID__dcid)                          \
    X(_SFID__last_timestamp)                \
    X(_SFID__lock)                          \
    X(_SFID__sequence)                      \
    X(_SFID__ts)                            \
    X(_SFID__wid)                           \
    X(_TSID__lastts)                        \
    X(_TSID__lock)                          \
    X(_TSID__ts)                            \
    X(_TSID__wid)                           \
    S(empty, "")                            \
    S(id_generator, "id generator")         \
    S(time_format, "%y%m%d%H%M%S%f")        \
    S(ts, "ts")                             \
    S(two_digits, "02d")

ZK_NAMES(minter::names, MINTER_NAMES)
