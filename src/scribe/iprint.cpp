// iprint: one coloured, timestamped line (or exception report) on standard output.
#include "scribe/names.hpp"
#include "scribe/scribe.hpp"

namespace scribe {

using zk::Handle;
using zk::Ref;

namespace {

const char* const iprint_doc =
    "#Print info with format: \\033[mode;foreground;backgroundm text \\033[0m\n"
    "    mode    effect      foreground  background  color   level\n"
    "    0       default     30          40          black   INFO\n"
    "    1       bold        31          41          red     CRITICAL\n"
    "    4       underline   32          42          green   INFO\n"
    "    5       blink       33          43          yellow  WARNING\n"
    "    7       invert      34          44          blue    DEBUG\n"
    "    8       hide        35          45          purple  ERROR\n"
    "    9       ----        36          46          cyan    DEBUG\n"
    "    10      ----        37          47          white   INFO\n"
    "\n"
    "    Args:\n"
    "        e (Exception): captured exception\n"
    "        title (str, optional): error type. Defaults to ''.\n"
    "        excluded (list[str], optional): traceback for exception that\n"
    "            will not be printed\n"
    "    ";

// The traceback of the exception being handled, one marked piece per string of
// TracebackException.format(chain=True), leaving out those that `pattern` matches.
Ref exception_report(zk::Fn fn, Handle style, Handle pattern, Handle obj) {
    Ref exc_info = zk::call_method(fn.global(names::sys), names::exc_info);
    Ref limit = zk::new_dict();
    zk::setitem(limit, names::limit, Py_None);
    Ref report = zk::call_with(zk::getattr(fn.global(names::traceback), names::TracebackException), exc_info, limit);

    Ref markers = zk::getitem(style, names::tb);
    Ref split = zk::getitem(markers, names::split);
    Ref search = zk::getattr(pattern, names::search);
    Ref pieces = zk::list_of({zk::concat({zk::to_str(obj), names::exclaim_crlf})});
    for (Ref s : zk::iterate(zk::call_kw(zk::getattr(report, names::format), {}, {{names::chain, Py_True}}))) {
        if (zk::truthy(zk::call(search, s))) continue;
        Ref piece;
        if (zk::contains(s, names::during)) {
            piece = zk::concat({names::crlf, split, split, zk::call_method(s, names::lstrip)});
        } else if (zk::contains(s, names::traceback_word)) {
            piece = zk::concat({zk::getitem(markers, names::trace), names::two_spaces, s});
        } else if (zk::contains(s, names::file_word)) {
            Ref marked_source = zk::concat({names::frame_source, zk::getitem(markers, names::lines), names::two_spaces});
            Ref frame = zk::call_method(s, names::replace, names::frame_source, marked_source, zk::integer(1));
            piece = zk::concat({zk::getitem(markers, names::files), frame});
        } else {
            piece = zk::concat({zk::getitem(markers, names::error), names::two_spaces, s});
        }
        zk::append(pieces, piece);
    }
    return zk::join(names::empty, pieces);
}

// Local time to the millisecond: 2024-05-01 12:00:00.123
Ref now_to_millisecond(zk::Fn fn) {
    Ref now = zk::call_method(fn.global(names::datetime), names::now);
    Ref text = zk::call_method(now, names::strftime, names::time_format);
    return zk::slice(text, 0, -3);
}

Ref iprint(zk::Fn fn, Handle obj, Handle title, Handle mode, Handle foreground, Handle background, Handle exclude,
           Handle kwds) {
    Ref style = fn.global(names::STYLE);
    Ref label = zk::getitem(zk::getitem(style, names::color2level), foreground);
    Ref prefix = zk::concat({names::bracket_open, title, names::bracket_pair, label, names::bracket_close_space});
    Ref pattern = zk::call_method(fn.global(names::re), names::compile, zk::join(names::bar, exclude));

    Ref msg = zk::isinstance(obj, PyExc_Exception) ? exception_report(fn, style, pattern, obj) : zk::format(obj);

    Ref mode_code = zk::format(zk::getitem(zk::getitem(style, names::mode), mode));
    Ref fore_code = zk::format(zk::getitem(zk::getitem(style, names::fore), foreground));
    Ref ts = now_to_millisecond(fn);
    Ref rmsg = zk::truthy(zk::dict_pop(kwds, names::timestamp, Py_False))
                   ? zk::concat({names::bracket_open, ts, names::bracket_close_space, msg})
                   : msg.copy();
    Ref pmsg = zk::concat({names::bracket_open, ts, names::bracket_close, prefix, msg});

    Ref codes = fore_code.copy();
    if (zk::truthy(background)) {
        Ref back_code = zk::format(zk::getitem(zk::getitem(style, names::back), background));
        codes = zk::concat({fore_code, names::semicolon, back_code});
    }
    Ref text = zk::concat({names::escape_open, mode_code, names::semicolon, codes, names::letter_m, pmsg,
                           fn.global(names::SUFFIX)});
    zk::call_with(fn.global(names::print), zk::tuple_of({text}), kwds);
    return rmsg;
}

}  // namespace

zk::Def iprint_def() {
    using zk::arg;
    using zk::Check;
    return zk::fn<iprint>("iprint", {
                                        arg("obj").annotate("Exception | str"),
                                        arg("title", Check::Str) = "",
                                        arg("mode", Check::Str) = "bold",
                                        arg("foreground", Check::Str) = "red",
                                        arg("background", Check::Str) = "",
                                        arg("exclude", Check::List).annotate("list[str]") = zk::list_of({zk::str("zelk")}),
                                        zk::kwargs("kwds"),
                                    })
        .returns("str")
        .doc(iprint_doc);
}

}  // namespace scribe
