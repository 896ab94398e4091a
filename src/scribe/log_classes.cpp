// ColoredFormatter, _StreamHandler and Filter: the logging subclasses that ilog wires together
// (coloured console records, the "[!n]" overwrite marker, the "!!!" console-only marker).
#include "scribe/names.hpp"
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
Ref level_colour(Handle style, Handle levelname) {
    Ref level2color = zk::getitem(style, names::level2color);
    if (Ref colour = zk::call_method(level2color, names::get, levelname, Py_None); colour.get() != Py_None) {
        return colour;
    }
    Ref color2level = zk::getitem(style, names::color2level);
    for (Ref colour : zk::iterate(zk::call_method(level2color, names::values))) {
        Ref label = zk::getitem(color2level, colour);
        if (zk::check_status(PyObject_RichCompareBool(label.get(), levelname, Py_EQ))) return colour;
    }
    return Ref::borrow(names::white);
}

Ref formatter_init(zk::Fn, Handle self, Handle pattern) {
    zk::setattr(self, names::pattern, pattern);
    return zk::none();
}

// Relabels the record with its level's label, re-initialises the formatter with the pattern in
// that level's colour and formats through logging.Formatter (captured at definition).
Ref formatter_format(zk::Fn fn, Handle self, Handle record) {
    Ref style = fn.global(names::STYLE);
    Ref colorname = level_colour(style, zk::getattr(record, names::levelname));
    Ref color = zk::getitem(zk::getitem(style, names::fore), colorname);
    zk::setattr(record, names::levelname, zk::getitem(zk::getitem(style, names::color2level), colorname));

    Handle base = fn.captured(0);
    Ref pattern = zk::concat({fn.global(names::PREFIX), zk::format(color), names::letter_m,
                              zk::getattr(self, names::pattern), fn.global(names::SUFFIX)});
    zk::call(zk::getattr(base, names::__init__), self, pattern);
    return zk::call(zk::getattr(base, names::format), self, record);
}

// Ends the line with a carriage return when the message asks to be overwritten (removing the
// marker from the record, so later handlers never see it), else with a line feed. Runs under the
// handler's lock, taken by logging.Handler.handle, so the terminator belongs to this record.
Ref handler_emit(zk::Fn fn, Handle self, Handle record) {
    Ref msg = zk::getattr(record, names::msg);
    if (has_marker(msg, names::overwrite_marker)) {
        zk::setattr(record, names::msg, zk::call_method(msg, names::replace, names::overwrite_marker, names::empty));
        zk::setattr(self, names::terminator, names::carriage_return);
    } else {
        zk::setattr(self, names::terminator, names::line_feed);
    }
    zk::call(zk::getattr(fn.captured(0), names::emit), self, record);
    return zk::none();
}

// Keeps records whose message holds "!!!" off the handler it is attached to.
Ref filter_filter(zk::Fn, Handle, Handle record) {
    return zk::boolean(!has_marker(zk::getattr(record, names::msg), names::no_file_marker));
}

}  // namespace

void define_colored_formatter(zk::Module& m) {
    using zk::arg;
    Ref base = m.get("Formatter");
    m.add_class("ColoredFormatter", {base}, nullptr,
                {
                    zk::attribute("default_time_format", zk::str("%Y-%m-%d %H:%M:%S")),
                    zk::attribute("default_msec_format", zk::str("%s.%03d")),
                    zk::method(zk::fn<formatter_init>("__init__", {arg("self"), arg("pattern")})),
                    zk::method(zk::fn<formatter_format>("format", {arg("self"), arg("record").annotate("LogRecord")})
                                   .doc(format_doc)
                                   .capture({base})),
                });
}

void define_stream_handler(zk::Module& m) {
    using zk::arg;
    Ref base = m.get("StreamHandler");
    m.add_class("_StreamHandler", {base}, nullptr,
                {
                    zk::method(zk::fn<handler_emit>("emit", {arg("self"), arg("record").annotate("LogRecord")})
                                   .capture({base})),
                });
}

void define_filter(zk::Module& m) {
    using zk::arg;
    m.add_class("Filter", {m.get("Filter")}, nullptr,
                {
                    zk::method(zk::fn<filter_filter>("filter", {arg("self"), arg("record").annotate("LogRecord")})),
                });
}

}  // namespace scribe
