// The two environment variables that quiet the output: NO_COLOR (any non-empty value) leaves the
// colour codes out, ZELK_LOG_LEVEL names the lowest level a printer prints ("off": none). Both are
// read at each line, so that a program, or a test, may set them at any time after import, as
// set_log_level does.
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

// os.environ.get(name): None when unset.
Ref variable(Scope s, Handle name) {
    const Names& n = s.names();
    return zk::call_method(zk::getattr(s.global(n.os), n.environ), n.get, name);
}

}  // namespace

bool no_color(Scope s) {
    Ref value = variable(s, s.names().no_color_variable);
    return value.get() != Py_None && zk::truthy(value);
}

// An unknown name quiets nothing: a misspelt level should not hide the lines that would say so.
PrintedLevels printed_levels(Scope s) {
    const Names& n = s.names();
    Ref value = variable(s, n.log_level_variable);
    if (value.get() == Py_None) return PrintedLevels::all();
    Ref word = zk::call_method(zk::call_method(value, n.strip), n.lower);
    for (Level level : {Level::debug, Level::info, Level::warning, Level::error, Level::critical}) {
        if (zk::equal(word, level_name(n, level))) return PrintedLevels::from(level);
    }
    return zk::equal(word, n.off) ? PrintedLevels::none() : PrintedLevels::all();
}

// The colour of a line picks its label, and so its level: blue's "RISK" counts as a warning.
Level colour_level(Handle foreground) {
    constexpr std::pair<const char*, Level> levels[] = {
        {"black", Level::info},     {"red", Level::critical}, {"green", Level::debug}, {"yellow", Level::warning},
        {"blue", Level::warning},   {"purple", Level::error}, {"cyan", Level::debug},  {"white", Level::info},
    };
    for (const auto& [colour, level] : levels) {
        if (PyUnicode_CompareWithASCIIString(foreground, colour) == 0) return level;
    }
    return Level::critical;  // not reached: STYLE knows only these colours
}

namespace {

// In the environment, where every printer of this process reads it at its next line, and where
// the processes it starts from then on find it too. From code a misspelt level is an error.
Ref set_log_level(Scope s, Handle level) {
    const Names& n = s.names();
    Ref environ = zk::getattr(s.global(n.os), n.environ);
    if (level.get() == Py_None) {
        zk::call_method(environ, n.pop, n.log_level_variable, Py_None);
        return zk::none();
    }
    Ref word = zk::call_method(zk::call_method(level, n.strip), n.lower);
    bool known = zk::equal(word, n.off);
    for (Level each : {Level::debug, Level::info, Level::warning, Level::error, Level::critical}) {
        known = known || zk::equal(word, level_name(n, each));
    }
    if (!known) {
        zk::raise(zk::call(PyExc_ValueError, zk::text("level must be \"debug\", \"info\", \"warning\", \"error\", "
                                                        "\"critical\", \"off\" or None, not {}", zk::repr(level))));
    }
    zk::setitem(environ, n.log_level_variable, word);
    return zk::none();
}

}  // namespace

zk::Def set_log_level_def() {
    using zk::arg;
    return zk::declare<set_log_level>("set_log_level", {arg("level", zk::Check::Str).optional()})
        .returns("None")
        .doc("Set ZELK_LOG_LEVEL, the lowest level every printer prints, from code: \"debug\", \"info\",\n"
             "\"warning\", \"error\" or \"critical\"; \"off\" prints nothing at all, and None unsets it (every\n"
             "line is printed). It is set in os.environ, so processes started afterwards inherit it. A quieted\n"
             "printer still returns its text. The logging set-up (ilog) keeps its own level.");
}

}  // namespace scribe
