// The parts of zelk.scribe, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace scribe {

#define SCRIBE_NAMES(X, S)                 \
    X(__file__)                            \
    X(__cause__)                           \
    X(__context__)                         \
    X(__init__)                            \
    X(__path__)                            \
    X(abspath)                             \
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
    X(dirname)                             \
    X(emit)                                \
    X(encoding)                            \
    X(environ)                             \
    X(error)                               \
    X(escape)                              \
    X(exc_info)                            \
    X(exceptions)                          \
    X(exclude)                             \
    X(format_exception_only)               \
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
    X(lower)                               \
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
    X(path)                                \
    X(partial)                             \
    X(pop)                                 \
    X(Path)                                \
    X(pattern)                             \
    X(PREFIX)                              \
    X(print)                               \
    X(re)                                  \
    X(realpath)                            \
    X(replace)                             \
    X(rpartition)                          \
    X(search)                              \
    X(sep)                                 \
    X(setFormatter)                        \
    X(setLevel)                            \
    X(split)                               \
    X(strftime)                            \
    X(strip)                               \
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
    S(bar, "|")                            \
    S(bold, "bold")                        \
    S(carriage_return, "\r")               \
    S(clock_format, "%Y-%m-%d %H:%M:%S.%f") \
    S(comma_space, ", ")                   \
    S(cyan, "cyan")                        \
    S(dot, ".")                            \
    S(during, "During")                    \
    S(empty_text, "")                      \
    S(file, "file")                        \
    S(file_word, "File")                   \
    S(frame_source, "\n    ")              \
    S(line_feed, "\n")                     \
    S(log_level_variable, "ZELK_LOG_LEVEL") \
    S(no_color_variable, "NO_COLOR")       \
    S(no_file_marker, "!!!")               \
    S(off, "off")                          \
    S(overwrite_marker, "[!n]")            \
    S(purple, "purple")                    \
    S(record_format, "[%(asctime)s][%(name)s][%(levelname)s] %(message)s") \
    S(red, "red")                          \
    S(rotated_match, "^\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2}(\\.\\w+)?$") \
    S(rotated_suffix, "%Y-%m-%d_%H-%M-%S.log") \
    S(stream_handler_class, "_StreamHandler") \
    S(traceback_word, "Traceback")         \
    S(utf_8, "utf-8")                      \
    S(white, "white")                      \
    S(yellow, "yellow")

ZK_NAMES(Names, SCRIBE_NAMES)

struct State : zk::ModuleState {
    Names names;
    // The logging classes the module's own classes extend, as imported: their methods are called
    // through them, as a class body's super() would.
    zk::Ref formatter_base, stream_handler_base;
    // The package's name ("zelk"), and the pattern of its own files' frames that this name means
    // in an exclude list (see find_package_frames).
    zk::Ref package_name, package_frames;

    template <class F>
    void each(F&& f) {
        ModuleState::each(f);
        f(names);
        f(formatter_base);
        f(stream_handler_base);
        f(package_name), f(package_frames);
    }
};

using Scope = zk::Scope<State>;

// The five levels of the printer and of the logger, in the order their classes define them.
enum class Level { debug, info, warning, error, critical };

inline const zk::Ref& level_name(const Names& n, Level level) {
    switch (level) {
        case Level::debug: return n.debug;
        case Level::info: return n.info;
        case Level::warning: return n.warning;
        case Level::error: return n.error;
        case Level::critical: break;
    }
    return n.critical;
}

// The five members make.template operator()<L>() gives, one per level, in order.
template <class Make>
void add_level_members(std::vector<zk::Member>& members, Make make) {
    constexpr Level levels[] = {Level::debug, Level::info, Level::warning, Level::error, Level::critical};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (members.push_back(make.template operator()<levels[I]>()), ...);
    }(std::make_index_sequence<std::size(levels)>());
}

inline const char* level_method_name(Level level) {
    constexpr const char* names[] = {"debug", "info", "warning", "error", "critical"};
    return names[static_cast<int>(level)];
}

// What ZELK_LOG_LEVEL lets a printer print: every line (unset, or naming no level), the lines of a
// level and above, or none at all ("off").
class PrintedLevels {
public:
    static PrintedLevels all() noexcept { return PrintedLevels(Level::debug, false); }
    static PrintedLevels from(Level lowest) noexcept { return PrintedLevels(lowest, false); }
    static PrintedLevels none() noexcept { return PrintedLevels(Level::critical, true); }
    bool include(Level level) const noexcept { return !off_ && level >= lowest_; }

private:
    PrintedLevels(Level lowest, bool off) noexcept : lowest_(lowest), off_(off) {}
    Level lowest_;
    bool off_;
};

// NO_COLOR and ZELK_LOG_LEVEL, read as each line is printed; the level a line's colour gives it.
bool no_color(Scope s);
PrintedLevels printed_levels(Scope s);
Level colour_level(zk::Handle foreground);
// set_log_level(level): ZELK_LOG_LEVEL set (or unset) from code.
zk::Def set_log_level_def();

// Fills the state's package_name and package_frames, once at import.
void find_package_frames(zk::Module& m, State& st);

// STYLE: the colour, mode, level-label and traceback-marker tables.
zk::Ref make_style();

// iprint, abbreviate and iformat.
zk::Def iprint_def();
zk::Def abbreviate_def();
zk::Def iformat_def();

// class BrillPrint
void define_brill_print(zk::Module& m);

// The logging set-up: classes ColoredFormatter, _StreamHandler and Filter, the function ilog,
// class BrillLogger.
void define_colored_formatter(zk::Module& m, State& st);
void define_stream_handler(zk::Module& m, State& st);
void define_filter(zk::Module& m);
zk::Def ilog_def(const zk::Module& m);  // level defaults to the module's INFO
void define_brill_logger(zk::Module& m);

}  // namespace scribe
