// STYLE: colour and mode codes, level labels and traceback markers, built once at import.
#include "scribe/scribe.hpp"

#include <utility>

namespace scribe {

namespace {


// A dict from names to ints, in the order given.
zk::Ref codes(std::initializer_list<std::pair<const char*, int>> entries) {
    zk::Ref table = zk::new_dict();
    for (const auto& [name, code] : entries) zk::setitem(table, zk::str(name), zk::integer(code));
    return table;
}

// A dict from names to texts, in the order given.
zk::Ref texts(std::initializer_list<std::pair<const char*, const char*>> entries) {
    zk::Ref table = zk::new_dict();
    for (const auto& [name, text] : entries) zk::setitem(table, zk::str(name), zk::str(text));
    return table;
}

}  // namespace

zk::Ref make_style() {
    zk::Ref style = zk::new_dict();
    zk::setitem(style, zk::str("fore"), codes({{"black", 30}, {"red", 31}, {"green", 32}, {"yellow", 33},
                                               {"blue", 34}, {"purple", 35}, {"cyan", 36}, {"white", 37}}));
    zk::setitem(style, zk::str("back"), codes({{"black", 40}, {"red", 41}, {"green", 42}, {"yellow", 43},
                                               {"blue", 44}, {"purple", 45}, {"cyan", 46}, {"white", 47}}));
    zk::setitem(style, zk::str("mode"), codes({{"default", 0}, {"bold", 1}, {"underline", 4}, {"blink", 5},
                                               {"invert", 7}, {"hide", 8}}));
    zk::setitem(style, zk::str("level2color"), texts({{"DEBUG", "cyan"}, {"INFO", "white"}, {"WARNING", "yellow"},
                                                      {"ERROR", "purple"}, {"CRITICAL", "red"}}));
    zk::setitem(style, zk::str("color2level"),
                texts({{"black", "INFO"},
                       {"red", "CRITICAL\U0001F480"},
                       {"green", "DEBUG"},
                       {"yellow", "WARNING\U0001F631"},
                       {"blue", "RISK"},
                       {"purple", "ERROR\U0001F92C"},
                       {"cyan", "DEBUG\U0001F438"},
                       {"white", "INFO\U0001F50A"}}));
    zk::setitem(style, zk::str("tb"), texts({{"trace", "\U0001F47D"},
                                             {"files", "\U0001F4CC"},
                                             {"lines", "\u2693"},
                                             {"error", "\U0001F41B"},
                                             {"split", "\U0001F4A5"}}));
    return style;
}

}  // namespace scribe
