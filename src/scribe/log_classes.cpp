// ColoredFormatter, _StreamHandler and Filter: the logging subclasses that ilog wires together
// (coloured console records, the "[!n]" overwrite marker, the "!!!" console-only marker).
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

const char* const format_doc =
    "'copy' is used to avoids logging the ANSI escape sequences\n"
    "        to a log file if a file handler is used.\n"
    "\n"
    "        Args:\n"
    "            record (LogRecord): [description]\n"
    "\n"
    "        Returns:\n"
    "            [str]: colorized message\n"
    "        ";

// A message's markers are looked for in str messages only: logging accepts any object as the
// message, and one that `in` cannot search (an int, an exception) carries no marker.
bool has_marker(Handle msg, Handle marker) { return PyUnicode_Check(msg.get()) && zk::contains(msg, marker); }

// The colour of a record's level name: the five standard names have their own, other levels
// are white. A label this formatter already put on the record (the record reached a second
// coloured handler) keeps the colour it was given.
Ref level_colour(const Names& n, Handle style, Handle levelname) {
    Ref level2color = zk::getitem(style, n.level2color);
    if (Ref colour = zk::call_method(level2color, n.get, levelname, Py_None); colour.get() != Py_None) {
        return colour;
    }
    Ref color2level = zk::getitem(style, n.color2level);
    for (Ref colour : zk::iterate(zk::call_method(level2color, n.values))) {
        Ref label = zk::getitem(color2level, colour);
        if (zk::equal(label, levelname)) return colour;
    }
    return n.white.copy();
}

Ref formatter_init(Scope s, Handle self, Handle pattern) {
    zk::setattr(self, s.names().pattern, pattern);
    return zk::none();
}

// Relabels the record with its level's label, re-initialises the formatter with the pattern in
// that level's colour (plain under NO_COLOR) and formats through logging.Formatter.
Ref formatter_format(Scope s, Handle self, Handle record) {
    const Names& n = s.names();
    Ref style = s.global(n.STYLE);
    Ref colorname = level_colour(n, style, zk::getattr(record, n.levelname));
    Ref color = zk::getitem(zk::getitem(style, n.fore), colorname);
    zk::setattr(record, n.levelname, zk::getitem(zk::getitem(style, n.color2level), colorname));

    const Ref& base = s.state().formatter_base;
    Ref plain = zk::getattr(self, n.pattern);
    Ref pattern = no_color(s) ? std::move(plain) : zk::text("{}{}m{}{}", s.global(n.PREFIX), color, plain, s.global(n.SUFFIX));
    zk::call(zk::getattr(base, n.__init__), self, pattern);
    return zk::call(zk::getattr(base, n.format), self, record);
}

// Ends the line with a carriage return when the message asks to be overwritten (removing the
// marker from the record, so later handlers never see it), else with a line feed. Runs under the
// handler's lock, taken by logging.Handler.handle, so the terminator belongs to this record.
Ref handler_emit(Scope s, Handle self, Handle record) {
    const Names& n = s.names();
    Ref msg = zk::getattr(record, n.msg);
    if (has_marker(msg, n.overwrite_marker)) {
        zk::setattr(record, n.msg, zk::call_method(msg, n.replace, n.overwrite_marker, n.empty_text));
        zk::setattr(self, n.terminator, n.carriage_return);
    } else {
        zk::setattr(self, n.terminator, n.line_feed);
    }
    zk::call(zk::getattr(s.state().stream_handler_base, n.emit), self, record);
    return zk::none();
}

// Keeps records whose message holds "!!!" off the handler it is attached to.
Ref filter_filter(Scope s, Handle, Handle record) {
    const Names& n = s.names();
    return zk::boolean(!has_marker(zk::getattr(record, n.msg), n.no_file_marker));
}

}  // namespace

void define_colored_formatter(zk::Module& m, State& st) {
    using zk::arg;
    st.formatter_base = m.get("Formatter");
    m.add_class("ColoredFormatter", {st.formatter_base}, nullptr,
                {
                    zk::attribute("default_time_format", zk::str("%Y-%m-%d %H:%M:%S")),
                    zk::attribute("default_msec_format", zk::str("%s.%03d")),
                    zk::method(zk::declare<formatter_init>("__init__", {arg("self"), arg("pattern")})),
                    zk::method(zk::declare<formatter_format>("format", {arg("self"), arg("record").annotate("LogRecord")})
                                   .doc(format_doc)),
                });
}

void define_stream_handler(zk::Module& m, State& st) {
    using zk::arg;
    st.stream_handler_base = m.get("StreamHandler");
    m.add_class("_StreamHandler", {st.stream_handler_base}, nullptr,
                {
                    zk::method(zk::declare<handler_emit>("emit", {arg("self"), arg("record").annotate("LogRecord")})),
                });
}

void define_filter(zk::Module& m) {
    using zk::arg;
    m.add_class("Filter", {m.get("Filter")}, nullptr,
                {
                    zk::method(zk::declare<filter_filter>("filter", {arg("self"), arg("record").annotate("LogRecord")})),
                });
}

}  // namespace scribe
