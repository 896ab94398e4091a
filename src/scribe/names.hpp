// Names and fixed texts of zelk.scribe, interned once at import.
#pragma once

#include "core/names.hpp"

#define SCRIBE_NAMES(X, S)                 \
    X(__init__)                            \
    X(abbreviate)                          \
    X(addFilter)                           \
    X(addHandler)                          \
    X(backupCount)                         \
    X(back)                                \
    X(chain)                               \
    X(color2level)                         \
    X(ColoredFormatter)                    \
    X(compile)                             \
    X(critical)                            \
    X(datetime)                            \
    X(debug)                               \
    X(emit)                                \
    X(encoding)                            \
    X(environ)                             \
    X(error)                               \
    X(exc_info)                            \
    X(exclude)                             \
    X(exist_ok)                            \
    X(exists)                              \
    X(extMatch)                            \
    X(filename)                            \
    X(files)                               \
    X(Filter)                              \
    X(fore)                                \
    X(foreground)                          \
    X(format)                              \
    X(Formatter)                           \
    X(get)                                 \
    X(getLogger)                           \
    X(handlers)                            \
    X(ilog)                                \
    X(info)                                \
    X(iprint)                              \
    X(level2color)                         \
    X(levelname)                           \
    X(limit)                               \
    X(lines)                               \
    X(log)                                 \
    X(LOGGER)                              \
    X(lstrip)                              \
    X(mkdir)                               \
    X(mode)                                \
    X(msg)                                 \
    X(name)                                \
    X(now)                                 \
    X(os)                                  \
    X(parent)                              \
    X(parents)                             \
    X(partial)                             \
    X(Path)                                \
    X(pattern)                             \
    X(PREFIX)                              \
    X(print)                               \
    X(re)                                  \
    X(replace)                             \
    X(search)                              \
    X(setFormatter)                        \
    X(setLevel)                            \
    X(split)                               \
    X(strftime)                            \
    X(STYLE)                               \
    X(suffix)                              \
    X(SUFFIX)                              \
    X(sys)                                 \
    X(tb)                                  \
    X(terminator)                          \
    X(timestamp)                           \
    X(title)                               \
    X(trace)                               \
    X(traceback)                           \
    X(TracebackException)                  \
    X(TimedRotatingFileHandler)            \
    X(values)                              \
    X(warning)                             \
    X(when)                                \
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
    S(red, "red")                          \
    S(dot, ".")                            \
    S(dot_log, ".log")                     \
    S(line_feed, "\n")                     \
    S(carriage_return, "\r")               \
    S(overwrite_marker, "[!n]")            \
    S(no_file_marker, "!!!")               \
    S(file, "file")                        \
    S(utf_8, "utf-8")                      \
    S(stream_handler_class, "_StreamHandler") \
    S(record_format, "[%(asctime)s][%(name)s][%(levelname)s] %(message)s") \
    S(rotated_suffix, "%Y-%m-%d_%H-%M-%S.log") \
    S(rotated_match, "^\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2}(\\.\\w+)?$")

ZK_NAMES(scribe::names, SCRIBE_NAMES)
