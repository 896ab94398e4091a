// The two environment variables that quiet the output: NO_COLOR (any non-empty value) leaves the
// colour codes out, ZELK_LOG_LEVEL names the lowest level a printer prints. Both are read at each
// line, so that a program, or a test, may set them at any time after import.
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
std::optional<Level> lowest_printed_level(Scope s) {
    const Names& n = s.names();
    Ref value = variable(s, n.log_level_variable);
    if (value.get() == Py_None) return std::nullopt;
    Ref word = zk::call_method(zk::call_method(value, n.strip), n.lower);
    for (Level level : {Level::debug, Level::info, Level::warning, Level::error, Level::critical}) {
        if (zk::equal(word, level_name(n, level))) return level;
    }
    return std::nullopt;
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

}  // namespace scribe
