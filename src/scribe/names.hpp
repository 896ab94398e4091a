// Names and fixed texts of zelk.scribe, interned once at import.
#pragma once

#include "core/names.hpp"

#define SCRIBE_NAMES(X, S)                 \
    X(abbreviate)                          \
    X(back)                                \
    X(chain)                               \
    X(color2level)                         \
    X(compile)                             \
    X(datetime)                            \
    X(error)                               \
    X(exc_info)                            \
    X(exclude)                             \
    X(files)                               \
    X(fore)                                \
    X(foreground)                          \
    X(format)                              \
    X(iprint)                              \
    X(limit)                               \
    X(lines)                               \
    X(log)                                 \
    X(lstrip)                              \
    X(mode)                                \
    X(now)                                 \
    X(partial)                             \
    X(print)                               \
    X(re)                                  \
    X(replace)                             \
    X(search)                              \
    X(split)                               \
    X(strftime)                            \
    X(STYLE)                               \
    X(SUFFIX)                              \
    X(sys)                                 \
    X(tb)                                  \
    X(timestamp)                           \
    X(title)                               \
    X(trace)                               \
    X(traceback)                           \
    X(TracebackException)                  \
    S(at_sign, "@")                        \
    S(bar, "|")                            \
    S(bold, "bold")                        \
    S(bracket_close, "]")                  \
    S(bracket_close_space, "] ")           \
    S(bracket_open, "[")                   \
    S(bracket_pair, "][")                  \
    S(call_end, ") \U0001F513 ")           \
    S(comma_space, ", ")                   \
    S(crlf, "\r\n")                        \
    S(during, "During")                    \
    S(empty, "")                           \
    S(equals, "=")                         \
    S(escape_open, "\x1b[")                \
    S(exclaim_crlf, "!\r\n")               \
    S(file_word, "File")                   \
    S(frame_source, "\n    ")              \
    S(letter_m, "m")                       \
    S(paren_open, "(")                     \
    S(semicolon, ";")                      \
    S(six_dots, "......")                  \
    S(time_format, "%Y-%m-%d %H:%M:%S.%f") \
    S(traceback_word, "Traceback")         \
    S(two_spaces, "  ")                    \
    S(cyan, "cyan")                        \
    S(white, "white")                      \
    S(yellow, "yellow")                    \
    S(purple, "purple")                    \
    S(red, "red")

ZK_NAMES(scribe::names, SCRIBE_NAMES)
